// Validators: true when the value is valid, rewriting it into canonical form. On failure the
// value is left as it was (TsigKey and MultiLine excepted); none throws for bad input.
#ifndef LIBVUX_VUXTEST_H
#define LIBVUX_VUXTEST_H

#include <libvux/vuxapi.h>

#include <string>

#include <libvux/vuxstr.h>

VUX_API_BEGIN

namespace test {

bool NotEmpty(std::string& value);
// Decimal digits only; the empty string counts.
bool Numeric(std::string& value);
// Bytes 0x20..0x7E only; the empty string counts.
bool AsciiPrintable(std::string& value);
// At most 256 bytes, no control byte and none of ;<>|&\/'` or tab; the empty string counts.
bool FileName(std::string& value);
// Every component a FileName; normalised, a trailing "/" kept only when given.
bool Path(std::string& value);
// Blank-separated file names, written back distinct, sorted and joined by one blank.
bool FileNameList(std::string& value);
// 1..32 printable bytes, not all digits, no leading "-" or ".", no trailing "."; lower-cased.
bool UnixUserName(std::string& value);
// What vux_date::Date reads; written back as YYYY-MM-DD.
bool Date(std::string& value);
// Always true; removes carriage returns.
bool MultiLine(std::string& value);
// "."-separated Numeric parts (empty parts pass).
bool DotNumberSequence(std::string& value);

// The address validators ignore blanks around the value.
bool Ip4(std::string& value);
bool Ip6(std::string& value);
bool Ip(std::string& value);
// address/prefix, the prefix within the family's width.
bool Net(std::string& value);
bool NetMask6(std::string& value);
// A prefix length 0..32 or a dotted mask with contiguous one bits.
bool NetMask4(std::string& value);
bool NetMask(std::string& value);
// address, address/prefix or A-B of one family with A <= B.
bool IpRange(std::string& value);
// Six hex pairs separated by one of ":;-" or not at all; written as AA:BB:CC:DD:EE:FF.
bool Mac(std::string& value);

bool isAlphaDigit(char c);
bool isDomainLabel(const std::string& label);
// A domain label that starts with a letter.
bool isTopLabel(const std::string& label);

// 2..24 characters of labels under an alphabetic top label; nothing written back.
bool HostName(std::string& value);
// A relative or absolute DNS name (IDN allowed, "_" allowed, "@" the apex); written back in
// ASCII, lower case, with one trailing dot when it had any.
bool SubDomain(std::string& value);
// A fully qualified name of two labels or more without "_", or a reverse-zone name; written
// back lower-case in ASCII without the trailing dot.
bool Domain(std::string& value);
bool DomainRecordName(std::string& value);
bool SrvRecordTarget(std::string& value);
bool Email(std::string& value);
// Trimmed in place even when it fails; "key " and a name of ASCII letters, digits, "-._".
bool TsigKey(std::string& value);
// scheme://[user@]host[:port]/path, the host an address, a domain or a host name.
bool Url(std::string& value);

// F with any number of leading "*." wildcards; "*" alone passes as it is.
template <bool (*F)(std::string&)>
bool WithAster(std::string& value) {
    std::size_t pos = 0;
    while (value.compare(pos, 2, "*.") == 0) pos += 2;
    if (value.compare(pos, std::string::npos, "*") == 0) return true;
    if (pos == 0) return F(value);
    std::string rest = value.substr(pos);
    if (!F(rest)) return false;
    value = value.substr(0, pos) + rest;
    return true;
}

// A value the enumeration holds.
class InEnum {
public:
    explicit InEnum(const str::Enum& e) : enum_(e) {}
    bool operator()(std::string& value) const { return enum_.Has(value); }

private:
    const str::Enum& enum_;
};

}  // namespace test

VUX_API_END

#endif
