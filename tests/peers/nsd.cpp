#include "nsd.h"
#include "server.h"

#include <unistd.h>

#include <stdexcept>

namespace peers {

namespace {

const char* const kNsd = "/usr/sbin/nsd";

}  // namespace

std::string Nsd::Missing() {
    if (::access(kNsd, X_OK) != 0) return "nsd is not installed (scripts/deps installs it)";
    if (::geteuid() != 0) return "NSD needs root for port 53";
    return "";
}

Nsd::Nsd(const std::string& address, const std::map<std::string, std::string>& zones) {
    if (!Missing().empty()) throw std::runtime_error(Missing());
    const std::string d = dir_.name();
    std::string conf = "server:\n  ip-address: " + address + "\n  port: 53\n  do-ip6: no\n  username: \"\"\n"
                       "  chroot: \"\"\n  zonesdir: \"" + d + "\"\n  pidfile: \"" + d + "/nsd.pid\"\n"
                       "  database: \"\"\n  logfile: \"" + d + "/nsd.log\"\n  xfrdfile: \"" + d + "/xfrd.state\"\n"
                       "  zonelistfile: \"" + d + "/zone.list\"\n  xfrdir: \"" + d + "\"\n  server-count: 1\n"
                       "  verbosity: 1\nremote-control:\n  control-enable: no\n";
    for (const auto& zone : zones) {
        vux_file::Write(d + "/" + zone.first + ".zone", zone.second);
        conf += "zone:\n  name: \"" + zone.first + "\"\n  zonefile: \"" + zone.first + ".zone\"\n"
                "  provide-xfr: 127.0.0.0/8 NOKEY\n";
    }
    vux_file::Write(d + "/nsd.conf", conf);
    const std::string conf_path = d + "/nsd.conf";
    const char* const argv[] = {kNsd, "-d", "-c", conf_path.c_str(), nullptr};
    pid_ = StartServer(argv, address, 53, d + "/nsd.log");
}

std::string ExampleZone() {
    std::string zone =
        "$ORIGIN example.test.\n$TTL 3600\n"
        "@ IN SOA ns1.example.test. hostmaster.example.test. 2026120701 3600 600 86400 300\n"
        "@ IN NS ns1\n@ IN NS ns2.example.org.\nns1 IN A 127.0.53.10\n@ IN A 192.0.2.1\n@ IN AAAA 2001:db8::1\n"
        "www IN CNAME @\n4.3.2.1 IN PTR host.example.test.\n@ IN MX 10 mail\n@ IN MX 20 mail2.example.org.\n"
        "@ IN TXT \"v=spf1 -all\" \"second string\"\n_sip._tcp IN SRV 5 20 5060 sip\n"
        "@ IN CAA 0 issue \"letsencrypt.org\"\nold IN DNAME new.example.org.\n"
        "secure IN DS 12345 13 2 0123456789ABCDEF0123456789ABCDEF0123456789ABCDEF0123456789ABCDEF\n";
    for (int i = 0; i < 5000; ++i)
        zone.append("h").append(std::to_string(i)).append(" IN A 10.1.").append(std::to_string(i / 256)).append(".")
            .append(std::to_string(i % 256)).append("\n");
    return zone;
}

Nsd::~Nsd() {
    Stop();
}

void Nsd::Stop() {
    StopServer(pid_);
}

}  // namespace peers
