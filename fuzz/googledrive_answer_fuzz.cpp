// Google Drive answers: whatever the service sends back gives the field, the retry decision, or
// the client's "googledrive_storage"/"query" error, and never a crash. The first byte picks the
// status and the field, the second the attempt; the rest is the answer's text.
#include <libvux/private/vuxrpc_drive.h>
#include <libvux/vuxerr.h>

#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    static const int statuses[] = {200, 201, 308, 400, 401, 403, 404, 429, 500, 503, 0, 999};
    static const char* const fields[] = {"id", "files.id", "access_token", "mimeType"};
    const int status = statuses[data[0] % 12];
    const char* const field = fields[(data[0] / 12) % 4];
    const int attempt = data[1] % 9;
    const std::string text(reinterpret_cast<const char*>(data + 2), size - 2);
    const bool retries = vux_rpc::GDAnswerRetries(status, text, attempt);
    if (retries && attempt > 6) abort();
    if (status >= 500 && attempt <= 6 && !retries) abort();
    try {
        vux_rpc::GDAnswerField(status, text, field);
        if (status >= 400 || (status > 0 && status < 200)) abort();
    } catch (const vux_err::Error& e) {
        if (e.type() != "googledrive_storage" || e.object() != "query") abort();
    }
    return 0;
}
