// A short printed walk through each area of the library, with real inputs and outputs.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <list>
#include <memory>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>

#include <libvux/vuxbignum.h>
#include <libvux/vuxclient.h>
#include <libvux/vuxcrypto.h>
#include <libvux/vuxdate.h>
#include <libvux/vuxemail.h>
#include <libvux/vuxenv.h>
#include <libvux/vuxhash.h>
#include <libvux/vuxmime.h>
#include <libvux/vuxproc.h>
#include <libvux/vuxrpc.h>
#include <libvux/vuxregex.h>
#include <libvux/vuxuser.h>
#include <libvux/vuxaccess.h>
#include <libvux/vuxerr.h>
#include <libvux/vuxfile.h>
#include <libvux/vuxjob.h>
#include <libvux/vuxlog.h>
#include <libvux/vuxstream.h>
#include <libvux/vuxmoney.h>
#include <libvux/vuxnet.h>
#include <libvux/vuxtest.h>
#include <libvux/vuxsession.h>
#include <libvux/vuxssh.h>
#include <libvux/vuxtask.h>
#include <libvux/vuxstr.h>
#include <libvux/vuxthread.h>
#include <libvux/vuxxml.h>

#include "commands.h"

namespace vuxtool {

namespace {

void Title(const char* t) {
    std::cout << "\n== " << t << " ==\n";
}

void Show(const std::string& call, const std::string& result) {
    std::cout << "  " << call << "\n      -> " << result << "\n";
}

std::string Quote(const std::string& s) {
    return "\"" + s + "\"";
}

// The programs of the panel run inside their installation directory; the tour
// lays out the few files it reads there.
void LayOut() {
    namespace fs = std::filesystem;
    fs::create_directories("etc");
    fs::create_directories("var");
    fs::create_directories("skins/common");
    const char* ucd = "/usr/share/unicode/CaseFolding.txt";
    if (fs::exists(ucd) && !fs::exists("skins/common/CaseFolding.txt"))
        fs::copy_file(ucd, "skins/common/CaseFolding.txt");
}

void Strings() {
    Title("strings (str)");
    std::string s = "alpha, beta,,gamma";
    StringVector parts;
    str::Split(s, ",", parts);
    Show("Split(" + Quote(s) + ", \",\")", str::Join(parts, " | ") + "  (" + std::to_string(parts.size()) +
                                             " pieces)");
    std::string line = "key value rest";
    std::string word = str::GetWord(line);
    Show("GetWord(\"key value rest\")", Quote(word) + ", leaves " + Quote(line));
    Show("CompareVersion(\"1.10\", \"1.9\")", std::to_string(str::CompareVersion("1.10", "1.9")));
    Show("Replace(\"a+b=c\", {a:b, b:a})", str::Replace("a+b=c", StringMap{{"a", "b"}, {"b", "a"}}));
    Show("base64::Encode(\"libvux\")", str::base64::Encode("libvux"));
    Show("hex::Encode(\"\\x01\\xff\")", str::hex::Encode("\x01\xff"));
    Show("url::Encode(\"a b-c\")", str::url::Encode("a b-c"));
    Show("url::Decode(\"a+b%41%u00e9\")", str::url::Decode("a+b%41%u00e9"));
    Show("puny::Encode(\"пример.рф\")", str::puny::Encode("пример.рф"));
    Show("puny::Decode(\"xn--e1afmkfd.xn--p1ai\")", str::puny::Decode("xn--e1afmkfd.xn--p1ai"));
    Show("utf8::len(\"Grüße\")", std::to_string(str::utf8::len("Grüße")));
    Show("utf8::toCasefold(\"ÀÉÎ Straße ΣΑΣ\")", str::utf8::toCasefold("ÀÉÎ Straße ΣΑΣ"));
    str::Conv latin("UTF-8", "ISO-8859-1");
    Show("Conv(UTF-8 -> ISO-8859-1)(\"café\") as hex", str::hex::Encode(latin.Convert("café")));
    std::string key = "0123456789abcdef";
    std::string cipher = str::xxtea::Encode(key, "secret");
    Show("xxtea::Encode(key, \"secret\") as base64", str::base64::Encode(cipher));
    Show("xxtea::Decode(key, ...)", str::xxtea::Decode(key, cipher));
    std::string hash = str::Crypt("password", str::CryptSHA256);
    Show("Crypt(\"password\", SHA-256)", hash);
    Show("Crypt(\"password\", stored) == stored", str::Crypt("password", hash) == hash ? "yes" : "no");
    Show("Random(8) as hex", str::hex::Encode(str::Random(8)));
}

void Errors() {
    Title("errors (vux_err)");
    try {
        throw vux_err::Missed("file", "/etc/nothing");
    } catch (const vux_err::Error& e) {
        Show("throw Missed(\"file\", \"/etc/nothing\"); what()", e.what());
        std::cout << "      document:\n" << e.xml().Str(true);
    }
    try {
        vux_err::Value e("name", "x y", "format", "letters only");
        e.set_help("");
        throw e;
    } catch (const vux_err::Error& e) {
        std::cout << "  Value(\"name\", \"x y\", \"format\", \"letters only\").set_help(\"\"):\n" << e.xml().Str(true);
    }
    try {
        str::hex::Decode("abc");
    } catch (const str::Fail& e) {
        Show("hex::Decode(\"abc\")", e.what());
    }
    vux_xml::Xml wire;
    wire.LoadFromString("<doc><error type=\"access\" object=\"domain\"><param name=\"value\">example.com</param>"
                        "<msg>Access to the domain is denied</msg></error></doc>");
    vux_err::Error rebuilt(wire.GetNode("/doc/error"));
    Show("Error(node) rebuilt from a peer's document: type/object/value",
         rebuilt.type() + " / " + rebuilt.object() + " / " + rebuilt.value());
    Show("its what()", rebuilt.what());
}

void Documents() {
    Title("XML documents (vux_xml)");
    vux_xml::Xml doc;
    vux_xml::XmlNode root = doc.GetRoot();
    vux_xml::XmlNode list = root.AppendChild("list");
    for (int i = 1; i <= 3; ++i)
        list.AppendChild("item", "value <" + std::to_string(i) + ">").SetProp("id", std::to_string(i));
    list.AppendChild("blank", "  ");
    std::cout << "  built document:\n" << doc.Str(true);
    vux_xml::XPath items(doc, "/doc/list/item[@id > 1]");
    std::string found;
    for (const vux_xml::XmlNode& n : items) str::inpl::Append(found, n.GetProp("id") + "=" + n.Str(), ", ");
    Show("XPath(\"/doc/list/item[@id > 1]\")", std::to_string(items.size()) + " nodes: " + found);
    Show("EscapePropValue(\"it's \\\"quoted\\\"\")", vux_xml::EscapePropValue("it's \"quoted\""));
    std::istringstream in(std::string("<doc><a>ok\x01</a><b>caf\xc3\xa9\xff</b></doc>"));
    vux_xml::Xml streamed(in);
    Show("Load(stream with a control byte and a 0xFF byte)", streamed.Str());
    size_t removed = doc.RemoveNodes("//item[@id='2']");
    Show("RemoveNodes(\"//item[@id='2']\")", std::to_string(removed) + " removed, left: " + doc.Str());
    try {
        vux_xml::Xml broken;
        broken.LoadFromString("<doc><unclosed></doc>");
    } catch (const vux_err::Error& e) {
        Show("LoadFromString(\"<doc><unclosed></doc>\")", e.what());
    }
}

void Files() {
    Title("files and streams (vux_file, vux_stream)");
    vux_file::TmpDir dir("var/tour");
    std::string log = vux_file::ConcatPath(dir.name(), "service.log");
    Show("GoodPath(\"//srv///www/\"), SplitPath(\"a/b/c\")",
         vux_file::GoodPath("//srv///www/") + ", (" + vux_file::SplitPath("a/b/c").first + ", " +
             vux_file::SplitPath("a/b/c").second + ")");
    for (int i = 1; i <= 5; ++i) vux_file::Append(log, "line " + std::to_string(i) + "\n");
    Show("Append(log, \"line N\\n\") five times, then Read(log).size()", std::to_string(vux_file::Read(log).size()));
    vux_stream::InStream in(log);
    vux_stream::BackReader back(in);
    std::string line, lines;
    while (back.GetLine(line, '\n', 1024, true)) lines += (lines.empty() ? "" : " | ") + line;
    Show("BackReader(log).GetLine(..., skip_empty) until false", lines);
    vux_file::Attrs attrs(0600);
    vux_file::Copy(dir.name(), dir.name() + ".copy", &attrs);
    vux_file::Info info(vux_file::ConcatPath(dir.name() + ".copy", "service.log"), true);
    char mode[8];
    std::snprintf(mode, sizeof(mode), "%04o", static_cast<unsigned>(info.Mode() & 07777));
    Show("Copy(dir, dir.copy, Attrs(0600)); Info(copy/service.log)",
         std::string(info.IsFile() ? "file" : "?") + ", " + std::to_string(info.Size()) + " bytes, mode " + mode);
    vux_file::Remove(dir.name() + ".copy");
    vux_file::Lock lock;
    std::string lockfile = vux_file::ConcatPath(dir.name(), "tour.lock");
    Show("Lock.TryLock(tour.lock, exclusive)", lock.TryLock(lockfile, true) ? "locked" : "busy");
    vux_file::Lock second;
    Show("a second Lock.TryLock on the same file", second.TryLock(lockfile, true) ? "locked" : "busy (held above)");
    try {
        vux_file::Read(vux_file::ConcatPath(dir.name(), "missing"));
    } catch (const vux_err::Error& e) {
        Show("Read(\"missing\")", e.what());
    }
    try {
        vux_file::Write("/dev/full", "x");
    } catch (const vux_err::Error& e) {
        Show("Write(\"/dev/full\", \"x\")", e.what());
    }
    Show("RealPath(\"var/no/such/file\")", vux_file::RealPath("var/no/such/file"));
}

// The tree below `dir`, an entry a line: "name (file: content)", "name -> target", "name/".
std::string Tree(const std::string& dir, const std::string& indent = "    ") {
    std::vector<std::string> names;
    vux_file::Dir list(dir);
    while (list.Read()) names.push_back(list.name());
    std::sort(names.begin(), names.end());
    std::string out;
    for (const std::string& name : names) {
        const std::string path = vux_file::ConcatPath(dir, name);
        const vux_file::Info info(path, true);
        if (info.IsLink())
            out += indent + name + " -> " + vux_file::ReadLink(path) + "\n";
        else if (info.IsDir())
            out += indent + name + "/\n" + Tree(path, indent + "  ");
        else
            out += indent + name + " (file: " + Quote(vux_file::Read(path)) + ")\n";
    }
    return out;
}

void Jobs() {
    Title("undoable file changes (vux_job)");
    vux_file::TmpDir dir("var/tour-jobs");
    const std::string site = vux_file::ConcatPath(dir.name(), "site");
    vux_file::MkDir(vux_file::ConcatPath(site, "htdocs"));
    vux_file::Write(vux_file::ConcatPath(site, "site.conf"), "listen 80");
    vux_file::MkLink("htdocs", vux_file::ConcatPath(site, "current"));
    std::cout << "  the tree before:\n" << Tree(site);
    const auto change = [&] {
        new vux_job::CreateFile(vux_file::ConcatPath(site, "site.conf"), "listen 443");
        new vux_job::CreateDir(vux_file::ConcatPath(site, "releases/2"));
        new vux_job::SymLink("releases/2", vux_file::ConcatPath(site, "current"));
    };
    change();
    std::cout << "  after CreateFile(site.conf), CreateDir(releases/2), SymLink(current -> releases/2),\n"
                 "  the old entries kept aside under hidden names:\n"
              << Tree(site);
    vux_job::Rollback();
    std::cout << "  after vux_job::Rollback(), newest first:\n" << Tree(site);
    change();
    vux_job::Commit();
    std::cout << "  the same jobs again, then vux_job::Commit():\n" << Tree(site);
}

void Sessions() {
    Title("request sessions and access levels (vux_session, vux_access)");
    vux_session::BaseSession session;
    session.SetParam("sok", "ok");
    Show("SetParam(\"sok\", \"ok\"); IsSubmitted()", session.IsSubmitted() ? "true" : "false");
    for (const char* name : {"example.com", "example.org"}) {
        session.NewElem();
        session.AddChildNode("name", name);
        session.NewIndicator("disk", 120, 1024);
    }
    session.GetXml().GetRoot().AppendChild("metadata").AppendChild("form");
    session.GetXml().GetRoot().AppendChild("messages");
    session.NewField("domain", "text", "Domain name", "").SetRequired().SetMaxLength(253);
    session.NewField("mode", "select", "Mode", "").NewIf("simple", "expert_options");
    session.NewBanner("saved", vux_session::BaseSession::Banner::Info).SetMessage("msg_saved");
    session.Ok(1, "");
    std::cout << "  the reply document:\n" << session.GetXml().Str(true);
    char mask[16];
    std::snprintf(mask, sizeof(mask), "0x%08X", vux_access::GetAccessByName("reseller+"));
    Show("GetAccessByName(\"reseller+\")", mask);
}

void DatesAndMoney() {
    Title("dates and money (vux_date, vux_money)");
    Show("AccurateDateTime(\"2024-02-30 10:00\")", vux_date::AccurateDateTime("2024-02-30 10:00").AsDateTime());
    vux_date::Date d("2024-01-31");
    std::string first = d.AddMonth(1).AsDate();
    Show("Date(\"2024-01-31\").AddMonth(1), again", first + ", then " + d.AddMonth(1).AsDate());
    Show("Date(\"2024-03-01\") - Date(\"2024-02-01\")",
         std::to_string(vux_date::Date("2024-03-01") - vux_date::Date("2024-02-01")) + " days");
    auto p = vux_date::GetPeriod("lastmonth", vux_date::Date("2024-03-15"));
    Show("GetPeriod(\"lastmonth\", 2024-03-15)", p.first.AsDate() + " .. " + p.second.AsDate());
    p = vux_date::GetPeriod("currentweek", vux_date::Date("2024-03-10"));
    Show("GetPeriod(\"currentweek\", Sunday 2024-03-10)", p.first.AsDate() + " .. " + p.second.AsDate());
    Show("Format(now, \"%A %d %B %Y, %H:%M %Z\")", vux_date::Format(time(nullptr), "%A %d %B %Y, %H:%M %Z"));
    try {
        vux_date::Date bad(std::string("2024-00-10"));
    } catch (const vux_err::Error& e) {
        Show("Date(\"2024-00-10\")", e.what());
    }
    using vux_money::Money;
    Show("Money(\"0.1\") + Money(\"0.2\") == Money(\"0.3\")",
         Money("0.1") + Money("0.2") == Money("0.3") ? "yes" : "no");
    Show("Money(1) / Money(3)", (Money(1) / Money(3)).AsString());
    Show("Money(\"10.005\").Round(), Money(\"-10.005\").Round()",
         Money("10.005").Round().AsString() + ", " + Money("-10.005").Round().AsString());
    Show("Money(\"10.001\").HigherRound(), LowerRound()",
         Money("10.001").HigherRound().AsString() + ", " + Money("10.001").LowerRound().AsString());
    Show("Money(\"19.99\") * 3 * 0.8", (Money("19.99") * 3 * 0.8).AsString());
}

void Logging() {
    Title("logging (vux_log)");
    vux_file::MkDir("etc/debug.conf.d");
    vux_file::Write("etc/debug.conf", "* 3          # every module: errors and worse\nSET color=off\n");
    vux_file::Write("etc/debug.conf.d/tour.conf", "tour.tour_net 9   # this program's network module: everything\n"
                                                   "tour_db 5 user~admin\n");
    std::cout << "  etc/debug.conf:\n" << vux_file::Read("etc/debug.conf")
              << "  etc/debug.conf.d/tour.conf:\n" << vux_file::Read("etc/debug.conf.d/tour.conf");
    vux_log::Init("tour", vux_log::LevelError);
    vux_log::Module net("tour_net"), db("tour_db");
    Show("Module(\"tour_net\").Check(DEBUG)", net.Check(vux_log::LevelDebug) ? "true" : "false");
    Show("Module(\"tour_db\").Check(INFO)", db.Check(vux_log::LevelInfo) ? "true" : "false");
    Show("  decided by", db.Explain(vux_log::LevelInfo));
    vux_thread::InitState("tour-request", "serving");
    vux_thread::SetInfo("user", "sysadmin");
    Show("with thread information user=sysadmin, Check(INFO)", db.Check(vux_log::LevelInfo) ? "true" : "false");
    vux_log::StartThreadLog();
    VUX_LOG(net, vux_log::LevelDebug, "connected to %s:%d", "127.0.0.1", 8080);
    VUX_LOG(db, vux_log::LevelInfo, "query took %d ms", 12);
    VUX_LOG(db, vux_log::LevelDebug, "not written: DEBUG is above the rule's INFO");
    try {
        throw vux_err::Missed("tour_table", "users");
    } catch (const vux_err::Error&) {
    }
    Show("Id()", vux_log::Id());
    std::cout << "  GetThreadLog():\n" << vux_log::GetThreadLog();
    vux_log::Close();
    std::cout << "  var/tour.log after Close():\n" << vux_file::Read("var/tour.log");
    const std::string backup = vux_log::Rotate("var/tour.log");
    Show("Rotate(\"var/tour.log\")", backup + " (gzip compresses it a minute later)");
}

void Processes() {
    Title("processes (vux_proc)");
    using vux_proc::Execute;
    Execute both("echo to stdout; echo to stderr >&2; echo again", Execute::PipeOut | Execute::PipeErr);
    Show("Execute(\"echo to stdout; echo to stderr >&2; echo again\", PipeOut | PipeErr).Str()",
         Quote(both.Str()) + ", Result() " + std::to_string(both.Result()));
    Show("Execute(\"exit 3\", 0).Result()", std::to_string(Execute("exit 3", 0).Result()));
    const std::time_t start = std::time(nullptr);
    Execute slow("trap '' TERM; sleep 30", 0);
    slow.SetTimeout(1);
    const int killed = slow.Result();
    Show("Execute(\"trap '' TERM; sleep 30\").SetTimeout(1).Result()",
         std::to_string(killed) + " (SIGKILL to its group after about " + std::to_string(std::time(nullptr) - start) +
             " s)");
    Show("Execute({\"env\"}, PipeOut).SetEnv({{\"ONLY\", \"this\"}, {\"PATH\", \"/bin\"}}).Str()",
         Quote(Execute(std::vector<std::string>{"env"}, Execute::PipeOut)
                   .SetEnv(StringMap{{"ONLY", "this"}, {"PATH", "/bin"}})
                   .Str()));
    Execute missing(std::vector<std::string>{"/nonexistent/tool"}, Execute::PipeErr);
    const int status = missing.Result();
    Show("Execute({\"/nonexistent/tool\"}, PipeErr): Result(), Str()", std::to_string(status) + ", " + Quote(missing.Str()));
    Show("Execute(\"id -un; ls /proc/self/fd\", PipeOut).SetUser(\"nobody\").Str()  (3 is the listing's own)",
         Quote(Execute("id -un; ls /proc/self/fd | tr '\\n' ' '", Execute::PipeOut).SetUser("nobody").Str()));
    try {
        Execute("true", 0).SetUser("no-such-user").Run();
    } catch (const vux_err::Error& e) {
        Show("Execute(\"true\").SetUser(\"no-such-user\").Run()", e.what());
    }
    Show("Escape(\"it's $HOME; a\\tb\")", vux_proc::Escape("it's $HOME; a\tb"));
    Show("GetBootTime()", vux_proc::GetBootTime().AsDateTime());
    vux_proc::SingleInstance one("tour");
    Show("SingleInstance(\"tour\"): " + vux_proc::SingleInstance::PidFile("tour"), vux_file::Read("var/tour.pid"));
    try {
        vux_proc::SingleInstance two("tour");
    } catch (const vux_err::Error& e) {
        Show("a second SingleInstance(\"tour\")", e.what());
    }
}

void SystemServices() {
    Title("system, users, digests, patterns, MIME (vux_env, vux_user, vux_hash, vux_regex, vux_mime)");
    Show("GetOs(), GetOsArch()", vux_env::GetOs() + ", " + vux_env::GetOsArch());
    Show("IsOpenVZChild(), GetRepoFile()",
         std::string(vux_env::IsOpenVZChild() ? "true" : "false") + ", " + vux_env::GetRepoFile());
    Show("Uid(\"root\"), GetHome(\"root\"), NameByUid(65534)",
         std::to_string(vux_user::Uid("root")) + ", " + vux_user::GetHome("root") + ", " + vux_user::NameByUid(65534));
    try {
        vux_user::Uid("no-such-user");
    } catch (const vux_err::Error& e) {
        Show("Uid(\"no-such-user\")", e.what());
    }
    Show("hex(Hash(SHA-256).Update(\"abc\").Str())",
         str::hex::Encode(vux_hash::Hash(vux_hash::HashSHA256).Update("abc").Str()));
    std::istringstream text("The quick brown fox");
    Show("hex(md5stream(\"The quick brown fox\"))", str::hex::Encode(vux_hash::md5stream(text)));
    std::vector<vux_regex::RegExGroup> groups;
    vux_regex::RegEx re("([a-z]+)@([a-z.]+)(:[0-9]+)?");
    vux_regex::RegExMatch("mail admin@example.com today", re, groups);
    std::string found;
    for (const auto& g : groups) str::inpl::Append(found, Quote(g.text) + " at " + std::to_string(g.start), ", ");
    Show("RegExMatch(\"mail admin@example.com today\", \"([a-z]+)@([a-z.]+)(:[0-9]+)?\", groups)", found);
    vux_file::MkDir("etc/dist");
    vux_file::Write("etc/dist/types.mime", "text/html\thtml htm\nimage/png\tpng\ntext/x-server-parsed-html\thtm\n");
    Show("GetMimeType(\"htm\"), GetMimeType(\"png\"), GetMimeType(\"exe\")",
         vux_mime::GetMimeType("htm") + ", " + vux_mime::GetMimeType("png") + ", " + Quote(vux_mime::GetMimeType("exe")));
}

void Cryptography() {
    Title("keys, certificates, signatures, big integers (vux_crypto, vux_bignum)");
    vux_crypto::SelfSignCert cert(2048);
    cert.AddToSubject("CN", "panel.example").AddToSubject("C", "DE").AddToExtensions("subjectAltName", "DNS:panel.example");
    cert.SetNotAfter(30).Sign();
    Show("SelfSignCert(2048) + CN, C, subjectAltName; Sign(); Subject()", cert.Subject());
    Show("GetNotBefore(), GetNotAfter()", cert.GetNotBefore().AsDateTime() + ", " + cert.GetNotAfter().AsDateTime());
    Show("GetExtensions()[\"subjectAltName\"]", cert.GetExtensions()["subjectAltName"]);
    const std::string pem = vux_crypto::x509::Encode(cert);
    Show("x509::Encode(cert)", pem.substr(0, pem.find('\n')) + " ... (" + std::to_string(pem.size()) + " bytes)");
    Show("pkcs12::Encode(cert, key()).size()", std::to_string(vux_crypto::pkcs12::Encode(cert, cert.key()).size()));
    const std::string ssh = vux_crypto::ssh_public::Encode(cert.key());
    Show("ssh_public::Encode(key())", ssh.substr(0, 40) + "...");
    const std::string digest = vux_hash::Hash(vux_hash::HashSHA256).Update("pay 10 EUR").Str();
    const std::string signature = vux_crypto::sign::Calculate(cert.key(), digest);
    Show("sign::Verify(key, digest, Calculate(key, digest)); with another digest",
         std::string(vux_crypto::sign::Verify(cert.key(), digest, signature) ? "true" : "false") + "; " +
             (vux_crypto::sign::Verify(cert.key(), digest.substr(1) + "x", signature) ? "true" : "false"));
    try {
        vux_crypto::crypt::Crypt(cert.key(), std::string(300, 'x'));
    } catch (const vux_err::Error& e) {
        Show("crypt::Crypt(key, 300 bytes)", e.what());
    }
    vux_bignum::Int big = vux_bignum::pow(vux_bignum::Int("2"), vux_bignum::Int("127")) - vux_bignum::Int("1");
    Show("pow(2, 127) - 1", big.Str());
    Show("Int(\"-7\") / Int(\"2\"), Int(\"-7\") % Int(\"2\")",
         (vux_bignum::Int("-7") / vux_bignum::Int("2")).Str() + ", " + (vux_bignum::Int("-7") % vux_bignum::Int("2")).Str());
}

void Network() {
    Title("addresses, ranges, bind strings, validators (vux_net, test)");
    const vux_net::Ip ip(" 2001:DB8:0:0::1 ");
    Show("Ip(\" 2001:DB8:0:0::1 \").Str(), PtrName()", ip.Str() + ", " + ip.PtrName());
    vux_net::Ip last("255.255.255.255");
    Show("++Ip(\"255.255.255.255\"), Ip(\"10.0.0.1\") < Ip(\"::1\")",
         (++last).Str() + ", " + (vux_net::Ip("10.0.0.1") < vux_net::Ip("::1") ? "true" : "false"));
    const vux_net::IpRange range("2001:db8::/64");
    Show("IpRange(\"2001:db8::/64\"): first, last, Size()",
         range.first().Str() + ", " + range.last().Str() + ", " + range.Size().Str());
    const auto bind = vux_net::SplitBindClear("[::1]:8080");
    Show("SplitBindClear(\"[::1]:8080\"), QuoteIp(\"::1\")", bind.first + " " + bind.second + ", " + vux_net::QuoteIp("::1"));
    try {
        vux_net::Ip("192.168.1");
    } catch (const vux_err::Error& e) {
        Show("Ip(\"192.168.1\")", e.what());
    }
    std::string mail = "John.Doe@Bücher.Example", mask = "255.255.0.255";
    const bool mail_ok = test::Email(mail), mask_ok = test::NetMask4(mask);
    Show("test::Email(\"John.Doe@Bücher.Example\"), test::NetMask4(\"255.255.0.255\")",
         std::string(mail_ok ? "true " : "false ") + mail + ", " + (mask_ok ? "true" : "false"));
    std::list<std::string> ips;
    vux_net::GetIpList(ips);
    Show("GetHostName(), GetIpList()", vux_net::GetHostName() + ", " + str::Join(ips, " "));
}

// A panel core answers function queries with documents; the stand-in built beside this
// tool serves as the panel's bin/core, which the client starts itself.
void Client() {
    Title("Calling the panel core (vux_client)");
    namespace fs = std::filesystem;
    const fs::path core = fs::read_symlink("/proc/self/exe").parent_path() / "vux-core";
    if (!fs::exists(core)) {
        Show("bin/core", "no stand-in core beside the tool (" + core.string() + "), skipped");
        return;
    }
    fs::create_directories("bin");
    fs::create_directories("tmp");
    fs::remove("bin/core");
    fs::create_symlink(core, "bin/core");
    vux_client::Local client("core", "127.0.0.1");
    vux_client::Result who = client.Query("func=whoami");
    Show("Local(\"core\").Query(\"func=whoami\")  (nothing listened: the client started bin/core)",
         "name " + who.value("name") + ", pid " + who.value("pid"));
    vux_client::Result echo = client.Query("func=echo&text=?", "a b&c");
    Show("Query(\"func=echo&text=?\", \"a b&c\")  (the query as the core received it)", echo.value("query"));
    try {
        client.Query("func=fail&type=value&object=domain&value=?", "ex ample.com");
    } catch (const vux_err::Error& e) {
        Show("Query(\"func=fail&...\")  (the core's error, thrown again here)",
             e.type() + "/" + e.object() + "/" + e.value() + "\n" + e.xml().Str(true));
    }
    Show("Query(\"func=exit\")  (the core leaves)", "pid " + client.Query("func=exit").value("pid"));
}

void TransformsAndMerges() {
    Title("XSLT and merging by schema (vux_xml::Xslt, vux_xml::XmlMerge)");
    vux_session::BaseSession session;
    const char* const rows[][3] = {{"example.com", "1001.50", "2024-03-05"}, {"o'neil.org", "21000000", "2025-12-31"}};
    for (const auto& row : rows) {
        session.NewElem();
        session.AddChildNode("name", row[0]);
        session.AddChildNode("paid", row[1]);
        session.AddChildNode("till", row[2]);
    }
    std::istringstream sheet(std::string(
        "<xsl:stylesheet version=\"1.0\" xmlns:xsl=\"http://www.w3.org/1999/XSL/Transform\" xmlns:v=\"") +
        vux_xml::XsltNamespace + "\" extension-element-prefixes=\"v\"><xsl:output method=\"html\" indent=\"yes\"/>"
        "<xsl:template match=\"/doc\"><table><xsl:for-each select=\"elem\"><tr>"
        "<td><a href=\"?name={v:escapeurl(name)}\" onclick=\"alert('{v:fixquote(name)}')\">"
        "<xsl:value-of select=\"v:replace(name, '.', ' . ')\"/></a></td>"
        "<td><xsl:value-of select=\"v:strsum(paid)\"/></td>"
        "<td><xsl:value-of select=\"v:dateformat(till, '%d.%m.%Y')\"/></td>"
        "</tr></xsl:for-each></table></xsl:template></xsl:stylesheet>");
    std::cout << "  the reply document through a stylesheet with the extension functions:\n";
    vux_xml::Xslt(sheet).Transform(session.GetXml(), std::cout);

    std::ofstream("merge-schema.xml") << "<schema><doc merge=\"xml\"><item merge=\"xml\" key=\"name\"/>"
                                         "<title merge=\"replace\"/></doc></schema>";
    const vux_xml::XmlMerge merge("merge-schema.xml");
    vux_xml::XmlString core("<doc><title>Core</title><item name=\"a\" x=\"1\"/><item name=\"b\"/></doc>");
    merge.Merge(vux_xml::XmlString("<doc><title>Module</title><item name=\"a\" y=\"2\"/>"
                                   "<item name=\"c\" first=\"yes\"/></doc>").GetRoot(), core.GetRoot());
    merge.CheckAndMove(core.GetRoot(), nullptr);
    Show("Merge of a module description into the core's, then CheckAndMove", core.Str());
}

// A free TCP port of 127.0.0.1, for the tour's own servers.
int FreePort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof a;
    ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &length);
    ::close(fd);
    return ntohs(a.sin_port);
}

