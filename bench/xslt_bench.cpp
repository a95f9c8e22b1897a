// XSLT: Transform of a 10,000-record reply document into an HTML page against raw
// xsltApplyStylesheet + xsltSaveResultTo of the same stylesheet into the same kind of sink.
#include <benchmark/benchmark.h>
#include <libxml/parser.h>
#include <libxslt/transform.h>
#include <libxslt/xsltInternals.h>
#include <libxslt/xsltutils.h>

#include <sstream>
#include <string>

#include <libvux/vuxxml.h>

namespace {

const std::string& Reply() {
    static const std::string text = [] {
        std::string s = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<doc><metadata name=\"user\"/>";
        for (int i = 0; i < 10000; ++i)
            s.append("<elem><id>").append(std::to_string(i)).append("</id><name>user").append(std::to_string(i))
                .append("</name><quota>").append(std::to_string(i * 1000)).append("</quota><level>")
                .append(i % 3 ? "user" : "admin").append("</level></elem>");
        return s + "</doc>";
    }();
    return text;
}

const std::string kSheet =
    "<xsl:stylesheet version=\"1.0\" xmlns:xsl=\"http://www.w3.org/1999/XSL/Transform\">"
    "<xsl:output method=\"html\" encoding=\"UTF-8\" indent=\"yes\"/>"
    "<xsl:template match=\"/doc\"><html><body><h1><xsl:value-of select=\"metadata/@name\"/></h1><table>"
    "<xsl:apply-templates select=\"elem\"/></table></body></html></xsl:template>"
    "<xsl:template match=\"elem\"><tr class=\"{level}\"><td><xsl:value-of select=\"id\"/></td>"
    "<td><a href=\"?elid={name}\"><xsl:value-of select=\"name\"/></a></td>"
    "<td><xsl:value-of select=\"format-number(quota, '#,##0')\"/></td></tr></xsl:template>"
    "</xsl:stylesheet>";

int ToString(void* context, const char* buffer, int len) {
    static_cast<std::ostringstream*>(context)->write(buffer, len);
    return len;
}

void BM_Vux_Transform(benchmark::State& state) {
    std::istringstream in(kSheet);
    const vux_xml::Xslt style(in);
    vux_xml::Xml doc;
    doc.LoadFromString(Reply());
    std::size_t bytes = 0;
    for (auto _ : state) {
        std::ostringstream out;
        style.Transform(doc, out);
        bytes = out.str().size();
    }
    state.counters["output_kb"] = bytes / 1024.0;
}

void BM_Raw_xsltApplyStylesheet(benchmark::State& state) {
    xsltStylesheet* style = xsltParseStylesheetDoc(
        xmlReadMemory(kSheet.data(), static_cast<int>(kSheet.size()), nullptr, nullptr, XML_PARSE_HUGE));
    xmlDoc* doc = xmlReadMemory(Reply().data(), static_cast<int>(Reply().size()), nullptr, nullptr, XML_PARSE_HUGE);
    const char* params[] = {nullptr};
    std::size_t bytes = 0;
    for (auto _ : state) {
        std::ostringstream out;
        xmlDoc* result = xsltApplyStylesheet(style, doc, params);
        xmlOutputBuffer* buf = xmlOutputBufferCreateIO(&ToString, nullptr, &out, nullptr);
        xsltSaveResultTo(buf, result, style);
        xmlOutputBufferClose(buf);
        xmlFreeDoc(result);
        bytes = out.str().size();
    }
    state.counters["output_kb"] = bytes / 1024.0;
    xmlFreeDoc(doc);
    xsltFreeStylesheet(style);
}

}  // namespace

BENCHMARK(BM_Vux_Transform)->Unit(benchmark::kMillisecond)->MinTime(3.0);
BENCHMARK(BM_Raw_xsltApplyStylesheet)->Unit(benchmark::kMillisecond)->MinTime(3.0);
BENCHMARK(BM_Vux_Transform)->Unit(benchmark::kMillisecond)->MinTime(3.0)->Name("BM_Vux_Transform/again");

BENCHMARK_MAIN();
