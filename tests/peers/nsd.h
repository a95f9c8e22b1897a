// NSD, the authoritative name server (for tests and benchmarks alike), on port 53 of a loopback address of the test's choice,
// serving zone files the test writes; its configuration, pid file and log stay in a scratch
// directory and the server goes with the object.
#ifndef LIBVUX_TESTS_PEERS_NSD_H
#define LIBVUX_TESTS_PEERS_NSD_H

#include <map>
#include <string>

#include <libvux/vuxfile.h>

namespace peers {

class Nsd {
public:
    // zones: zone name to zone file text. Throws std::runtime_error when NSD is missing or
    // does not answer within 10 seconds.
    Nsd(const std::string& address, const std::map<std::string, std::string>& zones);
    ~Nsd();
    Nsd(const Nsd&) = delete;
    Nsd& operator=(const Nsd&) = delete;

    const std::string& dir() const { return dir_.name(); }
    // Why NSD cannot run here, or "" when it can.
    static std::string Missing();

private:
    void Stop();

    vux_file::TmpDir dir_{"/tmp/vuxnsd"};
    int pid_ = -1;
};

// The zone "example.test": a record of every common type and 5,000 A records (h0 to h4999),
// enough for a transfer to span many messages.
std::string ExampleZone();

}  // namespace peers

#endif
