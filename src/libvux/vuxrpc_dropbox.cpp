#include <libvux/vuxrpc_dropbox.h>

#include <json/json.h>

#include <cstring>
#include <istream>
#include <memory>
#include <ostream>
#include <sstream>
#include <vector>

#include <libvux/vuxerr.h>
#include <libvux/vuxlog.h>
#include <libvux/vuxstr.h>

#include "private/vuxrpc.h"
#include "private/vuxrpc_drive.h"

VUX_LOG_MODULE("rpc", "core")

namespace vux_rpc {

namespace {

// The service refuses single uploads above 150 MiB.
const std::size_t kMaxSingleUpload = 0x95fffff;
const std::size_t kChunk = 0x400000;
const std::size_t kChunkReserve = 0x401000;
const std::size_t kBlock = 4096;

const char* const kApi = "https://api.dropboxapi.com";
const char* const kContent = "https://content.dropboxapi.com";

// Libcurl puts a form content type on every POST; " " suppresses it where the service wants none.
const char* const kNoContentType = " ";

const Json::Value* Member(const Json::Value& v, const char* name) {
    return v.isObject() ? v.find(name, name + std::strlen(name)) : nullptr;
}

std::string Text(const Json::Value* v) {
    return v && v->isString() ? v->asString() : "";
}

bool Parse(const std::string& text, Json::Value& v) {
    Json::CharReaderBuilder builder;
    const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    std::string errors;
    try {
        return reader->parse(text.data(), text.data() + text.size(), &v, &errors);
    } catch (const Json::Exception&) {
        return false;
    }
}

// One line; non-ASCII escaped, since the argument travels in a header.
std::string Compact(const Json::Value& v) {
    Json::StreamWriterBuilder builder;
    builder["indentation"] = "";
    builder["emitUTF8"] = false;
    return Json::writeString(builder, v);
}

std::string Arg(const Json::Value& v) {
    return Compact(v);
}

// Text that is not UTF-8 would come out of the JSON writer changed: another name than asked for.
bool SurvivesJson(const std::string& s) {
    Json::Value back;
    return Parse(Compact(Json::Value(s)), back) && back.isString() && back.asString() == s;
}

Json::Value Commit(const std::string& path) {
    Json::Value v(Json::objectValue);
    v["path"] = path;
    v["mode"] = "overwrite";
    v["autorename"] = false;
    v["mute"] = false;
    return v;
}

Json::Value Cursor(const std::string& session_id, std::size_t offset) {
    Json::Value v(Json::objectValue);
    v["session_id"] = session_id;
    v["offset"] = static_cast<Json::UInt64>(offset);
    return v;
}

bool NotFound(const Json::Value& v, const std::string& summary) {
    if (summary.compare(0, 15, "path/not_found/") == 0 || summary.compare(0, 22, "path_lookup/not_found/") == 0)
        return true;
    const Json::Value* error = Member(v, "error");
    for (const char* key : {"path", "path_lookup"}) {
        const Json::Value* inner = error ? Member(*error, key) : nullptr;
        if (inner && Text(Member(*inner, ".tag")) == "not_found") return true;
    }
    return false;
}

Endpoint Service(HttpQuery::Implementation& impl, const char* key, const char* builtin) {
    return UseEndpoint(impl, key, builtin);
}

// Fills `chunk` from `in`; true when it is full and more may follow.
bool ReadChunk(std::istream& in, std::string& chunk) {
    chunk.clear();
    chunk.reserve(kChunkReserve);
    char block[kBlock];
    while (chunk.size() < kChunk && in.good()) {
        in.read(block, kBlock);
        chunk.append(block, static_cast<std::size_t>(in.gcount()));
    }
    // A failing source must not pass for its end: the upload would commit a cut file.
    if (in.bad() || (in.fail() && !in.eof())) throw vux_err::Error("dropbox", "put", "read");
    return chunk.size() == kChunk && in.good();
}

}  // namespace

std::string FormValue(HttpQuery::Implementation& impl, const std::string& s) {
    char* escaped = curl_easy_escape(impl.curl, s.data(), static_cast<int>(s.size()));
    if (!escaped) throw Fail("init", CURLE_OUT_OF_MEMORY);
    const std::string out(escaped);
    curl_free(escaped);
    return out;
}

std::string DropboxAnswerField(const std::string& step, int status, const std::string& body, const std::string& field) {
    Json::Value v;
    const bool parsed = Parse(body, v);
    if (status != 200) {
        std::string summary = parsed ? Text(Member(v, "error_summary")) : "";
        if (parsed && NotFound(v, summary)) throw vux_err::Error("dropbox_storage", "query", "Remote file not found");
        if (summary.empty() && parsed) summary = Text(Member(v, "error"));
        if (summary.empty()) summary = std::to_string(status);
        VUX_LOG(VuxLogModule(), 3, "Dropbox: STEP - %s, STATUS - %d, ERROR - %s", step.c_str(), status, summary.c_str());
        vux_err::Error e("dropbox", step, summary);
        e.add_param("status", status);
        throw e;
    }
    if (field.empty()) return "";
    const Json::Value* f = parsed ? Member(v, field.c_str()) : nullptr;
    // Sizes are the only numbers read.
    if (f && field == "size" && f->isUInt64()) return std::to_string(f->asUInt64());
    if (f && field != "size" && f->isString()) return f->asString();
    VUX_LOG(VuxLogModule(), 3, "Dropbox: STEP - %s, no '%s' in the answer", step.c_str(), field.c_str());
    vux_err::Error e("dropbox", step, "bad_answer");
    e.add_param("field", field);
    throw e;
}

Dropbox::Dropbox(const std::string& token) : m_token(token) {
    // Error answers carry the service's reasons in their bodies.
    AcceptAnyResponse();
    AddHeader("Authorization", "Bearer " + token);
}

std::string Dropbox::GetToken(const std::string& code, const std::string& client_id, const std::string& client_secret) {
    Dropbox q("");
    q.DropHeader("Authorization");
    const std::string url = Service(*q.m_impl, "dropbox_api", kApi).url + "/oauth2/token";
    const std::string relay = GetEndpoint("oauth_relay", "https://oauth.libvux.org").url;
    // Codes and secrets are form values: a "&" or "+" in them must not change the form.
    const std::string body = "grant_type=authorization_code&code=" + FormValue(*q.m_impl, code) + "&redirect_uri=" + relay +
                             "/dropbox&client_id=" + FormValue(*q.m_impl, client_id) + "&client_secret=" + FormValue(*q.m_impl, client_secret);
    std::ostringstream answer;
    q.HttpQuery::Post(url, body, answer);
    return DropboxAnswerField("token", q.Status(), answer.str(), "access_token");
}

void Dropbox::DropToken() {
    const std::string url = Service(*m_impl, "dropbox_api", kApi).url + "/2/auth/token/revoke";
    std::ostringstream answer;
    {
        RequestHeaders headers(*this);
        headers.Set("Content-Type", kNoContentType);
        HttpQuery::Post(url, "", answer);
    }
    DropboxAnswerField("drop_token", Status(), answer.str(), "");
}

std::string Dropbox::CheckName(const std::string& name, bool allow_empty) {
    const std::string::size_type start = name.find_first_not_of('/');
    const std::string rest = start == std::string::npos ? "" : name.substr(start);
    if ((rest.empty() && !allow_empty) || !SurvivesJson(rest)) throw vux_err::Error("dropbox", "name", name);
    return "/" + rest;
}

int Dropbox::Put(const std::string& name, const std::string& data, const std::string&) {
    VUX_ASSERT(data.size() <= kMaxSingleUpload, "Too large data. Use Put with stream");
    const std::string path = CheckName(name);
    const std::string url = Service(*m_impl, "dropbox_content", kContent).url + "/2/files/upload";
    std::ostringstream answer;
    {
        RequestHeaders headers(*this);
        headers.Set("Content-Type", "application/octet-stream");
        headers.Set("Dropbox-API-Arg", Arg(Commit(path)));
        HttpQuery::Post(url, data, answer);
    }
    const std::string size = DropboxAnswerField("put", Status(), answer.str(), "size");
    if (size != std::to_string(data.size())) throw vux_err::Error("dropbox", "put", "size");
    return 200;
}

std::string Dropbox::StartUpload(const std::string& chunk) {
    const std::string url = Service(*m_impl, "dropbox_content", kContent).url + "/2/files/upload_session/start";
    Json::Value arg(Json::objectValue);
    arg["close"] = false;
    std::ostringstream answer;
    {
        RequestHeaders headers(*this);
        headers.Set("Content-Type", "application/octet-stream");
        headers.Set("Dropbox-API-Arg", Arg(arg));
        HttpQuery::Post(url, chunk, answer);
    }
    return DropboxAnswerField("put", Status(), answer.str(), "session_id");
}

void Dropbox::AppendData(const std::string& session_id, const std::string& chunk, std::size_t offset) {
    const std::string url = Service(*m_impl, "dropbox_content", kContent).url + "/2/files/upload_session/append_v2";
    Json::Value arg(Json::objectValue);
    arg["cursor"] = Cursor(session_id, offset);
    arg["close"] = false;
    std::ostringstream answer;
    {
        RequestHeaders headers(*this);
        headers.Set("Content-Type", "application/octet-stream");
        headers.Set("Dropbox-API-Arg", Arg(arg));
        HttpQuery::Post(url, chunk, answer);
    }
    DropboxAnswerField("put", Status(), answer.str(), "");
}

std::size_t Dropbox::FinishUpload(const std::string& session_id, const std::string& chunk, const std::string& name,
                                  std::size_t offset) {
    const std::string url = Service(*m_impl, "dropbox_content", kContent).url + "/2/files/upload_session/finish";
    Json::Value arg(Json::objectValue);
    arg["cursor"] = Cursor(session_id, offset);
    arg["commit"] = Commit(CheckName(name));
    std::ostringstream answer;
    {
        RequestHeaders headers(*this);
        headers.Set("Content-Type", "application/octet-stream");
        headers.Set("Dropbox-API-Arg", Arg(arg));
        HttpQuery::Post(url, chunk, answer);
    }
    return std::stoull(DropboxAnswerField("put", Status(), answer.str(), "size"));
}

int Dropbox::Put(const std::string& name, std::istream& in, const std::string&) {
    CheckName(name);
    std::string chunk;
    bool more = ReadChunk(in, chunk);
    const std::string session = StartUpload(chunk);
    std::size_t offset = chunk.size();
    chunk.clear();
    while (more) {
        more = ReadChunk(in, chunk);
        // The last chunk goes with the commit.
        if (!more) break;
        AppendData(session, chunk, offset);
        offset += chunk.size();
        chunk.clear();
    }
    const std::size_t size = FinishUpload(session, chunk, name, offset);
    VUX_LOG(VuxLogModule(), 9, "%s:%d Dropbox stored %zu bytes as '%s'", "vuxrpc_dropbox", __LINE__, size, name.c_str());
    if (size != offset + chunk.size()) throw vux_err::Error("dropbox", "put", "size");
    return 200;
}

std::ostream& Dropbox::Get(const std::string& name, std::ostream& out) {
    const std::string url = Service(*m_impl, "dropbox_content", kContent).url + "/2/files/download";
    Json::Value arg(Json::objectValue);
    arg["path"] = CheckName(name);
    StatusGate gate(m_impl->status, out);
    std::ostream gated(&gate);
    {
        RequestHeaders headers(*this);
        headers.Set("Content-Type", kNoContentType);
        headers.Set("Dropbox-API-Arg", Arg(arg));
        HttpQuery::Post(url, "", gated);
    }
    if (Status() != 200) DropboxAnswerField("get", Status(), gate.kept(), "");
    return out;
}

void Dropbox::Delete(const std::string& name) {
    const std::string url = Service(*m_impl, "dropbox_api", kApi).url + "/2/files/delete";
    Json::Value arg(Json::objectValue);
    arg["path"] = CheckName(name);
    std::ostringstream answer;
    {
        RequestHeaders headers(*this);
        headers.Set("Content-Type", "application/json");
        HttpQuery::Post(url, Compact(arg), answer);
    }
    try {
        DropboxAnswerField("delete", Status(), answer.str(), "");
    } catch (const vux_err::Error& e) {
        if (e.type() != "dropbox_storage") throw;
        VUX_LOG(VuxLogModule(), 4, "Dropbox: '%s' was not there to delete", name.c_str());
    }
}

void Dropbox::MkPath(const std::string&) {}

void Dropbox::RmDir(const std::string& path) {
    Delete(path);
}

}  // namespace vux_rpc
