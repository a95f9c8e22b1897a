// Amounts in words: any amount and currency code either give words or fail the transform,
// and which one is decided by the amount alone (digits and dots after an optional minus,
// at most fifteen significant integer digits).
#include <libvux/vuxerr.h>
#include <libvux/vuxxml.h>

#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>

namespace {

const vux_xml::Xslt& Style() {
    static const vux_xml::Xslt style = [] {
        std::istringstream in(std::string("<xsl:stylesheet version=\"1.0\" "
                                          "xmlns:xsl=\"http://www.w3.org/1999/XSL/Transform\" xmlns:v=\"") +
                              vux_xml::XsltNamespace +
                              "\"><xsl:output method=\"text\"/><xsl:template match=\"/\">"
                              "<xsl:value-of select=\"v:strsum(/a/n, /a/c)\"/></xsl:template></xsl:stylesheet>");
        return vux_xml::Xslt(in);
    }();
    return style;
}

bool Nameable(std::string amount) {
    if (!amount.empty() && amount[0] == '-') amount.erase(0, 1);
    if (amount.find_first_not_of("0123456789.") != std::string::npos) return false;
    std::string digits = amount.substr(0, amount.find('.'));
    const std::size_t lead = digits.find_first_not_of('0');
    return lead == std::string::npos || digits.size() - lead <= 15;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string in(reinterpret_cast<const char*>(data), size);
    const std::size_t nl = in.find('\n');
    const std::string amount = in.substr(0, nl), currency = nl == std::string::npos ? "" : in.substr(nl + 1);
    // Text the document can hold: the parser would refuse the rest before strsum saw it.
    for (char c : in)
        if (static_cast<unsigned char>(c) < 0x20 && c != '\n') return 0;
    vux_xml::Xml doc;
    try {
        vux_xml::XmlNode root = doc.SetRoot("a");
        root.AppendChild("n", amount);
        root.AppendChild("c", currency);
    } catch (const vux_err::Error&) {
        return 0;
    }
    // What the document holds is what strsum reads (white space may have become CDATA).
    const std::string held = doc.GetNode("/a/n").Str(), code = doc.GetNode("/a/c").Str();
    std::ostringstream out;
    bool ok = true;
    try {
        Style().Transform(doc, out);
    } catch (const vux_err::Error&) {
        ok = false;
    }
    if (ok != Nameable(held)) abort();
    const std::string words = out.str();
    const std::string kopecks = " коп.";
    if (ok && (words.empty() || (code != "NULL" && !words.ends_with(kopecks)))) abort();
    return 0;
}
