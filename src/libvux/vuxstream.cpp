// Descriptor handles, the buffer base and line utilities.
#include "vuxstream.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <stdexcept>

#include <fcntl.h>
#include <unistd.h>

#include "vuxlog.h"

VUX_LOG_MODULE("libvux")

// ---- ResHandle ----

ResHandle::ResHandle(int fd) {
    if (fd != BadHandle) fd_ = std::make_shared<int>(fd);
}

ResHandle& ResHandle::operator=(const ResHandle& other) {
    if (*this == other) return *this;
    Close();
    if (other.fd_) fd_ = other.fd_;
    return *this;
}

ResHandle& ResHandle::operator=(int fd) {
    if (*this == fd) return *this;
    Close();
    if (fd != BadHandle) fd_ = std::make_shared<int>(fd);
    return *this;
}

void ResHandle::Close() {
    if (fd_ && fd_.use_count() == 1) {
        int fd = *fd_;
        fd_.reset();
        ::close(fd);
        return;
    }
    fd_.reset();
}

ResHandle::operator int() const {
    if (!fd_) throw std::invalid_argument("INVALID HANDLE");
    return *fd_;
}

bool ResHandle::operator==(const ResHandle& other) const {
    if (fd_ == other.fd_) return true;
    if (!fd_ || !other.fd_) return false;
    return *fd_ == *other.fd_;
}

bool ResHandle::operator==(const int& fd) const {
    if (!fd_) return fd == BadHandle;
    return *fd_ == fd;
}

