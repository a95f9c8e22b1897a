#include "private/vuxsys.h"

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

}  // namespace vux_sys
