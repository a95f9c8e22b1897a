// Allow/deny rule files: "allow|deny NAME|* SCOPE|*" lines, first match decides.
#ifndef LIBVUX_VUXACCESS_FILE_H
#define LIBVUX_VUXACCESS_FILE_H

#include <libvux/vuxapi.h>

#include <string>
#include <utility>
#include <vector>

VUX_API_BEGIN

namespace vux_access_file {

class Access {
public:
    // Reads the rules of `path` that apply to `scope`. A missing file allows every
    // name; one that exists but cannot be read denies every name.
    Access(const std::string& path, const std::string& scope);

    bool Good(const std::string& name) const;

    // The line of the rule that decides `name` (from 1); 0 when no rule matched,
    // -1 when the file could not be read.
    int Decide(const std::string& name) const;
    // Kept rules as (name, allowed); an empty name is the wildcard.
    const std::vector<std::pair<std::string, bool>>& Rules() const { return rules_; }
    bool Unreadable() const { return unreadable_; }

private:
    std::vector<std::pair<std::string, bool>> rules_;
    std::vector<int> lines_;
    bool unreadable_ = false;
};

}  // namespace vux_access_file

VUX_API_END

#endif
