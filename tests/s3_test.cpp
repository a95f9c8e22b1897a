// The S3 and Amazon clients against s3rver: byte-exact round trips, names that need encoding,
// multipart uploads and their abort, batched directory removal; every signature recomputed by
// botocore from the request as it was recorded on the wire.
#include <libvux/vuxrpc.h>
#include <libvux/vuxrpc_s3.h>

#include <json/json.h>

#include <sched.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <set>
#include <sstream>
#include <streambuf>
#include <thread>

#include <gtest/gtest.h>

#include <libvux/vuxfile.h>
#include <libvux/vuxstr.h>

#include "../src/libvux/private/vuxrpc.h"
#include "peers/s3rver.h"
#include "peers/standin.h"
#include "test_util.h"

namespace {

using peers::S3rver;
using testutil::ErrorKindOf;
using testutil::RandomBytes;

#define NEED_S3RVER() \
    if (!S3rver::Missing().empty()) GTEST_SKIP() << S3rver::Missing()

std::string Fetch(vux_rpc::S3& s3, const std::string& name) {
    std::ostringstream out;
    s3.Get(name, out);
    return out.str();
}

StringList Keys(vux_rpc::S3& s3, const std::string& prefix) {
    StringList keys;
    s3.List(prefix, keys);
    return keys;
}

// A stream of `size` pseudo-random bytes made on the fly; `at` runs once when reading reaches
// byte `when`.
class Generated : public std::streambuf {
public:
    Generated(std::size_t size, std::size_t when = 0, std::function<void()> at = nullptr)
        : size_(size), when_(when), at_(std::move(at)), block_(RandomBytes(65536, 7)) {}

protected:
    int_type underflow() override {
        if (pos_ >= size_) return traits_type::eof();
        if (at_ && pos_ >= when_) {
            at_();
            at_ = nullptr;
        }
        std::size_t n = std::min(block_.size(), size_ - pos_);
        if (at_ && pos_ < when_) n = std::min(n, when_ - pos_);
        setg(block_.data(), block_.data(), block_.data() + n);
        pos_ += n;
        return traits_type::to_int_type(block_[0]);
    }

private:
    std::size_t size_, when_, pos_ = 0;
    std::function<void()> at_;
    std::string block_;
};

std::string Generate(std::size_t size) {
    Generated g(size);
    std::istream in(&g);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

// s3rver behind the recording stand-in; with tls the stand-in speaks HTTPS (self-signed).
struct Recorded {
    explicit Recorded(bool tls = false) : server(false) {
        ::setenv("VUX_S3_UPSTREAM", ("127.0.0.1:" + std::to_string(server.port())).c_str(), 1);
        if (tls) {
            const std::string key = certs.path() + "/key.pem", cert = certs.path() + "/cert.pem";
            const std::string make = "openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=s3.localhost -keyout " +
                                     key + " -out " + cert + " >/dev/null 2>&1";
            if (std::system(make.c_str()) != 0) throw std::runtime_error("openssl req");
            ::setenv("VUX_S3_TLS", (cert + ":" + key).c_str(), 1);
        } else {
            ::unsetenv("VUX_S3_TLS");
        }
        proxy = std::make_unique<peers::StandIn>("s3_proxy.py");
    }
    std::string Endpoint() const { return "http://127.0.0.1:" + std::to_string(proxy->port()) + "/"; }
    std::string Token(bool path_style) const {
        return std::string("S3RVER:S3RVER:") + S3rver::kBucket + (path_style ? ":urlpath:" + Endpoint()
                                                                             : ":vhost:http://s3.localhost:" +
                                                                                   std::to_string(proxy->port()) + "/");
    }
    std::string AccessLog() const { return testutil::ReadFile(proxy->dir() + "/access.log"); }

    testutil::TempDir certs;
    S3rver server;
    std::unique_ptr<peers::StandIn> proxy;
};

TEST(S3Names, UrlPiecesAndEncoding) {
    testutil::ExpectPairs({
        {vux_rpc::CheckName("a b/ü+%.-_~x"), "a%20b/%C3%BC%2B%25.-_~x"},
        {vux_rpc::CheckName("dir/a b", true), "dir%2Fa%20b"},
        {vux_rpc::GetHostFromUrl("https://b.s3.example:9000/x/y?z"), "b.s3.example:9000"},
        {vux_rpc::GetHostFromUrl("host/only"), "host"},
        {vux_rpc::GetEtag("Content-Length: 3\r\nETAG:  \"abc\"  \r\n\r\nbody"), "abc"},
        {vux_rpc::GetEtag("Content-Length: 3\r\n"), ""},
        {vux_rpc::FormatUTC(0, "%a, %d %b %Y %H:%M:%S GMT"), "Thu, 01 Jan 1970 00:00:00 GMT"},
        {vux_rpc::FormatS3UTC(1700000000, "%Y%m%dT%H%M%SZ"), "20231114T221320Z"},
    });
    std::string url = "http://old:1/bucket/key";
    vux_rpc::ReplaceHostInUrl(url, "new.host:2");
    EXPECT_EQ(url, "http://new.host:2/bucket/key");
    std::string padded = "  http://e ";
    EXPECT_EQ(vux_rpc::AddLastSlash(padded), "http://e/");
    EXPECT_EQ(vux_rpc::AddLastSlash(padded), "http://e/");
    // RFC 4231, test case 2.
    EXPECT_EQ(str::hex::Encode(vux_rpc::HMAC_Sha256("Jefe", "what do ya want for nothing?")),
              "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843");
}

TEST(S3Names, TokensAndAddressing) {
    NEED_S3RVER();
    S3rver server;
    EXPECT_EQ(ErrorKindOf([] { vux_rpc::S3 s("only:two"); }), "amazon/token");
    EXPECT_EQ(vux_rpc::S3::GetToken("a", "b", "c", "urlpath", "http://h:1/x"), "a:b:c:urlpath:http://h:1/x");
    vux_rpc::S3 path(server.Token(true));
    EXPECT_EQ(path.token(), std::string("S3RVER:S3RVER:") + S3rver::kBucket);
    EXPECT_EQ(path.base_url(), server.Endpoint() + S3rver::kBucket + "/");
    vux_rpc::S3 vhost(server.Token(false));
    EXPECT_EQ(vhost.base_url(), std::string("http://") + S3rver::kBucket + "." + server.Host() + "/");
    EXPECT_EQ(vhost.region(), "us-east-1");
    // Both addressings reach the same objects.
    path.Put("shared.txt", std::string("one store"), "");
    EXPECT_EQ(Fetch(vhost, "shared.txt"), "one store");
    StringList buckets;
    path.GetBucketsList(buckets);
    EXPECT_EQ(buckets, StringList{S3rver::kBucket});
    vux_rpc::S3 fresh(server.Token(true, "second-bucket"));
    fresh.CreateBucket();
    buckets.clear();
    path.GetBucketsList(buckets);
    buckets.sort();
    EXPECT_EQ(buckets, (StringList{"second-bucket", S3rver::kBucket}));
}

// Names that need encoding keep their bytes and land under exactly that key.
TEST(S3Rver, RoundTrips) {
    NEED_S3RVER();
    S3rver server;
    vux_rpc::S3 s3(server.Token(true));
    const std::string binary = RandomBytes(70000, 3);
    const StringList names = {"plain.bin", "with blank.txt", "plus+sign", "per%cent", "ünïcödé/名前.txt",
                              "deep/a/b/c/d/e/f/g/file", "q?mark#hash&amp=eq"};
    for (const std::string& name : names) s3.Put(name, binary + name, "");
    for (const std::string& name : names) EXPECT_EQ(Fetch(s3, name), binary + name) << name;
    StringList all = Keys(s3, "");
    all.sort();
    StringList want = names;
    want.sort();
    EXPECT_EQ(all, want);
    EXPECT_EQ(Keys(s3, "deep/a/"), StringList{"deep/a/b/c/d/e/f/g/file"});

    s3.Put("empty", std::string(), "");
    EXPECT_EQ(Fetch(s3, "empty"), "");

    EXPECT_TRUE(s3.Delete("plus+sign"));
    std::ostringstream out;
    out << "kept";
    EXPECT_EQ(ErrorKindOf([&] { s3.Get("plus+sign", out); }), "amazon/NoSuchKey");
    // The service's error document is not passed off as the object.
    EXPECT_EQ(out.str(), "kept");

    s3.MkPath("made/dir");
    EXPECT_EQ(Keys(s3, "made/"), StringList{"made/dir/"});
    s3.Put("made/dir/inner", std::string("x"), "");
    s3.Put("made/dirty", std::string("not inside"), "");
    EXPECT_TRUE(s3.RmDir("made/dir"));
    EXPECT_EQ(Keys(s3, "made/"), StringList{"made/dirty"});
    EXPECT_EQ(ErrorKindOf([&] { s3.RmDir("/"); }), "amazon/rmdir_root");
    EXPECT_EQ(Keys(s3, "made/"), StringList{"made/dirty"});
}

// 12 MiB go as 5, 5 and 2 MiB parts and come back whole.
TEST(S3Rver, MultipartParts) {
    NEED_S3RVER();
    Recorded rec;
    vux_rpc::S3 s3(rec.Token(true));
    Generated gen(12 << 20);
    std::istream in(&gen);
    EXPECT_EQ(s3.Put("big/twelve.bin", in, ""), 200);
    std::vector<std::size_t> parts;
    std::string complete;
    for (const auto& r : rec.proxy->Requests()) {
        if (r.method == "PUT" && r.query.find("partNumber=") == 0) parts.push_back(r.body.size());
        if (r.method == "POST" && r.query.find("uploadId=") == 0) complete = r.body;
    }
    EXPECT_EQ(parts, (std::vector<std::size_t>{5 << 20, 5 << 20, 2 << 20}));
    std::size_t entries = 0;
    for (std::size_t p = 0; (p = complete.find("<Part>", p)) != std::string::npos; ++p) ++entries;
    EXPECT_EQ(entries, 3u);
    EXPECT_NE(complete.find("<Part><PartNumber>3</PartNumber><ETag>"), std::string::npos);
    EXPECT_TRUE(Fetch(s3, "big/twelve.bin") == Generate(12 << 20));

    // A stream that ends on a part boundary sends no empty part.
    rec.proxy->ClearRequests();
    Generated exact(5 << 20);
    std::istream in2(&exact);
    s3.Put("big/five.bin", in2, "");
    int n = 0;
    for (const auto& r : rec.proxy->Requests()) n += r.method == "PUT";
    EXPECT_EQ(n, 1);
    EXPECT_TRUE(Fetch(s3, "big/five.bin") == Generate(5 << 20));
}

// A part the service refuses aborts the upload: no parts stay stored, no object appears.
TEST(S3Rver, FailedPartAbortsUpload) {
    NEED_S3RVER();
    Recorded rec;
    vux_rpc::S3 s3(rec.Token(true));
    const std::string path = std::string("/") + S3rver::kBucket + "/broken.bin";
    // Parts 1 and 2 are sent before the stream reaches the data of part 3.
    Generated gen(12 << 20, 10 << 20, [&] {
        rec.proxy->Script("PUT", path, 500, "<Error><Code>InternalError</Code><Message>disk</Message></Error>");
    });
    std::istream in(&gen);
    EXPECT_EQ(testutil::ErrorOf([&] { s3.Put("broken.bin", in, ""); }), "amazon/storage_error/S3");
    std::string id;
    bool aborted = false;
    for (const auto& r : rec.proxy->Requests()) {
        if (r.method == "PUT" && r.query.find("partNumber=3&uploadId=") == 0) id = r.query.substr(22);
        if (r.method == "DELETE" && !id.empty() && r.query == "uploadId=" + id) aborted = true;
    }
    EXPECT_TRUE(aborted);
    // s3rver 3.7 has no abort (it answers 405), so only the request can be shown here; its
    // signature is judged with the others below.
    EXPECT_NE(rec.AccessLog().find("\"DELETE " + path + "?uploadId=" + id + " HTTP/1.1\""), std::string::npos)
        << rec.AccessLog();
    EXPECT_EQ(ErrorKindOf([&] { Fetch(s3, "broken.bin"); }), "amazon/NoSuchKey");
}

// 2,500 keys are removed in batches the service accepts (at most 1000 keys each).
TEST(S3Rver, RmDirInBatches) {
    NEED_S3RVER();
    Recorded rec;
    vux_rpc::S3 s3(rec.Token(true));
    // Stored straight into s3rver, four clients at once: only the removal goes through the recorder.
    std::vector<std::thread> loaders;
    for (int t = 0; t < 4; ++t)
        loaders.emplace_back([&, t] {
            vux_rpc::S3 direct(rec.server.Token(true));
            for (int i = t; i < 2500; i += 4)
                direct.Put("many/" + std::to_string(i) + (i % 2 ? " odd&<" : ""), std::string("v"), "");
        });
    for (std::thread& t : loaders) t.join();
    s3.Put("many-not/keep", std::string("k"), "");
    EXPECT_EQ(Keys(s3, "many/").size(), 2500u);
    rec.proxy->ClearRequests();
    EXPECT_TRUE(s3.RmDir("many"));
    std::vector<std::size_t> batches;
    std::string last;
    for (const auto& r : rec.proxy->Requests())
        // A batch the service failed on its side is sent once more.
        if (r.method == "POST" && r.query == "delete" && r.body != last) {
            last = r.body;
            std::size_t keys = 0;
            for (std::size_t p = 0; (p = r.body.find("<Key>", p)) != std::string::npos; ++p) ++keys;
            batches.push_back(keys);
        }
    EXPECT_EQ(batches, (std::vector<std::size_t>{1000, 1000, 500}));
    EXPECT_EQ(Keys(s3, "many"), StringList{"many-not/keep"});
}

// Every kind of request the clients make, judged by botocore's SigV4 signer.
void JudgeAll(const Recorded& rec, const std::set<std::string>& kinds_wanted) {
    const std::string out = testutil::ShellOutput(
        "python3 " VUX_SOURCE_DIR "/tests/peers/s3_sigv4_judge.py " + rec.proxy->dir() + "/requests.jsonl S3RVER S3RVER",
        nullptr);
    std::istringstream lines(out);
    std::string line;
    std::set<std::string> kinds;
    int n = 0;
    while (std::getline(lines, line)) {
        Json::Value v;
        std::istringstream one(line);
        ASSERT_TRUE(Json::parseFromStream(Json::CharReaderBuilder(), one, &v, nullptr)) << out;
        ++n;
        std::string query = v["query"].asString();
        query = query.substr(0, query.find('='));
        kinds.insert(v["method"].asString() + " " + query);
        EXPECT_EQ(v["sent"].asString(), v["botocore"].asString()) << line;
        EXPECT_TRUE(v["body_hash_ok"].asBool()) << line;
    }
    EXPECT_GT(n, 10) << out;
    EXPECT_EQ(kinds, kinds_wanted);
}

template <class Client>
void EveryRequest(Client& c) {
    c.Put("dir/a b+ü.txt", std::string("string put"), "");
    std::string big(6 << 20, 'z');
    std::istringstream in(big);
    c.Put("dir/multi", in, "");
    std::ostringstream got;
    c.Get("dir/a b+ü.txt", got);
    EXPECT_EQ(got.str(), "string put");
    c.MkPath("dir/sub");
    StringList keys;
    c.List("dir/", keys);
    EXPECT_EQ(keys.size(), 3u);
    StringList buckets;
    c.GetBucketsList(buckets);
    EXPECT_EQ(c.Delete("dir/multi"), true);
    EXPECT_TRUE(c.RmDir("dir"));
    // An upload id nobody started is not aborted (s3rver aborts none at all).
    EXPECT_FALSE(c.AbortUpload("open", "no-such-upload"));
    EXPECT_EQ(c.BucketLocation(), "");
}

const std::set<std::string> kKinds = {
    "GET ",         "GET location", "GET max-keys", "GET prefix", "PUT ",     "PUT partNumber", "POST uploads",
    "POST uploadId", "POST delete", "DELETE ",      "DELETE uploadId"};

TEST(S3Signature, S3BothStylesMatchBotocore) {
    NEED_S3RVER();
    for (bool path_style : {true, false}) {
        SCOPED_TRACE(path_style ? "path" : "vhost");
        Recorded rec;
        vux_rpc::S3 s3(rec.Token(path_style));
        EveryRequest(s3);
        vux_rpc::S3 maker(std::string("S3RVER:S3RVER:new-bucket:urlpath:") + rec.Endpoint());
        maker.CreateBucket();
        JudgeAll(rec, kKinds);
    }
}

TEST(S3Signature, AmazonMatchesBotocore) {
    NEED_S3RVER();
    Recorded rec(true);
    testutil::TempDir panel;
    testutil::ChDir cd(panel.path());
    ::mkdir("etc", 0755);
    testutil::WriteFile("etc/endpoints.conf", "amazon_s3 s3.localhost:" + std::to_string(rec.proxy->port()) + "\n");
    EXPECT_EQ(ErrorKindOf([] { vux_rpc::Amazon a("x"); }), "amazon/token");
    vux_rpc::Amazon amazon(vux_rpc::Amazon::GetToken("S3RVER", "S3RVER", S3rver::kBucket));
    EXPECT_EQ(amazon.base_url(), std::string("https://") + S3rver::kBucket + ".s3.localhost:" +
                                     std::to_string(rec.proxy->port()) + "/");
    EveryRequest(amazon);
    vux_rpc::Amazon maker(vux_rpc::Amazon::GetToken("S3RVER", "S3RVER", "made-by-amazon"));
    maker.CreateBucket();
    JudgeAll(rec, kKinds);
    for (const auto& r : rec.proxy->Requests()) {
        EXPECT_TRUE(r.HasHeader("Date")) << r.path;
        EXPECT_FALSE(r.HasHeader("x-amz-date")) << r.path;
    }
}

// Credentials go to the public service only over a verified connection; configured (self-hosted)
// addresses keep the HTTP client's acceptance of any certificate.
struct Peek : vux_rpc::S3 {
    using S3::S3;
    bool verifies() const { return m_impl->verify_public; }
};
struct PeekAmazon : vux_rpc::Amazon {
    using Amazon::Amazon;
    bool verifies() const { return m_impl->verify_public; }
};

// Runs in a network namespace of its own with only loopback up, so that the clients built for
// the public service reach nothing outside (their region question fails and is logged).
TEST(S3Trust, OnlyBuiltInAddressesAreVerified) {
    NEED_S3RVER();
    if (::geteuid() != 0) GTEST_SKIP() << "needs root for a network namespace of its own";
    const pid_t pid = ::fork();
    if (pid == 0) {
        if (::unshare(CLONE_NEWNET) != 0 || std::system("ip link set lo up") != 0) ::_exit(100);
        int failed = 0;
        const auto check = [&](bool ok, int bit, const char* what) {
            if (!ok) {
                std::fprintf(stderr, "failed: %s\n", what);
                failed |= bit;
            }
        };
        try {
            S3rver tls(true);
            testutil::TempDir panel;
            testutil::ChDir cd(panel.path());
            check(Peek("k:s:bucket").verifies(), 1, "S3 at the built-in endpoint verifies");
            check(PeekAmazon("k:s:bucket").verifies(), 2, "Amazon at the built-in host verifies");
            Peek own(tls.Token(true));
            check(!own.verifies(), 4, "S3 at the token's endpoint keeps the default");
            own.Put("tls.txt", std::string("over tls"), "");
            check(Fetch(own, "tls.txt") == "over tls", 8, "S3 over self-signed TLS");

            ::mkdir("etc", 0755);
            testutil::WriteFile("etc/endpoints.conf", "amazon_s3 " + tls.Host() + "\n");
            PeekAmazon configured(std::string("S3RVER:S3RVER:") + S3rver::kBucket);
            check(!configured.verifies(), 16, "Amazon at a configured host keeps the default");
            std::ostringstream out;
            configured.Get("tls.txt", out);
            check(out.str() == "over tls", 32, "Amazon over self-signed TLS at the configured host");

            // The same self-signed server, asked by a client set up for the public service.
            ::unlink("etc/endpoints.conf");
            PeekAmazon strict("k:s:bucket");
            std::ostringstream refused;
            check(ErrorKindOf([&] { strict.HttpQuery::Get(tls.Endpoint(), refused); }) == "rpc/query", 64,
                  "the public-service client refuses a self-signed certificate");
        } catch (const vux_err::Error& e) {
            std::fprintf(stderr, "%s\n", e.what());
            ::_exit(102);
        } catch (const std::exception& e) {
            std::fprintf(stderr, "%s\n", e.what());
            ::_exit(101);
        }
        ::_exit(failed);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "100: no namespace; 101/102: an error; else the bits of the failed checks";
}

}  // namespace
