// vux core query: one function query to a panel core, the reply document printed.
#include <iostream>
#include <memory>

#include <libvux/vuxargs.h>
#include <libvux/vuxclient.h>

#include "commands.h"

namespace vuxtool {

void CoreOptions(vux_args::Args& a) {
    a.AddOption("remote", 'r', "the URL of a core over HTTP(S); without it the local core is called").SetParam()
        .AddOption("name", 'n', "the panel whose core is called").SetDefault("core")
        .AddOption("address", 'a', "the address the core is told the call comes from").SetDefault("127.0.0.1")
        .AddOption("wait-locked", 'w', "wait while the panel is locked, and repeat aborted requests")
        .AddOption("relocalize", 'l', "drop the messages of an error the core reports");
}

int Core(const Cmdline& c) {
    if (c.args.size() != 2 || c.args[0] != "query") throw Usage{};
    std::unique_ptr<vux_client::Client> client;
    if (c.options.Has("remote"))
        client = std::make_unique<vux_client::Remote>(c.options["remote"]);
    else
        client = std::make_unique<vux_client::Local>(c.options["name"], c.options["address"]);
    client->WaitLocked(c.options.Has("wait-locked")).Relocalize(c.options.Has("relocalize"));
    std::cout << client->Query(c.args[1]).Str(true);
    return 0;
}

}  // namespace vuxtool
