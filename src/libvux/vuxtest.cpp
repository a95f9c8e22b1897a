#include <libvux/vuxtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <set>
#include <vector>

#include <libvux/private/vuxnet.h>
#include <libvux/vuxdate.h>
#include <libvux/vuxerr.h>
#include <libvux/vuxfile.h>
#include <libvux/vuxnet.h>


namespace test {

namespace {

const char kFileNameBad[] = ";<>|&\\/'\t`";
const char kUserNameBad[] = " ,\t:+&#%$^(){}[]!@~*?<>=|\\/\"'`";
const char kBlanks[] = " \t\n\r";

// strchr would find the terminating NUL of the set.
bool OneOf(char c, const char* set) { return c && std::strchr(set, c); }

bool HasNul(const std::string& s) { return s.find('\0') != std::string::npos; }

bool Alpha(char c) { return std::isalpha(static_cast<unsigned char>(c)) != 0; }
bool Alnum(char c) { return std::isalnum(static_cast<unsigned char>(c)) != 0; }
bool Digit(char c) { return c >= '0' && c <= '9'; }
bool AsciiAlpha(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

// A decimal number of at most `max`, leading zeros allowed; -1 for anything else, however long.
long Bounded(const std::string& s, long max) {
    if (s.empty()) return -1;
    long v = 0;
    for (char c : s) {
        if (!Digit(c)) return -1;
        v = v * 10 + (c - '0');
        if (v > max) return -1;
    }
    return v;
}

std::vector<std::string> Labels(const std::string& s) {
    std::vector<std::string> out;
    std::size_t start = 0;
    for (;;) {
        const std::size_t dot = s.find('.', start);
        out.push_back(s.substr(start, dot == std::string::npos ? std::string::npos : dot - start));
        if (dot == std::string::npos) return out;
        start = dot + 1;
    }
}

std::string JoinLabels(const std::vector<std::string>& labels) {
    std::string out;
    for (std::size_t i = 0; i < labels.size(); ++i) out += (i ? "." : "") + labels[i];
    return out;
}

// The name without its trailing dots.
std::string StripDots(const std::string& name) {
    const std::size_t end = name.find_last_not_of('.');
    return end == std::string::npos ? "" : name.substr(0, end + 1);
}

// An address of one family, written back as inet_ntop prints it.
bool Address(std::string& value, int family) {
    unsigned char bytes[16];
    if (!vux_net::ReadAddr(value, family, bytes)) return false;
    value = vux_net::AddrText(family, bytes);
    return true;
}

// "A/B" of a classless reverse delegation: A a multiple of the block size 2^(32-B).
bool Classless(const std::string& label) {
    const std::size_t slash = label.find('/');
    const long a = Bounded(label.substr(0, slash), 255);
    const long b = Bounded(label.substr(slash + 1), 32);
    return a >= 0 && b >= 24 && (a & (255 >> (b - 24))) == 0;
}

// One label of a DNS name turned into lower-case ASCII; IDN labels through punycode.
bool AsciiLabel(std::string& label, bool classless) {
    try {
        std::string ascii = str::puny::Encode(label);
        if (ascii.empty() || ascii.size() > 63) return false;
        const std::string decoded = str::puny::Decode(ascii);
        if (decoded.empty() || decoded.front() == '-' || decoded.back() == '-') return false;
        if (decoded.find('/') != std::string::npos) {
            if (!classless || !Classless(decoded)) return false;
        } else {
            for (char c : ascii)
                if (!Alnum(c) && c != '-' && c != '_') return false;
        }
        label = str::Lower(ascii);
        return true;
    } catch (const vux_err::Error&) {
        // libidn refused the label (invalid UTF-8, prohibited code points).
        return false;
    }
}

bool AsciiLabels(std::vector<std::string>& labels, bool classless) {
    for (std::string& l : labels)
        if (!AsciiLabel(l, classless)) return false;
    return true;
}

// Under .рф the name in front must itself be written in small Cyrillic letters.
bool CyrillicLabel(const std::string& label) {
    std::size_t chars = 0;
    for (std::size_t i = 0; i < label.size(); ++chars) {
        const unsigned char c = label[i];
        if (Digit(c) || c == '-') {
            ++i;
            continue;
        }
        if (i + 1 >= label.size()) return false;
        const unsigned char d = label[i + 1];
        const bool small = (c == 0xD0 && d >= 0xB0 && d <= 0xBF) ||
                           (c == 0xD1 && ((d >= 0x80 && d <= 0x8F) || d == 0x91));
        if (!small) return false;
        i += 2;
    }
    return chars >= 2;
}

bool ReverseIp4Zone(const std::string& name) {
    std::vector<std::string> labels = Labels(name.substr(0, name.size() - 13));
    std::size_t first = 0;
    if (labels.front().find('/') != std::string::npos) {
        if (!Classless(labels.front())) return false;
        const long bits = Bounded(labels.front().substr(labels.front().find('/') + 1), 32);
        if (labels.size() - 1 != static_cast<std::size_t>(bits / 8)) return false;
        first = 1;
    } else if (labels.size() > 4) {
        return false;
    }
    for (std::size_t i = first; i < labels.size(); ++i)
        if (Bounded(labels[i], 255) < 0) return false;
    return true;
}

bool ReverseIp6Zone(const std::string& name) {
    const std::string nibbles = name.substr(0, name.size() - 9);
    if (nibbles.size() % 2 == 0 || nibbles.size() > 63) return false;
    for (std::size_t i = 0; i < nibbles.size(); ++i) {
        const char c = nibbles[i];
        if (i % 2 ? c != '.' : !(Digit(c) || (c >= 'a' && c <= 'f'))) return false;
    }
    return true;
}

bool CheckPrintable(const std::string& s) {
    for (char c : s)
        if (c < 0x20 || c > 0x7E) return false;
    return true;
}

}  // namespace

// ---- general ------------------------------------------------------------------

bool NotEmpty(std::string& value) { return !value.empty(); }

bool Numeric(std::string& value) {
    for (char c : value)
        if (!Digit(c)) return false;
    return true;
}

bool AsciiPrintable(std::string& value) { return CheckPrintable(value); }

bool FileName(std::string& value) {
    if (value.size() > 256) return false;
    for (char c : value)
        if (static_cast<unsigned char>(c) < 0x20 || OneOf(c, kFileNameBad)) return false;
    return true;
}

bool Path(std::string& value) {
    if (value.empty()) return false;
    std::string path = vux_file::GoodPath(value);
    std::size_t start = 0;
    for (;;) {
        const std::size_t slash = path.find('/', start);
        std::string part = path.substr(start, slash == std::string::npos ? std::string::npos : slash - start);
        if (!FileName(part)) return false;
        if (slash == std::string::npos) break;
        start = slash + 1;
    }
    if (value.back() == '/' && path.back() != '/') path += '/';
    value = path;
    return true;
}

bool FileNameList(std::string& value) {
    std::set<std::string> names;
    std::size_t pos = 0;
    while ((pos = value.find_first_not_of(kBlanks, pos)) != std::string::npos) {
        const std::size_t end = value.find_first_of(kBlanks, pos);
        std::string name = value.substr(pos, end == std::string::npos ? std::string::npos : end - pos);
        if (!FileName(name)) return false;
        names.insert(name);
        pos = end;
    }
    value = str::Join(names, " ");
    return true;
}

bool UnixUserName(std::string& value) {
    if (value == "." || value == ".." || value == "_") return false;
    if (value.empty() || value.size() > 32) return false;
    if (value.front() == '-' || value.front() == '.' || value.back() == '.') return false;
    bool digits_only = true;
    for (char c : value) {
        if (c < 0x20 || c > 0x7E || OneOf(c, kUserNameBad)) return false;
        digits_only = digits_only && Digit(c);
    }
    if (digits_only) return false;
    str::inpl::Lower(value);
    return true;
}

bool Date(std::string& value) {
    if (HasNul(value)) return false;
    try {
        value = vux_date::Date(value).AsDate();
        return true;
    } catch (const vux_err::Error&) {
        return false;
    }
}

bool MultiLine(std::string& value) {
    value.erase(std::remove(value.begin(), value.end(), '\r'), value.end());
    return true;
}

bool DotNumberSequence(std::string& value) {
    for (char c : value)
        if (!Digit(c) && c != '.') return false;
    return true;
}

// ---- addresses ----------------------------------------------------------------

bool Ip4(std::string& value) { return Address(value, AF_INET); }
bool Ip6(std::string& value) { return Address(value, AF_INET6); }
bool Ip(std::string& value) { return Ip6(value) || Ip4(value); }

bool Net(std::string& value) {
    const std::string text = str::Trim(value);
    const std::size_t slash = text.find('/');
    if (slash == std::string::npos) return false;
    std::string addr = text.substr(0, slash);
    const int width = Ip4(addr) ? 32 : Ip6(addr) ? 128 : 0;
    const long prefix = Bounded(text.substr(slash + 1), width);
    if (width == 0 || prefix < 0) return false;
    value = addr + "/" + std::to_string(prefix);
    return true;
}

bool NetMask6(std::string& value) {
    const long bits = Bounded(str::Trim(value), 128);
    if (bits < 0) return false;
    value = std::to_string(bits);
    return true;
}

bool NetMask4(std::string& value) {
    const std::string text = str::Trim(value);
    const long bits = Bounded(text, 32);
    if (bits >= 0) {
        value = std::to_string(bits);
        return true;
    }
    in_addr mask;
    if (!vux_net::ReadAddr(text, AF_INET, &mask)) return false;
    const std::uint32_t m = ntohl(mask.s_addr);
    // Contiguous from the top: the inverted mask plus one is a power of two (or zero).
    const std::uint32_t inverted = ~m;
    if ((inverted & (inverted + 1)) != 0) return false;
    value = vux_net::AddrText(AF_INET, &mask);
    return true;
}

bool NetMask(std::string& value) { return NetMask6(value) || NetMask4(value); }

bool IpRange(std::string& value) {
    const std::string text = str::Trim(value);
    if (text.find_first_of(kBlanks) != std::string::npos) return false;
    if (text.find('/') != std::string::npos) {
        std::string net = text;
        if (!Net(net)) return false;
        value = net;
        return true;
    }
    const std::size_t dash = text.find('-');
    if (dash == std::string::npos) {
        std::string ip = text;
        if (!Ip(ip)) return false;
        value = ip;
        return true;
    }
    std::string a = text.substr(0, dash), b = text.substr(dash + 1);
    if (!Ip(a) || !Ip(b)) return false;
    const vux_net::Ip first(a), last(b);
    if (first.Family() != last.Family() || last < first) return false;
    value = text;
    return true;
}

bool Mac(std::string& value) {
    const std::string text = str::Trim(value);
    std::string digits;
    if (text.size() == 17) {
        const char sep = text[2];
        if (sep != ':' && sep != ';' && sep != '-') return false;
        for (std::size_t i = 0; i < text.size(); ++i) {
            if (i % 3 == 2) {
                if (text[i] != sep) return false;
            } else {
                digits += text[i];
            }
        }
    } else if (text.size() == 12) {
        digits = text;
    } else {
        return false;
    }
    std::string out;
    for (std::size_t i = 0; i < digits.size(); ++i) {
        if (!std::isxdigit(static_cast<unsigned char>(digits[i]))) return false;
        if (i && i % 2 == 0) out += ':';
        out += static_cast<char>(std::toupper(static_cast<unsigned char>(digits[i])));
    }
    value = out;
    return true;
}

// ---- names --------------------------------------------------------------------

bool isAlphaDigit(char c) { return Digit(c) || Alpha(c); }

bool isDomainLabel(const std::string& label) {
    if (label.empty()) return false;
    if (!isAlphaDigit(label.front()) || !isAlphaDigit(label.back())) return false;
    for (char c : label)
        if (!isAlphaDigit(c) && c != '-') return false;
    return true;
}

bool isTopLabel(const std::string& label) { return isDomainLabel(label) && Alpha(label.front()); }

bool HostName(std::string& value) {
    if (value.size() < 2 || value.size() > 24) return false;
    const std::size_t dot = value.rfind('.');
    if (!isTopLabel(value.substr(dot == std::string::npos ? 0 : dot + 1))) return false;
    if (dot == std::string::npos) return true;
    const std::string front = value.substr(0, dot);
    if (front.empty() || front.front() == '.') return false;
    for (const std::string& l : Labels(front))
        if (!isDomainLabel(l)) return false;
    return true;
}

bool SubDomain(std::string& value) {
    if (HasNul(value)) return false;
    std::string name = StripDots(value);
    const bool absolute = name.size() != value.size();
    if (name.empty()) return false;
    if (name == "@") {
        value = name;
        return true;
    }
    std::vector<std::string> labels = Labels(name);
    if (!AsciiLabels(labels, true)) return false;
    try {
        name = str::puny::Encode(JoinLabels(labels));
    } catch (const vux_err::Error&) {
        return false;
    }
    value = absolute ? name + "." : name;
    return true;
}

bool Domain(std::string& value) {
    if (HasNul(value)) return false;
    if (!value.empty() && value.front() == '.') return false;
    std::string name = StripDots(str::Lower(value));
    if (name.empty() || name.size() > 253) return false;
    if (name.size() > 14 && str::EndsWith(name, ".in-addr.arpa")) {
        if (!ReverseIp4Zone(name)) return false;
        value = name;
        return true;
    }
    if (name.size() > 9 && str::EndsWith(name, ".ip6.arpa")) {
        if (!ReverseIp6Zone(name)) return false;
        value = name;
        return true;
    }
    std::vector<std::string> labels = Labels(name);
    if (labels.size() < 2 || !AsciiLabels(labels, false)) return false;
    name = JoinLabels(labels);
    // The name as it goes on the wire must fit too, not just the text typed.
    if (name.find('_') != std::string::npos || name.size() > 253) return false;
    if (labels.back() == "xn--p1ai") {
        try {
            if (!CyrillicLabel(str::puny::Decode(labels[labels.size() - 2]))) return false;
        } catch (const vux_err::Error&) {
            return false;
        }
    }
    value = name;
    return true;
}

bool DomainRecordName(std::string& value) {
    const std::size_t slash = value.find('/');
    if (slash == std::string::npos) return WithAster<&SubDomain>(value);
    std::string name = value.substr(0, slash), numbers = value.substr(slash + 1);
    if (!DotNumberSequence(numbers) || !SubDomain(name)) return false;
    // Looked for in the canonical text: ".arpa" followed by letters that IDN encoding turns
    // into another label is not a reverse zone.
    std::string canonical = name + "/" + numbers;
    if (canonical.find(".arpa") == std::string::npos) return false;
    value = std::move(canonical);
    return true;
}

bool SrvRecordTarget(std::string& value) { return value == "." || SubDomain(value); }

bool Email(std::string& value) {
    const std::size_t at = value.find('@');
    if (at == std::string::npos) return false;
    std::string local = value.substr(0, at), domain = value.substr(at + 1);
    if (!Domain(domain)) return false;
    if (local.empty() || local == "_" || local.front() == '.' || local.back() == '.' ||
        local.find("..") != std::string::npos)
        return false;
    for (char c : local)
        if (!Alnum(c) && !OneOf(c, "+-=_`.")) return false;
    value = str::Lower(local) + "@" + domain;
    return true;
}

bool TsigKey(std::string& value) {
    str::inpl::Trim(value);
    if (value.compare(0, 4, "key ") != 0 || value.size() == 4) return false;
    const std::string name = value.substr(4);
    if (!AsciiAlpha(name.front())) return false;
    if (!AsciiAlpha(name.back()) && !Digit(name.back())) return false;
    for (char c : name)
        if (!AsciiAlpha(c) && !Digit(c) && !OneOf(c, "-._")) return false;
    return true;
}

bool Url(std::string& value) {
    const std::size_t sep = value.find("://");
    if (sep == std::string::npos || sep == 0) return false;
    const std::string scheme = value.substr(0, sep);
    for (char c : scheme)
        if (!Alnum(c)) return false;
    const std::size_t slash = value.find('/', sep + 3);
    const std::string authority = value.substr(sep + 3, slash == std::string::npos ? std::string::npos : slash - sep - 3);
    const std::string path = slash == std::string::npos ? "" : value.substr(slash + 1);
    if (authority.empty()) return false;
    const std::size_t at = authority.rfind('@');
    const std::string user = at == std::string::npos ? "" : authority.substr(0, at);
    std::string host = at == std::string::npos ? authority : authority.substr(at + 1);
    std::string port;
    const std::size_t colon = host.rfind(':');
    if (colon != std::string::npos && colon + 1 < host.size()) {
        std::string after = host.substr(colon + 1);
        if (Numeric(after)) {
            port = after;
            host.erase(colon);
        }
    }
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
        std::string inner = host.substr(1, host.size() - 2);
        if (!Ip6(inner)) return false;
        host = "[" + inner + "]";
    } else if (!Ip4(host)) {
        std::string domain = host;
        if (Domain(domain)) {
            try {
                host = str::puny::Decode(domain);
            } catch (const vux_err::Error&) {
                return false;
            }
        } else if (!HostName(host)) {
            return false;
        }
    }
    if (!CheckPrintable(user) || !CheckPrintable(path)) return false;
    value = scheme + "://" + (at == std::string::npos ? "" : user + "@") + host + (port.empty() ? "" : ":" + port) +
            "/" + path;
    return true;
}

}  // namespace test
