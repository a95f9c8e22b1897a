// vux core query: one function query to a panel core, the reply document printed.
#include <iostream>
#include <memory>

#include <libvux/vuxargs.h>
#include <libvux/vuxclient.h>

#include "commands.h"

namespace vuxtool {

int Core(const Args& args) {
    vux_args::Args a("vux core query [OPTIONS] QUERY  (calls a panel core, prints the reply document)");
    a.AddOption("name", 'n', "the panel whose core is called").SetDefault("core")
        .AddOption("address", 'a', "the address the core is told the call comes from").SetDefault("127.0.0.1")
        .AddOption("wait-locked", 'w', "wait while the panel is locked, and repeat aborted requests")
        .AddOption("relocalize", 'l', "drop the messages of an error the core reports");
    std::vector<const char*> argv = Argv("core", args);
    a.Parse(static_cast<int>(argv.size()), argv.data());
    auto r = a.GetResult();
    if (r->ArgsCount() != 2 || r->Args(0) != "query") a.Usage(r->ArgsCount() > 2 ? "Too many arguments" : "");
    vux_client::Local client(a["name"], a["address"]);
    client.WaitLocked(r->Has("wait-locked")).Relocalize(r->Has("relocalize"));
    std::cout << client.Query(r->Args(1)).Str(true);
    return 0;
}

}  // namespace vuxtool
