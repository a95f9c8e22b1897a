#include <libvux/vuxaccess.h>

#include <map>

#include <libvux/vuxlog.h>
#include <libvux/vuxstr.h>
#include <libvux/vuxtest.h>

namespace vux_access {

namespace {

VUX_LOG_MODULE("libvux")

const AccessMask kUnknown = 0x80000000u;

typedef std::map<std::string, AccessMask> Table;

void Add(Table& table, const std::string& name, AccessMask mask) {
    std::string key = str::Lower(name);
    auto found = table.find(key);
    if (found == table.end()) {
        table.emplace(key, mask);
        return;
    }
    if (found->second != mask)
        VUX_LOG(VuxLogModule(), vux_log::LevelWarning,
            "Level '%s' already defined with code %x (new code %x)", key.c_str(), found->second, mask);
}

Table& Names() {
    static Table table = [] {
        Table t;
        Add(t, "nobody", 0x00000001u);
        Add(t, "super", 0x40000000u);
        Add(t, "admin", 0x20000000u);
        Add(t, "reseller", 0x01000000u);
        Add(t, "user", 0x00010000u);
        Add(t, "all", 0xFFFFFFFFu);
        Add(t, "registered", 0xFFFFFFFCu);
        Add(t, "public", 0xFFFFFFFEu);
        return t;
    }();
    return table;
}

bool SingleBit(AccessMask m) {
    return m != 0 && (m & (m - 1)) == 0;
}

AccessMask Word(const std::string& word) {
    std::string w = word;
    // An empty word would pass as the number 0 and grant a level nobody wrote.
    if (!w.empty() && test::Numeric(w)) {
        unsigned n = 0;
        for (char c : w) n = (n * 10 + static_cast<unsigned>(c - '0')) % 32;
        return 1u << n;
    }
    const Table& table = Names();
    auto found = table.find(str::Lower(word));
    if (found != table.end()) return found->second;
    VUX_LOG(VuxLogModule(), vux_log::LevelWarning, "Unknown level name '%s'", word.c_str());
    return kUnknown;
}

}  // namespace

AccessMask GetAccessByName(const std::string& text) {
    std::string rest = str::Trim(text);
    AccessMask result = 0;
    while (!rest.empty()) {
        std::string word = str::GetWord(rest);
        if (word.empty()) continue;
        char suffix = word.back();
        if (suffix == '+' || suffix == '-')
            word.pop_back();
        else
            suffix = 0;
        AccessMask level = Word(word);
        if (suffix == 0) {
            result |= level;
            continue;
        }
        if (!SingleBit(level)) {
            VUX_LOG(VuxLogModule(), vux_log::LevelWarning,
                "Bad access '%s': try to use group access mask with '+'", text.c_str());
            return kUnknown;
        }
        result |= suffix == '+' ? static_cast<AccessMask>(MinLevel(level)) : static_cast<AccessMask>(MaxLevel(level));
    }
    return result;
}

void AddAccessName(const std::string& name, AccessMask mask) {
    Add(Names(), name, mask);
}

}  // namespace vux_access
