// Calls to a panel core: a function query out, an XML document back, locally over a Unix
// socket (starting the core when it is not running) or remotely over HTTP(S).
#ifndef LIBVUX_VUXCLIENT_H
#define LIBVUX_VUXCLIENT_H

#include <libvux/vuxapi.h>

#include <cstddef>
#include <iosfwd>
#include <list>
#include <map>
#include <memory>
#include <string>

#include <libvux/vuxerr.h>
#include <libvux/vuxstream.h>
#include <libvux/vuxxml.h>

VUX_API_BEGIN

namespace vux_client {

// Errors of type "client".
class Fail : public vux_err::Error {
public:
    explicit Fail(const std::string& object);
    Fail(const std::string& object, const std::string& value);
};

// A reply. An error document in it is thrown again as the core's own error (marked
// "external"), unless wait_locked asks to repeat a request the core aborted.
class Result : public vux_xml::Xml {
public:
    Result(const vux_xml::Xml& reply, bool relocalize, bool wait_locked);

    // The text of the root's first child element of that name, or "".
    std::string value(const std::string& name) const;
    bool is_ok() const;
    vux_xml::XPath elems() const;
    bool is_aborted() const { return aborted_; }

private:
    bool aborted_ = false;
};

class Client {
public:
    Client() = default;
    virtual ~Client();

    // Adds the client's params, the thread's default language (unless the query names one)
    // and "out=xml" (unless it names an output).
    Result Query(const std::string& query);
    // Each "?" of the template, left to right, gets the next argument URL-encoded; marks left
    // over stay, arguments left over throw Fail "query_args".
    Result Query(const std::string& query, std::list<std::string>& args);
    Result Query(const std::string& query, const std::string& a1);
    Result Query(const std::string& query, const std::string& a1, const std::string& a2);
    Result Query(const std::string& query, const std::string& a1, const std::string& a2, const std::string& a3);
    Result Query(const std::string& query, const std::string& a1, const std::string& a2, const std::string& a3,
                 const std::string& a4);
    Result Query(const std::string& query, const std::string& a1, const std::string& a2, const std::string& a3,
                 const std::string& a4, const std::string& a5);
    Result Query(const std::string& query, const std::string& a1, const std::string& a2, const std::string& a3,
                 const std::string& a4, const std::string& a5, const std::string& a6);
    // key=encoded value for each entry, in key order; keys go as they are.
    Result Query(const std::string& query, std::map<std::string, std::string>& params);

    void AddParam(const std::string& name, const std::string& value);
    // Already encoded text.
    void AddParams(const std::string& params);
    void ClearParams();
    Client& Relocalize(bool on);
    Client& WaitLocked(bool on);
    // Seconds a remote core may keep answering 503; 0 = no limit.
    Client& UnavailableTimeout(int seconds);

    // Asks the core to exit and waits until another one answers; Fail "restart_fail" when
    // the old one is still there after the last try.
    void Restart();

protected:
    virtual Result DoQuery(const std::string& query) = 0;

    std::string params_;
    bool relocalize_ = false;
    bool wait_locked_ = false;
    int unavailable_timeout_ = 0;
};

// The core of panel `name` on this machine (the core itself is "core"); `address` goes to
// it as both the client's and the server's address.
class Local : public Client {
public:
    Local(const std::string& name, const std::string& address);

protected:
    // Fail "locked" when a lock forbids starting the core (with wait_locked: waits in steps of
    // 2 s); "too_many_retry" after 3 aborted replies.
    Result DoQuery(const std::string& query) override;

private:
    std::string name_;
    std::string address_;
};

// A core over HTTP(S): a POST of the query to `url`.
class Remote : public Client {
public:
    explicit Remote(const std::string& url);
    Remote& SetTimeout(unsigned long seconds);
    int timeout() const { return static_cast<int>(timeout_); }
    const std::string& url() const { return url_; }

protected:
    // Fail "unavailable" for an empty reply or a core still locked at the deadline,
    // "bad_response" (parameter "response") for another unparsable one; a core still
    // answering 503 throws vux_err::UnavailableTimeout.
    Result DoQuery(const std::string& query) override;

private:
    vux_xml::Xml Parse(const std::string& text) const;

    std::string url_;
    unsigned timeout_ = 0;
};

// The request side of a connection: destroying it shuts down the socket's sending direction,
// which tells the core that the request is complete while its reply can still be read.
class HalfStream : public vux_stream::Stream {
public:
    explicit HalfStream(const ResHandle& socket);
    ~HalfStream() override;

private:
    ResHandle socket_;
};

// The framing of one connection: environment entries (a 4-byte length in host order, then
// "NAME=value"), a zero length, the body; the reply is the rest of the stream.
class Protocol {
public:
    Protocol() = default;
    ~Protocol();
    Protocol(const Protocol&) = delete;
    Protocol& operator=(const Protocol&) = delete;

    // Both take ownership and delete the stream they replace.
    void set_in(std::istream* in);
    void set_out(std::ostream* out);

    // Asserts once the environment is terminated.
    void SendEnv(const std::string& entry);
    // Terminates the environment first when that is still due.
    void SendRequest(const char* data, std::size_t length);
    // Fail "write" when the connection takes no more.
    void SendData(const char* data, std::size_t length);
    // Ends the request and drops the request stream; asserts when called twice.
    void RequestComplete();
    // Up to length bytes of the reply; 0 at its end.
    std::size_t GetAnswer(char* buffer, std::size_t length);
    // The server side: the next entry, "" at the end of the environment; Fail "get_env" for
    // an entry cut short.
    std::string GetEnv();

private:
    bool env_sent_ = false;
    std::istream* in_ = nullptr;
    std::ostream* out_ = nullptr;
};

// A connection to the core of panel `name`, started if need be; Fail "locked" when a lock
// forbids that, "open" when no core answers after 60 start attempts, "socket_path" when the
// socket's path does not fit a Unix address.
std::unique_ptr<Protocol> Connect(const std::string& name, bool admin);
// The connected descriptor, or -1 when a lock forbids starting the core.
int IntConnect(const std::string& name, bool admin);
// Starts the core detached (double fork); false when tmp/core.lock or tmp/<name>.lock is
// there. A failed fork throws vux_err::System "fork".
bool StartManager(const std::string& name);
// Whether etc/vuxlist.conf has a line "manager <name>"; always true for "core".
bool ManagerRegistered(const std::string& name);
// The thread's default language before the call; a non-empty lang replaces it.
std::string DefaultLang(const std::string& lang = "");
void ParamHide(const std::string& name);
bool ParamIsHidden(const std::string& name);

}  // namespace vux_client

VUX_API_END

#endif
