// The system-bound half of the string toolkit: iconv, randomness, crypt and IDNA.
#include <libvux/vuxstr.h>

#include <crypt.h>
#include <errno.h>
#include <fcntl.h>
#include <iconv.h>
#include <idn-free.h>
#include <idna.h>
#include <openssl/rand.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <stdexcept>

#include <libvux/vuxlog.h>

namespace {

VUX_LOG_MODULE("libvux")

std::string Hex(const char* p, std::size_t n) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (std::size_t i = 0; i < n; ++i) {
        unsigned char c = static_cast<unsigned char>(p[i]);
        out += digits[c >> 4];
        out += digits[c & 0xF];
    }
    return out;
}

const iconv_t kClosed = reinterpret_cast<iconv_t>(-1);

}  // namespace

namespace str {

// ---- Conv --------------------------------------------------------------

struct Conv::Data {
    iconv_t cd = kClosed;
    std::string from;
    std::string to;
    std::string carried;  // an unfinished multi-byte sequence from the previous chunk

    Data(const std::string& f, const std::string& t) : from(f), to(t) { Open(); }
    ~Data() { Close(); }
    Data(const Data&) = delete;
    Data& operator=(const Data&) = delete;

    void Open() {
        if (cd != kClosed) return;
        cd = iconv_open(to.c_str(), from.c_str());
        if (cd == kClosed) throw vux_err::Error("conv", "iconv_open", std::to_string(errno));
    }

    void Close() {
        if (cd == kClosed) return;
        iconv_close(cd);
        cd = kClosed;
    }

    [[noreturn]] static void BadSeq(const std::string& bytes) {
        throw vux_err::Error("conv", "badseq", Hex(bytes.data(), bytes.size()));
    }

