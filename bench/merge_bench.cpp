// XML merge: N keyed items merged into N existing ones (every key found) for N = 1,000,
// 10,000 and 100,000; the time per item should stay flat. The yardstick is libxml2 copying
// the same N items without looking anything up, the floor of any merge.
#include <benchmark/benchmark.h>
#include <libxml/parser.h>
#include <libxml/tree.h>

#include <cstdio>
#include <memory>
#include <string>

#include <libvux/vuxxml.h>

namespace {

const char* const kSchema =
    "<schema><doc merge=\"xml\"><item merge=\"xml\" key=\"name\"><title merge=\"replace\"/></item></doc></schema>";

std::string Items(int n, const char* attr) {
    std::string s = "<doc>";
    for (int i = 0; i < n; ++i)
        s.append("<item name=\"i").append(std::to_string(i)).append("\" ").append(attr).append("=\"1\"><title>t")
            .append(std::to_string(i)).append("</title></item>");
    return s + "</doc>";
}

const vux_xml::XmlMerge& Schema() {
    static const vux_xml::XmlMerge merge = [] {
        const std::string path = "/tmp/vux_merge_bench_schema.xml";
        if (FILE* f = std::fopen(path.c_str(), "w")) {
            std::fputs(kSchema, f);
            std::fclose(f);
        }
        vux_xml::XmlMerge m(path);
        std::remove(path.c_str());
        return m;
    }();
    return merge;
}

void BM_Vux_MergeKeyed(benchmark::State& state) {
    const int n = static_cast<int>(state.range(0));
    const vux_xml::XmlMerge& merge = Schema();
    const vux_xml::XmlString from(Items(n, "updated"));
    const std::string into_text = Items(n, "old");
    for (auto _ : state) {
        state.PauseTiming();
        auto into = std::make_unique<vux_xml::XmlString>(into_text);
        state.ResumeTiming();
        merge.Merge(from.GetRoot(), into->GetRoot());
        state.PauseTiming();
        if (into->GetRoot().LastChild().GetProp("updated") != "1") state.SkipWithError("not merged");
        into.reset();
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * n);
}

void BM_Raw_xmlCopyItems(benchmark::State& state) {
    const int n = static_cast<int>(state.range(0));
    const std::string from_text = Items(n, "updated"), into_text = Items(n, "old");
    xmlDoc* from = xmlReadMemory(from_text.data(), static_cast<int>(from_text.size()), nullptr, nullptr, 0);
    for (auto _ : state) {
        state.PauseTiming();
        xmlDoc* into = xmlReadMemory(into_text.data(), static_cast<int>(into_text.size()), nullptr, nullptr, 0);
        xmlNode* root = xmlDocGetRootElement(into);
        state.ResumeTiming();
        for (xmlNode* c = xmlDocGetRootElement(from)->children; c; c = c->next)
            xmlAddChild(root, xmlDocCopyNode(c, into, 1));
        state.PauseTiming();
        xmlFreeDoc(into);
        state.ResumeTiming();
    }
    xmlFreeDoc(from);
    state.SetItemsProcessed(state.iterations() * n);
}

}  // namespace

BENCHMARK(BM_Vux_MergeKeyed)->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_Raw_xmlCopyItems)->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond)->MinTime(2.0);

BENCHMARK_MAIN();
