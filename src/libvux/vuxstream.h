// Descriptor ownership and standard streams over descriptors.
#ifndef LIBVUX_VUXSTREAM_H
#define LIBVUX_VUXSTREAM_H

#include <libvux/vuxapi.h>

#include <cstdint>
#include <iostream>
#include <memory>
#include <streambuf>
#include <string>
#include <vector>

VUX_API_BEGIN

// Shared owner of one descriptor: the last owner to Close() closes it. Copies share it.
class VUX_API ResHandle {
public:
    static const int BadHandle = -1;

    ResHandle() {}
    // -1 gives an empty handle; any other number, negative ones too, is held as it is.
    ResHandle(int fd);
    ResHandle(const ResHandle& other) : fd_(other.fd_) {}
    ~ResHandle() { Close(); }

    // Both do nothing when the handles already compare equal; otherwise Close() first.
    ResHandle& operator=(const ResHandle& other);
    ResHandle& operator=(int fd);

    // Drops this share; closes the descriptor (ignoring close's result) only when it was the last.
    void Close();
    // Throws std::invalid_argument "INVALID HANDLE" on an empty handle.
    operator int() const;
    // -1 when empty; never throws.
    int fd() const { return fd_ ? *fd_ : BadHandle; }
    explicit operator bool() const { return static_cast<bool>(fd_); }

    // Equal when both share one descriptor or hold the same number; two empty handles are
    // equal, an empty and a non-empty one are not. An empty handle equals -1 only.
    bool operator==(const ResHandle& other) const;
    bool operator==(const int& fd) const;
    bool operator!=(const ResHandle& other) const { return !(*this == other); }
    bool operator!=(const int& fd) const { return !(*this == fd); }

private:
    std::shared_ptr<int> fd_;
};

namespace vux_stream {

// A buffer over a descriptor in non-blocking mode; one buffer of `size` bytes serves both
// directions, so a refill drops pending output: flush before reading.
class StreamBuf : public std::streambuf {
public:
    explicit StreamBuf(long size);
    // Hands a descriptor that outlives the buffer back in blocking mode.
    virtual ~StreamBuf();

protected:
    // Ignored while open; (nullptr, 0) makes the buffer one byte (unbuffered), a non-null p
    // with n >= 1 lends the caller's memory. Anything else changes nothing.
    std::streambuf* setbuf(char* p, std::streamsize n) override;
    int sync() override;
    // Throws std::ios_base::failure when read() reports an error.
    int_type underflow() override;
    // eof when a write is short: the stream then has badbit.
    int_type overflow(int_type c = traits_type::eof()) override;

public:
    // Closes what was open, then shares h and makes it non-blocking; an empty h leaves the
    // buffer closed. Throws std::ios_base::failure when the flags cannot be read or set.
    virtual StreamBuf* open(const ResHandle& h, std::ios_base::openmode m);
    // Flushes and drops this buffer's share of the descriptor.
    virtual StreamBuf* close();
    virtual bool is_open() const;
    // Transfer all n bytes, waiting while the descriptor is not ready; fewer only at end of
    // input or on an error (read gives -1 for an error before any byte).
    virtual int read(char* p, long n) = 0;
    virtual int write(const char* p, long n) = 0;

    // n >= 1 with `in`: the get area is the first n bytes; else it is empty. With `out`
    // the put area is the whole buffer but its last byte, empty.
    void set_pointers(long n);

protected:
    ResHandle handle_;
    std::ios_base::openmode mode_;
    int64_t size_;
    char* buffer_;
    bool owns_buffer_;
    int saved_flags_;

    void RestoreFlags();
};

class Stream : public std::iostream {
public:
    struct Desc : public ResHandle {
        Desc(const ResHandle& h) : ResHandle(h) {}
    };
    struct Socket : public ResHandle {
        Socket(const ResHandle& h) : ResHandle(h) {}
    };

    Stream();
    Stream(const Desc& h, std::ios_base::openmode m = std::ios_base::in | std::ios_base::out);
    Stream(const Socket& h, std::ios_base::openmode m = std::ios_base::in | std::ios_base::out);
    virtual ~Stream();

