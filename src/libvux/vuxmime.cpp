#include <libvux/vuxmime.h>

#include <libvux/vuxfile.h>

namespace vux_mime {

// Read on every call, so that an edited file takes effect at once.
std::string GetMimeType(const std::string& extension) {
    if (extension.empty()) return "";
    const std::string text = vux_file::Read("etc/dist/types.mime");
    std::string::size_type pos = 0;
    while (pos < text.size()) {
        std::string::size_type end = text.find('\n', pos);
        if (end == std::string::npos) end = text.size();
        std::string::size_type tab = text.find('\t', pos);
        if (tab != std::string::npos && tab < end) {
            // Extensions separated by single spaces; a trailing CR is no part of the last.
            std::string::size_type stop = end;
            if (stop > tab && text[stop - 1] == '\r') --stop;
            std::string::size_type w = tab + 1;
            while (w <= stop) {
                std::string::size_type space = text.find(' ', w);
                if (space == std::string::npos || space > stop) space = stop;
                if (space - w == extension.size() && text.compare(w, extension.size(), extension) == 0)
                    return text.substr(pos, tab - pos);
                w = space + 1;
            }
        }
        pos = end + 1;
    }
    return "";
}

}  // namespace vux_mime
