// A program that makes itself a long task of queue "e": it appends its first argument to
// the file named by its second, and says so on its output.
#include <unistd.h>

#include <cstdio>
#include <fstream>

#include <libvux/vuxerr.h>
#include <libvux/vuxtask.h>

int main(int argc, char** argv) {
    if (argc != 3) return 2;
    try {
        vux_task::Emulate(argc, argv, "1", "e", "tester");
    } catch (const vux_err::Error& e) {
        std::fprintf(stderr, "%s/%s\n", e.type().c_str(), e.object().c_str());
        return 3;
    }
    std::ofstream(argv[2], std::ios::app) << argv[1] << "\n";
    std::printf("emulated %s\n", argv[1]);
    return 0;
}
