// Network addresses, host queries and the DNS resolver.
#ifndef LIBVUX_VUXNET_H
#define LIBVUX_VUXNET_H

#include <libvux/vuxapi.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include <libvux/vuxstream.h>

VUX_API_BEGIN

namespace vux_net {

// DNS record types by number.
enum DomainRecordType : std::uint16_t {
    DnsA = 1,
    DnsNS = 2,
    DnsCNAME = 5,
    DnsSOA = 6,
    DnsPTR = 12,
    DnsMX = 15,
    DnsTXT = 16,
    DnsAAAA = 28,
    DnsSRV = 33,
    DnsDNAME = 39,
    DnsDS = 43,
    DnsRRSIG = 46,
    DnsNSEC = 47,
    DnsDNSKEY = 48,
    DnsNSEC3 = 50,
    DnsNSEC3PARAM = 51,
    DnsAXFR = 252,
    DnsCAA = 257,
    DnsALIAS = 65401,
};

// One record of an answer: the owner name, the data as text, and for MX and SRV the priority.
struct DomainRecord {
    std::string name;
    std::string value;
    std::uint32_t ttl = 0;
    std::uint16_t priority = 0;
    std::uint16_t type = 0;

    // "A", "MX", ...; "" for a type without a name here.
    std::string stype() const;
};

// Asks the server at server_ip (IPv4, port 53, over TCP; from source_ip when not empty) for
// the records of one name and type, appending them to `records`. An AXFR collects every message
// of the transfer. False when no connection could be made or no valid answer came (a wrong id,
// no response bit, an error code, silence for 5 seconds); a malformed answer throws
// vux_err::Error "dns"/"packet". Records of an answer that turns out malformed are not appended.
bool GetDomainRecords(const std::string& server_ip, const std::string& domain, DomainRecordType type,
                      std::vector<DomainRecord>* records, const std::string& source_ip = std::string());

// Reads exactly `length` bytes; false when the peer closes or a read fails first (a time-out
// too). True at once for length 0.
bool Receive(ResHandle& socket, unsigned char* buffer, std::size_t length);

}  // namespace vux_net

VUX_API_END

#endif
