#include <libvux/vuxrpc_s3.h>

#include <istream>
#include <ostream>

#include <libvux/vuxlog.h>

#include "private/vuxrpc.h"
#include "private/vuxrpc_s3.h"

VUX_LOG_MODULE("rpc", "core")

namespace vux_rpc {

namespace {
const char kPublicHost[] = "s3.amazonaws.com";
}

struct Amazon::Data : s3::Bucket {
    Data() : Bucket(true) {}
};

Amazon::Amazon(const std::string& token) : m_data(std::make_shared<Data>()) {
    VUX_LOG(VuxLogModule(), vux_log::LevelTrace, "%s", __PRETTY_FUNCTION__);
    const StringVector f = s3::SplitToken(token, 3);
    m_data->access = f[0];
    m_data->secret = f[1];
    m_data->bucket = f[2];
    const Endpoint host = UseEndpoint(*m_impl, "amazon_s3", kPublicHost);
    m_data->impl = m_impl.get();
    m_data->endpoint = "https://" + host.url + "/";
    m_data->base_url = "https://" + m_data->bucket + "." + host.url + "/";
    m_data->Configure(*this);
    m_data->FindRegion(*this);
}

std::string Amazon::token() const { return m_data->access + ":" + m_data->secret + ":" + m_data->bucket; }

std::string Amazon::GetToken(const std::string& access, const std::string& secret, const std::string& bucket) {
    return access + ":" + secret + ":" + bucket;
}

void Amazon::DropToken() {
    m_data->access.clear();
    m_data->secret.clear();
}

int Amazon::Put(const std::string& name, const std::string& data, const std::string&) {
    return m_data->Put(*this, name, data);
}
int Amazon::Put(const std::string& name, std::istream& in, const std::string&) { return m_data->Put(*this, name, in); }
std::ostream& Amazon::Get(const std::string& name, std::ostream& out) { return m_data->Get(*this, name, out); }
bool Amazon::Delete(const std::string& name) { return m_data->Delete(*this, name); }
void Amazon::MkPath(const std::string& path) { m_data->MkPath(*this, path); }
bool Amazon::RmDir(const std::string& path) { return m_data->RmDir(*this, path); }
void Amazon::List(const std::string& prefix, StringList& keys) { m_data->List(*this, prefix, keys); }
void Amazon::GetBucketsList(StringList& list) { m_data->GetBucketsList(*this, list); }
void Amazon::CreateBucket() { m_data->CreateBucket(*this); }
std::string Amazon::BucketLocation() { return m_data->BucketLocation(*this); }
bool Amazon::AbortUpload(const std::string& upload_id) {
    return m_data->AbortUpload(*this, m_data->upload_url, upload_id);
}
bool Amazon::AbortUpload(const std::string& name, const std::string& upload_id) {
    return m_data->AbortUpload(*this, m_data->base_url + CheckName(name), upload_id);
}
std::string Amazon::region() const { return m_data->region; }
std::string Amazon::base_url() const { return m_data->base_url; }

}  // namespace vux_rpc