// Python's http.server over a scratch directory on a free loopback port, for as long as it lives.
class LoopbackServer {
public:
    explicit LoopbackServer(const std::string& root) {
        sockaddr_in a = {};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(static_cast<uint16_t>(FreePort()));
        port_ = std::to_string(ntohs(a.sin_port));
        pid_ = ::fork();
        if (pid_ == 0) {
            ::prctl(PR_SET_PDEATHSIG, SIGTERM);
            const int null = ::open("/dev/null", O_WRONLY);
            ::dup2(null, 2);
            ::execl("/usr/bin/python3", "python3", "-m", "http.server", "--bind", "127.0.0.1", "--directory", root.c_str(),
                    port_.c_str(), static_cast<char*>(nullptr));
            ::_exit(127);
        }
        for (int i = 0; i < 100 && !Accepts(a); ++i) vux_proc::Sleep(50);
    }
    ~LoopbackServer() {
        if (pid_ <= 0) return;
        ::kill(pid_, SIGTERM);
        ::waitpid(pid_, nullptr, 0);
    }
    std::string Url(const std::string& path) const { return "http://127.0.0.1:" + port_ + path; }

private:
    static bool Accepts(const sockaddr_in& a) {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const bool ok = ::connect(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0;
        ::close(fd);
        return ok;
    }
    std::string port_;
    pid_t pid_ = -1;
};

void HttpClient() {
    Title("HTTP client against a server the tour starts on loopback (vux_rpc)");
    std::filesystem::create_directories("tmp/www");
    std::ofstream("tmp/www/hello.txt") << "hello from loopback\n";
    const LoopbackServer server("tmp/www");
    Show("FetchString(\"/hello.txt\")", Quote(str::Trim(vux_rpc::FetchString(server.Url("/hello.txt")))));
    Show("FetchFileSize(\"/hello.txt\")", std::to_string(vux_rpc::FetchFileSize(server.Url("/hello.txt"))));
    std::ostringstream cut;
    vux_rpc::HttpQuery().SetMaxSize(5).Get(server.Url("/hello.txt"), cut);
    Show("SetMaxSize(5).Get(\"/hello.txt\")", Quote(cut.str()) + (cut.good() ? ", good" : ", stream marked bad"));
    vux_rpc::HttpQuery query;
    std::ostringstream missing;
    try {
        query.Get(server.Url("/missing"), missing);
    } catch (const vux_err::Error& e) {
        Show("Get(\"/missing\")", e.type() + "/" + e.object() + ", Status() " + std::to_string(query.Status()));
    }
    vux_rpc::Multi multi;
    std::list<std::ostringstream> outs;
    for (const char* path : {"/hello.txt", "/missing", "/"}) {
        vux_rpc::HttpQuery q;
        q.SetMulti(&multi);
        outs.emplace_back();
        q.Get(server.Url(path), outs.back());
    }
    std::vector<std::string> lines;
    while (!multi.empty()) {
        const vux_rpc::Multi::Result r = multi.Wait();
        lines.push_back(r.url.substr(r.url.rfind('/')) + " " + std::to_string(r.query.Status()) + (r.out->good() ? " good" : " bad"));
    }
    std::sort(lines.begin(), lines.end());
    Show("Multi: three Gets, each Wait() result", str::Join(lines, ", "));
}

void Mail() {
    Title("mail: composing, sending over SMTP and taking apart (vux_email)");
    vux_email::Message m;
    m.SetFrom("Panel Robot <robot@example.test>")
        .SetTo("admin@example.test")
        .SetBcc("auditor@example.test")
        .SetSubject("Резервная копия готова")
        .AddTextMsg("The nightly backup finished.\n");
    Show("MakeValidSubject(\"Резервная копия готова\")", vux_email::MakeValidSubject("Резервная копия готова"));
    if (std::system("/usr/bin/python3 -c 'import aiosmtpd' 2>/dev/null") != 0) {
        std::cout << "  (skipped: sending needs an SMTP server on loopback, Python's aiosmtpd (python3-aiosmtpd))\n";
        return;
    }
    namespace fs = std::filesystem;
    const std::string box = fs::absolute("tmp/mailbox").string();
    fs::remove_all(box);
    const int port = FreePort();
    const std::string listen = "127.0.0.1:" + std::to_string(port);
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        const int null = ::open("/dev/null", O_WRONLY);
        ::dup2(null, 1);
        ::dup2(null, 2);
        // The Maildir handler keeps each message as a file, for the tour to read back.
        ::execl("/usr/bin/python3", "python3", "-m", "aiosmtpd", "-n", "-l", listen.c_str(), "-c",
                "aiosmtpd.handlers.Mailbox", box.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    vux_email::SmtpServer server("127.0.0.1", "", "", port);
    server.SetTimeout(5);
    int reached = server.Check();
    for (int i = 0; i < 100 && reached != 0; ++i) {
        vux_proc::Sleep(50);
        reached = server.Check();
    }
    Show("SmtpServer(\"127.0.0.1\", " + std::to_string(port) + ").Check()", std::to_string(reached));
    const std::string sent = server.Send(m);
    Show("Send(message)", sent.empty() ? "\"\" (sent), MessageId() " + Quote(m.MessageId()) : Quote(sent));
    std::string received;
    if (fs::exists(box + "/new"))
        for (const auto& entry : fs::directory_iterator(box + "/new")) received = vux_file::Read(entry.path().string());
    ::kill(pid, SIGTERM);
    ::waitpid(pid, nullptr, 0);
    if (received.empty()) return;
    const vux_email::Message back(received);
    Show("Message(received).Subject()", Quote(back.Subject()));
    Show("Message(received).To()", str::Join(back.To(), ", "));
    Show("Message(received).Bcc() (blind copies travel in the envelope only)", Quote(str::Join(back.Bcc(), ", ")));
    std::vector<vux_email::EmailMsg> texts;
    back.GetEmailMsgList(texts);
    for (const vux_email::EmailMsg& t : texts) Show("GetEmailMsgList: " + t.type, Quote(str::Trim(t.text)));
}

// The first executable `name` in a directory of PATH, or "".
std::string Which(const std::string& name) {
    const char* path = std::getenv("PATH");
    StringList dirs;
    str::Split(path ? path : "/usr/local/bin:/usr/bin:/bin", ":", dirs);
    for (const std::string& dir : dirs) {
        const std::string candidate = dir + "/" + name;
        if (!dir.empty() && ::access(candidate.c_str(), X_OK) == 0) return candidate;
    }
    return "";
}

void CloudStorage() {
    Title("cloud storage against s3rver, which the tour starts on loopback (vux_rpc::S3)");
    const std::string s3rver = Which("s3rver");
    if (s3rver.empty()) {
        std::cout << "  (skipped: this part needs s3rver, installed with npm by scripts/deps)\n";
        return;
    }
    namespace fs = std::filesystem;
    const std::string dir = fs::absolute("tmp/s3rver").string();
    fs::remove_all(dir);
    fs::create_directories(dir);
    const std::string port = std::to_string(FreePort());
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        const int null = ::open("/dev/null", O_WRONLY);
        ::dup2(null, 1);
        ::dup2(null, 2);
        ::execl(s3rver.c_str(), "s3rver", "-d", dir.c_str(), "-a", "127.0.0.1", "-p", port.c_str(), "-s",
                "--configure-bucket", "tour", static_cast<char*>(nullptr));
        ::_exit(127);
    }
    const std::string token = vux_rpc::S3::GetToken("S3RVER", "S3RVER", "tour", "urlpath", "http://127.0.0.1:" + port);
    std::cout << "  s3rver on 127.0.0.1:" << port << ", token " << Quote(token) << "\n";
    try {
        // Node takes a moment to listen.
        std::unique_ptr<vux_rpc::S3> s3;
        for (int i = 0; i < 100 && !s3; ++i) {
            try {
                vux_rpc::FetchFileSize("http://127.0.0.1:" + port + "/");
                s3 = std::make_unique<vux_rpc::S3>(token);
            } catch (const vux_err::Error&) {
                vux_proc::Sleep(100);
            }
        }
        if (!s3) throw vux_err::Error("tour", "s3rver");
        Show("S3(token).token(), base_url(), region()", Quote(s3->token()) + ", " + Quote(s3->base_url()) + ", " +
                                                            Quote(s3->region()));
        s3->Put("notes/hello world.txt", std::string("stored in a bucket"), "");
        std::ostringstream got;
        s3->Get("notes/hello world.txt", got);
        Show("Put(\"notes/hello world.txt\", text); Get", Quote(got.str()));
        std::istringstream big(std::string(6 << 20, 'x'));
        Show("Put(\"notes/six.bin\", 6 MiB stream) (two parts)", std::to_string(s3->Put("notes/six.bin", big, "")));
        s3->MkPath("notes/empty");
        StringList keys;
        s3->List("notes/", keys);
        Show("MkPath(\"notes/empty\"); List(\"notes/\")", str::Join(keys, ", "));
        std::ostringstream none;
        try {
            s3->Get("notes/missing", none);
        } catch (const vux_err::Error& e) {
            Show("Get(\"notes/missing\")", e.type() + "/" + e.object() + ", " + Quote(e.value()));
        }
        keys.clear();
        Show("RmDir(\"notes\")", s3->RmDir("notes") ? "true" : "false");
        s3->List("", keys);
        Show("List(\"\") afterwards", std::to_string(keys.size()) + " keys");
    } catch (const vux_err::Error& e) {
        Show("cloud storage", e.what());
    }
    ::kill(pid, SIGTERM);
    ::waitpid(pid, nullptr, 0);
}

void RemoteCommands() {
    Title("commands on a remote host over SSH (vux_rpc::SSH)");
    if (::access("/usr/sbin/sshd", X_OK) != 0 || ::geteuid() != 0) {
        std::cout << "  (skipped: this part starts its own sshd on loopback, which needs openssh-server and root)\n";
        return;
    }
    namespace fs = std::filesystem;
    const std::string dir = fs::absolute("tmp/ssh").string();
    fs::remove_all(dir);
    fs::create_directories(dir);
    fs::create_directories("/run/sshd");
    for (const char* key : {"host", "user"})
        vux_proc::Execute("ssh-keygen -q -t ed25519 -N '' -f " + dir + "/" + key, 0).Run().Result();
    fs::copy_file(dir + "/user.pub", dir + "/authorized_keys", fs::copy_options::overwrite_existing);
    const int port = FreePort();
    vux_file::Write(dir + "/sshd_config", "ListenAddress 127.0.0.1:" + std::to_string(port) + "\nHostKey " + dir +
                                              "/host\nPidFile " + dir + "/sshd.pid\nAuthorizedKeysFile " + dir +
                                              "/authorized_keys\nPermitRootLogin prohibit-password\nUsePAM no\n"
                                              "StrictModes no\nLogLevel ERROR\n");
    vux_proc::Execute server(std::vector<std::string>{"/usr/sbin/sshd", "-D", "-e", "-f", dir + "/sshd_config"}, 0);
    server.Run();
    std::cout << "  sshd -D on 127.0.0.1:" << port << ", logging in as root with an Ed25519 key\n";
    vux_rpc::SSHkey ssh("127.0.0.1", "root", dir + "/user", "", port);
    ssh.EnableVerifyHostKey(dir + "/known_hosts", vux_rpc::HostKeyCheck | vux_rpc::HostKeyAdd);
    for (int i = 0; i < 50; ++i) {
        try {
            ssh.Connect();
            break;
        } catch (const vux_err::Error&) {
            vux_proc::Sleep(100);
        }
    }
    try {
        const std::string out = ssh.Execute("echo $SSH_CONNECTION | cut -d' ' -f3-; exit 3").Str();
        Show("Execute(\"echo $SSH_CONNECTION | cut -d' ' -f3-; exit 3\"): Str(), Result()",
             Quote(out.substr(0, out.find('\n'))) + ", " + std::to_string(ssh.Result()));
        ssh.Execute("tr a-z A-Z");
        ssh.In() << "through standard input";
        ssh.CloseIn();
        Show("Execute(\"tr a-z A-Z\"); In() << \"through standard input\"; CloseIn(); Str()", Quote(ssh.Str()));
        ssh.SetTimeout(1).Execute("sleep 3");
        Show("SetTimeout(1).Execute(\"sleep 3\").Result()", std::to_string(ssh.Result()));
        const std::string known = vux_file::Read(dir + "/known_hosts");
        Show("known_hosts after HostKeyCheck | HostKeyAdd",
             known.substr(0, 40) + "..." + known.substr(known.find(" Added by"), 17));
        ssh.SetTimeout(10).Disconnect();
        ssh.EnableVerifyHostKey(dir + "/known_hosts", vux_rpc::HostKeyCheck);
        vux_file::Write(dir + "/known_hosts", "[127.0.0.1]:" + std::to_string(port) + " " +
                                                  vux_file::Read(dir + "/user.pub"));
        ssh.Connect();
    } catch (const vux_err::Error& e) {
        Show("Connect() with another key on file for the host", e.what());
    }
    ssh.Disconnect();
    server.Terminate();
}

}  // namespace

