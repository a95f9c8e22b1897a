#include <libvux/vuxuser.h>

#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

namespace vux_user {

namespace {

// getpwnam_r with a buffer that grows until the entry fits; false when there is none.
bool GetEntry(const std::string& name, struct passwd& pw, std::vector<char>& buf) {
    long hint = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    buf.resize(hint > 0 ? static_cast<std::size_t>(hint) : 1024);
    for (;;) {
        struct passwd* found = nullptr;
        int rc = ::getpwnam_r(name.c_str(), &pw, buf.data(), buf.size(), &found);
        if (rc == ERANGE) {
            buf.resize(buf.size() * 2);
            continue;
        }
        if (rc == 0 || rc == ENOENT || rc == ESRCH || rc == EBADF || rc == EPERM) return found != nullptr;
        throw vux_err::System("GetEntry", rc);
    }
}

struct passwd Need(const std::string& name, std::vector<char>& buf) {
    struct passwd pw;
    if (!GetEntry(name, pw, buf)) throw Fail("user_not_exists", name);
    return pw;
}

}  // namespace

Fail::Fail(const std::string& object, const std::string& value) : vux_err::Error("user", object, value) {}

uid_t Uid(const std::string& name) {
    std::vector<char> buf;
    return Need(name, buf).pw_uid;
}

gid_t Gid(const std::string& name) {
    std::vector<char> buf;
    return Need(name, buf).pw_gid;
}

}  // namespace vux_user
