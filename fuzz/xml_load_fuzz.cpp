// XML loads: any bytes either parse or fail with the library's error; a
// parsed document survives a formatted round trip and tree surgery.
#include <libvux/vuxerr.h>
#include <libvux/vuxxml.h>

#include <cstdint>
#include <cstdlib>
#include <sstream>

using vux_xml::Xml;
using vux_xml::XPath;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string in(reinterpret_cast<const char*>(data), size);
    try {
        std::istringstream stream(in);
        Xml doc(stream);
        const std::string plain = doc.Str();
        const std::string formatted = doc.Str(true);
        Xml again;
        again.LoadFromString(plain);
        if (again.Str() != plain) abort();
        XPath all(doc, "//node()");
        for (std::size_t i = 0; i < all.size() && i < 64; ++i) {
            vux_xml::XmlNode n = all[i];
            (void)n.Name();
            (void)n.Str();
            if (i % 3 == 0) n.Unlink();
        }
        doc.RemoveNodes("//@*");
        (void)doc.Str(true);
    } catch (const vux_err::Error&) {
    }
    try {
        Xml doc;
        doc.LoadFromString(in);
        (void)doc.Str(true);
    } catch (const vux_err::Error&) {
    }
    return 0;
}
