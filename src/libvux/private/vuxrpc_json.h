// JSON answers of web services as the clients read them; not installed.
#ifndef LIBVUX_PRIVATE_VUXRPC_JSON_H
#define LIBVUX_PRIVATE_VUXRPC_JSON_H

#include <libvux/vuxapi.h>

#include <json/json.h>

#include <exception>
#include <memory>
#include <string>

namespace vux_rpc {

// True when `text` is one JSON object, which is then in `out`.
VUX_INTERNAL inline bool ParseJsonObject(const std::string& text, Json::Value& out) {
    Json::CharReaderBuilder builder;
    builder["collectComments"] = false;
    const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    Json::Value v;
    std::string errors;
    try {
        if (!reader->parse(text.data(), text.data() + text.size(), &v, &errors) || !v.isObject()) return false;
    } catch (const std::exception&) {
        // JsonCpp throws rather than fails on nesting beyond its stack limit.
        return false;
    }
    out = std::move(v);
    return true;
}

// A member of an object as text: strings as they are, numbers and booleans written out, ""
// for anything else or when `v` is no object (JsonCpp would throw on those).
VUX_INTERNAL inline std::string JsonText(const Json::Value& v, const char* key) {
    if (!v.isObject()) return "";
    const Json::Value* m = v.find(key, key + std::char_traits<char>::length(key));
    if (!m) return "";
    if (m->isString()) return m->asString();
    if (m->isBool()) return m->asBool() ? "true" : "false";
    if (m->isInt64()) return std::to_string(m->asInt64());
    if (m->isUInt64()) return std::to_string(m->asUInt64());
    if (m->isDouble()) return Json::writeString(Json::StreamWriterBuilder(), *m);
    return "";
}

}  // namespace vux_rpc

#endif
