#include <libvux/vuxnet.h>

#include <arpa/inet.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <set>
#include <sstream>

#include <libvux/private/vuxnet.h>
#include <libvux/vuxenv.h>
#include <libvux/vuxerr.h>
#include <libvux/vuxfile.h>
#include <libvux/vuxlog.h>
#include <libvux/vuxstream.h>
#include <libvux/vuxtest.h>
#include <libvux/vuxthread.h>

VUX_LOG_MODULE("libvux");

namespace vux_net {

namespace {

static_assert(sizeof(sockaddr_storage) <= 128, "SockAddr buffer too small");

const unsigned long kLockTimeout = 10;

sockaddr_in* In4(unsigned char* buf) { return reinterpret_cast<sockaddr_in*>(buf); }
sockaddr_in6* In6(unsigned char* buf) { return reinterpret_cast<sockaddr_in6*>(buf); }

// ---- host names ----

bool DebianFamily(vux_env::OsTypeEnum os) { return (os & 0xFFFF00) == 0x20200; }

bool RedHatFamily(vux_env::OsTypeEnum os) {
    return os == vux_env::OsRedHat || os == vux_env::OsCentOS || os == vux_env::OsCloudLinux ||
           os == vux_env::OsVirtuozzoLinux;
}

// The first domain name that /etc/hosts gives together with the short name, or "".
std::string FullNameFromHosts(const std::string& short_name) {
    std::string hosts;
    try {
        hosts = vux_file::Read("/etc/hosts");
    } catch (const vux_err::Error&) {
        return "";
    }
    std::istringstream lines(hosts);
    std::string line;
    while (std::getline(lines, line)) {
        line = line.substr(0, line.find('#'));
        std::istringstream words(line);
        std::string word, found;
        bool has_short = false;
        while (words >> word) {
            std::string domain = word, ip = word;
            if (word == short_name) has_short = true;
            else if (found.empty() && test::Domain(domain) && !test::Ip(ip)) found = word;
        }
        if (has_short && !found.empty()) return found;
    }
    return "";
}

void WriteLocked(const std::string& path, const std::string& data) {
    vux_file::Lock lock;
    lock.DoLockWithTimeout(path, true, kLockTimeout, 0);
    lock.Write(data);
}

// Sets "key" + value on the line that starts with key, or adds such a line.
void EditKeyFile(const std::string& path, const std::string& key, const std::string& value) {
    vux_file::Lock lock;
    lock.DoLockWithTimeout(path, true, kLockTimeout, 0);
    std::string text = lock.Read();
    if (!text.empty() && text.back() != '\n') text += '\n';
    std::size_t pos = text.compare(0, key.size(), key) == 0 ? 0 : text.find("\n" + key);
    if (pos == std::string::npos) {
        text += key + value + "\n";
    } else {
        if (text[pos] == '\n') ++pos;
        const std::size_t from = pos + key.size();
        text.replace(from, text.find('\n', from) - from, value);
    }
    lock.Write(text);
}

// ---- the host's addresses ----

typedef std::function<void(const std::string& addr, const std::string& iface)> AddrVisitor;

void VisitIp4(const AddrVisitor& visit) {
    ResHandle sock(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!sock) throw vux_err::System("socket", errno);
    std::vector<char> buf;
    ifconf conf;
    // The kernel fills what fits; an answer that fills the buffer may have been cut short.
    for (std::size_t size = 16 * sizeof(ifreq);; size *= 2) {
        buf.assign(size, 0);
        conf.ifc_len = static_cast<int>(size);
        conf.ifc_buf = buf.data();
        if (::ioctl(sock.fd(), SIOCGIFCONF, &conf) < 0) throw vux_err::System("ioctl", errno);
        if (static_cast<std::size_t>(conf.ifc_len) + sizeof(ifreq) <= size) break;
    }
    const std::size_t count = static_cast<std::size_t>(conf.ifc_len) / sizeof(ifreq);
    for (std::size_t i = 0; i < count; ++i) {
        ifreq req = conf.ifc_req[i];
        if (::ioctl(sock.fd(), SIOCGIFADDR, &req) < 0) {
            // Gone or unaddressed since the list was taken.
            if (errno == ENODEV || errno == EADDRNOTAVAIL) continue;
            throw vux_err::System("ioctl", errno);
        }
        if (req.ifr_addr.sa_family != AF_INET) continue;
        const in_addr addr = reinterpret_cast<sockaddr_in*>(&req.ifr_addr)->sin_addr;
        visit(AddrText(AF_INET, &addr), std::string(req.ifr_name, strnlen(req.ifr_name, IFNAMSIZ)));
    }
}

void VisitIp6(const AddrVisitor& visit) {
    vux_stream::InStream in("/proc/net/if_inet6");
    if (!in.IsOpen()) return;
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream words(line);
        std::string hex, word, iface;
        words >> hex;
        while (words >> word) iface = word;
        if (hex.size() != 32) continue;
        std::string text;
        for (std::size_t i = 0; i < 32; i += 4) {
            if (i) text += ':';
            text.append(hex, i, 4);
        }
        if (test::Ip6(text)) visit(text, iface);
    }
}

// Interface addresses that are not special.
void VisitHostAddrs(const AddrVisitor& visit) {
    const AddrVisitor filter = [&](const std::string& addr, const std::string& iface) {
        if (Ip(addr).IsSpecial()) return;
        visit(addr, iface);
    };
    VisitIp4(filter);
    VisitIp6(filter);
}

}  // namespace

// ---- SockAddr -------------------------------------------------------------------

