#include <libvux/vuxuser.h>

#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

namespace vux_user {

namespace {

// Runs a re-entrant look-up (getpwnam_r and its kin all take this shape) with a buffer that
// grows until the entry fits; false when there is no such entry.
template <class Key, class Entry>
bool GetEntry(int (*call)(Key, Entry*, char*, std::size_t, Entry**), Key key, Entry& entry, std::vector<char>& buf) {
    long hint = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    buf.resize(hint > 0 ? static_cast<std::size_t>(hint) : 1024);
    for (;;) {
        Entry* found = nullptr;
        int rc = call(key, &entry, buf.data(), buf.size(), &found);
        if (rc == ERANGE) {
            buf.resize(buf.size() * 2);
            continue;
        }
        // These mean "not found" on some systems.
        if (rc == 0 || rc == ENOENT || rc == ESRCH || rc == EBADF || rc == EPERM) return found != nullptr;
        throw vux_err::System("GetEntry", rc);
    }
}

bool ByName(const std::string& name, struct passwd& pw, std::vector<char>& buf) {
    return GetEntry(::getpwnam_r, name.c_str(), pw, buf);
}

struct passwd Need(const std::string& name, std::vector<char>& buf) {
    struct passwd pw;
    if (!ByName(name, pw, buf)) throw Fail("user_not_exists", name);
    return pw;
}

}  // namespace

Fail::Fail(const std::string& object, const std::string& value) : vux_err::Error("user", object, value) {}

std::string GetDefaultAdministrator() { return "root"; }

bool Exists(const std::string& name) {
    struct passwd pw;
    std::vector<char> buf;
    return ByName(name, pw, buf);
}

uid_t Uid(const std::string& name) {
    std::vector<char> buf;
    return Need(name, buf).pw_uid;
}

gid_t Gid(const std::string& name) {
    std::vector<char> buf;
    return Need(name, buf).pw_gid;
}

std::string GetHome(const std::string& name) {
    std::vector<char> buf;
    const char* home = Need(name, buf).pw_dir;
    return home ? home : "";
}

gid_t GroupGid(const std::string& group) {
    struct group gr;
    std::vector<char> buf;
    if (!GetEntry(::getgrnam_r, group.c_str(), gr, buf)) throw Fail("group_not_exists", group);
    return gr.gr_gid;
}

std::string NameByUid(uid_t uid) {
    struct passwd pw;
    std::vector<char> buf;
    return GetEntry(::getpwuid_r, uid, pw, buf) && pw.pw_name ? pw.pw_name : "";
}

std::string GroupByGid(gid_t gid) {
    struct group gr;
    std::vector<char> buf;
    return GetEntry(::getgrgid_r, gid, gr, buf) && gr.gr_name ? gr.gr_name : "";
}

}  // namespace vux_user
