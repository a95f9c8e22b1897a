// A Python stand-in (tests/peers/<script>, built on standin.py) for a web service that cannot be
// reached from here, on a free loopback port; it records every request it receives and can be
// told to give canned answers. The server goes with the object.
#ifndef LIBVUX_TESTS_PEERS_STANDIN_H
#define LIBVUX_TESTS_PEERS_STANDIN_H

#include <map>
#include <string>
#include <utility>
#include <vector>

#include <json/json.h>

#include <libvux/vuxfile.h>

namespace peers {

class StandIn {
public:
    struct Request {
        std::string method;
        // As sent, still %-encoded; the query is the raw text after "?".
        std::string path;
        std::string query;
        std::vector<std::pair<std::string, std::string>> headers;
        std::string body;

        // The value of the first header of that name (any case), "" when there is none.
        std::string Header(const std::string& name) const;
        bool HasHeader(const std::string& name) const;
    };

    // `script` is a file name under tests/peers, such as "dropbox_standin.py".
    explicit StandIn(const std::string& script, const std::string& address = "127.0.0.1");
    ~StandIn();
    StandIn(const StandIn&) = delete;
    StandIn& operator=(const StandIn&) = delete;

    // "http://address:port" + path.
    std::string Url(const std::string& path = "") const;
    int port() const { return port_; }
    const std::string& dir() const { return dir_.name(); }

    // Every request recorded so far, in the order received.
    std::vector<Request> Requests() const;
    void ClearRequests();
    // The next `times` requests of that method and path (empty: any) get this answer.
    void Script(const std::string& method, const std::string& path, int status, const std::string& body,
                const std::vector<std::pair<std::string, std::string>>& headers = {}, int times = 1);

private:
    vux_file::TmpDir dir_{"/tmp/vuxstandin"};
    std::string address_;
    int port_ = 0;
    int pid_ = -1;
};

// A recorded body read as JSON; one that is not JSON fails the running test and gives null.
Json::Value BodyJson(const std::string& text);
// An application/x-www-form-urlencoded body, its values decoded.
std::map<std::string, std::string> FormOf(const std::string& body);

}  // namespace peers

#endif