    std::string Convert(const char* in, std::size_t len);
    void Flush(std::string& out);
};

std::string Conv::Data::Convert(const char* in, std::size_t len) {
    std::string out;
    if (!in || !len) return out;
    Open();

    std::size_t pos = 0;
    char buf[1024];

    // Complete the sequence left from the previous chunk with the first new bytes.
    while (!carried.empty()) {
        const std::size_t add = std::min<std::size_t>(6, len - pos);
        std::string combo = carried;
        combo.append(in + pos, add);
        char* ip = &combo[0];
        std::size_t il = combo.size();
        char* op = buf;
        std::size_t ol = sizeof buf;
        std::size_t r = iconv(cd, &ip, &il, &op, &ol);
        int err = errno;
        std::size_t used = combo.size() - il;
        if (used == 0) {
            if (r != static_cast<std::size_t>(-1) || err != EINVAL || add >= 6) BadSeq(carried);
            // Still incomplete and the chunk is used up: wait for more.
            carried = combo;
            return out;
        }
        out.append(buf, op - buf);
        if (used >= carried.size()) {
            pos += used - carried.size();
            carried.clear();
        } else {
            carried.erase(0, used);
        }
    }

    while (pos < len) {
        char* ip = const_cast<char*>(in + pos);
        std::size_t il = len - pos;
        char* op = buf;
        std::size_t ol = sizeof buf;
        std::size_t r = iconv(cd, &ip, &il, &op, &ol);
        int err = errno;
        std::size_t produced = op - buf;
        out.append(buf, produced);
        std::size_t used = (len - pos) - il;
        pos += used;
        if (r != static_cast<std::size_t>(-1)) break;
        if (err == E2BIG) {
            if (used == 0 && produced == 0) BadSeq(std::string(in + pos, std::min<std::size_t>(6, len - pos)));
            continue;
        }
        if (err == EINVAL) {
            carried.assign(in + pos, len - pos);
            break;
        }
        BadSeq(std::string(in + pos, std::min<std::size_t>(6, len - pos)));
    }
    return out;
}

// Writes the shift sequence that returns a stateful target encoding to its initial state.
void Conv::Data::Flush(std::string& out) {
    if (cd == kClosed) return;
    char buf[64];
    char* op = buf;
    std::size_t ol = sizeof buf;
    if (iconv(cd, nullptr, nullptr, &op, &ol) != static_cast<std::size_t>(-1)) out.append(buf, op - buf);
}

Conv::Conv(const std::string& from, const std::string& to) : data_(std::make_shared<Data>(from, to)) {}

Conv::~Conv() {}

std::string Conv::Convert(const char* data) { return Convert(data, data ? strlen(data) : 0); }

std::string Conv::Convert(const char* data, std::size_t len) {
    std::string out;
    try {
        out = data_->Convert(data, len);
        if (data_->carried.empty()) data_->Flush(out);
    } catch (...) {
        Clear();
        throw;
    }
    ConvertFinish();
    return out;
}

std::string Conv::Convert(const std::string& data) { return Convert(data.data(), data.size()); }

std::string Conv::ConvertChunk(const char* data) { return ConvertChunk(data, data ? strlen(data) : 0); }

std::string Conv::ConvertChunk(const char* data, std::size_t len) { return data_->Convert(data, len); }

std::string Conv::ConvertChunk(const std::string& data) { return ConvertChunk(data.data(), data.size()); }

void Conv::ConvertFinish() {
    std::string left;
    left.swap(data_->carried);
    data_->Close();
    // The converter is clean again before the leftover is reported.
    if (!left.empty()) Data::BadSeq(left);
}

void Conv::Clear() {
    data_->Close();
    data_->carried.clear();
}

// ---- u16string ---------------------------------------------------------

namespace {

// One converter per direction, shared by the process; iconv state is not
// thread-safe, so each is used under its own mutex.
struct SharedConv {
    std::mutex mutex;
    Conv conv;
    SharedConv(const char* from, const char* to) : conv(from, to) {}
};

SharedConv& To16() {
    static SharedConv c("UTF-8", "UTF-16LE");
    return c;
}

SharedConv& To8() {
    static SharedConv c("UTF-16LE", "UTF-8");
    return c;
}

u16string::base From8(const char* p, std::size_t n) {
    if (!p) throw std::logic_error("Convert8to16 null not valid");
    std::string bytes;
    {
        SharedConv& c = To16();
        std::lock_guard<std::mutex> guard(c.mutex);
        bytes = c.conv.Convert(p, n);
    }
    u16string::base units;
    units.reserve(bytes.size() / 2);
    for (std::size_t i = 0; i + 1 < bytes.size(); i += 2)
        units.push_back(static_cast<unsigned short>(static_cast<unsigned char>(bytes[i]) |
                                                    (static_cast<unsigned char>(bytes[i + 1]) << 8)));
    return units;
}

}  // namespace

u16string::u16string(const unsigned short* units) {
    if (!units) return;
    std::size_t n = 0;
    while (units[n]) ++n;
    assign(units, n);
}

u16string::u16string(const char* utf8) : base(From8(utf8, utf8 ? strlen(utf8) : 0)) {}

u16string::u16string(const char* utf8, std::size_t len) : base(From8(utf8, len)) {}

u16string::u16string(const std::string& utf8) : base(From8(utf8.data(), utf8.size())) {}

u16string::operator std::string() const {
    std::string bytes;
    bytes.reserve(size() * 2);
    for (unsigned short u : *this) {
        bytes += static_cast<char>(u & 0xFF);
        bytes += static_cast<char>(u >> 8);
    }
    SharedConv& c = To8();
    std::lock_guard<std::mutex> guard(c.mutex);
    return c.conv.Convert(bytes);
}

// ---- Random ------------------------------------------------------------

namespace {

struct RandomState {
    std::mutex mutex;
    std::int16_t budget;
    unsigned char pool[32];
    std::size_t fill;

    RandomState() : budget(-1), fill(0) {
        struct timespec ts;
        clock_gettime(CLOCK_REALTIME, &ts);
        srand(static_cast<unsigned>(ts.tv_nsec));
    }

