// The sign-in networks' token and profile answers: a token (possibly empty), a filled profile
// or the "socnetwork" error, and never a crash or another exception. The first byte picks the
// parser and the HTTP status.
#include <libvux/vuxerr.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include <libvux/private/vuxrpc_oauth.h>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::string body(reinterpret_cast<const char*>(data) + 1, size - 1);
    const int status = (data[0] & 0x10) ? 401 : 200;
    namespace a = vux_rpc::oauth_answer;
    try {
        StringMap info;
        switch (data[0] % 6) {
        case 0:
            a::FacebookToken(status, body);
            break;
        case 1:
            a::GoogleToken(status, body);
            break;
        case 2:
            a::VkontakteToken(status, body);
            break;
        case 3:
            a::Profile("facebook", status, body, info);
            if (info["id"].empty()) __builtin_trap();
            break;
        case 4:
            a::Profile("google", status, body, info);
            if (info["id"].empty()) __builtin_trap();
            break;
        default:
            a::VkontakteProfile(status, body, "e@example.com", info);
            if (info["id"].empty()) __builtin_trap();
            break;
        }
    } catch (const vux_err::Error& e) {
        if (e.type() != "socnetwork") __builtin_trap();
    }
    return 0;
}
