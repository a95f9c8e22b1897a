// The HTTP client against raw libcurl doing the same work, both against a local nginx:
// keep-alive GETs of a 1 KB file on one reused handle, a 1 GB download into a stream, and
// 100 parallel GETs through a multi handle.
#include <benchmark/benchmark.h>

#include <curl/curl.h>
#include <unistd.h>

#include <cstdlib>
#include <list>
#include <ostream>
#include <sstream>
#include <streambuf>
#include <vector>

#include <libvux/vuxrpc.h>

#include "peers/nginx.h"

namespace {

const long kGigabyte = 1L << 30;

peers::Nginx& Server() {
    static peers::Nginx nginx;
    static const bool big = [] {
        // Sparse: the download measures the transfer, not the disk.
        const std::string path = nginx.www() + "/files/1g.bin";
        std::FILE* f = std::fopen(path.c_str(), "w");
        return f && std::fclose(f) == 0 && ::truncate(path.c_str(), kGigabyte) == 0;
    }();
    if (!big) std::abort();
    return nginx;
}


// Counts what it is given and keeps nothing, so that neither side pays for memory.
class CountingBuf : public std::streambuf {
public:
    std::size_t count = 0;

protected:
    std::streamsize xsputn(const char*, std::streamsize n) override {
        count += static_cast<std::size_t>(n);
        return n;
    }
    int_type overflow(int_type c) override {
        ++count;
        return c;
    }
};

std::size_t ToStream(char* data, std::size_t size, std::size_t n, void* stream) {
    static_cast<std::ostream*>(stream)->write(data, static_cast<std::streamsize>(size * n));
    return size * n;
}

void CurlGetInto(CURL* curl, const std::string& url, std::ostream& out) {
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &ToStream);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &out);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
}

void Download(CURL* curl, const std::string& url, std::ostream& out) {
    CurlGetInto(curl, url, out);
    if (curl_easy_perform(curl) != CURLE_OK || !out) std::abort();
}

// A first pass over a fresh server and file is slower whoever makes it; neither side pays it.
peers::Nginx& Warm() {
    static const bool done = [] {
        CountingBuf buf;
        std::ostream out(&buf);
        CURL* curl = curl_easy_init();
        Download(curl, Server().Url("/files/1g.bin"), out);
        curl_easy_cleanup(curl);
        return true;
    }();
    (void)done;
    return Server();
}

void BM_Vux_KeepAliveGet1k(benchmark::State& state) {
    const std::string url = Warm().Url("/files/1k.bin");
    vux_rpc::HttpQuery q;
    for (auto _ : state) {
        std::ostringstream out;
        q.Get(url, out);
        if (out.str().size() != 1024) std::abort();
    }
    state.SetItemsProcessed(state.iterations());
}

void BM_Curl_KeepAliveGet1k(benchmark::State& state) {
    const std::string url = Warm().Url("/files/1k.bin");
    CURL* curl = curl_easy_init();
    for (auto _ : state) {
        std::ostringstream out;
        CurlGetInto(curl, url, out);
        if (curl_easy_perform(curl) != CURLE_OK || out.str().size() != 1024) std::abort();
    }
    curl_easy_cleanup(curl);
    state.SetItemsProcessed(state.iterations());
}

void BM_Vux_Download1G(benchmark::State& state) {
    const std::string url = Warm().Url("/files/1g.bin");
    vux_rpc::HttpQuery q;
    for (auto _ : state) {
        CountingBuf buf;
        std::ostream out(&buf);
        q.Get(url, out);
        if (buf.count != static_cast<std::size_t>(kGigabyte)) std::abort();
    }
    state.SetBytesProcessed(state.iterations() * kGigabyte);
}

void BM_Curl_Download1G(benchmark::State& state) {
    const std::string url = Warm().Url("/files/1g.bin");
    CURL* curl = curl_easy_init();
    for (auto _ : state) {
        CountingBuf buf;
        std::ostream out(&buf);
        Download(curl, url, out);
        if (buf.count != static_cast<std::size_t>(kGigabyte)) std::abort();
    }
    curl_easy_cleanup(curl);
    state.SetBytesProcessed(state.iterations() * kGigabyte);
}

const int kParallel = 100;

void BM_Vux_Multi100(benchmark::State& state) {
    const std::string url = Warm().Url("/files/1k.bin");
    for (auto _ : state) {
        vux_rpc::Multi multi;
        std::list<std::ostringstream> outs;
        for (int i = 0; i < kParallel; ++i) {
            vux_rpc::HttpQuery q;
            q.SetMulti(&multi);
            outs.emplace_back();
            q.Get(url, outs.back());
        }
        int good = 0;
        while (!multi.empty()) good += multi.Wait().out->good() ? 1 : 0;
        if (good != kParallel) std::abort();
    }
    state.SetItemsProcessed(state.iterations() * kParallel);
}

void BM_Curl_Multi100(benchmark::State& state) {
    const std::string url = Warm().Url("/files/1k.bin");
    for (auto _ : state) {
        CURLM* multi = curl_multi_init();
        std::list<std::ostringstream> outs;
        std::vector<CURL*> easy;
        for (int i = 0; i < kParallel; ++i) {
            outs.emplace_back();
            easy.push_back(curl_easy_init());
            CurlGetInto(easy.back(), url, outs.back());
            curl_multi_add_handle(multi, easy.back());
        }
        int running = 1, good = 0;
        while (running) {
            curl_multi_perform(multi, &running);
            int left = 0;
            while (CURLMsg* m = curl_multi_info_read(multi, &left))
                if (m->msg == CURLMSG_DONE && m->data.result == CURLE_OK) ++good;
            if (running) curl_multi_poll(multi, nullptr, 0, 500, nullptr);
        }
        int left = 0;
        while (CURLMsg* m = curl_multi_info_read(multi, &left))
            if (m->msg == CURLMSG_DONE && m->data.result == CURLE_OK) ++good;
        if (good != kParallel) std::abort();
        for (CURL* e : easy) {
            curl_multi_remove_handle(multi, e);
            curl_easy_cleanup(e);
        }
        curl_multi_cleanup(multi);
    }
    state.SetItemsProcessed(state.iterations() * kParallel);
}

}  // namespace

BENCHMARK(BM_Vux_KeepAliveGet1k)->Iterations(10000)->UseRealTime();
BENCHMARK(BM_Curl_KeepAliveGet1k)->Iterations(10000)->UseRealTime();
BENCHMARK(BM_Vux_Download1G)->Iterations(3)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Curl_Download1G)->Iterations(3)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Vux_Multi100)->Iterations(50)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Curl_Multi100)->Iterations(50)->UseRealTime()->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
