// Path strings: computed without touching the file system.
#include <libvux/vuxfile.h>

#include <cstdarg>

#include <libvux/vuxstr.h>

namespace vux_file {

std::string GoodPath(const std::string& path) {
    std::string out;
    out.reserve(path.size());
    for (char c : path) {
        if (c == '/' && !out.empty() && out.back() == '/') continue;
        out += c;
    }
    if (out.size() >= 2 && out.back() == '/') out.pop_back();
    return out;
}

std::pair<std::string, std::string> SplitPath(const std::string& path) {
    std::string::size_type slash = path.rfind('/');
    if (slash == std::string::npos) return std::make_pair(std::string(), path);
    return std::make_pair(path.substr(0, slash), path.substr(slash + 1));
}

std::string Name(const std::string& path) {
    return SplitPath(path).second;
}

std::string ConcatPath(const std::string& a, const std::string& b) {
    return GoodPath(str::Append(a, b, "/"));
}

std::string ConcatPath(const std::string& a, const std::string& b, const std::string& c) {
    std::string s = a;
    str::inpl::Append(s, b, "/");
    str::inpl::Append(s, c, "/");
    return GoodPath(s);
}

std::string ConcatNPath(int n, ...) {
    std::string s;
    va_list ap;
    va_start(ap, n);
    for (int i = 0; i < n; ++i) {
        const char* part = va_arg(ap, const char*);
        if (part) str::inpl::Append(s, part, "/");
    }
    va_end(ap);
    return GoodPath(s);
}

}  // namespace vux_file
