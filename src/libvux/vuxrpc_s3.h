#ifndef LIBVUX_VUXRPC_S3_H
#define LIBVUX_VUXRPC_S3_H

#include <libvux/vuxrpc.h>

// Object storage over the S3 API: any S3-compatible service (S3) and Amazon S3 itself (Amazon).
// Requests are signed with AWS Signature Version 4. Service errors throw vux_err::Error of type
// "amazon"; transport failures throw the HTTP client's "rpc" errors.

#include <ctime>
#include <iosfwd>
#include <memory>
#include <string>

#include <libvux/vuxtypes.h>

VUX_API_BEGIN

namespace vux_rpc {

// Where the host starts: just after "://", or 0 without a scheme.
std::string::size_type FindHostInUrl(const std::string& url);
// The host (with any ":port") up to the next "/"; "" for an empty URL.
std::string GetHostFromUrl(const std::string& url);
// Replaces the host of `url` in place.
void ReplaceHostInUrl(std::string& url, const std::string& host);
// Trims `url` in place and makes it end with "/".
std::string& AddLastSlash(std::string& url);
// gmtime_r + strftime; "" when the result would not fit 1024 bytes.
std::string FormatUTC(std::time_t time, const std::string& format);
std::string FormatS3UTC(std::time_t time, const std::string& format);
// The raw 32-byte HMAC-SHA-256.
std::string HMAC_Sha256(const std::string& key, const std::string& data);
// An object name as URL path text: percent-encoded but for letters, digits, "/", ".", "-", "_"
// and "~". With `query` the name is a query value and "/" is encoded too.
std::string CheckName(const std::string& name, bool query = false);
// The value of the first "ETag" header line (any case) in response header text, trimmed and
// unquoted; "" when there is none.
std::string GetEtag(const std::string& headers);

// A bucket of an S3-compatible service. The token is "access:secret:bucket[:style[:endpoint]]":
// style "urlpath" puts the bucket in the path, anything else in front of the host; the endpoint
// (which may hold ":") defaults to the public Amazon S3 endpoint, and then only, the service's
// certificate is checked against the system's CA store.
//
// The constructor asks the bucket's region (one request; a failure is only logged and leaves
// "us-east-1"). Every object operation first asks whether the bucket lives at another host.
// Errors of the service throw vux_err::Error type "amazon", object its code, value its message,
// with the parameter "step".
class S3 : public HttpQuery {
public:
    struct VUX_INTERNAL Data;

    // A token with fewer than three fields throws "amazon"/"token".
    explicit S3(const std::string& token);

    // "access:secret:bucket".
    std::string token() const;
    static std::string GetToken(const std::string& access, const std::string& secret, const std::string& bucket,
                                const std::string& style, const std::string& endpoint);
    // The keys are dropped from this handle; it cannot sign any more.
    void DropToken();

    using HttpQuery::Delete;
    using HttpQuery::Get;
    using HttpQuery::Put;

    // One PUT; returns 200.
    int Put(const std::string& name, const std::string& data, const std::string& extra);
    // A multipart upload in parts of 5 MiB; returns 200. An upload that fails on the way (a part
    // refused, the stream unreadable, the completion refused) is aborted before the error leaves.
    int Put(const std::string& name, std::istream& in, const std::string& extra);
    // Only the object reaches `out`; a service error throws and writes nothing there.
    std::ostream& Get(const std::string& name, std::ostream& out) override;
    // False (logged) when the service did not delete it.
    bool Delete(const std::string& name);
    // An empty directory object "path/".
    void MkPath(const std::string& path);
    // Every key under "path/", in batches of up to 1000, then the directory object. False (logged)
    // when something was not deleted. An empty path, which would empty the bucket, is refused
    // with "amazon"/"rmdir_root".
    bool RmDir(const std::string& path);
    // The keys under `prefix` (all of them, page after page), appended in the service's order.
    void List(const std::string& prefix, StringList& keys);

    // The buckets of the account.
    void GetBucketsList(StringList& list);
    void CreateBucket();
    // The bucket's region; "" when the service does not say (logged).
    std::string BucketLocation();
    // Aborts a multipart upload of the object `name` (or of the last upload this handle started).
    bool AbortUpload(const std::string& upload_id);
    bool AbortUpload(const std::string& name, const std::string& upload_id);

    std::string region() const;
    // The base URL of the bucket, ending with "/".
    std::string base_url() const;

private:
    std::shared_ptr<Data> m_data;
};

// A bucket of Amazon S3: token "access:secret:bucket", always virtual-host style over https at
// the public host (or the host configured as "amazon_s3", whose certificate is then not checked).
class Amazon : public HttpQuery {
public:
    struct VUX_INTERNAL Data;

    // A token with fewer than three fields throws "amazon"/"token".
    explicit Amazon(const std::string& token);

    std::string token() const;
    static std::string GetToken(const std::string& access, const std::string& secret, const std::string& bucket);
    void DropToken();

    using HttpQuery::Delete;
    using HttpQuery::Get;
    using HttpQuery::Put;

    int Put(const std::string& name, const std::string& data, const std::string& extra);
    int Put(const std::string& name, std::istream& in, const std::string& extra);
    std::ostream& Get(const std::string& name, std::ostream& out) override;
    bool Delete(const std::string& name);
    void MkPath(const std::string& path);
    bool RmDir(const std::string& path);
    void List(const std::string& prefix, StringList& keys);

    void GetBucketsList(StringList& list);
    void CreateBucket();
    std::string BucketLocation();
    bool AbortUpload(const std::string& upload_id);
    bool AbortUpload(const std::string& name, const std::string& upload_id);

    std::string region() const;
    std::string base_url() const;

private:
    std::shared_ptr<Data> m_data;
};

}  // namespace vux_rpc

VUX_API_END

#endif
