// Ip and IpRange: any text is an address the C library reads, the same address printed
// canonically, or a "value" error; ranges never end before they start for the prefix form.
#include <arpa/inet.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include <libvux/vuxerr.h>
#include <libvux/vuxnet.h>

namespace {

bool LibcReads(const std::string& s) {
    const std::size_t first = s.find_first_not_of(" \t\n\r");
    if (first == std::string::npos || s.find('\0') != std::string::npos) return false;
    const std::string t = s.substr(first, s.find_last_not_of(" \t\n\r") - first + 1);
    unsigned char b[16];
    return inet_pton(AF_INET, t.c_str(), b) == 1 || inet_pton(AF_INET6, t.c_str(), b) == 1;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string in(reinterpret_cast<const char*>(data), size);
    try {
        vux_net::Ip ip(in);
        if (!in.empty() && !LibcReads(in)) abort();
        if (vux_net::Ip(ip.Str()).Str() != ip.Str()) abort();
        vux_net::Ip next = ip;
        if ((--(++next)).Str() != ip.Str()) abort();
    } catch (const vux_err::Error& e) {
        if (LibcReads(in) || std::strcmp(e.type().c_str(), "value") != 0) abort();
    }
    try {
        const vux_net::IpRange range(in);
        if (in.find('-') == std::string::npos && in.find('/') != std::string::npos) {
            if (range.last() < range.first() || !range.Has(range.first()) || !range.Has(range.last())) abort();
            range.Size();
        }
    } catch (const vux_err::Error& e) {
        if (e.type() != "value") abort();
    }
    return 0;
}
