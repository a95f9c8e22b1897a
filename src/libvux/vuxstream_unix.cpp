// Concrete descriptor buffers and the file streams.
#include "vuxstream.h"

#include <cerrno>

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include "private/vuxsys.h"
#include "vuxthread.h"

namespace {

void WaitFor(int fd, short events) {
    struct pollfd p;
    p.fd = fd;
    p.events = events;
    p.revents = 0;
    // A retry interval, not a time-out: the caller loops until done.
    ::poll(&p, 1, 500);
}

// Reads through `op` (read or recv) until n bytes or end of input, waiting
// while the descriptor has nothing. A hard error with nothing read must not
// pass for end of input.
template <class Op>
int ReadAll(char* p, long n, int fd, Op op) {
    long done = 0;
    bool failed = false;
    while (done < n) {
        vux_thread::SetStateC("read");
        const ssize_t r = vux_sys::RetryAfterSignal([&] { return op(p + done, n - done); });
        if (r > 0) {
            done += r;
        } else if (r == 0) {
            break;
        } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
            WaitFor(fd, POLLIN);
        } else {
            failed = true;
            break;
        }
    }
    if (failed && done == 0) return -1;
    return static_cast<int>(done);
}

// Writes through `op` (write or send); returns what went out before an error.
template <class Op>
int WriteAll(const char* p, long n, int fd, Op op) {
    long done = 0;
    while (done < n) {
        vux_thread::SetStateC("write");
        const ssize_t r = vux_sys::RetryAfterSignal([&] { return op(p + done, n - done); });
        if (r > 0) {
            done += r;
        } else if (r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            WaitFor(fd, POLLOUT);
        } else {
            break;
        }
    }
    return static_cast<int>(done);
}

// Blocks SIGPIPE in the calling thread for a write and takes back the one a
// write into a pipe without reader raised: the write fails instead of
// killing the process, whose signal disposition stays as the program set it.
// A caller that blocks SIGPIPE itself keeps what it gets.
class NoSigpipe {
public:
    NoSigpipe() {
        sigemptyset(&pipe_);
        sigaddset(&pipe_, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &pipe_, &old_);
    }
    ~NoSigpipe() {
        if (sigismember(&old_, SIGPIPE)) return;
        if (broken_) {
            const timespec zero{0, 0};
            vux_sys::RetryAfterSignal([&] { return sigtimedwait(&pipe_, nullptr, &zero); });
        }
        pthread_sigmask(SIG_SETMASK, &old_, nullptr);
    }
    NoSigpipe(const NoSigpipe&) = delete;
    NoSigpipe& operator=(const NoSigpipe&) = delete;
    void Broken() { broken_ = true; }

private:
    sigset_t pipe_, old_;
    bool broken_ = false;
};

class FileStreamBuf : public vux_stream::StreamBuf {
public:
    explicit FileStreamBuf(long size) : StreamBuf(size) {}
    ~FileStreamBuf() override {
        // Writing reports a state, where a requested abort would fire.
        vux_thread::NoFail nofail;
        sync();
    }

protected:
    pos_type seekoff(off_type off, std::ios_base::seekdir dir, std::ios_base::openmode which) override {
        if (!is_open()) return pos_type(off_type(-1));
        off_t r;
        if ((which & std::ios_base::out) || dir != std::ios_base::cur) {
            if (sync() != 0) return pos_type(off_type(-1));
            int whence = dir == std::ios_base::beg ? SEEK_SET : dir == std::ios_base::end ? SEEK_END : SEEK_CUR;
            r = ::lseek(handle_.fd(), off, whence);
        } else {
            if (!(which & std::ios_base::in)) return pos_type(off_type(-1));
            off_type o = off + (gptr() - egptr());
            if (o <= 0 && egptr() + o >= eback()) {
                off_t pos = ::lseek(handle_.fd(), 0, SEEK_CUR);
                if (pos == -1) return pos_type(off_type(-1));
                gbump(static_cast<int>(off));
                return pos_type(pos + o);
            }
            r = ::lseek(handle_.fd(), o, SEEK_CUR);
        }
        if (r == -1) return pos_type(off_type(-1));
        set_pointers(0);
        return pos_type(r);
    }

