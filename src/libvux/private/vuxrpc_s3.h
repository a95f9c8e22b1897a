// What the S3 and Amazon clients share: the bucket, the signing and the operations. Not installed.
#ifndef LIBVUX_PRIVATE_VUXRPC_S3_H
#define LIBVUX_PRIVATE_VUXRPC_S3_H

#include <libvux/vuxapi.h>

#include <ctime>
#include <iosfwd>
#include <string>
#include <utility>
#include <vector>

#include <libvux/vuxrpc_s3.h>
#include <libvux/vuxtypes.h>

#include "vuxrpc.h"

namespace vux_rpc::s3 {

using Headers = std::vector<std::pair<std::string, std::string>>;

struct VUX_INTERNAL Bucket {
    // Amazon sends "Date" instead of "x-amz-date" and logs under its own name.
    explicit Bucket(bool amazon) : amazon(amazon) {}

    bool amazon;
    std::string access;
    std::string secret;
    std::string bucket;
    bool path_style = false;
    std::string endpoint;
    std::string base_url;
    std::string region = "us-east-1";
    // The values of the signed headers of the last request, by lower-case name.
    StringMap signing;
    // The query's own record, shared by every copy of the client.
    HttpQuery::Implementation* impl = nullptr;
    // The object of the last multipart upload started, for AbortUpload(id).
    std::string upload_url;

    // The query settings every client makes once.
    void Configure(HttpQuery& q);

    // One signed request; returns the status. `query` is the canonical query that is signed,
    // `extra` headers are sent with this request only.
    int Request(HttpQuery& q, HttpQuery::Implementation::method_t method, const std::string& url,
                const std::string& query, const std::string& body, std::ostream& out, const Headers& extra = {});
    std::string Request(HttpQuery& q, HttpQuery::Implementation::method_t method, const std::string& url,
                        const std::string& query, const std::string& body, int& status, const Headers& extra = {});
    void SignRequest(HttpQuery& q, const std::string& query, const std::string& method, const std::string& url,
                     const std::string& payload);
    void SignRequest(HttpQuery& q, const std::string& query, const std::string& method, const std::string& url,
                     const std::string& payload, std::time_t now);
    std::string Signature(const std::string& date, const std::string& string_to_sign) const;

    [[noreturn]] void DropError(const std::string& step, const std::string& response) const;
    [[noreturn]] void DropStorage(const std::string& step, const std::string& response) const;

    void SetRedirect(HttpQuery& q);
    std::string BucketLocation(HttpQuery& q);
    // The region from the service, when it tells one.
    void FindRegion(HttpQuery& q);

    int Put(HttpQuery& q, const std::string& name, const std::string& data);
    int Put(HttpQuery& q, const std::string& name, std::istream& in);
    std::ostream& Get(HttpQuery& q, const std::string& name, std::ostream& out);
    bool Delete(HttpQuery& q, const std::string& name);
    void MkPath(HttpQuery& q, const std::string& path);
    bool RmDir(HttpQuery& q, const std::string& path);
    void List(HttpQuery& q, const std::string& prefix, StringList& keys, bool redirect = true);
    void GetBucketsList(HttpQuery& q, StringList& list);
    void CreateBucket(HttpQuery& q);
    bool AbortUpload(HttpQuery& q, const std::string& url, const std::string& upload_id);

    const char* Name() const { return amazon ? "AmazonStorage" : "S3 Storage"; }
};

// "access:secret:bucket[:rest]" split; fewer than three fields throw "amazon"/"token".
VUX_INTERNAL StringVector SplitToken(const std::string& token, std::size_t fields);

}  // namespace vux_rpc::s3

#endif
