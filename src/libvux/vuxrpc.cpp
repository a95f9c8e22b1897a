#include <libvux/vuxrpc.h>

#include <arpa/inet.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <exception>
#include <fstream>
#include <list>
#include <memory>
#include <sstream>
#include <vector>

#include <libvux/vuxerr.h>
#include <libvux/vuxfile.h>
#include <libvux/vuxlog.h>
#include <libvux/vuxnet.h>
#include <libvux/vuxstream.h>
#include <libvux/private/vuxrpc.h>

VUX_LOG_MODULE("rpc", "core")

namespace vux_rpc {

namespace {

// Runs `fetch`; any exception is logged and gives `failed`.
template <class T, class F>
T Logged(F&& fetch, T failed) {
    try {
        return fetch();
    } catch (const std::exception& e) {
        VUX_LOG(VuxLogModule(), 4, "Fetch failed: %s", e.what());
    } catch (...) {
        VUX_LOG(VuxLogModule(), 4, "Fetch failed: unknown exception");
    }
    return failed;
}

// Where the host stands in a URL: after "://" and any "user@", up to the next "/".
struct HostPart {
    std::string::size_type begin = 0;
    std::string::size_type end = 0;
};

HostPart FindHost(const std::string& url) {
    HostPart h;
    const std::string::size_type scheme = url.find("://");
    h.begin = scheme == std::string::npos ? 0 : scheme + 3;
    h.end = url.find('/', h.begin);
    if (h.end == std::string::npos) h.end = url.size();
    const std::string::size_type at = url.rfind('@', h.end - 1);
    if (at != std::string::npos && at >= h.begin && at < h.end) h.begin = at + 1;
    return h;
}

bool IsIpv4(const std::string& name) {
    in_addr a;
    return ::inet_pton(AF_INET, name.c_str(), &a) == 1;
}

}  // namespace

std::string FetchString(const std::string& url, std::size_t maxsize) {
    VUX_LOG(VuxLogModule(), 6, "FetchString('%s')", url.c_str());
    return Logged<std::string>(
        [&] {
            std::ostringstream out;
            HttpQuery().SetMaxSize(maxsize).Get(url, out);
            return out.str();
        },
        "");
}

std::string FastFetchString(const std::string& url, std::size_t maxsize) {
    const HostPart part = FindHost(url);
    const std::string host = url.substr(part.begin, part.end - part.begin);
    const std::string name = host.substr(0, host.find(':'));
    if (host.empty() || host[0] == '[' || IsIpv4(name)) return FetchString(url, maxsize);
    const std::vector<std::string> addresses = vux_net::GetHostIp(name);
    if (addresses.size() < 2) return FetchString(url, maxsize);

    Multi multi;
    std::list<std::ostringstream> outs;
    const std::string port = host.substr(name.size());
    for (const std::string& address : addresses) {
        const std::string literal = address.find(':') == std::string::npos ? address : "[" + address + "]";
        std::string direct = url.substr(0, part.begin);
        direct.append(literal).append(port).append(url, part.end, std::string::npos);
        outs.emplace_back();
        HttpQuery query;
        query.SetMulti(&multi);
        query.SetMaxSize(maxsize).SetHeader("Host", host).Get(direct, outs.back());
    }
    while (!multi.empty()) {
        const Multi::Result r = multi.Wait();
        // The rest are abandoned with the Multi.
        if (r.out->good()) return static_cast<std::ostringstream*>(r.out)->str();
    }
    throw vux_err::Error("rpc", "fetch");
}

std::size_t FetchFileSize(const std::string& url) {
    std::ostringstream out;
    HttpQuery().AcceptHeader().Head(url, out);
    std::istringstream lines(out.str());
    const std::string key = "Content-Length: ";
    for (std::string line; std::getline(lines, line);)
        if (line.compare(0, key.size(), key) == 0) return static_cast<std::size_t>(std::strtoull(line.c_str() + key.size(), nullptr, 10));
    return 0;
}

bool FetchFile(const std::string& url, const std::string& path, std::size_t maxsize) {
    VUX_LOG(VuxLogModule(), 6, "FetchFile('%s', '%s')", url.c_str(), path.c_str());
    vux_stream::OutStream out(path);
    if (!out.IsOpen()) return false;
    const bool ok = Logged<bool>(
        [&] {
            if (maxsize > 0 && FetchFileSize(url) > maxsize) return false;
            HttpQuery().SetMaxSize(maxsize).Get(url, out);
            out.flush();
            return out.good();
        },
        false);
    if (ok) return true;
    // A cut or failed download must not stay behind looking complete.
    out.Close();
    ::unlink(path.c_str());
    return false;
}

}  // namespace vux_rpc

namespace vux_rpc {

Endpoint GetEndpoint(const std::string& key, const std::string& builtin) {
    std::ifstream in("etc/endpoints.conf");
    std::string line;
    while (std::getline(in, line)) {
        const std::string::size_type hash = line.find('#');
        if (hash != std::string::npos) line.erase(hash);
        std::istringstream words(line);
        std::string name, url;
        if (!(words >> name >> url) || name != key) continue;
        while (url.size() > 1 && url.back() == '/') url.pop_back();
        return {url, true};
    }
    return {builtin, false};
}

void TrustPublicService(HttpQuery::Implementation& impl, const Endpoint& endpoint) {
    impl.verify_public = !endpoint.configured;
}

Endpoint UseEndpoint(HttpQuery::Implementation& impl, const std::string& key, const std::string& builtin) {
    const Endpoint endpoint = GetEndpoint(key, builtin);
    TrustPublicService(impl, endpoint);
    return endpoint;
}

}  // namespace vux_rpc