    pos_type seekpos(pos_type pos, std::ios_base::openmode which) override {
        return seekoff(off_type(pos), std::ios_base::beg, which);
    }

public:
    int read(char* p, long n) override {
        return ReadAll(p, n, handle_.fd(), [this](char* q, long m) { return ::read(handle_.fd(), q, m); });
    }

    int write(const char* p, long n) override {
        NoSigpipe guard;
        return WriteAll(p, n, handle_.fd(), [this, &guard](const char* q, long m) {
            const ssize_t r = ::write(handle_.fd(), q, m);
            if (r < 0 && errno == EPIPE) guard.Broken();
            return r;
        });
    }
};

class SocketStreamBuf : public vux_stream::StreamBuf {
public:
    explicit SocketStreamBuf(long size) : StreamBuf(size) {}
    ~SocketStreamBuf() override {
        // Writing reports a state, where a requested abort would fire.
        vux_thread::NoFail nofail;
        sync();
    }

protected:
    std::streamsize xsgetn(char* p, std::streamsize n) override {
        if (!(mode_ & std::ios_base::in)) return -1;
        int r = read(p, n);
        return r < 0 ? 0 : r;
    }

public:
    StreamBuf* close() override {
        if (is_open()) {
            sync();
            ::shutdown(handle_.fd(), SHUT_RDWR);
        }
        return StreamBuf::close();
    }

    int read(char* p, long n) override {
        return ReadAll(p, n, handle_.fd(), [this](char* q, long m) { return ::recv(handle_.fd(), q, m, MSG_WAITALL); });
    }

    int write(const char* p, long n) override {
        return WriteAll(p, n, handle_.fd(), [this](const char* q, long m) { return ::send(handle_.fd(), q, m, MSG_NOSIGNAL); });
    }
};

const long kBufferSize = 4096;

template <class Buf>
std::shared_ptr<vux_stream::StreamBuf> MakeBuf() {
    return std::make_shared<Buf>(kBufferSize);
}

}  // namespace

namespace vux_stream {

Stream::Stream() : std::iostream(nullptr) {}

Stream::Stream(const Desc& h, std::ios_base::openmode m) : std::iostream(nullptr) { Open(h, m); }

Stream::Stream(const Socket& h, std::ios_base::openmode m) : std::iostream(nullptr) { Open(h, m); }

Stream::~Stream() {
    rdbuf(nullptr);
    buf_.reset();
}

Stream& Stream::Open(const Desc& h, std::ios_base::openmode m) {
    return OpenBuffer(&MakeBuf<FileStreamBuf>, h, m);
}

Stream& Stream::Open(const Socket& h, std::ios_base::openmode m) {
    return OpenBuffer(&MakeBuf<SocketStreamBuf>, h, m);
}

Stream& Stream::OpenBuffer(std::shared_ptr<StreamBuf> (*make)(), const ResHandle& h, std::ios_base::openmode m) {
    if (!buf_) {
        buf_ = make();
        rdbuf(buf_.get());
    }
    buf_->open(h, m);
    if (buf_->is_open())
        clear();
    else
        setstate(std::ios_base::badbit);
    return *this;
}

bool Stream::IsOpen() const { return buf_ && buf_->is_open(); }

Stream& Stream::Close() {
    if (buf_) buf_->close();
    return *this;
}

InStream::InStream(const std::string& path, std::ios_base::openmode m) { Open(path, m); }

InStream& InStream::Open(const std::string& path, std::ios_base::openmode m) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    Stream::Open(Desc(ResHandle(fd)), m | std::ios_base::in);
    return *this;
}

OutStream::OutStream(const std::string& path, std::ios_base::openmode m) { Open(path, m); }

OutStream& OutStream::Open(const std::string& path, std::ios_base::openmode m) {
    int flags = O_WRONLY | O_CREAT | O_CLOEXEC;
    if (m & std::ios_base::trunc) flags |= O_TRUNC;
    if (m & std::ios_base::app) flags |= O_APPEND;
    int fd = ::open(path.c_str(), flags, 0666);
    Stream::Open(Desc(ResHandle(fd)), m | std::ios_base::out);
    return *this;
}

}  // namespace vux_stream
