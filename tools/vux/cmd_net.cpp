#include <sys/socket.h>

#include <iostream>
#include <map>

#include <libvux/vuxnet.h>
#include <libvux/vuxtest.h>

#include "commands.h"

namespace vuxtool {

namespace {

const char* const kUsage = "net ip ADDR | net range RANGE | net check VALIDATOR VALUE | net host | net geoip ADDR";

typedef bool (*Validator)(std::string&);

const std::map<std::string, Validator>& Validators() {
    static const std::map<std::string, Validator> all = {
        {"NotEmpty", &test::NotEmpty},
        {"Numeric", &test::Numeric},
        {"AsciiPrintable", &test::AsciiPrintable},
        {"FileName", &test::FileName},
        {"Path", &test::Path},
        {"FileNameList", &test::FileNameList},
        {"UnixUserName", &test::UnixUserName},
        {"Date", &test::Date},
        {"MultiLine", &test::MultiLine},
        {"DotNumberSequence", &test::DotNumberSequence},
        {"Ip4", &test::Ip4},
        {"Ip6", &test::Ip6},
        {"Ip", &test::Ip},
        {"Net", &test::Net},
        {"NetMask6", &test::NetMask6},
        {"NetMask4", &test::NetMask4},
        {"NetMask", &test::NetMask},
        {"IpRange", &test::IpRange},
        {"Mac", &test::Mac},
        {"HostName", &test::HostName},
        {"SubDomain", &test::SubDomain},
        {"WithAster", &test::WithAster<&test::SubDomain>},
        {"Domain", &test::Domain},
        {"DomainRecordName", &test::DomainRecordName},
        {"SrvRecordTarget", &test::SrvRecordTarget},
        {"Email", &test::Email},
        {"TsigKey", &test::TsigKey},
        {"Url", &test::Url},
    };
    return all;
}

const char* Family(int family) { return family == AF_INET ? "IPv4" : family == AF_INET6 ? "IPv6" : "none"; }

std::string Flags(const vux_net::Ip& ip) {
    std::string out;
    if (ip.IsLocal()) out += " local";
    if (ip.IsSpecial()) out += " special";
    if (ip.HavePossibleProblem()) out += " possible-problem";
    return out.empty() ? "none" : out.substr(1);
}

int ShowIp(const std::string& text) {
    const vux_net::Ip ip(text);
    std::cout << "address: " << ip.Str() << "\nfamily: " << Family(ip.Family()) << "\nreverse: " << ip.PtrName()
              << "\nvalue: " << ip.Bin().Str() << "\nflags: " << Flags(ip) << "\n";
    return 0;
}

int ShowRange(const std::string& text) {
    const vux_net::IpRange range(text);
    std::cout << "first: " << range.first().Str() << "\nlast: " << range.last().Str()
              << "\nsize: " << range.Size().Str() << "\n";
    return 0;
}

// Exit status 0 when valid, 1 when not, as a shell test would have it.
int CheckValue(const std::string& name, const std::string& value) {
    const auto it = Validators().find(name);
    if (it == Validators().end()) {
        std::string names;
        for (const auto& v : Validators()) names += " " + v.first;
        throw Usage{"net check VALIDATOR VALUE  (validators:" + names + ")"};
    }
    std::string v = value;
    const bool ok = it->second(v);
    std::cout << (ok ? "valid: " : "invalid: ") << v << "\n";
    return ok ? 0 : 1;
}

int ShowHost() {
    std::cout << "name: " << vux_net::GetHostName() << "\n";
    std::map<std::string, std::string> ifaces;
    vux_net::GetIpIfaceMap(ifaces);
    std::list<std::string> ips;
    vux_net::GetIpList(ips);
    for (const std::string& ip : ips) {
        const auto it = ifaces.find(ip);
        std::cout << "address: " << ip << (it == ifaces.end() ? "" : " " + it->second) << "\n";
    }
    return 0;
}

int ShowCountry(const std::string& addr) {
    const vux_net::GeoipCountry country(addr);
    std::cout << "code: " << country.Code() << "\nname: " << country.Name() << "\n";
    return 0;
}

}  // namespace

int Net(const Cmdline& c) {
    const Args& args = c.args;
    if (args.empty()) throw Usage{kUsage};
    const std::string& what = args[0];
    if (what == "ip" && args.size() == 2) return ShowIp(args[1]);
    if (what == "range" && args.size() == 2) return ShowRange(args[1]);
    if (what == "check" && args.size() == 3) return CheckValue(args[1], args[2]);
    if (what == "host" && args.size() == 1) return ShowHost();
    if (what == "geoip" && args.size() == 2) return ShowCountry(args[1]);
    throw Usage{kUsage};
}

}  // namespace vuxtool
