#include "private/vuxsys.h"

#include <sys/stat.h>
#include <unistd.h>

namespace vux_sys {

bool WriteAll(int fd, iovec* iov, int count) {
    while (count > 0) {
        if (iov->iov_len == 0) {
            ++iov;
            --count;
            continue;
        }
        const ssize_t n = RetryAfterSignal([&] { return ::writev(fd, iov, count); });
        if (n < 0) return false;
        if (n == 0) {  // nothing taken and no error: it would repeat for ever
            errno = EIO;
            return false;
        }
        std::size_t done = static_cast<std::size_t>(n);
        while (count > 0 && done >= iov->iov_len) {
            done -= iov->iov_len;
            ++iov;
            --count;
        }
        if (count > 0) {
            iov->iov_base = static_cast<char*>(iov->iov_base) + done;
            iov->iov_len -= done;
        }
    }
    return true;
}

bool WriteAll(int fd, const void* data, std::size_t size) {
    iovec v{const_cast<void*>(data), size};
    return WriteAll(fd, &v, 1);
}

bool PathExists(const std::string& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0;
}

bool MakeDirs(const std::string& path) {
    if (path.empty()) return true;
    struct stat st;
    if (::stat(path.c_str(), &st) == 0) return S_ISDIR(st.st_mode);
    const std::size_t slash = path.rfind('/');
    if (slash != std::string::npos && slash > 0 && !MakeDirs(path.substr(0, slash))) return false;
    return ::mkdir(path.c_str(), 0777) == 0 || errno == EEXIST;
}

}  // namespace vux_sys
