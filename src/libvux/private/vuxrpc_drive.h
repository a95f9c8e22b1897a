// What the Dropbox and Google Drive clients share, and their answer parsers reachable without a
// network (fuzz targets and tests call them); not installed.
#ifndef LIBVUX_PRIVATE_VUXRPC_DRIVE_H
#define LIBVUX_PRIVATE_VUXRPC_DRIVE_H

#include <libvux/vuxapi.h>

#include <algorithm>
#include <cstddef>
#include <ostream>
#include <streambuf>
#include <string>
#include <vector>

#include <libvux/vuxrpc.h>

namespace vux_rpc {

// Headers that belong to one request, dropped again when it is over (thrown or not).
class RequestHeaders {
public:
    explicit RequestHeaders(HttpQuery& q) : q_(q) {}
    ~RequestHeaders() {
        for (const std::string& name : names_) q_.DropHeader(name);
    }
    RequestHeaders(const RequestHeaders&) = delete;
    RequestHeaders& operator=(const RequestHeaders&) = delete;
    void Set(const std::string& name, const std::string& value) {
        q_.SetHeader(name, value);
        names_.push_back(name);
    }

private:
    HttpQuery& q_;
    std::vector<std::string> names_;
};

// Lets a response body into `out` only while the last status is 200 (read when the body arrives,
// the header callback having set it); any other answer is kept, up to a limit, for its error
// text, so a service's error page never lands in the caller's file.
class StatusGate : public std::streambuf {
public:
    StatusGate(const int& status, std::ostream& out) : status_(status), out_(out) {}
    const std::string& kept() const { return kept_; }
    // Bytes let through to `out`.
    std::size_t passed() const { return passed_; }

protected:
    std::streamsize xsputn(const char* s, std::streamsize n) override {
        if (status_ != 200) {
            const std::size_t room = kKeep - std::min(kKeep, kept_.size());
            kept_.append(s, std::min(room, static_cast<std::size_t>(n)));
            return n;
        }
        out_.write(s, n);
        if (!out_) return 0;
        passed_ += static_cast<std::size_t>(n);
        return n;
    }
    int_type overflow(int_type c) override {
        if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);
        const char ch = traits_type::to_char_type(c);
        return xsputn(&ch, 1) == 1 ? c : traits_type::eof();
    }

private:
    static constexpr std::size_t kKeep = 1 << 16;
    const int& status_;
    std::ostream& out_;
    std::string kept_;
    std::size_t passed_ = 0;
};

// A form value, the unreserved characters kept as browsers and the services send them.
VUX_INTERNAL std::string FormValue(HttpQuery::Implementation& impl, const std::string& s);

// The value of `field` ("access_token", "session_id", "size") in a Dropbox answer of `status` to
// the request `step`, a number in decimal; throws as the client does for that answer.
VUX_API std::string DropboxAnswerField(const std::string& step, int status, const std::string& body,
                                       const std::string& field);

// A Google Drive answer as the client judges it: the text of the string `field` of the JSON found
// in `text`, or the first entry's id of "files" for "files.id" ("" for none); throws the client's
// error for an error status or a missing field.
VUX_API std::string GDAnswerField(int status, const std::string& text, const std::string& field);
// Whether the client would retry this answer at that attempt (1 = the first request).
VUX_API bool GDAnswerRetries(int status, const std::string& text, int attempt);

// Tests only: instead of sleeping, a back-off wait of Google Drive calls `hook` with the reason and
// the milliseconds it would have slept. Null restores sleeping.
typedef void (*WaitHook)(const std::string& reason, int ms);
VUX_API void SetGDWaitHook(WaitHook hook);

}  // namespace vux_rpc

#endif
