// The string toolkit: byte strings holding UTF-8 text or binary data.
#ifndef LIBVUX_VUXSTR_H
#define LIBVUX_VUXSTR_H

#include <libvux/vuxapi.h>

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>

#include <libvux/vuxerr.h>
#include <libvux/vuxtypes.h>

VUX_API_BEGIN

namespace str {

// A string-toolkit failure: type "str", marked as a report.
class Fail : public vux_err::Error {
public:
    Fail(const std::string& object, const std::string& value);
};

// Words and splitting. Whitespace is space, tab, line feed and carriage return.
// The text before the first sep, removed from s with the sep; an empty or absent sep takes all of s.
std::string GetWord(std::string& s, const std::string& sep);
std::string GetWord(std::string& s, char c);
// The text before the first whitespace; the whole run of whitespace after it goes too, and a
// leading whitespace byte gives an empty word.
std::string GetWord(std::string& s);
// Mirror images: the text after the last separator; s keeps what stands before it.
std::string RGetWord(std::string& s, const std::string& sep);
std::string RGetWord(std::string& s, char c);
std::string RGetWord(std::string& s);

// Pieces between seps, appended to out (never cleared). Lists and sets skip empty pieces and
// trim the rest, so a piece of blanks is stored as "". Maps split each piece at its first "="
// (none: value ""), skip an empty key, let a later duplicate win and trim nothing.
// Defined for std::vector, std::list, std::set and std::map of strings.
template <class C>
VUX_API void Split(std::string s, const std::string& sep, C& out);
// Elements joined by sep; empty elements are dropped with their separator. Map elements are
// written key=value. Defined for std::vector, std::list, std::set, std::deque and std::map.
template <class C>
VUX_API std::string Join(const C& c, const std::string& sep);

// s, then sep (only when s is not empty), then add; an empty add leaves s as it is.
std::string Append(const std::string& s, const std::string& add, const std::string& sep);
std::string Trim(const std::string& s);
std::string Upper(const std::string& s);
std::string Lower(const std::string& s);
std::string Replace(const std::string& s, const std::string& from, const std::string& to);
std::string Replace(const std::string& s, const std::map<std::string, std::string>& m);
bool StartsWith(const std::string& s, const std::string& prefix);
bool EndsWith(const std::string& s, const std::string& suffix);
// Natural order of version texts ("1.10" > "1.9"): below, equal to or above zero.
int CompareVersion(const std::string& a, const std::string& b);

namespace inpl {
std::string& Append(std::string& s, const std::string& add, const std::string& sep);
std::string& Trim(std::string& s);
std::string& Upper(std::string& s);
std::string& Lower(std::string& s);
std::string& Replace(std::string& s, const std::string& from, const std::string& to);
std::string& Replace(std::string& s, const std::map<std::string, std::string>& m);
}  // namespace inpl

// Numbers and formatting.
std::string Str(long v);
std::string Str(double v, int precision);
// No error checks: leading blanks and a sign are accepted, reading stops at the first
// non-digit, and a text without digits gives 0.
int Int(const std::string& s);
std::int64_t Int64(const std::string& s);
double Double(const std::string& s);
// printf into a buffer of any length; throws str::Fail "format" when formatting fails.
std::string Format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// An ordered set of distinct names.
class Enum {
public:
    typedef std::set<std::string>::const_iterator const_iterator;
    typedef const_iterator iterator;

    // C strings ended by a null pointer.
    Enum(const char* first = nullptr, ...);
    Enum& Add(const std::string& name);
    bool Has(const std::string& name) const;
    const_iterator begin() const { return names_.begin(); }
    const_iterator end() const { return names_.end(); }
    std::size_t size() const { return names_.size(); }

private:
    std::set<std::string> names_;
};

namespace utf8 {

// A position inside a UTF-8 string; does not own the text and never steps past its end.
class iterator {
public:
    iterator() : pos_(nullptr), begin_(nullptr), end_(nullptr) {}
    iterator(const char* pos, const char* begin, const char* end) : pos_(pos), begin_(begin), end_(end) {}
    explicit iterator(const std::string& s) : iterator(s.data(), s.data(), s.data() + s.size()) {}
    static iterator End(const std::string& s) {
        return iterator(s.data() + s.size(), s.data(), s.data() + s.size());
    }

    iterator& operator++();
    iterator operator++(int);
    iterator& operator--();
    iterator operator--(int);
    // The current character (1 to 3 bytes); throws str::Fail "utf8" beyond the BMP.
    std::string operator*() const;
    unsigned long code() const;

