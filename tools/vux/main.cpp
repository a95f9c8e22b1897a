// vux: the library's command-line utility for panel scripts.
#include <cstdio>
#include <cstring>
#include <iostream>
#include <iterator>

#include <libvux/vuxerr.h>

#include "commands.h"

namespace vuxtool {

std::string ReadAll(std::istream& in) {
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

namespace {

const Command kCommands[] = {
    {"str", "str base64|hex|url|puny|xxtea encode|decode [--key KEY]  (standard input to output)", &Str},
    {"xml", "xml xpath FILE EXPR | xml format FILE", &Xml},
    {"date", "date [FORMAT] [--time EPOCH|'YYYY-MM-DD hh:mm:ss'] | date period NAME [YYYY-MM-DD]", &Date},
    {"money", "money AMOUNT... [--round half|up|down]  (prints the sum)", &Money},
    {"file",
     "file tail [-n N] FILE | file stat [-L] PATH | file copy [--mode OCTAL] [--owner USER] SRC DST | "
     "file safe-copy SRC DST | file safe-remove DIR NAME",
     &File},
    {"log", "log check PROGRAM MODULE LEVEL | log write PROGRAM MODULE LEVEL TEXT  [--init-level LEVEL]  (rules from etc/)",
     &Log},
    {"access", "access check FILE LEVELS SUBJECT | access mask LEVELS", &Access},
    {"exec", "exec [--user USER] [--timeout SECONDS] -- COMMAND [ARGS...]  (prints its output and exit status)", &Exec},
    {"os", "os  (name, family, version and architecture of this system)", &Os},
    {"hash", "hash md5|sha1|sha256|sha512 FILE", &Hash},
    {"mime", "mime EXTENSION  (from etc/dist/types.mime)", &Mime},
    {"crypto", "crypto key|req|cert [--bits N] [--days N] [--subject F=V] [--ext NAME=VALUE] [--key-out FILE] | crypto p12 CERT [KEY] | crypto ssh-pub KEY | crypto verify CERT [KEY]", &Crypto},
    {"net", "net ip ADDR | net range RANGE | net check VALIDATOR VALUE  (exit 1 when invalid) | net host | net geoip ADDR", &Net},
    {"dns", "dns SERVER NAME TYPE [--source IP]  (the records, asked over TCP of that server alone)", &Dns},
    {"ftp", "ftp ls URL [DIR] | get URL REMOTE [LOCAL] | put URL LOCAL REMOTE | mkdir URL PATH | rm URL PATH  [--user USER] [--password-file FILE] [--active] [--timeout S]  (rm is recursive; no user: anonymous)", &Ftp},
    {"task", "task start QUEUE ID -- COMMAND [ARGS] | task info QUEUE NAME ID | task kill QUEUE NAME ID [TIMEOUT] | task list QUEUE  (in the installation directory)", &Task},
    {"tour", "tour  (a walk through the library, run in a scratch installation directory)", &Tour},
};

void Help(std::ostream& out) {
    out << "usage: vux COMMAND [ARGS]\n\ncommands:\n";
    for (const Command& c : kCommands) out << "  " << c.usage << "\n";
    out << "\nErrors are printed to standard error as the error's XML document (exit 1).\n";
}

}  // namespace
}  // namespace vuxtool

int main(int argc, char** argv) {
    using namespace vuxtool;
    if (argc < 2 || !std::strcmp(argv[1], "--help") || !std::strcmp(argv[1], "-h") ||
        !std::strcmp(argv[1], "help")) {
        Help(argc < 2 ? std::cerr : std::cout);
        return argc < 2 ? 2 : 0;
    }
    Args args(argv + 2, argv + argc);
    for (const Command& c : kCommands) {
        if (std::strcmp(argv[1], c.name) != 0) continue;
        try {
            return c.run(args);
        } catch (const Usage& u) {
            std::cerr << "usage: vux " << (u.text.empty() ? c.usage : u.text) << "\n";
            return 2;
        } catch (const vux_err::Error& e) {
            std::cerr << e.xml().Str(true);
            return 1;
        } catch (const vux_err::AssertError& e) {
            std::cerr << "internal error in " << e.file() << ":" << e.line() << " " << e.func() << ": "
                      << e.desc() << "\n";
            return 3;
        } catch (const std::exception& e) {
            std::cerr << "error: " << e.what() << "\n";
            return 1;
        }
    }
    std::cerr << "vux: unknown command '" << argv[1] << "'\n";
    Help(std::cerr);
    return 2;
}
