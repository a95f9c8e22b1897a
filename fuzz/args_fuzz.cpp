// Command lines: any argument vector (NUL-separated pieces of the input) against a fixed
// option tree either parses into a consistent result or ends in a usage error that carries
// the help; nothing else escapes.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include <libvux/vuxargs.h>

namespace {

bool Digits(std::string& v) {
    return !v.empty() && v.size() < 10 && v.find_first_not_of("0123456789") == std::string::npos;
}

void Declare(vux_args::Args& a) {
    a.AddOption("alpha", 'a', "flag")
        .AddOption("name", 'n', "value").SetParam()
        .AddOption("count", 'c', "checked").SetValidator(&Digits).SetDefault("3")
        .AddOption("x", 'x', "repeatable").SetParam().SetMultiple()
        .AddOption("json", 'j', "group member").SetGroup("format")
        .AddOption("xml", 'm', "group member").SetGroup("format")
        .AddOption("user", 'u', "parent")
            .AddSuboption("group", 'g', "sub-option").SetParam()
            .Last()
        .AddOption("blank", ' ', "no short name");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string in(reinterpret_cast<const char*>(data), size);
    std::vector<std::string> pieces{"prog"};
    std::size_t start = 0;
    for (std::size_t nul; (nul = in.find('\0', start)) != std::string::npos; start = nul + 1)
        pieces.push_back(in.substr(start, nul - start));
    pieces.push_back(in.substr(start));
    // Later on, "--help" may be an option's value; first, it can only ask for the help.
    const bool help = pieces.size() > 1 && pieces[1] == "--help";
    std::vector<const char*> argv;
    for (const std::string& p : pieces) argv.push_back(p.c_str());

    vux_args::Args a("prog");
    Declare(a);
    try {
        const int n = a.Parse(static_cast<int>(argv.size()), argv.data());
        auto r = a.GetResult();
        if (help) abort();
        if (n != r->ArgsCount()) abort();
        // Plain arguments come from the command line, or are an unknown letter of a cluster.
        for (const std::string& plain : r->Args())
            if (std::find(pieces.begin() + 1, pieces.end(), plain) == pieces.end() &&
                (plain.size() != 2 || plain[0] != '-'))
                abort();
        for (const char* one : {"name", "count", "group"})
            if (r->ParamCount(one) > 1) abort();
        if (!r->Has("count") ? (*r)["count"] != "3" : r->ParamCount("count") != 1) abort();
        std::string count = (*r)["count"];
        if (!Digits(count)) abort();
        if (r->Has("group") && !r->Has("user")) abort();
        if (r->Has("format") != (r->Has("json") || r->Has("xml"))) abort();
        if (r->Has("json") && r->Has("xml")) abort();
        if (r->Has("x") && r->ParamCount("x") < 1) abort();
    } catch (const vux_args::Args::UsageError& e) {
        if (std::string(e.what()).compare(0, 6, "prog\n\n") != 0) abort();
    }
    return 0;
}
