#include <libvux/vuxbacktrace.h>

#include <cxxabi.h>
#include <dlfcn.h>
#include <execinfo.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

#include <libvux/vuxlog.h>

namespace vux_backtrace {

namespace {

VUX_LOG_MODULE("backtrace", "core")

const int kMaxCapture = 64;
const std::size_t kMaxLogged = 19;

std::string Demangle(const char* name) {
    if (!name) return "??";
    int status = 0;
    char* out = abi::__cxa_demangle(name, nullptr, nullptr, &status);
    if (status != 0 || !out) return name;
    std::string result(out);
    std::free(out);
    return result;
}

}  // namespace

struct BtWalk::Data {
    std::vector<void*> addresses;
    bool resolved = false;
    std::vector<Frame> frames;

    // Symbols are looked up only when someone reads the frames: capturing is
    // on the path of every thrown error, resolving is not.
    const std::vector<Frame>& Resolve() {
        if (resolved) return frames;
        frames.reserve(addresses.size());
        for (void* a : addresses) {
            Frame f;
            f.function = "??";
            f.address = 0;
            f.offset = reinterpret_cast<std::uintptr_t>(a);
            Dl_info info;
            if (dladdr(a, &info) != 0) {
                if (info.dli_fname) f.module = info.dli_fname;
                if (info.dli_sname) f.function = Demangle(info.dli_sname);
                if (info.dli_saddr) {
                    f.address = reinterpret_cast<std::uintptr_t>(info.dli_saddr);
                    f.offset = reinterpret_cast<std::uintptr_t>(a) - f.address;
                } else if (info.dli_fbase) {
                    f.offset = reinterpret_cast<std::uintptr_t>(a) -
                               reinterpret_cast<std::uintptr_t>(info.dli_fbase);
                }
            }
            frames.push_back(std::move(f));
        }
        resolved = true;
        return frames;
    }
};

BtWalk::BtWalk() {}

BtWalk BtWalk::Capture(int skip) {
    BtWalk walk;
    walk.data_ = std::make_shared<Data>();
    void* buffer[kMaxCapture];
    int n = ::backtrace(buffer, kMaxCapture);
    int first = skip + 1;  // this function itself
    if (first < n) walk.data_->addresses.assign(buffer + first, buffer + n);
    return walk;
}

std::size_t BtWalk::size() const {
    return data_ ? data_->addresses.size() : 0;
}

const Frame& BtWalk::operator[](std::size_t i) const {
    return data_->Resolve().at(i);
}

void BtWalk::Log() const {
    const vux_log::Module& log = VuxLogModule();
    if (!data_ || !log.Check(vux_log::LevelInfo)) return;
    const std::vector<Frame>& frames = data_->Resolve();
    for (std::size_t i = 0; i < frames.size() && i < kMaxLogged; ++i) {
        if (!log.Check(vux_log::LevelExtInfo)) continue;
        const Frame& f = frames[i];
        char tail[96];
        int r = std::snprintf(tail, sizeof tail, "0x%llx) [*%p]", static_cast<unsigned long long>(f.offset),
                              reinterpret_cast<void*>(f.address));
        if (r < 0 || static_cast<std::size_t>(r) >= sizeof tail) std::snprintf(tail, sizeof tail, "0x0) [0x0]");
        log.Write(vux_log::LevelExtInfo, "%s (%s + %s", f.function.c_str(), f.module.c_str(), tail);
    }
}

}  // namespace vux_backtrace
