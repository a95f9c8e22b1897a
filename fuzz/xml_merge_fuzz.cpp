// XML merge: an arbitrary schema and two arbitrary documents, separated by NUL bytes.
// Merging (also of a document into itself) and positioning never crash, never hang, and
// leave a document that still serialises.
#include <libvux/vuxerr.h>
#include <libvux/vuxxml.h>

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

namespace {

std::string Part(std::string& rest) {
    const std::size_t at = rest.find('\0');
    std::string part = rest.substr(0, at);
    rest = at == std::string::npos ? "" : rest.substr(at + 1);
    return part;
}

// Descends into every other element, so both answers are taken.
struct Alternate : vux_xml::XmlMerge::BaseFunctor {
    unsigned calls = 0;
    bool operator()(vux_xml::XmlNode) override { return ++calls % 2 == 1; }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string rest(reinterpret_cast<const char*>(data), size);
    const std::string schema = Part(rest), into_text = Part(rest), from_text = rest;
    static const std::string path = "/tmp/vux_merge_fuzz." + std::to_string(getpid()) + ".xml";
    if (FILE* f = std::fopen(path.c_str(), "w")) {
        std::fwrite(schema.data(), 1, schema.size(), f);
        std::fclose(f);
    }
    std::unique_ptr<vux_xml::XmlMerge> schema_of;
    try {
        schema_of = std::make_unique<vux_xml::XmlMerge>(path);
    } catch (const vux_err::Error&) {
    }
    std::remove(path.c_str());
    if (!schema_of) return 0;
    const vux_xml::XmlMerge& merge = *schema_of;
    try {
        vux_xml::Xml into, from;
        into.LoadFromString(into_text);
        from.LoadFromString(from_text);
        if (!into.GetRoot() || !from.GetRoot()) return 0;
        merge.Merge(from.GetRoot(), into.GetRoot());
        Alternate f;
        merge.CheckAndMove(into.GetRoot(), &f);
        merge.Merge(into.GetRoot(), into.GetRoot());
        merge.CheckAndMove(into.GetRoot(), nullptr);
        (void)into.Str(true);
        (void)merge.Schema(into.GetRoot()).FindNode(from.GetRoot().Name()).IsArray(true);
    } catch (const vux_err::Error&) {
    }
    return 0;
}
