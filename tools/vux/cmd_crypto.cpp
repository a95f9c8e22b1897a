#include <iostream>

#include <libvux/vuxcrypto.h>
#include <libvux/vuxerr.h>
#include <libvux/vuxfile.h>
#include <libvux/vuxstr.h>
#include <libvux/vuxstream.h>

#include "commands.h"

namespace vuxtool {

namespace {

const char* const kUsage =
    "crypto key|req|cert [--bits N] [--key-out FILE] [--days N] [--subject FIELD=VALUE]... [--ext NAME=VALUE]...\n"
    "       | crypto p12 CERT [KEY] | crypto ssh-pub KEY | crypto verify CERT [KEY]";

std::string Slurp(const std::string& path) {
    vux_stream::InStream file;
    file.Open(path);
    if (!file.IsOpen()) throw vux_file::Fail("open_r", path);
    std::string text = ReadAll(file);
    if (file.bad()) throw vux_file::Fail("read", path);
    return text;
}

void Spill(const std::string& path, const std::string& text) {
    vux_stream::OutStream file;
    file.Open(path);
    if (!file.IsOpen()) throw vux_file::Fail("open_w", path);
    file << text;
    file.flush();
    if (!file) throw vux_file::Fail("write", path);
}

// What key, req and cert are made from.
struct Making {
    std::size_t bits = 2048;
    std::string key_out;
    int days = 365;
    StringVector subject;
    StringVector extensions;
};

bool Number(std::string& value) {
    return !value.empty() && value.size() <= 6 && value.find_first_not_of("0123456789") == std::string::npos;
}

bool Pair(std::string& value) {
    return value.find('=') != std::string::npos;
}

Making ParseMaking(const vux_args::Result& o, const Args& args) {
    if (args.size() != 1) throw Usage{kUsage};
    Making m;
    if (o.Has("bits")) m.bits = std::stoul(o["bits"]);
    if (o.Has("days")) m.days = std::stoi(o["days"]);
    m.key_out = o["key-out"];
    for (int i = 0; i < o.ParamCount("subject"); ++i) m.subject.push_back(o.Param("subject", i));
    for (int i = 0; i < o.ParamCount("ext"); ++i) m.extensions.push_back(o.Param("ext", i));
    return m;
}

// "NAME=VALUE" into its halves; the value may hold more "=".
template <class Target>
void AddPairs(Target& target, const StringVector& pairs, Target& (Target::*add)(const std::string&, const std::string&)) {
    for (const std::string& pair : pairs) {
        std::size_t eq = pair.find('=');
        (target.*add)(pair.substr(0, eq), pair.substr(eq + 1));
    }
}

void KeepKey(const Making& m, const vux_crypto::RsaPrivateKey& key) {
    if (!m.key_out.empty()) Spill(m.key_out, vux_crypto::pem_private::Encode(key));
}

std::string MakeRequest(const Making& m) {
    vux_crypto::Request request(m.bits);
    AddPairs(request, m.subject, &vux_crypto::Request::AddToSubject);
    AddPairs(request, m.extensions, &vux_crypto::Request::AddToExtensions);
    std::string pem = vux_crypto::x509::Encode(request);
    KeepKey(m, request.key());
    return pem;
}

std::string MakeCert(const Making& m) {
    vux_crypto::SelfSignCert cert(m.bits);
    cert.SetNotAfter(m.days);
    AddPairs(cert, m.subject, &vux_crypto::SelfSignCert::AddToSubject);
    AddPairs(cert, m.extensions, &vux_crypto::SelfSignCert::AddToExtensions);
    cert.Sign();
    KeepKey(m, cert.key());
    return vux_crypto::x509::Encode(cert);
}

// A private key file, or else a public one.
vux_crypto::RsaPublicKey AnyKey(const std::string& text) {
    if (text.find("PRIVATE KEY-----") != std::string::npos) return vux_crypto::pem_private::Decode(text);
    return vux_crypto::pem_public::Decode(text);
}

int Verify(const Args& args) {
    if (args.size() != 2 && args.size() != 3) throw Usage{kUsage};
    vux_crypto::Cert cert = vux_crypto::x509::Decode(Slurp(args[1]));
    std::cout << "subject: " << cert.Subject() << "\nissuer: " << cert.Issuer()
              << "\nnot before: " << cert.GetNotBefore().AsDateTime()
              << "\nnot after: " << cert.GetNotAfter().AsDateTime() << "\n";
    for (const auto& [name, value] : cert.GetExtensions()) std::cout << "extension " << name << ": " << value << "\n";
    if (args.size() == 2) return 0;
    const std::string key_text = Slurp(args[2]);
    vux_crypto::RsaPublicKey key = AnyKey(key_text);
    bool ok = cert.Verify(key);
    std::cout << "signature: " << (ok ? "verified" : "does not verify") << "\n";
    if (key_text.find("PRIVATE KEY-----") != std::string::npos) {
        bool pair = cert.VerifyPrivateKey(vux_crypto::pem_private::Decode(key_text));
        std::cout << "private key: " << (pair ? "matches" : "does not match") << "\n";
        ok = ok && pair;
    }
    return ok ? 0 : 1;
}

}  // namespace

void CryptoOptions(vux_args::Args& a) {
    a.AddOption("bits", 'b', "key: its size in bits").SetValidator(&Number)
        .AddOption("days", 'd', "cert: days of validity").SetValidator(&Number)
        .AddOption("subject", 's', "req, cert: a subject field, F=V").SetValidator(&Pair).SetMultiple()
        .AddOption("ext", 'e', "req, cert: an extension, NAME=VALUE").SetValidator(&Pair).SetMultiple()
        .AddOption("key-out", 'k', "req, cert: where the new key goes").SetParam();
}

int Crypto(const Cmdline& c) {
    const Args& args = c.args;
    if (args.empty()) throw Usage{kUsage};
    const std::string& what = args[0];
    std::string out;
    if (what == "key") {
        Making m = ParseMaking(c.options, args);
        out = vux_crypto::pem_private::Encode(vux_crypto::RsaPrivateKey(m.bits));
    } else if (what == "req") {
        out = MakeRequest(ParseMaking(c.options, args));
    } else if (what == "cert") {
        out = MakeCert(ParseMaking(c.options, args));
    } else if (what == "p12" && (args.size() == 2 || args.size() == 3)) {
        vux_crypto::Cert cert = vux_crypto::x509::Decode(Slurp(args[1]));
        out = args.size() == 2 ? vux_crypto::pkcs12::Encode(cert)
                               : vux_crypto::pkcs12::Encode(cert, vux_crypto::pem_private::Decode(Slurp(args[2])));
    } else if (what == "ssh-pub" && args.size() == 2) {
        out = vux_crypto::ssh_public::Encode(AnyKey(Slurp(args[1]))) + "\n";
    } else if (what == "verify") {
        return Verify(args);
    } else {
        throw Usage{kUsage};
    }
    std::cout << out;
    std::cout.flush();
    return std::cout ? 0 : 1;
}

}  // namespace vuxtool
