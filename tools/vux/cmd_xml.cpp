#include <iostream>

#include <libvux/vuxerr.h>
#include <libvux/vuxxml.h>

#include "commands.h"

namespace vuxtool {

int Xml(const Cmdline& c) {
    const Args& args = c.args;
    if (args.size() == 3 && args[0] == "xpath") {
        vux_xml::XmlFile doc(args[1]);
        for (vux_xml::XmlNode& node : doc.GetNodes(args[2])) std::cout << node.Str() << "\n";
        return 0;
    }
    if (args.size() == 2 && args[0] == "format") {
        vux_xml::XmlFile doc(args[1]);
        doc.Save(std::cout, true);
        return std::cout ? 0 : 1;
    }
    if (args.size() == 3 && args[0] == "xslt") {
        vux_xml::Xslt(args[1]).Transform(vux_xml::XmlFile(args[2]), std::cout);
        return std::cout ? 0 : 1;
    }
    if (args.size() >= 4 && args[0] == "merge") {
        // Each FROM in turn, then the positioning requests everywhere; INTO is left as it is.
        const vux_xml::XmlMerge merge(args[1]);
        vux_xml::XmlFile into(args[2]);
        for (std::size_t i = 3; i < args.size(); ++i) merge.Merge(vux_xml::XmlFile(args[i]).GetRoot(), into.GetRoot());
        struct All : vux_xml::XmlMerge::BaseFunctor {
            bool operator()(vux_xml::XmlNode) override { return true; }
        } all;
        merge.CheckAndMove(into.GetRoot(), &all);
        into.Save(std::cout, true);
        return std::cout ? 0 : 1;
    }
    throw Usage{};
}

}  // namespace vuxtool
