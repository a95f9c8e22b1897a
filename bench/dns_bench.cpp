// The resolver against NSD on 127.0.53.10: an A record through GetDomainRecords against glibc's
// res_nquery with TCP forced (RES_USEVC), and a 5,000-record transfer against `dig +tcp axfr`.
#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <arpa/nameser.h>
#include <netinet/in.h>
#include <resolv.h>

#include <cstdio>
#include <cstdlib>
#include <memory>

#include <libvux/vuxnet.h>

#include "peers/nsd.h"

namespace {

const char* const kServer = "127.0.53.10";

peers::Nsd& Server() {
    static peers::Nsd nsd(kServer, {{"example.test", peers::ExampleZone()}});
    return nsd;
}

void BM_Vux_GetDomainRecordsA(benchmark::State& state) {
    Server();
    for (auto _ : state) {
        std::vector<vux_net::DomainRecord> records;
        if (!vux_net::GetDomainRecords(kServer, "example.test", vux_net::DnsA, &records) || records.size() != 1)
            std::abort();
        benchmark::DoNotOptimize(records);
    }
}

void BM_Glibc_ResNqueryTcpA(benchmark::State& state) {
    Server();
    struct __res_state res = {};
    if (res_ninit(&res) != 0) std::abort();
    res.nscount = 1;
    res.nsaddr_list[0].sin_family = AF_INET;
    res.nsaddr_list[0].sin_port = htons(53);
    ::inet_pton(AF_INET, kServer, &res.nsaddr_list[0].sin_addr);
    res.options |= RES_USEVC;
    res.options &= ~static_cast<unsigned long>(RES_STAYOPEN);
    unsigned char answer[4096];
    for (auto _ : state) {
        const int n = res_nquery(&res, "example.test", ns_c_in, ns_t_a, answer, sizeof answer);
        if (n <= 0) std::abort();
        benchmark::DoNotOptimize(answer);
    }
    res_nclose(&res);
}

void BM_Vux_Axfr5000(benchmark::State& state) {
    Server();
    for (auto _ : state) {
        std::vector<vux_net::DomainRecord> records;
        if (!vux_net::GetDomainRecords(kServer, "example.test", vux_net::DnsAXFR, &records) || records.size() < 5000)
            std::abort();
        benchmark::DoNotOptimize(records);
    }
}

void BM_Dig_Axfr5000(benchmark::State& state) {
    Server();
    const std::string command = std::string("dig +tcp @") + kServer + " example.test axfr > /dev/null";
    for (auto _ : state)
        if (std::system(command.c_str()) != 0) std::abort();
}

BENCHMARK(BM_Vux_GetDomainRecordsA)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Glibc_ResNqueryTcpA)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Vux_Axfr5000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Dig_Axfr5000)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
