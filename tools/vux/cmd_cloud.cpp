#include <algorithm>
#include <functional>
#include <iostream>
#include <map>
#include <memory>

#include <libvux/vuxfile.h>
#include <libvux/vuxrpc.h>
#include <libvux/vuxrpc_s3.h>

#include "commands.h"

namespace vuxtool {

namespace {

// What the command asks of a storage; each client class is adapted to it by Adapter.
class Storage {
public:
    virtual ~Storage() = default;
    virtual void Put(const std::string& name, std::istream& in) = 0;
    virtual void Get(const std::string& name, std::ostream& out) = 0;
    virtual bool List(const std::string& prefix, StringList& keys) = 0;
    virtual bool Remove(const std::string& name) = 0;
    virtual void MkDir(const std::string& path) = 0;
    virtual bool RmDir(const std::string& path) = 0;
};

template <class Client>
class Adapter : public Storage {
public:
    explicit Adapter(const std::string& token) : client_(token) {}
    void Put(const std::string& name, std::istream& in) override { client_.Put(name, in, ""); }
    void Get(const std::string& name, std::ostream& out) override { client_.Get(name, out); }
    // Services without a listing of keys say so.
    bool List(const std::string& prefix, StringList& keys) override {
        if constexpr (requires { client_.List(prefix, keys); }) {
            client_.List(prefix, keys);
            return true;
        }
        return false;
    }
    bool Remove(const std::string& name) override { return Result(&Client::Delete, name); }
    void MkDir(const std::string& path) override { client_.MkPath(path); }
    bool RmDir(const std::string& path) override { return Result(&Client::RmDir, path); }

private:
    // Clients that only log a failed deletion count as successful.
    template <class R>
    bool Result(R (Client::*op)(const std::string&), const std::string& arg) {
        if constexpr (std::is_same_v<R, bool>)
            return (client_.*op)(arg);
        else
            return (client_.*op)(arg), true;
    }

    Client client_;
};

template <class Client>
std::unique_ptr<Storage> Make(const std::string& token) {
    return std::make_unique<Adapter<Client>>(token);
}

const std::map<std::string, std::function<std::unique_ptr<Storage>(const std::string&)>> kServices = {
    {"s3", &Make<vux_rpc::S3>},
    {"amazon", &Make<vux_rpc::Amazon>},
    {"dropbox", &Make<vux_rpc::Dropbox>},
    {"googledrive", &Make<vux_rpc::GoogleDrive>},
    {"yandex", &Make<vux_rpc::Yandex>},
};

bool Service(std::string& name) { return kServices.count(name) != 0; }

// The token is the first line of a file: it carries the keys, which stay out of the process list.
std::string ReadToken(const std::string& path) {
    std::string token = vux_file::Read(path);
    token.erase(std::min(token.find('\n'), token.size()));
    if (!token.empty() && token.back() == '\r') token.pop_back();
    return token;
}

}  // namespace

void CloudOptions(vux_args::Args& a) {
    a.AddOption("token-file", 't', "the storage's token is the first line of this file").SetParam()
        .AddOption("service", 's', "s3, amazon, dropbox, googledrive or yandex").SetDefault("s3").SetValidator(&Service);
}

// One operation on a cloud storage: put reads standard input, get writes standard output.
int Cloud(const Cmdline& c) {
    if (HasUnknownOption(c)) throw Usage{};
    const vux_args::Result& o = c.options;
    const Args& w = c.args;
    const std::string op = w.empty() ? "" : w[0];
    const bool named = w.size() == 2 && (op == "put" || op == "get" || op == "rm" || op == "mkdir" || op == "rmdir");
    const bool listing = op == "ls" && (w.size() == 1 || w.size() == 2);
    if (!(named || listing) || !o.Has("token-file")) throw Usage{};
    std::unique_ptr<Storage> storage = kServices.at(o["service"])(ReadToken(o["token-file"]));
    bool ok = true;
    if (op == "put") {
        storage->Put(w[1], std::cin);
    } else if (op == "get") {
        storage->Get(w[1], std::cout);
    } else if (op == "ls") {
        StringList keys;
        if (!storage->List(w.size() == 2 ? w[1] : "", keys)) {
            std::cerr << "this service lists no keys\n";
            return 1;
        }
        for (const std::string& key : keys) std::cout << key << "\n";
    } else if (op == "rm") {
        ok = storage->Remove(w[1]);
    } else if (op == "mkdir") {
        storage->MkDir(w[1]);
    } else {
        ok = storage->RmDir(w[1]);
    }
    if (!ok) std::cerr << op << " " << w[1] << ": not deleted\n";
    std::cout.flush();
    return ok && std::cout ? 0 : 1;
}

}  // namespace vuxtool
