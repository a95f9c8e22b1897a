#include "standin.h"

#include <gtest/gtest.h>
#include <json/json.h>

#include <fstream>
#include <sstream>
#include <stdexcept>

#include <libvux/vuxrpc.h>
#include <libvux/vuxstr.h>

#include "server.h"

namespace peers {

namespace {

bool SameName(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) return false;
    return true;
}

}  // namespace

std::string StandIn::Request::Header(const std::string& name) const {
    for (const auto& [key, value] : headers)
        if (SameName(key, name)) return value;
    return "";
}

bool StandIn::Request::HasHeader(const std::string& name) const {
    for (const auto& header : headers)
        if (SameName(header.first, name)) return true;
    return false;
}

StandIn::StandIn(const std::string& script, const std::string& address) : address_(address) {
    port_ = FreePort(address);
    const std::string path = VUX_SOURCE_DIR "/tests/peers/" + script;
    const std::string port = std::to_string(port_);
    const std::string& dir = dir_.name();
    const char* const argv[] = {"/usr/bin/python3", path.c_str(), address.c_str(), port.c_str(), dir.c_str(), nullptr};
    pid_ = StartServer(argv, address, port_, dir + "/access.log");
}

StandIn::~StandIn() {
    StopServer(pid_);
}

std::string StandIn::Url(const std::string& path) const {
    std::string url = "http://";
    url.append(address_).append(":").append(std::to_string(port_)).append(path);
    return url;
}

std::vector<StandIn::Request> StandIn::Requests() const {
    std::vector<Request> out;
    std::ifstream in(dir() + "/requests.jsonl");
    std::string line;
    Json::CharReaderBuilder builder;
    while (std::getline(in, line)) {
        Json::Value v;
        std::string errors;
        std::istringstream text(line);
        if (!Json::parseFromStream(builder, text, &v, &errors)) throw std::runtime_error("stand-in record: " + errors);
        Request r;
        r.method = v["method"].asString();
        r.path = v["path"].asString();
        r.query = v["query"].asString();
        for (const Json::Value& h : v["headers"]) r.headers.emplace_back(h[0].asString(), h[1].asString());
        r.body = str::base64::Decode(v["body"].asString());
        out.push_back(std::move(r));
    }
    return out;
}

void StandIn::ClearRequests() {
    std::ofstream(dir() + "/requests.jsonl", std::ios::trunc);
}

void StandIn::Script(const std::string& method, const std::string& path, int status, const std::string& body,
                     const std::vector<std::pair<std::string, std::string>>& headers, int times) {
    Json::Value v;
    if (!method.empty()) v["method"] = method;
    if (!path.empty()) v["path"] = path;
    v["status"] = status;
    v["body"] = body;
    v["times"] = times;
    for (const auto& [key, value] : headers) v["headers"][key] = value;
    std::ostringstream sink;
    vux_rpc::HttpQuery().Post(Url("/__script"), Json::writeString(Json::StreamWriterBuilder(), v), sink);
}

Json::Value BodyJson(const std::string& text) {
    Json::Value v;
    std::istringstream in(text);
    std::string errors;
    Json::CharReaderBuilder builder;
    if (!Json::parseFromStream(builder, in, &v, &errors)) ADD_FAILURE() << "not JSON: " << text;
    return v;
}

std::map<std::string, std::string> FormOf(const std::string& body) {
    std::map<std::string, std::string> form;
    std::istringstream in(body);
    std::string pair;
    while (std::getline(in, pair, '&')) {
        const std::string::size_type eq = pair.find('=');
        form[pair.substr(0, eq)] = eq == std::string::npos ? "" : str::url::Decode(pair.substr(eq + 1));
    }
    return form;
}

}  // namespace peers
