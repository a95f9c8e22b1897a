#include <libvux/vuxlog.h>

#include <map>
#include <vector>

#include <libvux/vuxthread.h>

namespace vux_log {

// Rules of one module, split into those written for this program and generic ones.
class Module::Info {
public:
    struct Rule {
        int level;
    };

    Info(const std::string& n, const std::string& p) : name(n), program(p) {}

    // The first rule of the list decides; null when the list is empty.
    static const Rule* Decide(const std::vector<Rule>& rules) {
        return rules.empty() ? nullptr : &rules.front();
    }

    std::string name;
    std::string program;
    std::vector<Rule> specific;
    std::vector<Rule> generic;
};

namespace {

struct Global {
    vux_thread::SafeLock lock;
    std::shared_ptr<Module::Info> defaults = std::make_shared<Module::Info>("", "core");
    std::map<std::string, std::shared_ptr<Module::Info>> modules;
};

// Never destroyed: modules are used from static destructors of other files.
Global& GetGlobal() {
    static Global* global = new Global;
    return *global;
}

}  // namespace

Module::Module(const char* name, const char* binary) {
    Global& g = GetGlobal();
    std::string key = name ? name : "";
    vux_thread::SafeSection section(g.lock);
    std::shared_ptr<Info>& slot = g.modules[key];
    if (!slot) slot = std::make_shared<Info>(key, binary ? binary : "core");
    info_ = slot;
}

bool Module::Check(Level level) const {
    vux_thread::SetStateC("debug");
    const Info& d = *GetGlobal().defaults;
    const Info::Rule* rule = Info::Decide(info_->specific);
    if (!rule) rule = Info::Decide(d.specific);
    if (!rule) rule = Info::Decide(info_->generic);
    if (!rule) rule = Info::Decide(d.generic);
    return rule && level <= rule->level;
}

void Module::Write(Level, const char*, ...) const {
    // Lines are dropped until a log object exists.
    if (!Has()) return;
}

const std::string& Module::Name() const {
    return info_->name;
}

bool Has() {
    return false;
}

}  // namespace vux_log
