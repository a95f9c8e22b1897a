// iconv in chunks gives what one whole conversion gives, wherever the chunks are cut;
// UTF-8 that converts to UTF-16 comes back unchanged.
#include <libvux/vuxstr.h>

#include <cstdint>
#include <cstdlib>

namespace {
bool IsBadSeq(const vux_err::Error& e) { return e.type() == "conv" && e.object() == "badseq"; }
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    const bool from16 = data[0] & 1;
    const size_t step = 1 + data[1] % 16;
    const std::string in(reinterpret_cast<const char*>(data) + 2, size - 2);
    const char* from = from16 ? "UTF-16LE" : "UTF-8";
    const char* to = from16 ? "UTF-8" : "UTF-16LE";

    std::string whole;
    bool wholeOk = true;
    try {
        whole = str::Conv(from, to).Convert(in);
    } catch (const vux_err::Error& e) {
        if (!IsBadSeq(e)) throw;
        wholeOk = false;
    }

    std::string chunked;
    bool chunkedOk = true;
    str::Conv c(from, to);
    try {
        for (size_t i = 0; i < in.size(); i += step) chunked += c.ConvertChunk(in.substr(i, step));
        c.ConvertFinish();
    } catch (const vux_err::Error& e) {
        if (!IsBadSeq(e)) throw;
        chunkedOk = false;
    }
    if (wholeOk != chunkedOk) abort();
    if (wholeOk && whole != chunked) abort();

    if (!from16) {
        try {
            const str::u16string u(in);
            if (static_cast<std::string>(u) != in) abort();
        } catch (const vux_err::Error& e) {
            if (!IsBadSeq(e) || wholeOk) throw;
        }
    }
    return 0;
}
