#include <cstdlib>
#include <iostream>

#include <libvux/vuxnet.h>

#include "commands.h"

namespace vuxtool {

namespace {

// A type by its name ("MX") or number.
bool ParseType(const std::string& text, vux_net::DomainRecordType& type) {
    for (unsigned n : {1, 2, 5, 6, 12, 15, 16, 28, 33, 39, 43, 46, 47, 48, 50, 51, 252, 257, 65401}) {
        vux_net::DomainRecord r;
        r.type = static_cast<std::uint16_t>(n);
        if (r.stype() == text) {
            type = static_cast<vux_net::DomainRecordType>(n);
            return true;
        }
    }
    char* end = nullptr;
    const unsigned long n = std::strtoul(text.c_str(), &end, 10);
    if (text.empty() || *end || n == 0 || n > 65535) return false;
    type = static_cast<vux_net::DomainRecordType>(n);
    return true;
}

}  // namespace

// Asks one server directly, over TCP, and prints the answer a record a line, as dig does.
void DnsOptions(vux_args::Args& a) {
    a.AddOption("source", 's', "the local address to ask from").SetParam();
}

int Dns(const Cmdline& c) {
    const Args& args = c.args;
    const char* const usage = "dns SERVER NAME TYPE [--source IP]";
    if (args.size() != 3) throw Usage{usage};
    vux_net::DomainRecordType type;
    if (!ParseType(args[2], type)) throw Usage{usage};
    std::vector<vux_net::DomainRecord> records;
    if (!vux_net::GetDomainRecords(args[0], args[1], type, &records, c.options["source"])) {
        std::cerr << "no answer from " << args[0] << "\n";
        return 1;
    }
    for (const vux_net::DomainRecord& r : records) {
        const std::string stype = r.stype().empty() ? "TYPE" + std::to_string(r.type) : r.stype();
        std::cout << r.name << "\t" << r.ttl << "\tIN\t" << stype << "\t";
        if (r.type == vux_net::DnsMX || r.type == vux_net::DnsSRV) std::cout << r.priority << " ";
        std::cout << r.value << "\n";
    }
    return std::cout ? 0 : 1;
}

}  // namespace vuxtool
