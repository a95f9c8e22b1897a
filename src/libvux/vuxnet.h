// IP addresses of both families, ranges, socket addresses, bind strings, host queries and a DNS
// resolver that asks one server directly.
#ifndef LIBVUX_VUXNET_H
#define LIBVUX_VUXNET_H

#include <libvux/vuxapi.h>

#include <cstddef>
#include <cstdint>
#include <list>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <libvux/vuxbignum.h>
#include <libvux/vuxstream.h>

struct sockaddr;

VUX_API_BEGIN

namespace vux_net {

// An address value of either family; copies share the address until one of them changes.
class Ip {
public:
    // The empty address; the families derive from it.
    class Addr {
    public:
        virtual ~Addr() {}
        virtual Addr* Clone() const;
        // Keep the first `bits` bits and clear / set the rest.
        virtual void SetMask(std::size_t bits);
        virtual void SetLastByMask(std::size_t bits);
        // True when the first `bits` bits are equal; the other must be of the same type.
        virtual bool Compare(const Addr& other, std::size_t bits) const;
        virtual bool HavePossibleProblem() const;
        virtual bool IsLocal() const;
        virtual bool IsSpecial() const;
        virtual std::string Str() const;
        virtual int Family() const;
        // The address read as a netmask: its length up to the last one bit.
        virtual std::size_t ToPrefix() const;
        virtual bool Less(const Addr& other) const;
        virtual bool Eq(const Addr& other) const;
        // Next and previous address, wrapping at the ends.
        virtual void Inc();
        virtual void Dec();
        virtual vux_bignum::Int Bin() const;
        virtual std::string PtrName() const;
    };

    Ip();
    // Empty text: the empty address. Blanks around an address are ignored; anything else
    // throws vux_err::Value("ip", s) and leaves the target as it was.
    Ip(const std::string& s);
    Ip& operator=(const std::string& s);

    std::string Str() const { return addr_->Str(); }
    int Family() const { return addr_->Family(); }
    bool IsLocal() const { return addr_->IsLocal(); }
    // The empty address, broadcast, 0.x.x.x, loopback, link-local, multicast.
    bool IsSpecial() const { return addr_->IsSpecial(); }
    // IPv4 addresses ending in .0 or .255.
    bool HavePossibleProblem() const { return addr_->HavePossibleProblem(); }
    std::size_t ToPrefix() const { return addr_->ToPrefix(); }
    std::string PtrName() const { return addr_->PtrName(); }
    vux_bignum::Int Bin() const { return addr_->Bin(); }

    // A mask at least as long as the address leaves it unchanged.
    Ip& SetMask(std::size_t bits);
    Ip& SetLastByMask(std::size_t bits);
    Ip FirstByMask(std::size_t bits) const { return Ip(*this).SetMask(bits); }
    Ip LastByMask(std::size_t bits) const { return Ip(*this).SetLastByMask(bits); }
    // False for addresses of different families.
    bool Compare(const Ip& other, std::size_t bits) const;

    // Two empty addresses are not equal. Order: empty, then IPv4, then IPv6.
    bool operator==(const Ip& other) const;
    bool operator!=(const Ip& other) const { return !(*this == other); }
    bool operator<(const Ip& other) const;
    bool operator>(const Ip& other) const { return other < *this; }
    bool operator<=(const Ip& other) const { return !(other < *this); }
    bool operator>=(const Ip& other) const { return !(*this < other); }

    Ip& operator++();
    Ip& operator--();
    Ip operator++(int);
    Ip operator--(int);

    const Addr& addr() const { return *addr_; }

private:
    explicit Ip(std::shared_ptr<Addr> addr) : addr_(std::move(addr)) {}
    static std::shared_ptr<Addr> Parse(const std::string& s);
    Addr& Own();

    std::shared_ptr<Addr> addr_;
};

class Ip4Addr : public Ip::Addr {
public:
    // In network byte order, as inet_addr gives it.
    explicit Ip4Addr(std::uint32_t addr) : addr_(addr) {}
    Addr* Clone() const override;
    void SetMask(std::size_t bits) override;
    void SetLastByMask(std::size_t bits) override;
    bool Compare(const Addr& other, std::size_t bits) const override;
    bool HavePossibleProblem() const override;
    bool IsLocal() const override;
    bool IsSpecial() const override;
    std::string Str() const override;
    int Family() const override;
    std::size_t ToPrefix() const override;
    bool Less(const Addr& other) const override;
    bool Eq(const Addr& other) const override;
    void Inc() override;
    void Dec() override;
    vux_bignum::Int Bin() const override;
    std::string PtrName() const override;

private:
    std::uint32_t Host() const;
    void SetHost(std::uint32_t v);