    const char* ptr() const { return pos_; }
    bool operator==(const iterator& o) const { return pos_ == o.pos_; }
    bool operator!=(const iterator& o) const { return pos_ != o.pos_; }

private:
    std::size_t Width() const;
    const char* pos_;
    const char* begin_;
    const char* end_;
};

std::size_t len(const std::string& s);
std::string at(const std::string& s, std::size_t n);
std::string toCasefold(const std::string& s);

// The process-wide case-folding table, from skins/common/CaseFolding.txt.
class Case {
public:
    Case();
    void LoadMaps();
    // The folded form of one character, or null when it folds to itself.
    const std::string* Find(const std::string& ch) const;
    std::size_t size() const { return map_.size(); }

private:
    std::map<std::string, std::string> map_;
    bool loaded_ = false;
};

}  // namespace utf8

namespace base64 {
// Standard alphabet, "=" padding, no line breaks.
std::string Encode(const std::string& s);
// Never throws: bytes outside the alphabet are skipped, a trailing partial group is dropped,
// and decoding ends after the first padded group (at once on a group of three or four "=").
std::string Decode(const std::string& s);
}  // namespace base64

namespace hex {
// Two lower-case digits per byte.
std::string Encode(const std::string& s);
// Either case; throws str::Fail "hex_len" (odd length) or "hex" (the first non-digit).
std::string Decode(const std::string& s);
}  // namespace hex

namespace url {
// Every byte but ASCII letters and digits becomes %XX.
std::string Encode(const std::string& s);
// "+" is a space, %XX a byte, %uXXXX a character in UTF-8. Never throws: digits are not
// checked, and an escape cut short by the end ends the output there.
std::string Decode(const std::string& s);
}  // namespace url

namespace badchars {
std::string Escape(const std::string& s, const char* chars, char esc);
std::string Unescape(const std::string& s, char esc);
}  // namespace badchars

// International domain names through libidn. "*" passes as it is and a leading "." is kept;
// a name libidn refuses throws type "str", object "punyencode" or "punydecode".
namespace puny {
std::string Encode(const std::string& host);
std::string Decode(const std::string& host);
}  // namespace puny

// A character-set converter over iconv; copies share one descriptor.
class Conv {
public:
    // Throws "conv" "iconv_open" (value errno) for an unknown pair of character sets.
    Conv(const std::string& from, const std::string& to);
    ~Conv();

    // A whole text; throws "conv" "badseq" (value the hex of the bytes) on an invalid or
    // unfinished sequence.
    std::string Convert(const char* data);
    std::string Convert(const char* data, std::size_t len);
    std::string Convert(const std::string& data);
    // One chunk of a stream: a sequence cut by the chunk's end is carried to the next call.
    std::string ConvertChunk(const char* data);
    std::string ConvertChunk(const char* data, std::size_t len);
    std::string ConvertChunk(const std::string& data);
    // Ends a chunked stream; bytes still carried throw "conv" "badseq".
    void ConvertFinish();
    void Clear();

    struct VUX_INTERNAL Data;

private:
    std::shared_ptr<Data> data_;
};

// UTF-16LE text in 16-bit code units.
class u16string : public std::basic_string<unsigned short> {
public:
    typedef std::basic_string<unsigned short> base;

    u16string() {}
    u16string(const u16string& other) : base(other) {}
    u16string(const base& other) : base(other) {}
    u16string(const unsigned short* units);
    u16string(const unsigned short* units, std::size_t count) : base(units, count) {}
    u16string(const char* utf8);
    u16string(const char* utf8, std::size_t len);
    u16string(const std::string& utf8);
    u16string& operator=(const u16string& other) = default;

    operator std::string() const;
    // The units themselves: the conversion to std::basic_string<unsigned short>
    // is the derived-to-base one (a conversion operator to a base is never used).
};

// Randomness, passwords, cipher.
enum CryptFormat { CryptDefault = 0, CryptMD5 = 1, CryptSHA256 = 5 };

std::string Random(std::size_t n);
std::string GenerateSalt(std::size_t n);
void SetCryptFormat(CryptFormat f);
std::string Crypt(const std::string& password, CryptFormat f);
std::string Crypt(const std::string& password, const std::string& salt);

namespace xxtea {
// Binary cipher text of 4 * (ceil(len / 4) + 1) bytes; empty data gives "". Throws "xxtea"
// "bad_key" for a key under 16 bytes (longer keys are cut to 16).
std::string Encode(const std::string& key, const std::string& data);
// Empty data, or a single word (shorter than a block), gives "". Throws "xxtea" "bad_key",
// "data_size" (length not a multiple of 4) or "bad_data" (wrong key or damaged text).
std::string Decode(const std::string& key, const std::string& data);
}  // namespace xxtea

// A line cursor over a text the caller owns; derived classes define the items.
class SimpleParser {
public:
    explicit SimpleParser(std::string& text);

    virtual bool Next() = 0;
    virtual std::string Current() = 0;
    virtual bool First();
    virtual ~SimpleParser();

    std::string GetLine();
    bool Eof() const;
    void SetBegin();
    void DropBegin();
    std::size_t length(std::size_t from) const;
    void Delete();
    void Save();
    void Insert();

    static constexpr std::size_t unset = static_cast<std::size_t>(-1);

protected:
    std::string& text;
    std::size_t begin;
    std::size_t end;
    std::size_t mark;
};

}  // namespace str

VUX_API_END

#endif
