// The S3 client against raw libcurl signing with its own CURLOPT_AWS_SIGV4 (what curl
// --aws-sigv4 does; the payload hash, which curl leaves out, is added as the library sends it), both against s3rver: a 256 MiB multipart upload in 5 MiB parts and its
// download into a stream; and the signing of one request alone.
#include <benchmark/benchmark.h>

#include <curl/curl.h>
#include <openssl/sha.h>

#include <algorithm>
#include <istream>
#include <ostream>
#include <sstream>
#include <streambuf>

#include <libvux/vuxrpc_s3.h>
#include <libvux/vuxstr.h>

#include "bench_util.h"
#include "peers/s3rver.h"
#include "private/vuxrpc_s3.h"
#include "private/vuxrpc_s3xml.h"

namespace {

const std::size_t kSize = 256u << 20;
const std::size_t kPart = 5u << 20;

peers::S3rver& Server() {
    static peers::S3rver server;
    return server;
}

const std::string& Block() {
    static const std::string block = benchutil::RandomBytes(kPart, 3);
    return block;
}

// 256 MiB made from one block, so that neither side reads a disk.
class Source : public std::streambuf {
protected:
    int_type underflow() override {
        if (given_ >= kSize) return traits_type::eof();
        char* p = const_cast<char*>(Block().data());
        const std::size_t n = std::min(Block().size(), kSize - given_);
        setg(p, p, p + n);
        given_ += n;
        return traits_type::to_int_type(*p);
    }

private:
    std::size_t given_ = 0;
};

class Discard : public std::streambuf {
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

std::size_t ToString(char* data, std::size_t size, std::size_t n, void* out) {
    static_cast<std::string*>(out)->append(data, size * n);
    return size * n;
}

std::size_t Drop(char*, std::size_t size, std::size_t n, void* count) {
    *static_cast<std::size_t*>(count) += size * n;
    return size * n;
}

std::size_t EtagHeader(char* data, std::size_t size, std::size_t n, void* out) {
    const std::string line(data, size * n);
    const std::string etag = vux_rpc::GetEtag(line);
    if (!etag.empty()) *static_cast<std::string*>(out) = etag;
    return size * n;
}

std::string Base() { return Server().Endpoint() + peers::S3rver::kBucket + "/"; }

// One signed request of raw libcurl; returns the body.
std::string Curl(CURL* curl, const char* method, const std::string& url, const std::string& body,
                 std::string* etag = nullptr) {
    curl_easy_reset(curl);
    std::string out;
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_AWS_SIGV4, "aws:amz:us-east-1:s3");
    curl_easy_setopt(curl, CURLOPT_USERPWD, "S3RVER:S3RVER");
    curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, method);
    curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE, static_cast<long>(body.size()));
    curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body.data());
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &ToString);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &out);
    if (etag) {
        curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, &EtagHeader);
        curl_easy_setopt(curl, CURLOPT_HEADERDATA, etag);
    }
    curl_slist* headers = curl_slist_append(nullptr, "Content-Type:");
    headers = curl_slist_append(headers, "Expect:");
    // The same signed payload hash the library sends (curl itself sends none).
    unsigned char digest[SHA256_DIGEST_LENGTH];
    SHA256(reinterpret_cast<const unsigned char*>(body.data()), body.size(), digest);
    const std::string hash = str::hex::Encode(std::string(reinterpret_cast<const char*>(digest), sizeof digest));
    headers = curl_slist_append(headers, ("x-amz-content-sha256: " + hash).c_str());
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
    if (curl_easy_perform(curl) != CURLE_OK) std::abort();
    curl_slist_free_all(headers);
    return out;
}

void LibvuxUpload(benchmark::State& state) {
    vux_rpc::S3 s3(Server().Token(true));
    for (auto _ : state) {
        Source src;
        std::istream in(&src);
        s3.Put("bench/vux.bin", in, "");
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kSize));
}

void CurlUpload(benchmark::State& state) {
    CURL* curl = curl_easy_init();
    const std::string url = Base() + "bench/curl.bin";
    for (auto _ : state) {
        const std::string id = vux_rpc::s3xml::ReadUploadId(Curl(curl, "POST", url + "?uploads", ""));
        std::string complete = "<CompleteMultipartUpload>";
        for (std::size_t n = 1; n <= kSize / kPart; ++n) {
            std::string etag;
            Curl(curl, "PUT", url + "?partNumber=" + std::to_string(n) + "&uploadId=" + id, Block(), &etag);
            complete += "<Part><PartNumber>" + std::to_string(n) + "</PartNumber><ETag>" + etag + "</ETag></Part>";
        }
        // The remainder of 256 MiB after 51 parts of 5 MiB.
        const std::size_t rest = kSize % kPart;
        std::string etag;
        Curl(curl, "PUT", url + "?partNumber=" + std::to_string(kSize / kPart + 1) + "&uploadId=" + id,
             Block().substr(0, rest), &etag);
        complete += "<Part><PartNumber>" + std::to_string(kSize / kPart + 1) + "</PartNumber><ETag>" + etag +
                    "</ETag></Part></CompleteMultipartUpload>";
        Curl(curl, "POST", url + "?uploadId=" + id, complete);
    }
    curl_easy_cleanup(curl);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kSize));
}

void LibvuxDownload(benchmark::State& state) {
    vux_rpc::S3 s3(Server().Token(true));
    {
        Source src;
        std::istream in(&src);
        s3.Put("bench/down.bin", in, "");
    }
    for (auto _ : state) {
        Discard sink;
        std::ostream out(&sink);
        s3.Get("bench/down.bin", out);
        if (sink.count != kSize) {
            state.SkipWithError(("got " + std::to_string(sink.count) + " bytes").c_str());
            break;
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kSize));
}

void CurlDownload(benchmark::State& state) {
    vux_rpc::S3 s3(Server().Token(true));
    {
        Source src;
        std::istream in(&src);
        s3.Put("bench/down.bin", in, "");
    }
    CURL* curl = curl_easy_init();
    const std::string url = Base() + "bench/down.bin";
    for (auto _ : state) {
        std::size_t count = 0;
        curl_easy_reset(curl);
        curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
        curl_easy_setopt(curl, CURLOPT_AWS_SIGV4, "aws:amz:us-east-1:s3");
        curl_easy_setopt(curl, CURLOPT_USERPWD, "S3RVER:S3RVER");
        curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &Drop);
        curl_easy_setopt(curl, CURLOPT_WRITEDATA, &count);
        curl_slist* headers = curl_slist_append(nullptr, "x-amz-content-sha256: e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
        curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
        if (curl_easy_perform(curl) != CURLE_OK || count != kSize) std::abort();
        curl_slist_free_all(headers);
    }
    curl_easy_cleanup(curl);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kSize));
}

// The headers and signature of one request with an empty body, no network.
void LibvuxSignRequest(benchmark::State& state) {
    vux_rpc::HttpQuery q;
    vux_rpc::s3::Bucket b(false);
    b.access = "AKIDEXAMPLE";
    b.secret = "wJalrXUtnFEMI/K7MDENG+bPxRfiCYEXAMPLEKEY";
    for (auto _ : state)
        b.SignRequest(q, "partNumber=3&uploadId=abc", "PUT", "https://bucket.s3.amazonaws.com/dir/name.bin", "");
}

BENCHMARK(LibvuxUpload)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();
BENCHMARK(CurlUpload)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();
BENCHMARK(LibvuxDownload)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();
BENCHMARK(CurlDownload)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();
BENCHMARK(LibvuxSignRequest)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