// The runner comes with this tool: beside it once installed (bin/, sbin/), or in the build tree.
std::string FindRunner() {
    namespace fs = std::filesystem;
    const fs::path here = fs::read_symlink("/proc/self/exe").parent_path();
    for (const fs::path& p : {here / "../sbin/lt_wrapper", here / "../lt_wrapper/lt_wrapper"})
        if (fs::exists(p)) return fs::canonical(p).string();
    return std::string();
}

std::string Described(const std::map<std::string, std::string>& info) {
    std::string out;
    for (const char* key : {"status", "pid", "exitcode", "result"}) {
        auto it = info.find(key);
        if (it != info.end()) str::inpl::Append(out, std::string(key) + "=" + Quote(it->second), " ");
    }
    return out;
}

void LongTasks() {
    Title("long tasks (vux_task)");
    namespace fs = std::filesystem;
    if (!fs::exists("sbin/lt_wrapper")) {
        const std::string runner = FindRunner();
        if (runner.empty()) {
            Show("sbin/lt_wrapper", "not found beside this tool; skipped");
            return;
        }
        fs::create_directories("sbin");
        fs::create_directories("tmp");
        fs::create_symlink(runner, "sbin/lt_wrapper");
    }
    vux_task::LongTask task("/bin/sh", "1", "tour");
    task.SetParams({"-c", "echo counting; sleep 1; echo done"});
    Show("LongTask(\"/bin/sh\", \"1\", \"tour\").GetContent() (first line)",
         task.GetContent().substr(0, task.GetContent().find('\n')));
    task.Start(8 | 2);
    std::map<std::string, std::string> info;
    for (int i = 0; i < 100 && (info = vux_task::GetInfo("/bin/sh", "1", "tour"))["status"] != "RUN"; ++i)
        vux_proc::Sleep(20);
    Show("Start(8 | 2); while it runs: IsRuning, GetInfo",
         std::string(vux_task::IsRuning("/bin/sh", "1", "tour") ? "yes " : "no ") + Described(info));
    while (vux_task::IsRuning("/bin/sh", "1", "tour")) vux_proc::Sleep(100);
    Show("after it ends: IsRuning, GetInfo",
         std::string(vux_task::IsRuning("/bin/sh", "1", "tour") ? "yes " : "no ") +
             Described(vux_task::GetInfo("/bin/sh", "1", "tour")));
}

int Tour(const Cmdline& c) {
    const Args& args = c.args;
    if (!args.empty()) throw Usage{};
    LayOut();
    std::cout << "libvux tour, in " << std::filesystem::current_path().string() << "\n";
    Strings();
    Errors();
    Documents();
    Files();
    Jobs();
    Processes();
    SystemServices();
    Cryptography();
    Network();
    HttpClient();
    Mail();
    CloudStorage();
    RemoteCommands();
    Sessions();
    Client();
    TransformsAndMerges();
    DatesAndMoney();
    Logging();
    LongTasks();
    std::cout << "\nend of tour\n";
    return 0;
}

}  // namespace vuxtool
