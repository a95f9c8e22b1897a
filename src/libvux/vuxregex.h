// POSIX regular expressions.
#ifndef LIBVUX_VUXREGEX_H
#define LIBVUX_VUXREGEX_H

#include <libvux/vuxapi.h>

#include <regex.h>

#include <cstddef>
#include <string>
#include <vector>

#include <libvux/vuxerr.h>

VUX_API_BEGIN

namespace vux_regex {

// A pattern that compiles in neither syntax: type "regex".
class Fail : public vux_err::Error {
public:
    Fail(const std::string& object, const std::string& value);
};

class RegEx {
public:
    // Flags 1: extended syntax; nothing compiled.
    RegEx();
    explicit RegEx(const std::string& pattern, int flags = REG_EXTENDED);
    ~RegEx();
    RegEx(const RegEx&) = delete;
    RegEx& operator=(const RegEx&) = delete;

    // Compiles anew with the stored flags.
    RegEx& operator=(const std::string& pattern);
    // Extended syntax first, then basic.
    void Assign(const std::string& pattern, int flags);
    void Cleanup();

    bool IsCompiled() const { return compiled_; }
    const regex_t* native() const;

private:
    bool compiled_;
    regex_t regex_;
    int flags_;
};

struct RegExGroup {
    std::size_t start;
    std::size_t length;
    std::string text;
};

bool RegExMatch(const char* text, const RegEx& regex);
bool RegExMatch(const std::string& text, const RegEx& regex);
// Group 0 is the whole match; groups stop at the first that took no part.
bool RegExMatch(const char* text, const RegEx& regex, std::vector<RegExGroup>& groups);
bool RegExMatch(const std::string& text, const RegEx& regex, std::vector<RegExGroup>& groups);

}  // namespace vux_regex

VUX_API_END

#endif