SockAddr::SockAddr(std::string ip, int port) {
    if (static_cast<unsigned>(port) > 65535) throw vux_err::Value("port", std::to_string(port));
    if (ReadAddr(ip, AF_INET, &In4(buf_)->sin_addr)) {
        In4(buf_)->sin_family = AF_INET;
        In4(buf_)->sin_port = htons(static_cast<std::uint16_t>(port));
    } else if (ReadAddr(ip, AF_INET6, &In6(buf_)->sin6_addr)) {
        In6(buf_)->sin6_family = AF_INET6;
        In6(buf_)->sin6_port = htons(static_cast<std::uint16_t>(port));
    } else {
        throw vux_err::Value("ip", ip);
    }
}

SockAddr::SockAddr(const std::string& path) {
    sockaddr_un* un = reinterpret_cast<sockaddr_un*>(buf_);
    if (path.size() >= sizeof un->sun_path) throw vux_err::Value("path", path);
    un->sun_family = AF_UNIX;
    std::memcpy(un->sun_path, path.data(), path.size());
}

SockAddr::SockAddr(sockaddr* addr) {
    if (!addr || (addr->sa_family != AF_INET && addr->sa_family != AF_INET6)) throw vux_err::Value("sockaddr", "");
    std::memcpy(buf_, addr, addr->sa_family == AF_INET ? sizeof(sockaddr_in) : sizeof(sockaddr_in6));
}

sockaddr* SockAddr::addr() { return reinterpret_cast<sockaddr*>(buf_); }
const sockaddr* SockAddr::addr() const { return reinterpret_cast<const sockaddr*>(buf_); }
int SockAddr::family() const { return addr()->sa_family; }

unsigned SockAddr::addrsize() const {
    switch (family()) {
    case AF_INET: return sizeof(sockaddr_in);
    case AF_INET6: return sizeof(sockaddr_in6);
    case AF_UNIX: return sizeof(sockaddr_un);
    }
    throw vux_err::Value("sockaddr", "");
}

int SockAddr::port() const {
    if (family() != AF_INET && family() != AF_INET6) return 0;
    return ntohs(reinterpret_cast<const sockaddr_in*>(buf_)->sin_port);
}

std::string SockAddr::ip() const {
    if (family() == AF_INET) return AddrText(AF_INET, &reinterpret_cast<const sockaddr_in*>(buf_)->sin_addr);
    if (family() == AF_INET6) return AddrText(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(buf_)->sin6_addr);
    return "";
}

bool SockAddr::IsBusy(Proto proto) const {
    ResHandle sock(::socket(family(), (proto == ProtoTcp ? SOCK_STREAM : SOCK_DGRAM) | SOCK_CLOEXEC, 0));
    if (!sock) throw vux_err::Error("socket", "open");
    return ::bind(sock.fd(), addr(), addrsize()) != 0;
}

// ---- host names -------------------------------------------------------------------

std::string GetHostName() {
    char buf[64 + 1] = {};
    if (::gethostname(buf, sizeof buf - 1) != 0) return "";
    const std::string name(buf);
    std::string check = name;
    if (!DebianFamily(vux_env::GetOsType()) || test::Domain(check)) return name;
    const std::string full = FullNameFromHosts(name);
    return full.empty() ? name : full;
}

void SetHostName(const std::string& name) {
    if (::sethostname(name.data(), name.size()) != 0) {
        VUX_LOG(VuxLogModule(), vux_log::LevelWarning, "sethostname '%s': %s", name.c_str(), std::strerror(errno));
        return;
    }
    const vux_env::OsTypeEnum os = vux_env::GetOsType();
    if (DebianFamily(os)) {
        WriteLocked("/etc/hostname", name);
    } else if (RedHatFamily(os)) {
        if (vux_file::Exists("/etc/hostname")) WriteLocked("/etc/hostname", name);
        EditKeyFile("/etc/sysconfig/network", "HOSTNAME=", name);
    } else if (os == vux_env::OsFreeBSD) {
        EditKeyFile("/etc/rc.conf", "hostname=", "\"" + name + "\"");
    }
}

// ---- the host's addresses -------------------------------------------------------------

void GetIpList(std::list<std::string>& out) {
    std::set<std::string> seen;
    VisitHostAddrs([&](const std::string& addr, const std::string&) {
        if (seen.insert(addr).second) out.push_back(addr);
    });
    if (!vux_file::Exists("etc/iplist.conf")) return;
    vux_stream::InStream in("etc/iplist.conf");
    std::string line;
    while (std::getline(in, line)) {
        std::string addr = line;
        if ((test::Ip4(addr) || test::Ip6(addr)) && seen.insert(addr).second) out.push_back(addr);
    }
}

void GetIpIfaceMap(std::map<std::string, std::string>& out) {
    VisitHostAddrs([&](const std::string& addr, const std::string& iface) { out[addr] = iface; });
}

// ---- look-ups -------------------------------------------------------------------------

void GetHostIp(const std::string& name, int family, std::vector<std::string>& out) {
    // The resolver would read the name only up to a NUL byte.
    if (name.find('\0') != std::string::npos) return;
    vux_thread::SetStateC("gethostbyname");
    std::vector<char> work(512);
    hostent entry;
    hostent* result = nullptr;
    int herr = 0;
    int rc;
    while ((rc = ::gethostbyname2_r(name.c_str(), family, &entry, work.data(), work.size(), &result, &herr)) ==
               ERANGE &&
           work.size() < (1u << 24))
        work.resize(work.size() * 2);
    if (rc != 0 || !result) return;
    for (char** a = result->h_addr_list; *a; ++a) out.push_back(AddrText(result->h_addrtype, *a));
}

std::vector<std::string> GetHostIp(const std::string& name) {
    std::vector<std::string> out;
    GetHostIp(name, AF_INET6, out);
    GetHostIp(name, AF_INET, out);
    return out;
}

}  // namespace vux_net
