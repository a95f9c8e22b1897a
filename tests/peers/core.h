// A scratch panel installation directory (bin/core the stand-in core, tmp/, etc/) for tests
// and benchmarks of the client protocol. Cores the library starts there, and those started
// here behind HTTP and HTTPS (nginx), go with the object.
#ifndef LIBVUX_TESTS_PEERS_CORE_H
#define LIBVUX_TESTS_PEERS_CORE_H

#include <string>
#include <vector>

#include <libvux/vuxfile.h>

namespace peers {

class Panel {
public:
    Panel();
    ~Panel();
    Panel(const Panel&) = delete;
    Panel& operator=(const Panel&) = delete;

    const std::string& dir() const { return dir_.name(); }
    std::string operator/(const std::string& name) const { return dir() + "/" + name; }

    // A core of panel `name` with an HTTP front on a free loopback port; returns its URL
    // ("http://127.0.0.1:PORT/core"). Throws std::runtime_error when it does not answer.
    std::string Http(const std::string& name);
    // The same core behind nginx with a self-signed certificate; "https://127.0.0.1:PORT/core".
    std::string Https(const std::string& name);
    // Why nginx cannot run here, or "".
    static std::string NginxMissing();
    // The pid of the core of panel `name` now running, or -1.
    int CorePid(const std::string& name) const;

private:
    int Spawn(const std::vector<std::string>& argv);

    vux_file::TmpDir dir_{"/tmp/vuxpanel"};
    std::vector<int> children_;
};

}  // namespace peers

#endif
