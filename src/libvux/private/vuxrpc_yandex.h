// How the Yandex Disk client reads the service's answers; inline so that the fuzz targets
// reach them without a network. Not installed.
#ifndef LIBVUX_PRIVATE_VUXRPC_YANDEX_H
#define LIBVUX_PRIVATE_VUXRPC_YANDEX_H

#include <libvux/vuxapi.h>

#include <cerrno>
#include <cstdlib>
#include <string>

#include <libvux/vuxerr.h>
#include <libvux/vuxxml.h>

#include "vuxrpc_json.h"

namespace vux_rpc::yandex_answer {

// The access token of a token-endpoint answer. Anything but a 200 answer with a token throws
// "yandex_storage"/"query" with "Error-code: CODE - DESCRIPTION" from the answer's "error" and
// "error_description" (an answer that is no JSON object names the code "bad_answer").
VUX_INTERNAL inline std::string Token(int status, const std::string& body) {
    Json::Value v;
    const bool json = ParseJsonObject(body, v);
    const std::string token = JsonText(v, "access_token");
    if (status == 200 && !token.empty()) return token;
    std::string code = JsonText(v, "error");
    if (!json)
        code = "bad_answer";
    else if (code.empty())
        code = status == 200 ? "no_token" : "status_" + std::to_string(status);
    vux_err::Error e("yandex_storage", "query", "Error-code: " + code + " - " + JsonText(v, "error_description"));
    e.add_param("status", status);
    throw e;
}

// The size of the resource a PROPFIND multistatus names first (the one asked about; its
// children follow), 0 for a collection. A body that is no such document throws
// "yandex_storage"/"query".
VUX_INTERNAL inline long long Size(const std::string& body) {
    const auto bad = [](const std::string& why) { return vux_err::Error("yandex_storage", "query", why); };
    vux_xml::Xml doc;
    try {
        doc.LoadFromString(body);
    } catch (const vux_err::Error&) {
        throw bad("Malformed PROPFIND answer");
    }
    if (doc.IsEmpty()) throw bad("Malformed PROPFIND answer");
    const StringMap ns = {{"d", "DAV:"}};
    const std::string first = "/d:multistatus/d:response[1]/d:propstat/d:prop/";
    if (!doc.GetNode("/d:multistatus/d:response", ns)) throw bad("Malformed PROPFIND answer");
    if (doc.GetNode(first + "d:resourcetype/d:collection", ns)) return 0;
    const vux_xml::XmlNode length = doc.GetNode(first + "d:getcontentlength", ns);
    if (!length) throw bad("No content length");
    std::string text = length.Str();
    text.erase(0, text.find_first_not_of(" \t\r\n"));
    text.erase(text.find_last_not_of(" \t\r\n") + 1);
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) throw bad("Bad content length");
    errno = 0;
    const long long size = std::strtoll(text.c_str(), nullptr, 10);
    if (errno == ERANGE) throw bad("Bad content length");
    return size;
}

}  // namespace vux_rpc::yandex_answer

#endif
