// Profiler scopes. The library only names the tasks around its waits; the
// accounting belongs to the programs that install a profiler.
#ifndef LIBVUX_VUXPROFILER_H
#define LIBVUX_VUXPROFILER_H

#include <libvux/vuxapi.h>

VUX_API_BEGIN

namespace vux_profiler {

class Task {
public:
    explicit Task(const char* name) : name_(name) {}
    Task(const Task&) = delete;
    Task& operator=(const Task&) = delete;
    const char* name() const { return name_; }

private:
    const char* name_;
};

}  // namespace vux_profiler

VUX_API_END

#endif
