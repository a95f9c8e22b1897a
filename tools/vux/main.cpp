// vux: the library's command-line utility for panel scripts.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <iterator>

#include <libvux/vuxargs.h>
#include <libvux/vuxerr.h>

#include "commands.h"

namespace vuxtool {

std::string ReadAll(std::istream& in) {
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool HasUnknownOption(const Cmdline& c) {
    for (std::size_t i = 0; i < c.before_dashdash && i < c.args.size(); ++i)
        if (c.args[i].size() > 1 && c.args[i][0] == '-') return true;
    return false;
}

namespace {

const Command kCommands[] = {
    {"str", "str base64|hex|url|puny|xxtea encode|decode [--key KEY]  (standard input to output)", &StrOptions, &Str},
    {"xml", "xml xpath FILE EXPR | xml format FILE | xml xslt STYLESHEET DOC | xml merge SCHEMA INTO FROM...", nullptr, &Xml},
    {"date", "date [FORMAT] [--time EPOCH|'YYYY-MM-DD hh:mm:ss'] | date period NAME [YYYY-MM-DD]", &DateOptions, &Date},
    {"money", "money AMOUNT... [--round half|up|down]  (prints the sum)", &MoneyOptions, &Money},
    {"file",
     "file tail [-n N] FILE | file stat [-L] PATH | file copy [--mode OCTAL] [--owner USER] SRC DST | "
     "file safe-copy SRC DST | file safe-remove DIR NAME",
     &FileOptions, &File},
    {"log", "log check PROGRAM MODULE LEVEL | log write PROGRAM MODULE LEVEL TEXT  [--init-level LEVEL]  (rules from etc/)",
     &LogOptions, &Log},
    {"access", "access check FILE LEVELS SUBJECT | access mask LEVELS", nullptr, &Access},
    {"exec", "exec [--user USER] [--timeout SECONDS] -- COMMAND [ARGS...]  (prints its output and exit status)", &ExecOptions, &Exec},
    {"os", "os  (name, family, version and architecture of this system)", nullptr, &Os},
    {"hash", "hash md5|sha1|sha256|sha512 FILE", nullptr, &Hash},
    {"mime", "mime EXTENSION  (from etc/dist/types.mime)", nullptr, &Mime},
    {"crypto", "crypto key|req|cert [--bits N] [--days N] [--subject F=V] [--ext NAME=VALUE] [--key-out FILE] | crypto p12 CERT [KEY] | crypto ssh-pub KEY | crypto verify CERT [KEY]", &CryptoOptions, &Crypto},
    {"net", "net ip ADDR | net range RANGE | net check VALIDATOR VALUE  (exit 1 when invalid) | net host | net geoip ADDR", nullptr, &Net},
    {"dns", "dns SERVER NAME TYPE [--source IP]  (the records, asked over TCP of that server alone)", &DnsOptions, &Dns},
    {"core", "core query [--remote URL | --name PANEL] [--wait-locked] [--relocalize] QUERY  (calls a panel core, prints its reply document)",
     &CoreOptions, &Core},
    {"ftp", "ftp ls URL [DIR] | get URL REMOTE [LOCAL] | put URL LOCAL REMOTE | mkdir URL PATH | rm URL PATH  [--user USER] [--password-file FILE] [--active] [--timeout S]  (rm is recursive; no user: anonymous)", &FtpOptions, &Ftp},
    {"mail", "mail parse FILE  (headers, text parts in UTF-8 and attached files of a message) | mail send --smtp HOST:PORT [--user U --password-file F] [--tls|--starttls] --from A --to B [--cc C] [--bcc D] [--subject S] [--attach FILE]... < BODY | mail fetch imap|pop3 --host H --port P --user U --password-file F [--tls|--starttls] [--delete]  (a line per message)", &MailOptions, &Mail},
    {"http", "http get|head|post URL [--header H] [--data D] [--timeout S] [--max-size N] [-o FILE] | http fetch URL...  (fetch: in parallel, a line per result)", &HttpOptions, &Http},
    {"ssh", "ssh [--key FILE | --password-file FILE] [--port N] [--known-hosts FILE --hostkey-action N] USER@HOST -- COMMAND  (streams standard input and output, exits with the remote status)", &SshOptions, &Ssh},
    {"cloud", "cloud put|get|rm|mkdir|rmdir NAME | cloud ls [PREFIX]  --token-file FILE [--service s3|amazon]  (put reads standard input, get writes standard output)", &CloudOptions, &Cloud},
    {"task", "task start QUEUE ID -- COMMAND [ARGS] | task info QUEUE NAME ID | task kill QUEUE NAME ID [TIMEOUT] | task list QUEUE  (in the installation directory)", nullptr, &Task},
    {"tour", "tour  (a walk through the library, run in a scratch installation directory)", nullptr, &Tour},
};

void Help(std::ostream& out) {
    out << "usage: vux COMMAND [ARGS]\n\ncommands:\n";
    for (const Command& c : kCommands) out << "  " << c.usage << "\n";
    out << "\n'vux COMMAND --help' lists the command's options.\n"
        << "Errors are printed to standard error as the error's XML document (exit 1).\n";
}

// Parses the command's line against its options and runs it; a usage error shows the
// command's generated help.
int Run(const Command& c, int argc, const char** argv) {
    vux_args::Args options(std::string("usage: vux ") + c.usage);
    if (c.declare) c.declare(options);
    try {
        options.Parse(argc, argv);
        const vux_args::Result& r = *options.GetResult();
        int separator = 1;
        while (separator < argc && std::strcmp(argv[separator], "--") != 0) ++separator;
        const bool dashdash = separator < argc;
        // Everything after "--" became a plain argument, at the end.
        const std::size_t after = dashdash ? static_cast<std::size_t>(argc - separator - 1) : 0;
        return c.run(Cmdline{r, r.Args(), dashdash, r.Args().size() - std::min(after, r.Args().size())});
    } catch (const Usage& u) {
        options.Usage(u.text.empty() ? "Wrong arguments" : "usage: vux " + u.text);
    }
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
    for (const Command& c : kCommands) {
        if (std::strcmp(argv[1], c.name) != 0) continue;
        try {
            return Run(c, argc - 1, const_cast<const char**>(argv + 1));
        } catch (const vux_args::Args::UsageError& e) {
            // The help on request is no error.
            const bool help = argc > 2 && !std::strcmp(argv[2], "--help");
            (help ? std::cout : std::cerr) << e.what() << "\n";
            return help ? 0 : 2;
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
