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

// Shared owner of one descriptor: the last owner to Close() closes it.
class VUX_API ResHandle {
public:
    static const int BadHandle = -1;

    ResHandle() {}
    ResHandle(int fd);
    ResHandle(const ResHandle& other) : fd_(other.fd_) {}
    ~ResHandle() { Close(); }

    ResHandle& operator=(const ResHandle& other);
    ResHandle& operator=(int fd);

    void Close();
    operator int() const;
    int fd() const { return fd_ ? *fd_ : BadHandle; }
    explicit operator bool() const { return static_cast<bool>(fd_); }

    bool operator==(const ResHandle& other) const;
    bool operator==(const int& fd) const;
    bool operator!=(const ResHandle& other) const { return !(*this == other); }
    bool operator!=(const int& fd) const { return !(*this == fd); }

private:
    std::shared_ptr<int> fd_;
};

namespace VUX_API vux_stream {

class StreamBuf : public std::streambuf {
public:
    explicit StreamBuf(long size);
    virtual ~StreamBuf();

protected:
    std::streambuf* setbuf(char* p, std::streamsize n) override;
    int sync() override;
    int_type underflow() override;
    int_type overflow(int_type c = traits_type::eof()) override;

public:
    virtual StreamBuf* open(const ResHandle& h, std::ios_base::openmode m);
    virtual StreamBuf* close();
    virtual bool is_open() const;
    virtual int read(char* p, long n) = 0;
    virtual int write(const char* p, long n) = 0;

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

    Stream& Open(const Desc& h, std::ios_base::openmode m = std::ios_base::in | std::ios_base::out);
    Stream& Open(const Socket& h, std::ios_base::openmode m = std::ios_base::in | std::ios_base::out);
    virtual bool IsOpen() const;
    virtual Stream& Close();

private:
    std::shared_ptr<StreamBuf> buf_;
    void Attach(std::shared_ptr<StreamBuf> buf);
};

class InStream : public Stream {
public:
    InStream() {}
    explicit InStream(const std::string& path, std::ios_base::openmode m = std::ios_base::in);
    InStream& Open(const std::string& path, std::ios_base::openmode m = std::ios_base::in);
    using Stream::Open;
};

class OutStream : public Stream {
public:
    OutStream() {}
    explicit OutStream(const std::string& path, std::ios_base::openmode m = std::ios_base::out | std::ios_base::trunc);
    OutStream& Open(const std::string& path, std::ios_base::openmode m = std::ios_base::out | std::ios_base::trunc);
    using Stream::Open;
};

bool GetLine(std::istream& in, std::string& line, char delim = '\n', bool skip_empty = false);

// Reads a stream's lines from the last to the first.
class BackReader {
public:
    explicit BackReader(std::istream& in);
    void Reset();
    void SetFileSizeLimit(long size);
    bool GetLine(std::string& line, char delim = '\n', long max_len = 65536, bool skip_empty = false);
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
    virtual int Compare(const std::string& line) const = 0;
};

struct FindResult {
    std::string line;
    int code;
};

FindResult _FindFirst(std::istream& in, const BaseFindCondition& cond, char delim = '\n');

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

#endif
