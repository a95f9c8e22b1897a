#include <libvux/vuxbignum.h>

#include <openssl/bn.h>
#include <openssl/crypto.h>
#include <openssl/err.h>

#include <new>
#include <stdexcept>

#include <libvux/vuxerr.h>
#include <libvux/vuxlog.h>

namespace vux_bignum {

namespace {

VUX_LOG_MODULE("libvux", "core")

BIGNUM* Bn(void* p) { return static_cast<BIGNUM*>(p); }

// One scratch context per thread: making one per operation would cost more than a small
// multiplication.
BN_CTX* Ctx() {
    struct Holder {
        BN_CTX* ctx = BN_CTX_new();
        ~Holder() { BN_CTX_free(ctx); }
    };
    thread_local Holder holder;
    if (!holder.ctx) throw std::bad_alloc();
    return holder.ctx;
}

[[noreturn]] void Failed(const char* step) {
    unsigned long code = ERR_get_error();
    ERR_clear_error();
    char text[1024] = "";
    if (code) ERR_error_string_n(code, text, sizeof text);
    VUX_LOG(VuxLogModule(), vux_log::LevelError, "bignum %s: %s", step, text);
    throw vux_err::Error("crypto", "convert_bignum", text).set_report();
}

void Check(int ok, const char* step) {
    if (!ok) Failed(step);
}

BIGNUM* Result(BIGNUM* made, const char* step) {
    if (!made) Failed(step);
    return made;
}

void NotZero(const BIGNUM* divisor) {
    if (BN_is_zero(divisor)) throw std::logic_error("Zero division");
}

}  // namespace

void* Int::Get() const {
    if (!bn_) bn_ = Result(BN_new(), "allocate");
    return bn_;
}

Int::Int(const Int& other) {
    if (other.bn_) bn_ = Result(BN_dup(Bn(other.bn_)), "copy");
}

Int::Int(Int&& other) noexcept : bn_(other.bn_) { other.bn_ = nullptr; }

Int::Int(const char* text) {
    // BN_dec2bn stops at the first character that is not a digit; "abc" or "-" leave nothing.
    BIGNUM* parsed = nullptr;
    if (text && BN_dec2bn(&parsed, text) > 0) bn_ = parsed;
    ERR_clear_error();
}

Int::Int(const std::string& text) : Int(text.c_str()) {}

Int::~Int() { BN_free(Bn(bn_)); }

Int& Int::operator=(const Int& other) {
    if (this == &other) return *this;
    if (!other.bn_) {
        BN_zero(Bn(Get()));
        return *this;
    }
    Check(BN_copy(Bn(Get()), Bn(other.bn_)) != nullptr, "copy");
    return *this;
}

Int& Int::operator=(Int&& other) noexcept {
    if (this != &other) {
        BN_free(Bn(bn_));
        bn_ = other.bn_;
        other.bn_ = nullptr;
    }
    return *this;
}

Int& Int::Set(const unsigned char* bytes, std::size_t length, bool negative) {
    VUX_ASSERT(bytes || !length, "bytes is null");
    Check(BN_lebin2bn(bytes, static_cast<int>(length), Bn(Get())) != nullptr, "lebin2bn");
    BN_set_negative(Bn(bn_), negative ? 1 : 0);
    return *this;
}

Int& Int::SetBe(const unsigned char* bytes, std::size_t length) {
    VUX_ASSERT(bytes || !length, "bytes is null");
    Check(BN_bin2bn(bytes, static_cast<int>(length), Bn(Get())) != nullptr, "bin2bn");
    return *this;
}

Int& Int::operator+=(const Int& o) {
    Check(BN_add(Bn(Get()), Bn(bn_), Bn(o.Get())), "add");
    return *this;
}

Int& Int::operator-=(const Int& o) {
    Check(BN_sub(Bn(Get()), Bn(bn_), Bn(o.Get())), "sub");
    return *this;
}

Int& Int::operator*=(const Int& o) {
    Check(BN_mul(Bn(Get()), Bn(bn_), Bn(o.Get()), Ctx()), "mul");
    return *this;
}

Int& Int::operator/=(const Int& o) {
    NotZero(Bn(o.Get()));
    Check(BN_div(Bn(Get()), nullptr, Bn(bn_), Bn(o.bn_), Ctx()), "div");
    return *this;
}

Int& Int::operator%=(const Int& o) {
    NotZero(Bn(o.Get()));
    // BN_mod keeps the dividend's sign, like % on int (BN_nnmod would not).
    Check(BN_mod(Bn(Get()), Bn(bn_), Bn(o.bn_), Ctx()), "mod");
    return *this;
}

Int& Int::operator++() {
    Check(BN_add_word(Bn(Get()), 1), "add_word");
    return *this;
}

Int& Int::operator--() {
    Check(BN_sub_word(Bn(Get()), 1), "sub_word");
    return *this;
}

Int Int::operator++(int) {
    Int old(*this);
    ++*this;
    return old;
}

Int Int::operator--(int) {
    Int old(*this);
    --*this;
    return old;
}

std::string Int::Str() const {
    char* text = BN_bn2dec(Bn(Get()));
    if (!text) Failed("bn2dec");
    std::string result(text);
    OPENSSL_free(text);
    return result;
}

Int operator+(const Int& a, const Int& b) { return Int(a) += b; }
Int operator-(const Int& a, const Int& b) { return Int(a) -= b; }
Int operator/(const Int& a, const Int& b) { return Int(a) /= b; }
Int operator%(const Int& a, const Int& b) { return Int(a) %= b; }

// Straight into a fresh result: copying a first would double the work for small factors.
Int operator*(const Int& a, const Int& b) {
    Int r;
    Check(BN_mul(Bn(r.Get()), Bn(a.Get()), Bn(b.Get()), Ctx()), "mul");
    return r;
}

int cmp(const Int& a, const Int& b) { return BN_cmp(Bn(a.Get()), Bn(b.Get())); }

Int pow(const Int& base, const Int& exponent) {
    VUX_ASSERT(!BN_is_negative(Bn(exponent.Get())), "Can not power into negative degree");
    Int r;
    Check(BN_exp(Bn(r.Get()), Bn(base.Get()), Bn(exponent.Get()), Ctx()), "exp");
    return r;
}

}  // namespace vux_bignum
