#include <iostream>

#include <libvux/vuxstr.h>

#include "commands.h"

namespace vuxtool {

void StrOptions(vux_args::Args& a) {
    a.AddOption("key", 'k', "the XXTEA key").SetParam();
}

int Str(const Cmdline& c) {
    const std::string key = c.options["key"];
    const Args& rest = c.args;
    if (rest.size() != 2 || (rest[1] != "encode" && rest[1] != "decode")) throw Usage{};
    const std::string& enc = rest[0];
    bool encode = rest[1] == "encode";
    std::string in = ReadAll(std::cin);
    std::string out;
    if (enc == "base64") {
        out = encode ? str::base64::Encode(in) : str::base64::Decode(in);
    } else if (enc == "hex") {
        // Text from a terminal or echo ends with a line break that is not data.
        if (!encode) str::inpl::Trim(in);
        out = encode ? str::hex::Encode(in) : str::hex::Decode(in);
    } else if (enc == "url") {
        out = encode ? str::url::Encode(in) : str::url::Decode(in);
    } else if (enc == "puny") {
        str::inpl::Trim(in);
        out = (encode ? str::puny::Encode(in) : str::puny::Decode(in)) + "\n";
    } else if (enc == "xxtea") {
        if (key.empty()) throw Usage{"str xxtea encode|decode --key KEY  (binary cipher text)"};
        out = encode ? str::xxtea::Encode(key, in) : str::xxtea::Decode(key, in);
    } else {
        throw Usage{};
    }
    std::cout << out;
    std::cout.flush();
    return std::cout ? 0 : 1;
}

}  // namespace vuxtool
