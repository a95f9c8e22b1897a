#include <libvux/vuxregex.h>

#include <cstring>

namespace vux_regex {

namespace {
const std::size_t kGroups = 64;
}  // namespace

Fail::Fail(const std::string& object, const std::string& value) : vux_err::Error("regex", object, value) {}

RegEx::RegEx() : compiled_(false), flags_(REG_EXTENDED) { std::memset(&regex_, 0, sizeof regex_); }

RegEx::RegEx(const std::string& pattern, int flags) : compiled_(false), flags_(flags) {
    std::memset(&regex_, 0, sizeof regex_);
    Assign(pattern, flags);
}

RegEx::~RegEx() { Cleanup(); }

RegEx& RegEx::operator=(const std::string& pattern) {
    Cleanup();
    Assign(pattern, flags_);
    return *this;
}

void RegEx::Assign(const std::string& pattern, int flags) {
    Cleanup();
    flags_ = flags;
    if (regcomp(&regex_, pattern.c_str(), flags | REG_EXTENDED) != 0) {
        // A pattern written in the basic syntax (an unescaped "(", say) is
        // tried as such; the stored flags may themselves ask for extended.
        int err = regcomp(&regex_, pattern.c_str(), flags & ~REG_EXTENDED);
        if (err != 0) {
            char text[256];
            regerror(err, &regex_, text, sizeof text);
            Fail fail("pattern_compile", pattern);
            fail.add_message("regerror", text);
            throw fail;
        }
    }
    compiled_ = true;
}

void RegEx::Cleanup() {
    if (!compiled_) return;
    regfree(&regex_);
    compiled_ = false;
}

const regex_t* RegEx::native() const {
    VUX_ASSERT(compiled_, "Regex is not compiled");
    return &regex_;
}

bool RegExMatch(const char* text, const RegEx& regex) {
    return regexec(regex.native(), text ? text : "", 0, nullptr, 0) == 0;
}

bool RegExMatch(const std::string& text, const RegEx& regex) { return RegExMatch(text.c_str(), regex); }

bool RegExMatch(const char* text, const RegEx& regex, std::vector<RegExGroup>& groups) {
    groups.clear();
    if (!text) text = "";
    regmatch_t m[kGroups];
    if (regexec(regex.native(), text, kGroups, m, 0) != 0) return false;
    for (std::size_t i = 0; i < kGroups && m[i].rm_so != -1; ++i) {
        const std::size_t start = static_cast<std::size_t>(m[i].rm_so);
        const std::size_t length = static_cast<std::size_t>(m[i].rm_eo - m[i].rm_so);
        groups.push_back(RegExGroup{start, length, std::string(text + start, length)});
    }
    return true;
}

bool RegExMatch(const std::string& text, const RegEx& regex, std::vector<RegExGroup>& groups) {
    return RegExMatch(text.c_str(), regex, groups);
}

}  // namespace vux_regex
