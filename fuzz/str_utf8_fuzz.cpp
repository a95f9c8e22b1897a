// UTF-8 access on arbitrary bytes: never outside the string, only the documented errors.
#include <libvux/vuxstr.h>

#include <cstdint>
#include <cstdlib>
#include <stdexcept>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string in(reinterpret_cast<const char*>(data), size);
    const char* lo = in.data();
    const char* hi = in.data() + in.size();

    size_t forward = 0;
    for (str::utf8::iterator it(in), end = str::utf8::iterator::End(in); it != end; ++it) {
        if (it.ptr() < lo || it.ptr() >= hi) abort();
        ++forward;
        try {
            const std::string ch = *it;
            if (ch.empty() || ch.size() > 3 || it.ptr() + ch.size() > hi) abort();
            if (it.code() > 0xFFFF) abort();
        } catch (const str::Fail& e) {
            if (e.object() != "utf8") abort();
        }
    }
    if (forward != str::utf8::len(in)) abort();

    size_t backward = 0;
    for (str::utf8::iterator it = str::utf8::iterator::End(in), begin(in); it != begin;) {
        --it;
        if (it.ptr() < lo || it.ptr() >= hi) abort();
        if (++backward > size) abort();
    }

    for (size_t n : {size_t(0), forward / 2, forward ? forward - 1 : 0, forward}) {
        try {
            const std::string ch = str::utf8::at(in, n);
            if (n >= forward) abort();
        } catch (const str::Fail& e) {
            if (e.object() != "utf8") abort();
        } catch (const std::out_of_range&) {
            if (n < forward) abort();
        }
    }
    try {
        str::utf8::toCasefold(in);
    } catch (const str::Fail& e) {
        if (e.object() != "utf8") abort();
    }
    return 0;
}
