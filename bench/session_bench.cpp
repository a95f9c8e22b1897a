// A reply of 10 000 list records built through a session against the same tree
// built with libxml2 calls directly.
#include <benchmark/benchmark.h>

#include <libxml/tree.h>

#include <string>
#include <vector>

#include <libvux/vuxsession.h>

namespace {

const int kRecords = 10000;

const std::vector<std::string>& Names() {
    static const std::vector<std::string> names = [] {
        std::vector<std::string> v;
        for (int i = 0; i < kRecords; ++i) v.push_back("domain" + std::to_string(i) + ".example.com");
        return v;
    }();
    return names;
}

void BM_Session_10kRecords(benchmark::State& state) {
    const auto& names = Names();
    for (auto _ : state) {
        vux_session::BaseSession s;
        for (int i = 0; i < kRecords; ++i) {
            s.NewElem();
            s.AddChildNode("name", names[i]);
            s.NodeProp("id", std::to_string(i));
            s.AddChildNode("status", "active");
        }
        benchmark::DoNotOptimize(s.GetXml().GetRoot());
    }
    state.SetItemsProcessed(state.iterations() * kRecords);
}
BENCHMARK(BM_Session_10kRecords)->Unit(benchmark::kMillisecond);

void BM_RawLibxml2_10kRecords(benchmark::State& state) {
    const auto& names = Names();
    for (auto _ : state) {
        xmlDocPtr doc = xmlNewDoc(BAD_CAST "1.0");
        xmlNodePtr root = xmlNewDocNode(doc, nullptr, BAD_CAST "doc", nullptr);
        xmlDocSetRootElement(doc, root);
        for (int i = 0; i < kRecords; ++i) {
            xmlNodePtr elem = xmlNewChild(root, nullptr, BAD_CAST "elem", nullptr);
            xmlNodePtr name = xmlNewTextChild(elem, nullptr, BAD_CAST "name", BAD_CAST names[i].c_str());
            xmlSetProp(name, BAD_CAST "id", BAD_CAST std::to_string(i).c_str());
            xmlNewTextChild(elem, nullptr, BAD_CAST "status", BAD_CAST "active");
        }
        benchmark::DoNotOptimize(root);
        xmlFreeDoc(doc);
    }
    state.SetItemsProcessed(state.iterations() * kRecords);
}
BENCHMARK(BM_RawLibxml2_10kRecords)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
