#include <libvux/vuxproc.h>

#include <errno.h>
#include <time.h>

#include <libvux/vuxthread.h>

namespace vux_proc {

void Sleep(unsigned long ms) {
    vux_thread::SetStateC("sleep");
    timespec left{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

}  // namespace vux_proc
