// Dropbox answers: whatever the service sends back for a step gives the field, or the client's
// "dropbox" / "dropbox_storage" error, and never a crash. The first byte picks the step, field and
// status; the rest is the body.
#include <libvux/private/vuxrpc_drive.h>
#include <libvux/vuxerr.h>

#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    static const char* const steps[][2] = {
        {"token", "access_token"}, {"put", "session_id"}, {"put", "size"}, {"get", ""}, {"delete", ""},
    };
    static const int statuses[] = {200, 400, 401, 409, 429, 500, 503, 0};
    const auto& step = steps[data[0] % 5];
    const int status = statuses[(data[0] / 5) % 8];
    const std::string body(reinterpret_cast<const char*>(data + 1), size - 1);
    try {
        const std::string value = vux_rpc::DropboxAnswerField(step[0], status, body, step[1]);
        if (status != 200) abort();
        if (std::string(step[1]) == "size" && value.find_first_not_of("0123456789") != std::string::npos) abort();
    } catch (const vux_err::Error& e) {
        if (e.type() == "dropbox") {
            if (e.object() != step[0]) abort();
        } else if (e.type() != "dropbox_storage" || e.object() != "query") {
            abort();
        }
    }
    return 0;
}
