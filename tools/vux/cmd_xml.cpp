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
    throw Usage{};
}

}  // namespace vuxtool
