// Call stack capture for error reports.
#ifndef LIBVUX_VUXBACKTRACE_H
#define LIBVUX_VUXBACKTRACE_H

#include <libvux/vuxapi.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

VUX_API_BEGIN

namespace vux_backtrace {

struct Frame {
    std::string module;      // shared object or executable the frame is in
    std::string function;    // demangled name, "??" when unknown
    std::uintptr_t address;  // start of the function, 0 when unknown
    std::uintptr_t offset;   // return address minus function start
};

// Shared handle on a captured stack; symbols are resolved on first access.
class BtWalk {
public:
    BtWalk();  // empty: no frames
    // Captures the caller's stack, dropping `skip` innermost frames.
    static BtWalk Capture(int skip = 0);

    std::size_t size() const;
    const Frame& operator[](std::size_t i) const;
    explicit operator bool() const { return size() != 0; }

    // Writes the frames to the "backtrace" log module (INFO gate, EXTINFO lines).
    void Log() const;

    struct VUX_INTERNAL Data;

private:
    std::shared_ptr<Data> data_;
};

}  // namespace vux_backtrace

VUX_API_END

#endif