    // The first Open picks the buffer kind (file or socket) for the stream's life; later
    // ones reuse it. A handle that does not open leaves badbit set and IsOpen() false.
    Stream& Open(const Desc& h, std::ios_base::openmode m = std::ios_base::in | std::ios_base::out);
    Stream& Open(const Socket& h, std::ios_base::openmode m = std::ios_base::in | std::ios_base::out);
    virtual bool IsOpen() const;
    // Drops the stream's share of the descriptor; a shared descriptor stays open.
    virtual Stream& Close();

private:
    std::shared_ptr<StreamBuf> buf_;
    // The buffer is made by the first Open only.
    Stream& OpenBuffer(std::shared_ptr<StreamBuf> (*make)(), const ResHandle& h, std::ios_base::openmode m);
};

// A path that cannot be opened leaves badbit and IsOpen() false; nothing is thrown.
class InStream : public Stream {
public:
    InStream() {}
    explicit InStream(const std::string& path, std::ios_base::openmode m = std::ios_base::in);
    InStream& Open(const std::string& path, std::ios_base::openmode m = std::ios_base::in);
    using Stream::Open;
};

// Creates the file (mode 0666 less the umask); trunc empties it, app appends, and without
// either the bytes beyond what is written stay. A path that cannot be opened: as InStream.
class OutStream : public Stream {
public:
    OutStream() {}
    explicit OutStream(const std::string& path, std::ios_base::openmode m = std::ios_base::out | std::ios_base::trunc);
    OutStream& Open(const std::string& path, std::ios_base::openmode m = std::ios_base::out | std::ios_base::trunc);
    using Stream::Open;
};

// The next line, without delim; false (line cleared) at end of input or on badbit, so a last
// line without delim is never returned. A failbit of the read is cleared.
bool GetLine(std::istream& in, std::string& line, char delim = '\n', bool skip_empty = false);

// Reads a stream's lines from the last to the first.
class BackReader {
public:
    explicit BackReader(std::istream& in);
    // Back to the end of the stream, with no limit.
    void Reset();
    // Reads only the last size + 1 bytes (call after Reset) and drops the extra one from the
    // earliest line, so nothing before the last size bytes is returned.
    void SetFileSizeLimit(long size);
    // True with the previous line, cut to max_len bytes; false when nothing is left. A
    // delimiter that ends the stream yields one empty line first unless skip_empty.
    bool GetLine(std::string& line, char delim = '\n', long max_len = 65536, bool skip_empty = false);
    // Bits: 1 the start of the stream was reached, 2 the last line was cut to max_len,
    // 4 the limit of SetFileSizeLimit was reached. 1 and 4 end the reading.
    int GetState() const { return state_; }

private:
    // The steps of GetLine: more bytes from before the buffer (how many, 0 when none are
    // left above the floor), the first line of what may be read, and the line handed out.
    std::size_t ReadEarlierChunk(long max_len);
    bool TakeFirstLine(std::size_t& start);
    void HandOut(std::string& line, std::size_t start, long max_len);

    std::istream& in_;
    std::vector<char> buffer_;
    int state_;
    bool started_;
    int64_t limit_;
    int64_t floor_;
};

class BaseFindCondition {
public:
    virtual ~BaseFindCondition() {}
    // Negative when the line lies before the place sought, 0 when it is the line sought,
    // positive when it lies after it.
    virtual int Compare(const std::string& line) const = 0;
};

struct FindResult {
    std::string line;
    // What Compare said of the line: 0 or positive; -1 (with an empty line) when every
    // line lies before the place sought.
    int code;
};

// Bisects a stream of lines ordered by cond for the first line that does not lie before the
// place sought (a line comparing 0 ends the search at once); the stream is left at that
// line's start, or at 0 when there is none.
FindResult _FindFirst(std::istream& in, const BaseFindCondition& cond, char delim = '\n');

// _FindFirst with f(line) -> int as the condition's Compare.
template <class F>
FindResult FindFirst(std::istream& in, F f, char delim = '\n') {
    struct Cond : BaseFindCondition {
        F& f;
        explicit Cond(F& fn) : f(fn) {}
        int Compare(const std::string& line) const override { return f(line); }
    } cond(f);
    return _FindFirst(in, cond, delim);
}

}  // namespace vux_stream

VUX_API_END

#endif
