#include <libvux/vuxenv.h>

#include <sys/utsname.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>

#include <libvux/vuxerr.h>
#include <libvux/vuxfile.h>
#include <libvux/vuxlog.h>
#include <libvux/vuxproc.h>
#include <libvux/vuxregex.h>
#include <libvux/vuxstr.h>
#include <libvux/vuxtest.h>
#include <libvux/vuxthread.h>

namespace vux_env {

namespace {

VUX_LOG_MODULE("libvux", "core")

// What is known so far; an unknown (empty, zero) value is looked for again.
struct Cache {
    vux_thread::SafeLock lock;
    std::uint32_t os = 0;
    std::string version;
    std::string arch;
    int openvz = 0;  // 1 inside a container, 2 not
};

Cache& GetCache() {
    static Cache cache;
    return cache;
}

bool DebianFamily(std::uint32_t code) { return (code & 0x20200) >= 0x20200; }
bool RedHatFamily(std::uint32_t code) { return (code & 0x20100) == 0x20100; }

const char* Name(std::uint32_t code) {
    switch (code) {
        case OsFreeBSD: return "FreeBSD";
        case OsSunOS: return "SunOS";
        case OsMacOS: return "MacOS";
        case OsGentoo: return "Gentoo";
        case OsRedHat: return "RedHat";
        case OsCentOS: return "CentOS";
        case OsCloudLinux: return "CloudLinux";
        case OsVirtuozzoLinux: return "VirtuozzoLinux";
        case OsDebian: return "Debian";
        case OsUbuntu: return "Ubuntu";
        case OsWindows: return "Windows";
        default: return "";
    }
}

std::uint32_t Detect() {
    if (vux_file::Exists("/etc/redhat-release")) {
        const std::string text = vux_file::Read("/etc/redhat-release");
        if (str::StartsWith(text, "Fedora release")) return OsFedora;
        if (str::StartsWith(text, "CentOS release") || str::StartsWith(text, "CentOS Linux release") ||
            str::StartsWith(text, "Scientific Linux release"))
            return OsCentOS;
        if (str::StartsWith(text, "CloudLinux")) return OsCloudLinux;
        if (str::StartsWith(text, "Virtuozzo Linux release")) return OsVirtuozzoLinux;
        return OsRedHat;
    }
    if (vux_file::Exists("/etc/debian_version")) {
        if (vux_file::Exists("/etc/lsb-release") &&
            vux_file::Read("/etc/lsb-release").find("Ubuntu") != std::string::npos)
            return OsUbuntu;
        return OsDebian;
    }
    if (vux_file::Exists("/etc/gentoo-release")) return OsGentoo;
    return OsUnknown;
}

std::string RedHatVersion() {
    vux_proc::Execute rpm("rpm -q --qf '%{version}.%{release}' -f /etc/redhat-release", vux_proc::Execute::PipeOut);
    std::string out = rpm.Str();
    // A failing rpm prints its complaint ("... is not owned by any package") on stdout.
    if (rpm.Result() != 0) return "";
    return str::Trim(out);
}

std::string DebianVersion() {
    std::string text = vux_file::Read("/etc/debian_version");
    if (!text.empty() && text.back() == '\n') text.pop_back();
    std::string::size_type dot = text.find('.');
    std::string major = text.substr(0, dot);
    std::string minor;
    if (dot != std::string::npos) {
        std::string::size_type next = text.find('.', dot + 1);
        minor = text.substr(dot + 1, next == std::string::npos ? std::string::npos : next - dot - 1);
    }
    if (minor.empty()) minor.push_back('0');
    if (!major.empty() && test::Numeric(major) && test::Numeric(minor)) return major + "." + minor;
    // Ubuntu keeps a codename there; the release number is in the issue text.
    std::string issue = vux_file::ReadE("/etc/issue");
    StringVector words;
    str::Split(issue, " ", words);
    for (const std::string& w : words)
        if (!w.empty() && w[0] >= '0' && w[0] <= '9') return w;
    return "";
}

}  // namespace

OsTypeEnum GetOsType() {
    Cache& c = GetCache();
    vux_thread::SafeSection section(c.lock);
    if (c.os) return static_cast<OsTypeEnum>(c.os);
    std::uint32_t code = Detect();
    VUX_LOG(VuxLogModule(), vux_log::LevelExtInfo, "Detected OS: %s", Name(code));
    c.os = code;
    return static_cast<OsTypeEnum>(code);
}

std::string GetOsVersion() {
    Cache& c = GetCache();
    vux_thread::SafeSection section(c.lock);
    if (!c.version.empty()) return c.version;
    const std::uint32_t code = GetOsType();
    if (RedHatFamily(code))
        c.version = RedHatVersion();
    else if (DebianFamily(code))
        c.version = DebianVersion();
    return c.version;
}

std::string GetOsArch() {
    Cache& c = GetCache();
    vux_thread::SafeSection section(c.lock);
    if (c.arch.empty()) {
        struct utsname u;
        if (::uname(&u) == 0) c.arch = u.machine;
    }
    return c.arch;
}

std::string GetOs() {
    const OsTypeEnum code = GetOsType();
    return std::string(Name(code)) + " " + GetOsVersion();
}

std::string GetRepoFile() {
    static const char* const kDebian = "/etc/apt/sources.list.d/qexworks.list";
    static const char* const kRedHat = "/etc/yum.repos.d/qexworks.repo";
    const std::uint32_t code = GetOsType();
    if (DebianFamily(code)) return kDebian;
    if (RedHatFamily(code)) return kRedHat;
    for (const char* path : {kDebian, kRedHat}) {
        vux_file::Info dir(vux_file::SplitPath(path).first, 2);
        if (!dir.IsMissed() && dir.IsDir()) return path;
    }
    return "";
}

bool IsOpenVZChild() {
    Cache& c = GetCache();
    vux_thread::SafeSection section(c.lock);
    if (!c.openvz) {
        if (!vux_file::Exists("/proc/user_beancounters")) {
            c.openvz = 2;
        } else {
            // Only the host lists the id 0.
            static const vux_regex::RegEx host("\n *0:");
            c.openvz = vux_regex::RegExMatch(vux_file::Read("/proc/user_beancounters"), host) ? 2 : 1;
        }
    }
    return c.openvz == 1;
}

std::string GetEnv(const std::string& name) {
    const char* v = ::getenv(name.c_str());
    return v ? v : "";
}

void SetEnv(const std::string& name, const std::string& value) {
    if (::setenv(name.c_str(), value.c_str(), 1) != 0) throw vux_err::System("setenv", errno);
}

void DropEnv(const std::string& name) {
    if (::unsetenv(name.c_str()) != 0) throw vux_err::System("unsetenv", errno);
}

}  // namespace vux_env
