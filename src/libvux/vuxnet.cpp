#include <libvux/vuxnet.h>

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstring>
#include <typeinfo>

#include <libvux/private/vuxnet.h>
#include <libvux/vuxerr.h>
#include <libvux/vuxtest.h>


namespace vux_net {

namespace {

const char kBlanks[] = " \t\n\r";
const char kHex[] = "0123456789abcdef";

// Addresses of another dynamic type answer no comparison.
template <class T>
const T* Same(const Ip::Addr& other) {
    return dynamic_cast<const T*>(&other);
}

const std::shared_ptr<Ip::Addr>& EmptyAddr() {
    static const std::shared_ptr<Ip::Addr> empty = std::make_shared<Ip::Addr>();
    return empty;
}

// The prefix of "A/N": digits only and no longer than the family's address.
std::size_t PrefixOf(const std::string& text, const Ip& ip, const std::string& whole) {
    const std::size_t width = ip.Family() == AF_INET ? 32 : ip.Family() == AF_INET6 ? 128 : 0;
    std::string digits = text;
    if (width == 0 || digits.empty() || digits.size() > 3 || !test::Numeric(digits) ||
        std::stoul(digits) > width)
        throw vux_err::Value("ip", whole);
    return std::stoul(digits);
}

}  // namespace

bool ReadAddr(const std::string& s, int family, void* out) {
    const std::size_t first = s.find_first_not_of(kBlanks);
    if (first == std::string::npos || s.find('\0') != std::string::npos) return false;
    const std::size_t last = s.find_last_not_of(kBlanks);
    // Longer than any address text: refused without copying it.
    if (last - first + 1 > INET6_ADDRSTRLEN) return false;
    if (first == 0 && last + 1 == s.size()) return inet_pton(family, s.c_str(), out) == 1;
    char buf[INET6_ADDRSTRLEN + 1];
    std::memcpy(buf, s.data() + first, last - first + 1);
    buf[last - first + 1] = '\0';
    return inet_pton(family, buf, out) == 1;
}

std::string AddrText(int family, const void* addr) {
    char buf[INET6_ADDRSTRLEN];
    if (!inet_ntop(family, addr, buf, sizeof buf)) return "";
    return buf;
}

// ---- the empty address ----------------------------------------------------

Ip::Addr* Ip::Addr::Clone() const { return new Addr; }
void Ip::Addr::SetMask(std::size_t) {}
void Ip::Addr::SetLastByMask(std::size_t) {}
bool Ip::Addr::Compare(const Addr&, std::size_t) const { return false; }
bool Ip::Addr::HavePossibleProblem() const { return true; }
bool Ip::Addr::IsLocal() const { return false; }
bool Ip::Addr::IsSpecial() const { return true; }
std::string Ip::Addr::Str() const { return ""; }
int Ip::Addr::Family() const { return 0; }
std::size_t Ip::Addr::ToPrefix() const { return 0; }
bool Ip::Addr::Less(const Addr&) const { return false; }
bool Ip::Addr::Eq(const Addr&) const { return false; }
void Ip::Addr::Inc() {}
void Ip::Addr::Dec() {}
vux_bignum::Int Ip::Addr::Bin() const { return vux_bignum::Int(); }
std::string Ip::Addr::PtrName() const { return ""; }

// ---- IPv4 -----------------------------------------------------------------

namespace {

// The bits below a prefix of n; a prefix as long as the address or longer masks nothing.
std::uint32_t HostMask(std::size_t n) { return n >= 32 ? 0 : 0xFFFFFFFFu >> n; }

}  // namespace

std::uint32_t Ip4Addr::Host() const { return ntohl(addr_); }
void Ip4Addr::SetHost(std::uint32_t v) { addr_ = htonl(v); }

Ip::Addr* Ip4Addr::Clone() const { return new Ip4Addr(addr_); }
void Ip4Addr::SetMask(std::size_t bits) { SetHost(Host() & ~HostMask(bits)); }
void Ip4Addr::SetLastByMask(std::size_t bits) { SetHost(Host() | HostMask(bits)); }

bool Ip4Addr::Compare(const Addr& other, std::size_t bits) const {
    const Ip4Addr* o = Same<Ip4Addr>(other);
    return o && (Host() | HostMask(bits)) == (o->Host() | HostMask(bits));
}

bool Ip4Addr::HavePossibleProblem() const {
    const std::uint32_t last = Host() & 0xFF;
    return last == 0 || last == 255;
}

bool Ip4Addr::IsLocal() const { return Host() >> 24 == 127; }
bool Ip4Addr::IsSpecial() const { return Host() == 0xFFFFFFFFu || Host() >> 24 == 0 || IsLocal(); }
std::string Ip4Addr::Str() const { return AddrText(AF_INET, &addr_); }
int Ip4Addr::Family() const { return AF_INET; }
std::size_t Ip4Addr::ToPrefix() const { return Host() == 0 ? 0 : 32 - __builtin_ctz(Host()); }

bool Ip4Addr::Less(const Addr& other) const {
    const Ip4Addr* o = Same<Ip4Addr>(other);
    return o && Host() < o->Host();
}

bool Ip4Addr::Eq(const Addr& other) const {
    const Ip4Addr* o = Same<Ip4Addr>(other);
    return o && addr_ == o->addr_;
}

void Ip4Addr::Inc() { SetHost(Host() + 1); }
void Ip4Addr::Dec() { SetHost(Host() - 1); }

vux_bignum::Int Ip4Addr::Bin() const {
    return vux_bignum::Int().SetBe(reinterpret_cast<const unsigned char*>(&addr_), 4);
}

std::string Ip4Addr::PtrName() const {
    const unsigned char* b = reinterpret_cast<const unsigned char*>(&addr_);
    std::string out;
    for (int i = 3; i >= 0; --i) out += std::to_string(b[i]) + ".";
    return out + "in-addr.arpa.";
}

// ---- IPv6 -----------------------------------------------------------------

Ip6Addr::Ip6Addr(const unsigned char* bytes) { std::memcpy(addr_, bytes, sizeof addr_); }

Ip::Addr* Ip6Addr::Clone() const { return new Ip6Addr(addr_); }

void Ip6Addr::Fill(std::size_t bits, bool ones) {
    if (bits >= 128) return;
    std::size_t rest = 128 - bits;
    int i = 15;
    for (; rest >= 8; rest -= 8, --i) addr_[i] = ones ? 0xFF : 0;
    const unsigned char low = static_cast<unsigned char>((1u << rest) - 1);
    if (rest) addr_[i] = ones ? (addr_[i] | low) : (addr_[i] & ~low);
}

void Ip6Addr::SetMask(std::size_t bits) { Fill(bits, false); }
void Ip6Addr::SetLastByMask(std::size_t bits) { Fill(bits, true); }

bool Ip6Addr::Compare(const Addr& other, std::size_t bits) const {
    const Ip6Addr* o = Same<Ip6Addr>(other);
    if (!o) return false;
    if (bits > 128) bits = 128;
    const std::size_t whole = bits / 8;
    if (std::memcmp(addr_, o->addr_, whole) != 0) return false;
    if (bits % 8 == 0) return true;
    const unsigned char high = static_cast<unsigned char>(0xFF00 >> (bits % 8));
    return (addr_[whole] & high) == (o->addr_[whole] & high);
}

bool Ip6Addr::HavePossibleProblem() const { return false; }

bool Ip6Addr::IsLocal() const {
    static const unsigned char zero[15] = {};
    const bool link_local = addr_[0] == 0xFE && (addr_[1] & 0xC0) == 0x80;
    return link_local || (std::memcmp(addr_, zero, 15) == 0 && addr_[15] <= 1);
}

bool Ip6Addr::IsSpecial() const { return addr_[0] == 0xFF || IsLocal(); }
std::string Ip6Addr::Str() const { return AddrText(AF_INET6, addr_); }
int Ip6Addr::Family() const { return AF_INET6; }

std::size_t Ip6Addr::ToPrefix() const {
    for (int i = 15; i >= 0; --i)
        if (addr_[i]) return 8 * i + 8 - __builtin_ctz(addr_[i]);
    return 0;
}

bool Ip6Addr::Less(const Addr& other) const {
    const Ip6Addr* o = Same<Ip6Addr>(other);
    return o && std::memcmp(addr_, o->addr_, sizeof addr_) < 0;
}

bool Ip6Addr::Eq(const Addr& other) const {
    const Ip6Addr* o = Same<Ip6Addr>(other);
    return o && std::memcmp(addr_, o->addr_, sizeof addr_) == 0;
}

void Ip6Addr::Inc() {
    for (int i = 15; i >= 0 && ++addr_[i] == 0; --i) {
    }
}

void Ip6Addr::Dec() {
    for (int i = 15; i >= 0 && addr_[i]-- == 0; --i) {
    }
}

vux_bignum::Int Ip6Addr::Bin() const { return vux_bignum::Int().SetBe(addr_, sizeof addr_); }

std::string Ip6Addr::PtrName() const {
    std::string out;
    out.reserve(73);
    for (int i = 15; i >= 0; --i) {
        out += kHex[addr_[i] & 0xF];
        out += '.';
        out += kHex[addr_[i] >> 4];
        out += '.';
    }
    return out + "ip6.arpa.";
}

// ---- Ip -------------------------------------------------------------------

Ip::Ip() : addr_(EmptyAddr()) {}

Ip::Ip(const std::string& s) : addr_(Parse(s)) {}

Ip& Ip::operator=(const std::string& s) {
    addr_ = Parse(s);
    return *this;
}

std::shared_ptr<Ip::Addr> Ip::Parse(const std::string& s) {
    if (s.empty()) return EmptyAddr();
    unsigned char bytes[16];
    if (ReadAddr(s, AF_INET, bytes)) {
        std::uint32_t v;
        std::memcpy(&v, bytes, 4);
        return std::make_shared<Ip4Addr>(v);
    }
    if (ReadAddr(s, AF_INET6, bytes)) return std::make_shared<Ip6Addr>(bytes);
    throw vux_err::Value("ip", s);
}

Ip::Addr& Ip::Own() {
    if (addr_.use_count() != 1) addr_.reset(addr_->Clone());
    return *addr_;
}

Ip& Ip::SetMask(std::size_t bits) {
    Own().SetMask(bits);
    return *this;
}

Ip& Ip::SetLastByMask(std::size_t bits) {
    Own().SetLastByMask(bits);
    return *this;
}

bool Ip::Compare(const Ip& other, std::size_t bits) const {
    const Addr &mine = *addr_, &theirs = *other.addr_;
    return typeid(mine) == typeid(theirs) && mine.Compare(theirs, bits);
}

bool Ip::operator==(const Ip& other) const {
    const Addr &mine = *addr_, &theirs = *other.addr_;
    return typeid(mine) == typeid(theirs) && mine.Eq(theirs);
}

bool Ip::operator<(const Ip& other) const {
    if (Family() != other.Family()) return Family() < other.Family();
    return addr_->Less(*other.addr_);
}

Ip& Ip::operator++() {
    Own().Inc();
    return *this;
}

Ip& Ip::operator--() {
    Own().Dec();
    return *this;
}

Ip Ip::operator++(int) {
    Ip old(*this);
    ++*this;
    return old;
}

Ip Ip::operator--(int) {
    Ip old(*this);
    --*this;
    return old;
}

// ---- IpRange ----------------------------------------------------------------

IpRange::IpRange(const std::string& s) {
    const std::size_t dash = s.find('-');
    const std::size_t slash = s.find('/');
    if (dash != std::string::npos) {
        first_ = Ip(s.substr(0, dash));
        last_ = Ip(s.substr(dash + 1));
    } else if (slash != std::string::npos) {
        const Ip base(s.substr(0, slash));
        prefix_ = PrefixOf(s.substr(slash + 1), base, s);
        first_ = base.FirstByMask(prefix_);
        last_ = base.LastByMask(prefix_);
    } else {
        first_ = last_ = Ip(s);
    }
}

bool IpRange::Has(const Ip& ip) const { return ip >= first_ && ip <= last_; }

vux_bignum::Int IpRange::Size() const { return last_.Bin() - first_.Bin() + vux_bignum::Int("1"); }

// ---- bind strings -------------------------------------------------------------

std::pair<std::string, std::string> SplitBind(const std::string& s) {
    const std::size_t bracket = s.find(']');
    if (bracket != std::string::npos) {
        std::string port;
        if (bracket + 1 < s.size() && s[bracket + 1] == ':') port = s.substr(bracket + 2);
        return {s.substr(0, bracket + 1), port};
    }
    const std::size_t colon = s.find(':');
    if (colon != std::string::npos) return {s.substr(0, colon), s.substr(colon + 1)};
    return {s, ""};
}

std::pair<std::string, std::string> SplitBindClear(const std::string& s) {
    std::pair<std::string, std::string> r = SplitBind(s);
    r.first = ClearIp(r.first);
    return r;
}

std::string ClearIp(const std::string& s) {
    if (s.size() >= 2 && s.front() == '[' && s.back() == ']') return s.substr(1, s.size() - 2);
    return s;
}

std::string QuoteIp(const std::string& s) {
    std::string copy = s;
    return test::Ip6(copy) ? "[" + s + "]" : s;
}

}  // namespace vux_net
