#include <unistd.h>

#include <cstdlib>
#include <iostream>
#include <list>
#include <sstream>

#include <libvux/vuxrpc.h>
#include <libvux/vuxstream.h>

#include "commands.h"

namespace vuxtool {

namespace {

const char* const kUsage =
    "http get|head|post URL [--header 'NAME: VALUE']... [--data D] [--timeout S] [--max-size N] [-o FILE] | "
    "http fetch URL...";

struct Request {
    std::string method;
    std::string url;
    std::string data;
    std::string output;
    vux_rpc::HttpQuery query;
};

std::size_t Count(const std::string& text, std::size_t max) {
    char* end = nullptr;
    const unsigned long long n = std::strtoull(text.c_str(), &end, 10);
    if (text.empty() || *end || text[0] == '-' || n > max) throw Usage{kUsage};
    return static_cast<std::size_t>(n);
}

Request Parse(const Args& args) {
    Request r;
    if (args.size() < 2 || (args[0] != "get" && args[0] != "head" && args[0] != "post")) throw Usage{kUsage};
    r.method = args[0];
    r.url = args[1];
    for (std::size_t i = 2; i < args.size(); ++i) {
        if (i + 1 >= args.size()) throw Usage{kUsage};
        const std::string& option = args[i];
        const std::string& value = args[++i];
        if (option == "--header") {
            r.query.AddHeader(value);
        } else if (option == "--data") {
            r.data = value;
        } else if (option == "--timeout") {
            r.query.SetTimeout(Count(value, 86400));
        } else if (option == "--max-size") {
            r.query.SetMaxSize(Count(value, static_cast<std::size_t>(-1)));
        } else if (option == "-o") {
            r.output = value;
        } else {
            throw Usage{kUsage};
        }
    }
    if (r.method == "head") r.query.AcceptHeader();
    return r;
}

void Perform(Request& r, std::ostream& out) {
    if (r.method == "get") r.query.Get(r.url, out);
    else if (r.method == "head") r.query.Head(r.url, out);
    else r.query.Post(r.url, r.data, out);
}

// One request; the body goes to standard output or to -o FILE, which a failed request removes.
// A body cut at --max-size is kept and said so on standard error.
int Single(const Args& args) {
    Request r = Parse(args);
    bool cut = false;
    if (r.output.empty()) {
        Perform(r, std::cout);
        cut = std::cout.bad();
        std::cout.clear();
    } else {
        vux_stream::OutStream file(r.output);
        if (!file.IsOpen()) {
            std::cerr << "cannot write " << r.output << "\n";
            return 1;
        }
        try {
            Perform(r, file);
        } catch (...) {
            file.Close();
            ::unlink(r.output.c_str());
            throw;
        }
        cut = file.bad();
        file.clear();
        if (!file.flush()) {
            std::cerr << "cannot write " << r.output << "\n";
            return 1;
        }
    }
    std::cout.flush();
    std::cerr << "status " << r.query.Status() << (cut ? ", body cut at --max-size" : "") << "\n";
    return std::cout ? 0 : 1;
}

// All at once through one Multi; a line per result as each finishes: status, bytes, "ok" or "failed", URL.
int Fetch(const Args& args) {
    if (args.size() < 2) throw Usage{kUsage};
    vux_rpc::Multi multi;
    std::list<std::ostringstream> bodies;
    for (std::size_t i = 1; i < args.size(); ++i) {
        vux_rpc::HttpQuery q;
        q.SetMulti(&multi);
        bodies.emplace_back();
        q.Get(args[i], bodies.back());
    }
    int failed = 0;
    while (!multi.empty()) {
        const vux_rpc::Multi::Result r = multi.Wait();
        const bool good = r.out->good();
        failed += good ? 0 : 1;
        std::cout << r.query.Status() << " " << static_cast<std::ostringstream*>(r.out)->str().size() << " "
                  << (good ? "ok" : "failed") << " " << r.url << "\n";
    }
    return failed == 0 && std::cout ? 0 : 1;
}

}  // namespace

int Http(const Args& args) {
    if (!args.empty() && args[0] == "fetch") return Fetch(args);
    return Single(args);
}

}  // namespace vuxtool
