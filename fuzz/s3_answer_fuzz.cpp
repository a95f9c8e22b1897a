// What an S3 service answers (error documents, listings, upload ids, locations, bucket lists)
// read by the clients' parsers: values or nothing, never a crash or a hang.
#include <cstddef>
#include <cstdint>
#include <string>

#include "private/vuxrpc_s3xml.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string body(reinterpret_cast<const char*>(data), size);
    namespace x = vux_rpc::s3xml;
    const x::ErrorAnswer e = x::ReadError(body);
    std::size_t sum = e.code.size() + e.message.size() + e.endpoint.size() + e.region.size();
    sum += x::IsError(body);
    sum += x::ReadUploadId(body).size() + x::ReadLocation(body).size();
    StringList buckets;
    x::ReadBuckets(body, buckets);
    const x::KeyPage page = x::ReadKeys(body);
    sum += buckets.size() + page.keys.size() + page.next.size() + x::Escape(body).size();
    return sum == static_cast<std::size_t>(-1);
}
