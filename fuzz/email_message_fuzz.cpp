// Received mail: any bytes parse into a message whose headers, text parts and files can be
// read, and which renders again; nothing but the library's error may come out.
#include <libvux/vuxemail.h>
#include <libvux/vuxerr.h>

#include <cstdint>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string in(reinterpret_cast<const char*>(data), size);
    try {
        const vux_email::Message m(in);
        (void)m.From();
        (void)m.To(true);
        (void)m.Cc();
        (void)m.Sender();
        (void)m.Subject();
        (void)m.References();
        std::vector<vux_email::EmailMsg> texts;
        std::vector<vux_email::EmailFile> files;
        m.GetEmailMsgList(texts);
        m.GetEmailFileList(files);
        const vux_email::Message again(m.Str());
        again.GetEmailFileList(files);
    } catch (const vux_err::Error&) {
    }
    (void)vux_email::MakeValidSubject(in);
    return 0;
}
