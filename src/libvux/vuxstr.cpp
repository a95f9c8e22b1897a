// The string toolkit: words, replacement, numbers, encodings, UTF-8 and the line cursor.
#include <libvux/vuxstr.h>

#include <climits>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fstream>
#include <list>
#include <stdexcept>
#include <type_traits>
#include <vector>

#include <libvux/vuxlog.h>

namespace {

VUX_LOG_MODULE("libvux")

const char kSpace[] = " \t\n\r";

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

bool IsAlnum(unsigned char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

const char kHexLower[] = "0123456789abcdef";

std::string HexOf(const char* p, std::size_t n) {
    std::string out;
    out.reserve(n * 2);
    for (std::size_t i = 0; i < n; ++i) {
        unsigned char c = static_cast<unsigned char>(p[i]);
        out += kHexLower[c >> 4];
        out += kHexLower[c & 0xF];
    }
    return out;
}

// Up to 4 bytes; callers only pass code points up to 0x10FFFF.
void AppendUtf8(std::string& out, unsigned long cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

// Count of leading one-bits of a byte.
std::size_t LeadingOnes(unsigned char c) {
    std::size_t k = 0;
    while (k < 8 && (c & (0x80u >> k))) ++k;
    return k;
}

}  // namespace

namespace str {

Fail::Fail(const std::string& object, const std::string& value) : vux_err::Error("str", object, value) {
    set_report();
}

// ---- words -------------------------------------------------------------

namespace {

// The word before pos; s loses it and the separator's width after it. npos takes all of s.
std::string TakeFront(std::string& s, std::size_t pos, std::size_t width) {
    std::string word;
    if (pos == std::string::npos) {
        word.swap(s);
        return word;
    }
    word = s.substr(0, pos);
    s.erase(0, pos + width);
    return word;
}

// The word after the separator at pos (width bytes); s keeps the text before keep.
std::string TakeBack(std::string& s, std::size_t pos, std::size_t width, std::size_t keep) {
    std::string word;
    if (pos == std::string::npos) {
        word.swap(s);
        return word;
    }
    word = s.substr(pos + width);
    s.erase(keep);
    return word;
}

}  // namespace

std::string GetWord(std::string& s, const std::string& sep) {
    return TakeFront(s, sep.empty() ? std::string::npos : s.find(sep), sep.size());
}

std::string GetWord(std::string& s, char c) { return TakeFront(s, s.find(c), 1); }

std::string GetWord(std::string& s) {
    const std::size_t pos = s.find_first_of(kSpace);
    const std::size_t next = pos == std::string::npos ? pos : s.find_first_not_of(kSpace, pos);
    return TakeFront(s, pos, (next == std::string::npos ? s.size() : next) - pos);
}

std::string RGetWord(std::string& s, const std::string& sep) {
    const std::size_t pos = sep.empty() ? std::string::npos : s.rfind(sep);
    return TakeBack(s, pos, sep.size(), pos);
}

std::string RGetWord(std::string& s, char c) {
    const std::size_t pos = s.rfind(c);
    return TakeBack(s, pos, 1, pos);
}

std::string RGetWord(std::string& s) {
    const std::size_t pos = s.find_last_of(kSpace);
    const std::size_t last = pos == std::string::npos ? pos : s.find_last_not_of(kSpace, pos);
    return TakeBack(s, pos, 1, last == std::string::npos ? 0 : last + 1);
}

// ---- split / join ------------------------------------------------------

namespace {

template <class C>
struct IsStringMap : std::false_type {};
template <>
struct IsStringMap<std::map<std::string, std::string>> : std::true_type {};

template <class C>
struct IsStringSet : std::false_type {};
template <>
struct IsStringSet<std::set<std::string>> : std::true_type {};

}  // namespace

template <class C>
void Split(std::string s, const std::string& sep, C& out) {
    while (!s.empty()) {
        std::string piece = GetWord(s, sep);
        if (piece.empty()) continue;
        if constexpr (IsStringMap<C>::value) {
            std::size_t eq = piece.find('=');
            std::string key = piece.substr(0, eq);
            if (key.empty()) continue;
            out[key] = eq == std::string::npos ? std::string() : piece.substr(eq + 1);
        } else if constexpr (IsStringSet<C>::value) {
            out.insert(inpl::Trim(piece));
        } else {
            out.push_back(inpl::Trim(piece));
        }
    }
}

template <class C>
std::string Join(const C& c, const std::string& sep) {
    std::string out;
    for (const auto& e : c) {
        if constexpr (IsStringMap<C>::value)
            inpl::Append(out, e.first + "=" + e.second, sep);
        else
            inpl::Append(out, e, sep);
    }
    return out;
}

template void Split(std::string, const std::string&, std::vector<std::string>&);
template void Split(std::string, const std::string&, std::list<std::string>&);
template void Split(std::string, const std::string&, std::set<std::string>&);
template void Split(std::string, const std::string&, std::map<std::string, std::string>&);
template std::string Join(const std::vector<std::string>&, const std::string&);
template std::string Join(const std::list<std::string>&, const std::string&);
template std::string Join(const std::set<std::string>&, const std::string&);
template std::string Join(const std::deque<std::string>&, const std::string&);
template std::string Join(const std::map<std::string, std::string>&, const std::string&);

// ---- in-place editing --------------------------------------------------

namespace inpl {

std::string& Append(std::string& s, const std::string& add, const std::string& sep) {
    if (add.empty()) return s;
    if (!s.empty()) s += sep;
    s += add;
    return s;
}

std::string& Trim(std::string& s) {
    std::size_t first = s.find_first_not_of(kSpace);
    if (first == std::string::npos) {
        s.clear();
        return s;
    }
    s.erase(s.find_last_not_of(kSpace) + 1);
    s.erase(0, first);
    return s;
}

std::string& Upper(std::string& s) {
    for (char& c : s) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    return s;
}

std::string& Lower(std::string& s) {
    for (char& c : s) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    return s;
}

std::string& Replace(std::string& s, const std::string& from, const std::string& to) {
    // An empty pattern would match everywhere forever; leave the text alone.
    if (from.empty()) return s;
    std::size_t pos = s.find(from);
    if (pos == std::string::npos) return s;
    std::string out;
    std::size_t resume = 0;
    while (pos != std::string::npos) {
        out.append(s, resume, pos - resume);
        out += to;
        resume = pos + from.size();
        pos = s.find(from, resume);
    }
    out.append(s, resume, std::string::npos);
    s.swap(out);
    return s;
}

std::string& Replace(std::string& s, const std::map<std::string, std::string>& m) {
    struct Hit {
        const std::string* key;
        const std::string* value;
        std::size_t pos;
    };
    std::vector<Hit> hits;  // kept in key order, so the first minimum wins ties
    for (const auto& kv : m) {
        if (kv.first.empty()) continue;  // would match at every position without progress
        std::size_t pos = s.find(kv.first);
        if (pos != std::string::npos) hits.push_back({&kv.first, &kv.second, pos});
    }
    if (hits.empty()) return s;

    std::string out;
    std::size_t resume = 0;
    while (!hits.empty()) {
        const Hit* best = &hits[0];
        for (const Hit& h : hits)
            if (h.pos < best->pos) best = &h;
        out.append(s, resume, best->pos - resume);
        out += *best->value;
        resume = best->pos + best->key->size();

        std::size_t kept = 0;
        for (std::size_t i = 0; i < hits.size(); ++i) {
            Hit h = hits[i];
            if (h.pos < resume) h.pos = s.find(*h.key, resume);
            if (h.pos != std::string::npos) hits[kept++] = h;
        }
        hits.resize(kept);
    }
    out.append(s, resume, std::string::npos);
    s.swap(out);
    return s;
}

}  // namespace inpl

std::string Append(const std::string& s, const std::string& add, const std::string& sep) {
    std::string r(s);
    return inpl::Append(r, add, sep);
}

std::string Trim(const std::string& s) {
    std::string r(s);
    return inpl::Trim(r);
}

std::string Upper(const std::string& s) {
    std::string r(s);
    return inpl::Upper(r);
}

std::string Lower(const std::string& s) {
    std::string r(s);
    return inpl::Lower(r);
}

std::string Replace(const std::string& s, const std::string& from, const std::string& to) {
    std::string r(s);
    return inpl::Replace(r, from, to);
}

std::string Replace(const std::string& s, const std::map<std::string, std::string>& m) {
    std::string r(s);
    return inpl::Replace(r, m);
}

bool StartsWith(const std::string& s, const std::string& prefix) {
    return s.size() >= prefix.size() && s.compare(0, prefix.size(), prefix) == 0;
}

bool EndsWith(const std::string& s, const std::string& suffix) {
    return s.size() >= suffix.size() && s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

namespace {

std::size_t DigitRun(const std::string& s, std::size_t i) {
    std::size_t j = i;
    while (j < s.size() && IsDigit(s[j])) ++j;
    return j - i;
}

int ClampDiff(std::size_t a, std::size_t b) {
    if (a >= b) return a - b > static_cast<std::size_t>(INT_MAX) ? INT_MAX : static_cast<int>(a - b);
    return b - a > static_cast<std::size_t>(INT_MAX) ? -INT_MAX : -static_cast<int>(b - a);
}

}  // namespace

int CompareVersion(const std::string& a, const std::string& b) {
    std::size_t i = 0, j = 0;
    bool significant = false;  // the current digit run already holds a non-zero digit
    for (;;) {
        while (i < a.size() && j < b.size() && a[i] == b[j]) {
            if (!IsDigit(a[i]))
                significant = false;
            else if (a[i] != '0')
                significant = true;
            ++i;
            ++j;
        }
        if (i == a.size()) return j == b.size() ? 0 : -1;
        if (j == b.size()) return 1;

        char ca = a[i], cb = b[j];
        if (!IsDigit(ca) || !IsDigit(cb))
            return static_cast<int>(static_cast<signed char>(ca)) - static_cast<int>(static_cast<signed char>(cb));

        if (significant) {
            std::size_t ra = DigitRun(a, i), rb = DigitRun(b, j);
            if (ra != rb) return ClampDiff(ra, rb);
            return ca - cb;
        }

        // Both numbers start here: their leading zeros carry no weight.
        std::size_t i2 = i, j2 = j;
        while (i2 < a.size() && a[i2] == '0') ++i2;
        while (j2 < b.size() && b[j2] == '0') ++j2;
        if (i2 == a.size() || !IsDigit(a[i2])) return -1;
        if (j2 == b.size() || !IsDigit(b[j2])) return 1;
        i = i2;
        j = j2;
        significant = true;
    }
}

// ---- numbers -----------------------------------------------------------

std::string Str(long v) {
    char buf[32];
    snprintf(buf, sizeof buf, "%lld", static_cast<long long>(v));
    return buf;
}

std::string Str(double v, int precision) {
    char buf[32];
    int n = snprintf(buf, sizeof buf, "%.*f", precision, v);
    if (n < 0) return std::string();
    if (static_cast<std::size_t>(n) < sizeof buf) return std::string(buf, n);
    // Large magnitudes do not fit the short buffer; a cut number would be a wrong one.
    std::string big(static_cast<std::size_t>(n) + 1, '\0');
    snprintf(&big[0], big.size(), "%.*f", precision, v);
    big.resize(n);
    return big;
}

int Int(const std::string& s) { return static_cast<int>(strtol(s.c_str(), nullptr, 10)); }

std::int64_t Int64(const std::string& s) { return static_cast<std::int64_t>(strtoll(s.c_str(), nullptr, 10)); }

double Double(const std::string& s) { return strtod(s.c_str(), nullptr); }

std::string Format(const char* fmt, ...) {
    if (!fmt) throw Fail("format", "");
    char* buf = nullptr;
    va_list ap;
    va_start(ap, fmt);
    int n = vasprintf(&buf, fmt, ap);
    va_end(ap);
    if (n < 0 || !buf) throw Fail("format", fmt);
    std::string out(buf, n);
    free(buf);
    return out;
}

// ---- Enum --------------------------------------------------------------

Enum::Enum(const char* first, ...) {
    if (!first) return;
    names_.insert(first);
    va_list ap;
    va_start(ap, first);
    while (const char* p = va_arg(ap, const char*)) names_.insert(p);
    va_end(ap);
}

Enum& Enum::Add(const std::string& name) {
    names_.insert(name);
    return *this;
}

bool Enum::Has(const std::string& name) const { return names_.count(name) != 0; }

// ---- UTF-8 -------------------------------------------------------------

namespace utf8 {

std::size_t iterator::Width() const {
    if (!pos_ || pos_ >= end_) return 0;
    std::size_t k = LeadingOnes(static_cast<unsigned char>(*pos_));
    if (k == 0) k = 1;
    // Truncated input: a sequence never reaches past the end of the text.
    std::size_t left = static_cast<std::size_t>(end_ - pos_);
    return k < left ? k : left;
}

iterator& iterator::operator++() {
    pos_ += Width();
    return *this;
}

iterator iterator::operator++(int) {
    iterator old(*this);
    ++*this;
    return old;
}

iterator& iterator::operator--() {
    if (!pos_ || pos_ <= begin_) return *this;
    --pos_;
    while (pos_ > begin_ && (static_cast<unsigned char>(*pos_) & 0xC0) == 0x80) --pos_;
    return *this;
}

iterator iterator::operator--(int) {
    iterator old(*this);
    --*this;
    return old;
}

std::string iterator::operator*() const {
    std::size_t w = Width();
    if (w == 0) return std::string();
    if (LeadingOnes(static_cast<unsigned char>(*pos_)) >= 4) throw Fail("utf8", HexOf(pos_, w));
    return std::string(pos_, w);
}

unsigned long iterator::code() const {
    std::size_t w = Width();
    if (w == 0) return 0;
    unsigned char lead = static_cast<unsigned char>(*pos_);
    std::size_t k = LeadingOnes(lead);
    if (k >= 4) throw Fail("utf8", HexOf(pos_, w));
    if (k == 0) return lead;
    unsigned long cp = lead & (0x7Fu >> k);
    for (std::size_t i = 1; i < w; ++i) cp = (cp << 6) | (static_cast<unsigned char>(pos_[i]) & 0x3F);
    return cp;
}

std::size_t len(const std::string& s) {
    std::size_t n = 0;
    for (iterator it(s), e = iterator::End(s); it != e; ++it) ++n;
    return n;
}

std::string at(const std::string& s, std::size_t n) {
    iterator it(s), e = iterator::End(s);
    for (std::size_t i = 0; i < n && it != e; ++i) ++it;
    if (it == e) throw std::out_of_range("utf8");
    return *it;
}

std::string toCasefold(const std::string& s) {
    const Case& table = Singleton<Case>::Instance();
    std::string out;
    out.reserve(s.size());
    for (iterator it(s), e = iterator::End(s); it != e; ++it) {
        std::string ch = *it;
        const std::string* folded = table.Find(ch);
        out += folded ? *folded : ch;
    }
    return out;
}

Case::Case() { LoadMaps(); }

void Case::LoadMaps() {
    // Readers use the table without a lock, so it is filled exactly once.
    if (loaded_) return;
    loaded_ = true;
    std::ifstream in("skins/common/CaseFolding.txt");
    if (!in) {
        VUX_LOG(VuxLogModule(), vux_log::LevelWarning,
            "skins/common/CaseFolding.txt not found, case folding disabled");
        return;
    }
    std::string line;
    while (std::getline(in, line)) {
        inpl::Trim(line);
        if (line.empty() || line[0] == '#') continue;
        std::string code = Trim(GetWord(line, ';'));
        std::string status = Trim(GetWord(line, ';'));
        std::string mapping = Trim(GetWord(line, ';'));
        if (status != "C" && status != "S") continue;
        char* stop = nullptr;
        unsigned long from = strtoul(code.c_str(), &stop, 16);
        if (stop == code.c_str() || from > 0x10FFFF) continue;
        unsigned long to = strtoul(mapping.c_str(), &stop, 16);
        if (stop == mapping.c_str() || to > 0x10FFFF) continue;
        std::string key, value;
        AppendUtf8(key, from);
        AppendUtf8(value, to);
        map_[key] = value;
    }
    VUX_LOG(VuxLogModule(), vux_log::LevelDebug, "case folding: %zu mappings", map_.size());
}

const std::string* Case::Find(const std::string& ch) const {
    auto it = map_.find(ch);
    return it == map_.end() ? nullptr : &it->second;
}

}  // namespace utf8

// ---- base64 ------------------------------------------------------------

namespace base64 {

namespace {
const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Twelve bits in, two letters out: half the lookups of a letter-by-letter encoder.
struct EncodeTable {
    char pair[4096][2];
    EncodeTable() {
        for (int v = 0; v < 4096; ++v) {
            pair[v][0] = kAlphabet[v >> 6];
            pair[v][1] = kAlphabet[v & 63];
        }
    }
};

// One table per position in a group, each holding the letter's bits already shifted into place,
// so a group of four letters decodes with four loads and three ORs. Anything that is not a
// letter of the alphabet ("=" included) sets kNotLetter and sends the group to the careful path.
const std::uint32_t kNotLetter = 0x80000000u;

struct DecodeTable {
    signed char v[256];
    std::uint32_t at[4][256];
    DecodeTable() {
        memset(v, -1, sizeof v);
        for (int i = 0; i < 64; ++i) v[static_cast<unsigned char>(kAlphabet[i])] = static_cast<signed char>(i);
        for (int c = 0; c < 256; ++c)
            for (int pos = 0; pos < 4; ++pos)
                at[pos][c] = v[c] < 0 ? kNotLetter : static_cast<std::uint32_t>(v[c]) << (18 - 6 * pos);
    }
};

inline void PutGroup(char*& o, std::uint32_t w) {
    o[0] = static_cast<char>(w >> 16);
    o[1] = static_cast<char>(w >> 8);
    o[2] = static_cast<char>(w);
    o += 3;
}
}  // namespace

std::string Encode(const std::string& s) {
    static const EncodeTable table;
    const std::size_t n = s.size();
    std::string out((n + 2) / 3 * 4, '\0');
    const unsigned char* p = reinterpret_cast<const unsigned char*>(s.data());
    const unsigned char* const full = p + n / 3 * 3;
    char* o = out.data();
    for (; p < full; p += 3, o += 4) {
        const unsigned v = (unsigned(p[0]) << 16) | (unsigned(p[1]) << 8) | p[2];
        memcpy(o, table.pair[v >> 12], 2);
        memcpy(o + 2, table.pair[v & 0xFFF], 2);
    }
    if (n % 3) {
        const unsigned v = (unsigned(p[0]) << 16) | (n % 3 == 2 ? unsigned(p[1]) << 8 : 0u);
        o[0] = kAlphabet[(v >> 18) & 63];
        o[1] = kAlphabet[(v >> 12) & 63];
        o[2] = n % 3 == 2 ? kAlphabet[(v >> 6) & 63] : '=';
        o[3] = '=';
    }
    return out;
}

std::string Decode(const std::string& s) {
    static const DecodeTable table;
    // Every output byte needs 4/3 input bytes, so this bounds the output.
    std::string out(s.size() / 4 * 3, '\0');
    char* o = out.data();
    const unsigned char* p = reinterpret_cast<const unsigned char*>(s.data());
    const unsigned char* const end = p + s.size();
    unsigned vals[4];
    int count = 0, pads = 0;
    while (p < end) {
        if (count == 0) {
            // Clean input: whole groups of four letters.
            for (; end - p >= 4; p += 4) {
                const std::uint32_t w = table.at[0][p[0]] | table.at[1][p[1]] | table.at[2][p[2]] | table.at[3][p[3]];
                if (w & kNotLetter) break;
                PutGroup(o, w);
            }
            if (p == end) break;
        }
        // The lenient path, one byte at a time: padding, line breaks, junk and short tails.
        const unsigned char ch = *p++;
        unsigned v;
        if (ch == '=') {
            v = 0;
            ++pads;
        } else {
            const int t = table.v[ch];
            if (t < 0) continue;
            v = static_cast<unsigned>(t);
        }
        vals[count++] = v;
        if (count < 4) continue;
        if (pads > 2) break;
        char* const group = o;
        PutGroup(o, (vals[0] << 18) | (vals[1] << 12) | (vals[2] << 6) | vals[3]);
        o = group + 3 - pads;
        if (pads) break;
        count = 0;
    }
    out.resize(static_cast<std::size_t>(o - out.data()));
    return out;
}

}  // namespace base64

// ---- hex ---------------------------------------------------------------

namespace hex {

std::string Encode(const std::string& s) { return HexOf(s.data(), s.size()); }

std::string Decode(const std::string& s) {
    if (s.size() % 2) throw Fail("hex_len", std::to_string(s.size()));
    std::string low = Lower(s);
    std::string out;
    out.reserve(low.size() / 2);
    auto digit = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        throw Fail("hex", std::string(1, c));
    };
    for (std::size_t i = 0; i < low.size(); i += 2) {
        int hi = digit(low[i]);
        int lo = digit(low[i + 1]);
        out += static_cast<char>((hi << 4) | lo);
    }
    return out;
}

}  // namespace hex

// ---- url ---------------------------------------------------------------

namespace url {

std::string Encode(const std::string& s) {
    static const char kHexUpper[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(s.size() * 3);
    for (char ch : s) {
        unsigned char c = static_cast<unsigned char>(ch);
        if (IsAlnum(c)) {
            out += ch;
        } else {
            out += '%';
            out += kHexUpper[c >> 4];
            out += kHexUpper[c & 0xF];
        }
    }
    return out;
}

namespace {
// Unchecked on purpose: a malformed escape yields some byte, not an error.
// The nibble mask keeps a garbage digit from spilling into its neighbours.
unsigned Nibble(char ch) {
    unsigned char c = static_cast<unsigned char>(ch);
    int v = c >= 'a' ? c - 87 : c >= 'A' ? c - 55 : c - 48;
    return static_cast<unsigned>(v) & 0xF;
}
}  // namespace

std::string Decode(const std::string& s) {
    std::string out;
    out.reserve(s.size());
    const std::size_t n = s.size();
    for (std::size_t i = 0; i < n;) {
        char c = s[i];
        if (c == '+') {
            out += ' ';
            ++i;
        } else if (c != '%') {
            out += c;
            ++i;
        } else if (i + 1 < n && s[i + 1] == 'u') {
            if (i + 5 >= n) break;
            unsigned long cp = (Nibble(s[i + 2]) << 12) | (Nibble(s[i + 3]) << 8) | (Nibble(s[i + 4]) << 4) |
                               Nibble(s[i + 5]);
            AppendUtf8(out, cp);
            i += 6;
        } else {
            if (i + 2 >= n) break;
            out += static_cast<char>((Nibble(s[i + 1]) << 4) | Nibble(s[i + 2]));
            i += 3;
        }
    }
    return out;
}

}  // namespace url

// ---- badchars ----------------------------------------------------------

namespace badchars {

std::string Escape(const std::string& s, const char* chars, char esc) {
    if (!chars || !*chars) return s;
    const std::size_t nchars = strlen(chars);
    std::string out;
    out.reserve(s.size() + s.size() / 8);
    for (char c : s) {
        // memchr, not strchr: a NUL byte in s must not match the terminator of chars.
        if (memchr(chars, c, nchars)) out += esc;
        out += c;
    }
    return out;
}

std::string Unescape(const std::string& s, char esc) {
    std::string out;
    out.reserve(s.size());
    const std::size_t n = s.size();
    for (std::size_t i = 0; i < n; ++i) {
        if (s[i] == esc && i + 1 < n) ++i;
        // A lone escape at the very end is kept: dropping it would lose data.
        out += s[i];
    }
    return out;
}

}  // namespace badchars

// ---- SimpleParser ------------------------------------------------------

SimpleParser::SimpleParser(std::string& t) : text(t), begin(0), end(unset), mark(unset) {}

SimpleParser::~SimpleParser() {}

bool SimpleParser::First() {
    begin = 0;
    end = unset;
    mark = unset;
    return Next();
}

std::string SimpleParser::GetLine() {
    begin = end == unset ? 0 : end + 1;
    if (begin >= text.size()) {
        end = text.size();
        return std::string();
    }
    std::size_t nl = text.find('\n', begin);
    end = nl == std::string::npos ? text.size() : nl;
    return text.substr(begin, end - begin);
}

bool SimpleParser::Eof() const { return end != unset && begin > end; }

void SimpleParser::SetBegin() { mark = begin; }

void SimpleParser::DropBegin() { mark = unset; }

namespace {
// One past the last byte of the current line (its newline included), within the text.
std::size_t LineStop(const std::string& text, std::size_t end) {
    if (end == SimpleParser::unset || end >= text.size()) return text.size();
    return end + 1;
}
}  // namespace

std::size_t SimpleParser::length(std::size_t from) const {
    std::size_t stop = LineStop(text, end);
    return from < stop ? stop - from : 0;
}

void SimpleParser::Delete() {
    std::size_t start = mark != unset ? mark : begin;
    if (start > text.size()) start = text.size();
    std::size_t stop = LineStop(text, end);
    if (stop > start) text.erase(start, stop - start);
    // The next GetLine returns what followed the erased range.
    begin = start;
    end = start == 0 ? unset : start - 1;
    mark = unset;
}

void SimpleParser::Save() {
    std::string cur = Current();
    std::size_t start = mark != unset ? mark : begin;
    if (start > text.size()) start = text.size();
    std::size_t stop = LineStop(text, end);
    if (stop < start) stop = start;
    text.replace(start, stop - start, cur);
    begin = start;
    std::size_t next = start + cur.size();
    end = next == 0 ? unset : next - 1;
    mark = unset;
}

void SimpleParser::Insert() {
    std::string cur = Current();
    if (begin >= text.size()) begin = text.size();
    const std::size_t at = begin;
    text.insert(at, cur);
    // Shift the cursor past the inserted text so that it is not read again. A
    // current line keeps being current; without one the inserted text becomes it.
    std::size_t next = end == unset ? 0 : end + 1;
    const bool onLine = next > at;
    if (next >= at) next += cur.size();
    end = next == 0 ? unset : next - 1;
    if (onLine) begin += cur.size();
    if (mark != unset && mark > at) mark += cur.size();
}

}  // namespace str
