// Low-level helpers the library's own sources share; not installed. Only system calls, no
// logging: the logging code uses them too, and may not log from inside itself.
#ifndef LIBVUX_PRIVATE_VUXSYS_H
#define LIBVUX_PRIVATE_VUXSYS_H

#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <string>

namespace vux_sys {

// Repeats a call that reports failure as -1 with errno while a signal interrupts it
// (EINTR); returns what the last attempt returned, errno as it left it.
template <class F>
auto RetryAfterSignal(F&& call) -> decltype(call()) {
    decltype(call()) r;
    do {
        r = call();
    } while (r == -1 && errno == EINTR);
    return r;
}

// Reads what is there, up to size, resuming after signals; 0 at the end, -1 with errno.
inline ssize_t ReadSome(int fd, void* data, std::size_t size) {
    return RetryAfterSignal([&] { return ::read(fd, data, size); });
}

// Writes all of data, resuming after signals and short writes; false with errno set when
// a write fails (a descriptor in non-blocking mode fails with EAGAIN rather than waiting).
bool WriteAll(int fd, const void* data, std::size_t size);
// The same for pieces written in order; iov is used up as it goes.
bool WriteAll(int fd, iovec* iov, int count);

// Whether anything (a dangling link included) stands at path.
bool PathExists(const std::string& path);
// mkdir -p: every missing directory of path, mode 0777 before the umask; true when path
// ends up a directory.
bool MakeDirs(const std::string& path);

}  // namespace vux_sys

#endif
