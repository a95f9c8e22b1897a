#include <libvux/vuxaccess_file.h>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include <libvux/vuxlog.h>
#include <libvux/vuxstr.h>

#include "private/vuxsys.h"

namespace vux_access_file {

namespace {

VUX_LOG_MODULE("libvux")

// The whole file; false when it exists but cannot be read. A missing file reads as empty.
bool Slurp(const std::string& path, std::string& out) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) return errno == ENOENT;
    char buf[4096];
    ssize_t n;
    while ((n = vux_sys::RetryAfterSignal([&] { return ::read(fd, buf, sizeof buf); })) > 0)
        out.append(buf, static_cast<std::size_t>(n));
    const int err = errno;  // the caller reports why the read failed
    ::close(fd);
    errno = err;
    return n == 0;
}

}  // namespace

Access::Access(const std::string& path, const std::string& scope) {
    VUX_LOG(VuxLogModule(), vux_log::LevelTrace, "Access '%s' scope '%s'", path.c_str(), scope.c_str());
    std::string text;
    if (!Slurp(path, text)) {
        // Failing open would grant what the file was written to refuse.
        int err = errno;
        VUX_LOG(VuxLogModule(), vux_log::LevelError, "Cannot read access file '%s': %s; every name is denied",
                path.c_str(), std::strerror(err));
        unreadable_ = true;
        return;
    }
    int number = 0;
    while (!text.empty()) {
        ++number;
        std::string line = str::Trim(str::GetWord(text, '\n'));
        std::string type = str::GetWord(line);
        if (type.empty() || type[0] == '#') continue;
        if (type != "allow" && type != "deny") {
            VUX_LOG(VuxLogModule(), vux_log::LevelWarning, "Bad access type '%s'", type.c_str());
            continue;
        }
        std::string name = str::GetWord(line);
        std::string rule_scope = str::Trim(line);
        if (rule_scope != "*" && rule_scope != scope) continue;
        rules_.emplace_back(name == "*" ? std::string() : name, type == "allow");
        lines_.push_back(number);
    }
}

namespace {

template <class Rules>
const typename Rules::value_type* Match(const Rules& rules, const std::string& name, std::size_t& index) {
    for (index = 0; index < rules.size(); ++index)
        if (rules[index].first.empty() || rules[index].first == name) return &rules[index];
    return nullptr;
}

}  // namespace

int Access::Decide(const std::string& name) const {
    if (unreadable_) return -1;
    std::size_t i;
    return Match(rules_, name, i) ? lines_[i] : 0;
}

bool Access::Good(const std::string& name) const {
    if (unreadable_) return false;
    std::size_t i;
    const auto* rule = Match(rules_, name, i);
    return !rule || rule->second;
}

}  // namespace vux_access_file