namespace vux_stream {

// ---- StreamBuf ----

StreamBuf::StreamBuf(long size)
    : mode_(std::ios_base::openmode()), size_(size), buffer_(nullptr), owns_buffer_(false), saved_flags_(-1) {
    setg(nullptr, nullptr, nullptr);
    setp(nullptr, nullptr);
}

StreamBuf::~StreamBuf() {
    if (is_open()) RestoreFlags();
    if (owns_buffer_) delete[] buffer_;
    buffer_ = nullptr;
    handle_.Close();
}

std::streambuf* StreamBuf::setbuf(char* p, std::streamsize n) {
    if (is_open()) return this;
    if (!p && n == 0) {
        size_ = 1;
    } else if (p && n >= 1) {
        if (owns_buffer_) delete[] buffer_;
        buffer_ = p;
        owns_buffer_ = false;
        size_ = n;
    }
    return this;
}

int StreamBuf::sync() {
    if (is_open() && pptr() > pbase()) {
        if (traits_type::eq_int_type(overflow(traits_type::eof()), traits_type::eof())) return -1;
    }
    return 0;
}

StreamBuf::int_type StreamBuf::underflow() {
    if (!(mode_ & std::ios_base::in)) return traits_type::eof();
    if (gptr() && gptr() < egptr()) return traits_type::to_int_type(*gptr());
    if (!buffer_) return traits_type::eof();
    int n = read(buffer_, std::max<int64_t>(size_, 1));
    if (n > 0) {
        set_pointers(n);
        return traits_type::to_int_type(*gptr());
    }
    if (n == 0) {
        set_pointers(-1);
        return traits_type::eof();
    }
    set_pointers(-1);
    throw std::ios_base::failure("StreamBuf::underflow error reading file");
}

StreamBuf::int_type StreamBuf::overflow(int_type c) {
    if (!(mode_ & std::ios_base::out) || !buffer_) return traits_type::eof();
    bool eof = traits_type::eq_int_type(c, traits_type::eof());
    if (!eof) {
        // The reserved last byte of the buffer always leaves room for c.
        *pptr() = traits_type::to_char_type(c);
        pbump(1);
    }
    long n = pptr() - pbase();
    if (n < 1) return traits_type::eof();
    if (write(pbase(), n) != n) return traits_type::eof();
    set_pointers(0);
    return eof ? 0 : c;
}

StreamBuf* StreamBuf::open(const ResHandle& h, std::ios_base::openmode m) {
    close();
    handle_ = h;
    if (!is_open()) return this;
    saved_flags_ = ::fcntl(handle_.fd(), F_GETFL);
    if (saved_flags_ == -1) throw std::ios_base::failure("StreamBuf::open failed to get handle flags");
    if (::fcntl(handle_.fd(), F_SETFL, saved_flags_ | O_NONBLOCK) == -1) {
        saved_flags_ = -1;
        throw std::ios_base::failure("StreamBuf::open failed to set handle nonblocking");
    }
    mode_ = m;
    if (!buffer_) {
        if (size_ < 1) size_ = 1;
        buffer_ = new char[size_];
        owns_buffer_ = true;
    }
    set_pointers(-1);
    return this;
}

void StreamBuf::RestoreFlags() {
    if (saved_flags_ != -1 && handle_.fd() != ResHandle::BadHandle) ::fcntl(handle_.fd(), F_SETFL, saved_flags_);
    saved_flags_ = -1;
}

StreamBuf* StreamBuf::close() {
    if (!is_open()) return this;
    sync();
    // A descriptor shared with other owners outlives us; hand it back blocking.
    RestoreFlags();
    handle_.Close();
    mode_ = std::ios_base::openmode();
    if (owns_buffer_) {
        delete[] buffer_;
        buffer_ = nullptr;
        owns_buffer_ = false;
    }
    set_pointers(-1);
    return this;
}

bool StreamBuf::is_open() const { return handle_ && handle_.fd() != ResHandle::BadHandle; }

void StreamBuf::set_pointers(long n) {
    if ((mode_ & std::ios_base::in) && n >= 1 && buffer_)
        setg(buffer_, buffer_, buffer_ + n);
    else
        setg(buffer_, buffer_, buffer_);
    if ((mode_ & std::ios_base::out) && buffer_)
        setp(buffer_, buffer_ + (size_ - 1));
    else
        setp(nullptr, nullptr);
}

// ---- GetLine ----

bool GetLine(std::istream& in, std::string& line, char delim, bool skip_empty) {
    for (;;) {
        std::getline(in, line, delim);
        if (in.eof() || in.bad()) {
            line.clear();
            return false;
        }
        in.clear();
        if (skip_empty && line.empty()) continue;
        return true;
    }
}

// ---- BackReader ----

namespace {
// Large enough that seeks and reads cost little per line, small enough to stay in cache.
const int64_t kBackChunk = 65536;
// The state bits.
const int kStartReached = 1;
const int kLineCut = 2;
const int kFloorReached = 4;
}  // namespace

BackReader::BackReader(std::istream& in) : in_(in), state_(0), started_(false), limit_(0), floor_(0) { Reset(); }

void BackReader::Reset() {
    in_.clear();
    in_.seekg(0, std::ios_base::end);
    buffer_.clear();
    state_ = 0;
    started_ = false;
    floor_ = 0;
    limit_ = std::numeric_limits<int64_t>::max();
}

void BackReader::SetFileSizeLimit(long size) {
    limit_ = static_cast<int64_t>(size) + 1;
    int64_t pos = in_.tellg();
    if (pos > limit_) floor_ = pos - limit_;
}

bool BackReader::GetLine(std::string& line, char delim, long max_len, bool skip_empty) {
    if (state_ & (kStartReached | kFloorReached)) return false;
    state_ = 0;
    if (max_len < 0) max_len = 0;
    // The line sought ends at the buffer's end; only the bytes before `unsearched` may still
    // hold the delimiter before it.
    std::size_t unsearched = buffer_.size();
    std::size_t start = 0;
    for (;;) {
        const void* hit = unsearched ? ::memrchr(buffer_.data(), delim, unsearched) : nullptr;
        if (hit) {
            const std::size_t at = static_cast<const char*>(hit) - buffer_.data();
            if (at + 1 < buffer_.size()) {
                start = at + 1;
                break;
            }
            // The delimiter that ends the line sought: an empty line follows it.
            buffer_.pop_back();
            unsearched = at;
            if (skip_empty) continue;
            line.clear();
            started_ = true;
            return true;
        }
        unsearched = ReadEarlierChunk(max_len);
        if (unsearched > 0) continue;
        if (!TakeFirstLine(start)) {
            line.clear();
            return false;
        }
        break;
    }
    HandOut(line, start, max_len);
    return !line.empty() || !skip_empty;
}

std::size_t BackReader::ReadEarlierChunk(long max_len) {
    int64_t pos = in_.tellg();
    if (pos < 0) pos = 0;
    const int64_t chunk = std::min<int64_t>(kBackChunk, pos - floor_);
    if (chunk <= 0) return 0;
    // A line longer than max_len keeps only its first max_len bytes.
    if (static_cast<long>(buffer_.size()) > max_len) {
        state_ |= kLineCut;
        buffer_.resize(max_len);
    }
    const std::size_t old = buffer_.size();
    buffer_.resize(old + chunk);
    std::memmove(buffer_.data() + chunk, buffer_.data(), old);
    in_.clear();
    in_.seekg(pos - chunk);
    in_.read(buffer_.data(), chunk);
    const std::streamsize got = in_.gcount();
    in_.clear();
    // The stream's position stays the offset of the buffer's first byte.
    in_.seekg(pos - chunk);
    if (got == chunk) return static_cast<std::size_t>(chunk);
    // The stream shrank under us; stop as at its start.
    buffer_.erase(buffer_.begin(), buffer_.begin() + chunk);
    floor_ = 0;
    in_.seekg(0);
    return 0;
}

bool BackReader::TakeFirstLine(std::size_t& start) {
    int64_t pos = in_.tellg();
    if (pos > 0) {
        // The floor: the first buffered byte is the extra one the limit of size + 1 admits.
        state_ |= kFloorReached;
        start = buffer_.empty() ? 0 : 1;
        return true;
    }
    if (!started_ && buffer_.empty()) return false;  // empty input
    state_ |= kStartReached;
    start = 0;
    return true;
}

void BackReader::HandOut(std::string& line, std::size_t start, long max_len) {
    std::size_t len = buffer_.size() - start;
    if (static_cast<long>(len) > max_len) {
        state_ |= kLineCut;
        len = max_len;
    }
    if (len == 0)
        line.clear();
    else
        line.assign(buffer_.data() + start, len);
    // What is left ends with the delimiter before the line.
    buffer_.resize(start);
    if (!buffer_.empty()) buffer_.pop_back();
    started_ = true;
}

// ---- _FindFirst ----

namespace {

// Reads the line containing offset mid within [low, high); returns its bounds.
bool LineAt(std::istream& in, int64_t low, int64_t high, int64_t mid, char delim, int64_t& ls, int64_t& le,
            std::string& line) {
    char buf[1024];
    // Step back over delimiter bytes at mid.
    int64_t p = mid;
    for (;;) {
        if (p < low) return false;
        in.clear();
        in.seekg(p);
        int c = in.get();
        in.clear();
        if (c == std::char_traits<char>::eof()) return false;
        if (static_cast<char>(c) != delim) break;
        --p;
    }
    // Backwards to the previous delimiter.
    ls = low;
    int64_t q = p;
    bool done = false;
    while (q > low && !done) {
        int64_t from = std::max<int64_t>(low, q - 1024);
        in.clear();
        in.seekg(from);
        in.read(buf, q - from);
        int64_t got = in.gcount();
        in.clear();
        for (int64_t i = got - 1; i >= 0; --i) {
            if (buf[i] == delim) {
                ls = from + i + 1;
                done = true;
                break;
            }
        }
        if (got <= 0) break;
        q = from;
    }
    // Forwards to the next delimiter.
    line.clear();
    le = high;
    int64_t r = ls;
    done = false;
    while (r < high && !done) {
        int64_t n = std::min<int64_t>(1024, high - r);
        in.clear();
        in.seekg(r);
        in.read(buf, n);
        int64_t got = in.gcount();
        in.clear();
        if (got <= 0) {
            le = r;
            break;
        }
        for (int64_t i = 0; i < got; ++i) {
            if (buf[i] == delim) {
                line.append(buf, i);
                le = r + i;
                done = true;
                break;
            }
        }
        if (!done) line.append(buf, got);
        r += got;
        if (!done) le = r;
    }
    return true;
}

}  // namespace

FindResult _FindFirst(std::istream& in, const BaseFindCondition& cond, char delim) {
    FindResult result{std::string(), -1};
    in.clear();
    in.seekg(0, std::ios_base::end);
    int64_t high = in.tellg();
    in.clear();
    if (high <= 0) {
        in.seekg(0);
        return result;
    }
    int64_t low = 0, found = 0;
    while (low < high) {
        int64_t mid = (low + high) / 2;
        int64_t ls, le;
        std::string line;
        if (!LineAt(in, low, high, mid, delim, ls, le, line)) break;
        int r = cond.Compare(line);
        if (r < 0) {
            int64_t next = le;
            // Skip the run of delimiters after the line.
            in.clear();
            in.seekg(next);
            while (next < high) {
                int c = in.get();
                if (c == std::char_traits<char>::eof() || static_cast<char>(c) != delim) break;
                ++next;
            }
            in.clear();
            low = std::max(next, low + 1);
            if (low >= high) break;
        } else {
            found = ls;
            result.line = line;
            result.code = r;
            if (r == 0) break;
            high = ls;
        }
        if (ls <= low && le >= high - 1 && r >= 0) break;
    }
    in.clear();
    in.seekg(found);
    VUX_LOG(VuxLogModule(), vux_log::LevelDebug, "FindFirst: code %d", result.code);
    return result;
}

}  // namespace vux_stream