    std::uint32_t addr_;
};

class Ip6Addr : public Ip::Addr {
public:
    // The 16 bytes in network order.
    explicit Ip6Addr(const unsigned char* bytes);
    Addr* Clone() const override;
    void SetMask(std::size_t bits) override;
    void SetLastByMask(std::size_t bits) override;
    bool Compare(const Addr& other, std::size_t bits) const override;
    bool HavePossibleProblem() const override;
    bool IsLocal() const override;
    bool IsSpecial() const override;
    std::string Str() const override;
    int Family() const override;
    std::size_t ToPrefix() const override;
    bool Less(const Addr& other) const override;
    bool Eq(const Addr& other) const override;
    void Inc() override;
    void Dec() override;
    vux_bignum::Int Bin() const override;
    std::string PtrName() const override;

private:
    void Fill(std::size_t bits, bool ones);

    unsigned char addr_[16];
};

// "A-B", "A/N" or a single address. A-B is taken as given (no order or family check);
// A/N throws vux_err::Value("ip", s) unless N is a prefix length of A's family.
class IpRange {
public:
    explicit IpRange(const std::string& s);
    // ip >= first and ip <= last; an address of the other family is never inside.
    bool Has(const Ip& ip) const;
    // last - first + 1, exact for any IPv6 range.
    vux_bignum::Int Size() const;

    const Ip& first() const { return first_; }
    const Ip& last() const { return last_; }
    // The N of the A/N form, 0 for the other forms.
    std::size_t prefix() const { return prefix_; }

private:
    Ip first_;
    Ip last_;
    std::size_t prefix_ = 0;
};

// A socket address of an IP family or a Unix-domain path.
class SockAddr {
public:
    enum Proto { ProtoTcp, ProtoUdp };

    // A port outside 0..65535 throws vux_err::Value("port", port); an address that is not
    // IPv4 or IPv6 throws vux_err::Value("ip", ip).
    SockAddr(std::string ip, int port);
    // A path of 108 bytes or more throws vux_err::Value("path", path).
    explicit SockAddr(const std::string& path);
    // Only AF_INET and AF_INET6; anything else, null included, throws Value("sockaddr", "").
    explicit SockAddr(sockaddr* addr);

    sockaddr* addr();
    const sockaddr* addr() const;
    // Throws vux_err::Value("sockaddr", "") for a family it does not know.
    unsigned addrsize() const;
    int port() const;
    int family() const;
    std::string ip() const;

    // True when binding this address fails now; vux_err::Error("socket", "open") when no
    // socket can be made.
    bool IsBusy(Proto proto) const;

private:
    alignas(8) unsigned char buf_[128] = {};
};

// Bind strings "address:port"; an IPv6 address must be in brackets. None throws.
std::pair<std::string, std::string> SplitBind(const std::string& s);
std::pair<std::string, std::string> SplitBindClear(const std::string& s);
// "[x]" gives "x"; anything else is returned as it is.
std::string ClearIp(const std::string& s);
// Brackets IPv6 addresses only.
std::string QuoteIp(const std::string& s);

// The host's name: on the Debian family a short kernel name is completed from /etc/hosts.
// "" when the kernel name cannot be read.
std::string GetHostName();
// Sets the kernel name and the system's files for it; reports nothing when the kernel refuses.
void SetHostName(const std::string& name);
// Appends the host's non-special addresses (interfaces, then /proc/net/if_inet6), then the
// lines of etc/iplist.conf, each once. A failing interface query throws vux_err::System.
void GetIpList(std::list<std::string>& out);
// Address -> interface name for the host's non-special addresses.
void GetIpIfaceMap(std::map<std::string, std::string>& out);
// Appends the addresses the resolver gives for name in family; nothing when it fails.
void GetHostIp(const std::string& name, int family, std::vector<std::string>& out);
// IPv6 addresses first, then IPv4.
std::vector<std::string> GetHostIp(const std::string& name);

// Country of an address (or of the address of "address/prefix") from the GeoIP databases.
// Throws vux_err::Missed("file", ...) without the databases and Value("ipaddr", addr) for
// anything but an address.
class GeoipCountry {
public:
    explicit GeoipCountry(const std::string& addr);
    ~GeoipCountry();
    GeoipCountry(const GeoipCountry&) = delete;
    GeoipCountry& operator=(const GeoipCountry&) = delete;

    // "" when the database does not know the address.
    std::string Name() const;
    std::string Code() const;

private:
    void* db_ = nullptr;
    std::string addr_;
    bool ipv6_ = false;
};

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
