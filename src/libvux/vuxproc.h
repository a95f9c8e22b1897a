// Processes.
#ifndef LIBVUX_VUXPROC_H
#define LIBVUX_VUXPROC_H

namespace vux_proc {

// Reports the thread state "sleep" (an abort point), then sleeps.
void Sleep(unsigned long ms);

}  // namespace vux_proc

#endif
