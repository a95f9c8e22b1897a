// XML: streaming Load against libxml2's in-memory parse of the same 20 MB,
// and XPath over 100k nodes against a raw xmlXPathEval.
#include <benchmark/benchmark.h>
#include <libxml/parser.h>
#include <libxml/xpath.h>

#include <cstdio>
#include <istream>
#include <streambuf>
#include <string>

#include <libvux/vuxxml.h>

namespace {

// Reads a string in place, so the stream adds no copy of the input.
struct MemoryBuf : std::streambuf {
    explicit MemoryBuf(const std::string& s) {
        char* p = const_cast<char*>(s.data());
        setg(p, p, p + s.size());
    }
};

const std::string& Document() {
    static const std::string text = [] {
        std::string s = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<catalog>\n";
        for (int i = 0; s.size() < (20u << 20); ++i)
            s += "  <item id=\"" + std::to_string(i) + "\" kind=\"k" + std::to_string(i % 7) +
                 "\"><name>Item \xC3\xA9l\xC3\xA8ve " + std::to_string(i) +
                 "</name><price>12.50</price><note><![CDATA[a < b]]></note></item>\n";
        return s + "</catalog>\n";
    }();
    return text;
}

long RssKb() {
    long pages = 0, rss = 0;
    if (FILE* f = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(f, "%ld %ld", &pages, &rss) != 2) rss = 0;
        std::fclose(f);
    }
    return rss * 4;
}

void BM_Vux_LoadStream(benchmark::State& state) {
    const std::string& text = Document();
    long rss = 0;
    for (auto _ : state) {
        MemoryBuf buf(text);
        std::istream in(&buf);
        vux_xml::Xml doc;
        doc.Load(in);
        rss = RssKb();
        benchmark::DoNotOptimize(doc.IsEmpty());
    }
    state.SetBytesProcessed(state.iterations() * text.size());
    state.counters["rss_with_tree_mb"] = rss / 1024.0;
}

void BM_Raw_xmlReadMemory(benchmark::State& state) {
    const std::string& text = Document();
    long rss = 0;
    for (auto _ : state) {
        xmlDoc* doc = xmlReadMemory(text.data(), static_cast<int>(text.size()), nullptr, nullptr, XML_PARSE_HUGE);
        rss = RssKb();
        benchmark::DoNotOptimize(doc);
        xmlFreeDoc(doc);
    }
    state.SetBytesProcessed(state.iterations() * text.size());
    state.counters["rss_with_tree_mb"] = rss / 1024.0;
}

const std::string& NodesText() {
    static const std::string text = [] {
        std::string s = "<r>";
        for (int i = 0; i < 100000; ++i) s += "<i k=\"v" + std::to_string(i % 10) + "\">" + std::to_string(i) + "</i>";
        return s + "</r>";
    }();
    return text;
}

const vux_xml::Xml& Nodes() {
    static const vux_xml::Xml doc = [] {
        vux_xml::Xml x;
        x.LoadFromString(NodesText());
        return x;
    }();
    return doc;
}

const char* const kQuery = "/r/i[@k='v3']";

void BM_Vux_XPath(benchmark::State& state) {
    const vux_xml::Xml& doc = Nodes();
    for (auto _ : state) {
        vux_xml::XPath x(doc, kQuery);
        benchmark::DoNotOptimize(x.size());
    }
}

void BM_Raw_xmlXPathEval(benchmark::State& state) {
    const std::string& text = NodesText();
    xmlDoc* doc = xmlReadMemory(text.data(), static_cast<int>(text.size()), nullptr, nullptr, XML_PARSE_HUGE);
    for (auto _ : state) {
        xmlXPathContext* ctx = xmlXPathNewContext(doc);
        ctx->node = reinterpret_cast<xmlNode*>(doc);
        xmlXPathObject* r = xmlXPathEval(reinterpret_cast<const xmlChar*>(kQuery), ctx);
        benchmark::DoNotOptimize(r->nodesetval->nodeNr);
        xmlXPathFreeObject(r);
        xmlXPathFreeContext(ctx);
    }
    xmlFreeDoc(doc);
}

}  // namespace

BENCHMARK(BM_Vux_LoadStream)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_Raw_xmlReadMemory)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_Vux_XPath)->Unit(benchmark::kMillisecond)->MinTime(1.0);
BENCHMARK(BM_Raw_xmlXPathEval)->Unit(benchmark::kMillisecond)->MinTime(1.0);

BENCHMARK_MAIN();
