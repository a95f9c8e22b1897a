// Yandex Disk answers: a token-service reply gives a token or the "yandex_storage" error, a
// PROPFIND reply a size or that error, and never a crash or another exception. The first byte
// picks the parser and the HTTP status.
#include <libvux/vuxerr.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include <libvux/private/vuxrpc_yandex.h>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::string body(reinterpret_cast<const char*>(data) + 1, size - 1);
    const int status = (data[0] & 0x7f) == 0 ? 200 : 200 + (data[0] & 0x7f) * 3;
    try {
        if (data[0] & 0x80) {
            if (vux_rpc::yandex_answer::Size(body) < 0) __builtin_trap();
        } else if (vux_rpc::yandex_answer::Token(status, body).empty()) {
            __builtin_trap();
        }
    } catch (const vux_err::Error& e) {
        if (e.type() != "yandex_storage") __builtin_trap();
    }
    return 0;
}
