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

bool Digits(const std::string& text, unsigned long long max) {
    char* end = nullptr;
    const unsigned long long n = std::strtoull(text.c_str(), &end, 10);
    return !text.empty() && !*end && text[0] != '-' && n <= max;
}

bool Timeout(std::string& text) { return Digits(text, 86400); }
bool Size(std::string& text) { return Digits(text, static_cast<std::size_t>(-1)); }

Request Parse(const Cmdline& c) {
    const Args& args = c.args;
    const vux_args::Result& o = c.options;
    Request r;
    if (args.size() != 2 || (args[0] != "get" && args[0] != "head" && args[0] != "post")) throw Usage{kUsage};
    r.method = args[0];
    r.url = args[1];
    for (int i = 0; i < o.ParamCount("header"); ++i) r.query.AddHeader(o.Param("header", i));
    r.data = o["data"];
    if (o.Has("timeout")) r.query.SetTimeout(std::strtoull(o["timeout"].c_str(), nullptr, 10));
    if (o.Has("max-size")) r.query.SetMaxSize(std::strtoull(o["max-size"].c_str(), nullptr, 10));
    r.output = o["output"];
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
int Single(const Cmdline& c) {
    Request r = Parse(c);
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
// The options are for a single request; fetch takes none rather than ignore them.
int Fetch(const Cmdline& c) {
    const Args& args = c.args;
    if (args.size() < 2) throw Usage{kUsage};
    for (const char* name : {"header", "data", "timeout", "max-size", "output"})
        if (c.options.Has(name)) throw Usage{kUsage};
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

void HttpOptions(vux_args::Args& a) {
    a.AddOption("header", 'H', "a request header, 'NAME: VALUE'; may be repeated").SetParam().SetMultiple()
        .AddOption("data", 'd', "the body of a post").SetParam()
        .AddOption("timeout", 't', "seconds the whole request may take").SetValidator(&Timeout)
        .AddOption("max-size", 'm', "bytes of body kept; the rest is cut off").SetValidator(&Size)
        .AddOption("output", 'o', "write the body to this file instead of standard output").SetParam();
}

int Http(const Cmdline& c) {
    if (HasUnknownOption(c)) throw Usage{kUsage};
    if (!c.args.empty() && c.args[0] == "fetch") return Fetch(c);
    return Single(c);
}

}  // namespace vuxtool