    // Mixes fresh entropy into OpenSSL once the byte budget is spent.
    void Account(std::size_t n) {
        std::lock_guard<std::mutex> guard(mutex);
        if (budget <= 0) {
            int fd = open("/dev/random", O_RDONLY | O_NONBLOCK);
            if (fd >= 0) {
                ssize_t r = read(fd, pool + fill, sizeof pool - fill);
                if (r > 0) fill += static_cast<std::size_t>(r);
                close(fd);
                if (fill == sizeof pool) {
                    RAND_seed(pool, sizeof pool);
                    unsigned seed;
                    memcpy(&seed, pool, sizeof seed);
                    srand(seed);
                    fill = 0;
                    budget = static_cast<std::int16_t>(4096 + (rand() & 0xFFF));
                }
            }
        }
        // Saturate rather than wrap, so a huge request never refills the budget.
        long b = static_cast<long>(budget) - static_cast<long>(std::min<std::size_t>(n, 0x10000));
        budget = static_cast<std::int16_t>(std::max<long>(b, INT16_MIN));
    }
};

}  // namespace

std::string Random(std::size_t n) {
    static RandomState state;
    if (n == 0) return std::string();
    state.Account(n);
    std::string out(n, '\0');
    unsigned char* p = reinterpret_cast<unsigned char*>(&out[0]);
    bool ok = true;
    for (std::size_t done = 0; done < n && ok;) {
        int step = static_cast<int>(std::min<std::size_t>(n - done, 1 << 30));
        ok = RAND_bytes(p + done, step) == 1;
        done += step;
    }
    if (!ok) {
        VUX_LOG(VuxLogModule(), vux_log::LevelWarning, "RAND_bytes failed, falling back to rand()");
        for (std::size_t i = 0; i < n; ++i) p[i] = static_cast<unsigned char>(rand());
    }
    return out;
}

std::string GenerateSalt(std::size_t n) {
    std::string salt = base64::Encode(Random(n));
    std::replace(salt.begin(), salt.end(), '+', '.');
    return salt;
}

// ---- crypt -------------------------------------------------------------

namespace {
std::atomic<int> g_cryptFormat{CryptMD5};
}

void SetCryptFormat(CryptFormat f) { g_cryptFormat.store(f, std::memory_order_relaxed); }

std::string Crypt(const std::string& password, CryptFormat f) {
    int format = f == CryptDefault ? g_cryptFormat.load(std::memory_order_relaxed) : f;
    std::string salt;
    if (format == CryptMD5)
        salt = "$1$" + GenerateSalt(6) + "$";
    else if (format == CryptSHA256)
        salt = "$5$" + GenerateSalt(12) + "$";
    else  // the documented place, file and signature of this assertion predate this file's name
        vux_err::AssertError::Raise("vuxstr", 294, "std::string str::Crypt(const string&, str::CryptFormat)",
                                    "Unsupported crypt format");
    return Crypt(password, salt);
}

std::string Crypt(const std::string& password, const std::string& salt) {
    // crypt_r keeps its result in the caller's buffer, so no process-wide lock is needed.
    std::unique_ptr<struct crypt_data> data(new struct crypt_data());
    const char* r = crypt_r(password.c_str(), salt.c_str(), data.get());
    return r ? std::string(r) : std::string();
}

// ---- puny --------------------------------------------------------------

namespace {

class PunyFail : public vux_err::Error {
public:
    PunyFail(const std::string& object, const std::string& value) : vux_err::Error("str", object, value) {
        set_report();
    }
};

typedef int (*IdnaFunc)(const char*, char**, int);

// `given` is the caller's input, reported on failure.
std::string Idna(IdnaFunc fn, const std::string& name, const std::string& given, const char* object) {
    // A NUL inside a name would silently cut it short in libidn.
    if (name.find('\0') != std::string::npos) throw PunyFail(object, given);
    char* out = nullptr;
    int rc = fn(name.c_str(), &out, 0);
    if (rc != IDNA_SUCCESS || !out) {
        if (out) idn_free(out);
        throw PunyFail(object, given);
    }
    std::string result(out);
    idn_free(out);
    return result;
}

}  // namespace

namespace puny {

std::string Encode(const std::string& host) {
    if (host == "*") return host;
    if (!host.empty() && host[0] == '.') {
        std::string out(1, '.');
        out += Idna(idna_to_ascii_8z, host.substr(1), host, "punyencode");
        return out;
    }
    return Idna(idna_to_ascii_8z, host, host, "punyencode");
}

std::string Decode(const std::string& host) {
    if (host == "*") return host;
    return Idna(idna_to_unicode_8z8z, host, host, "punydecode");
}

}  // namespace puny

}  // namespace str
