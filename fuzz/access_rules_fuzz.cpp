// Rule files and level expressions from arbitrary bytes: no crash, and the
// answers stay consistent with the rules kept.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include <libvux/vuxaccess.h>
#include <libvux/vuxaccess_file.h>

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, size_t size) {
    static const std::string path = [] {
        char tmpl[] = "/tmp/vuxfuzz.access.XXXXXX";
        int fd = mkstemp(tmpl);
        if (fd >= 0) close(fd);
        return std::string(tmpl);
    }();
    std::string text(reinterpret_cast<const char*>(data), size);
    vux_access::GetAccessByName(text);
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return 0;
    std::fwrite(text.data(), 1, text.size(), f);
    std::fclose(f);
    vux_access_file::Access rules(path, "web");
    for (const char* name : {"bob", "", "*", "web"}) {
        const bool good = rules.Good(name);
        const int line = rules.Decide(name);
        if (line == 0 && !good) std::abort();
        if (line < 0) std::abort();  // the file was just written: it is readable
    }
    return 0;
}
