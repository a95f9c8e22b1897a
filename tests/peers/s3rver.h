// s3rver (the Node.js S3 emulator, for tests and benchmarks alike) on a free loopback port, its
// buckets in a scratch directory; the server goes with the object. It takes the access key and
// secret "S3RVER" and does not check Signature Version 4 signatures (botocore judges those), but
// it does want the Authorization header's shape and a timestamp that is not skewed.
#ifndef LIBVUX_TESTS_PEERS_S3RVER_H
#define LIBVUX_TESTS_PEERS_S3RVER_H

#include <string>

#include <libvux/vuxfile.h>

namespace peers {

class S3rver {
public:
    static const char* const kKey;
    static const char* const kBucket;

    // With tls the server speaks HTTPS with a self-signed certificate for "*.s3.localhost".
    // Buckets are also reached virtual-host style as BUCKET.s3.localhost:port.
    explicit S3rver(bool tls = false);
    ~S3rver();
    S3rver(const S3rver&) = delete;
    S3rver& operator=(const S3rver&) = delete;

    // "http[s]://127.0.0.1:port/"
    std::string Endpoint() const;
    // "s3.localhost:port"
    std::string Host() const;
    int port() const { return port_; }
    // Where the objects of a bucket are stored.
    std::string data() const { return dir_.name() + "/data"; }
    // A token for the S3 client: path style at Endpoint(), or virtual-host style at Host().
    std::string Token(bool path_style = true, const std::string& bucket = kBucket) const;

    // Why s3rver cannot run here, or "" when it can.
    static std::string Missing();

private:
    vux_file::TmpDir dir_{"/tmp/vuxs3rver"};
    bool tls_;
    int port_ = 0;
    int pid_ = -1;
};

}  // namespace peers

#endif
