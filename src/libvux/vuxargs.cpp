#include <libvux/vuxargs.h>

#include <sys/ioctl.h>
#include <unistd.h>

#include <cstring>

#include <libvux/vuxerr.h>
#include <libvux/vuxlog.h>
#include <libvux/vuxstr.h>

VUX_LOG_MODULE("libvux")

namespace vux_args {

namespace {

// The help is wrapped to this width when standard output is not a terminal.
const std::size_t kDefaultWidth = 80;

std::size_t TerminalWidth() {
    winsize ws{};
    if (::ioctl(STDOUT_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0) return ws.ws_col;
    return kDefaultWidth;
}

std::string LeftPart(const Args::Arg& a, int depth) {
    std::string s(static_cast<std::size_t>(depth) * 2, ' ');
    s.append("--").append(a.name);
    if (a.value_count > 0) s.append(" <value>");
    if (a.multiple) s.append(a.value_count > 0 ? "..." : " <value>...");
    return s;
}

std::string RightPart(const Args::Arg& a) {
    std::string s("(-");
    s.append(1, a.short_name).append(") ");
    if (a.required && a.group.empty()) s.append("*");
    s.append(a.description);
    if (!a.default_value.empty()) s.append(" (default: ").append(a.default_value).append(")");
    return s;
}

void CollectEntries(const Args::Arg& level, int depth, std::vector<std::pair<std::string, std::string>>& out) {
    for (const Args::Arg* a : level.children) {
        out.emplace_back(LeftPart(*a, depth), RightPart(*a));
        CollectEntries(*a, depth + 1, out);
    }
}

// The right part word by word after the padded left one; a word that does not fit starts a
// new line under the description.
std::string Wrap(const std::string& left, std::size_t left_width, const std::string& right, std::size_t width) {
    std::string line = left + std::string(left_width - left.size(), ' ');
    std::string out;
    bool first = true;
    StringList words;
    str::Split(right, " ", words);
    for (const std::string& w : words) {
        if (!first && line.size() + 1 + w.size() > width) {
            out.append(line).append("\n");
            line.assign(left_width + 6, ' ');
            line.append(w);
        } else {
            line.append(" ").append(w);
        }
        first = false;
    }
    return out + line;
}

// Options of this level, and below those already given, so that sub-options are known only
// after their parent.
template <class Match>
Args::Arg* Find(const Args::Arg& level, const Result& result, Match match) {
    for (Args::Arg* a : level.children) {
        if (match(*a)) return a;
        if (result.Has(a->name))
            if (Args::Arg* found = Find(*a, result, match)) return found;
    }
    return nullptr;
}

// Every declared option and group is known to the result, so that reading one that was not
// given is not mistaken for a typo in the program.
void Declare(const Args::Arg& level, std::map<std::string, ParamValue>& params,
             std::map<std::string, std::string>& groups) {
    for (const Args::Arg* a : level.children) {
        params[a->name];
        if (!a->group.empty()) groups[a->group];
        Declare(*a, params, groups);
    }
}

}  // namespace

std::string Result::Args(int i) const {
    return i >= 0 && i < ArgsCount() ? args_[static_cast<std::size_t>(i)] : std::string();
}

bool Result::Has(const std::string& name) const {
    auto p = params_.find(name);
    if (p != params_.end()) return p->second.given;
    auto g = groups_.find(name);
    return g != groups_.end() && !g->second.empty();
}

std::string Result::operator[](const std::string& name) const {
    auto p = params_.find(name);
    if (p != params_.end()) return p->second.values.empty() ? std::string() : p->second.values.back();
    auto g = groups_.find(name);
    VUX_ASSERT_AT(g != groups_.end(), 21, __PRETTY_FUNCTION__, "Try to get unknown value '" + name + "'");
    return g->second;
}

std::string Result::Param(const std::string& name, int i) const {
    auto p = params_.find(name);
    if (p == params_.end()) {
        auto g = groups_.find(name);
        return g != groups_.end() ? g->second : std::string();
    }
    const std::vector<std::string>& v = p->second.values;
    if (i == -1) i = static_cast<int>(v.size()) - 1;
    return i >= 0 && static_cast<std::size_t>(i) < v.size() ? v[static_cast<std::size_t>(i)] : std::string();
}

int Result::ParamCount(const std::string& name) const {
    auto p = params_.find(name);
    return p == params_.end() ? 0 : static_cast<int>(p->second.values.size());
}

void Result::SetParam(const std::string& name, const std::string& value) {
    params_[name].values.assign(1, value);
}

Args::Arg::~Arg() {
    for (Arg* a : children) delete a;
}

Args::Arg& Args::Arg::AddOption(const std::string& name, char short_name, const std::string& description) {
    return (parent ? *parent : *this).AddSuboption(name, short_name, description);
}

Args::Arg& Args::Arg::AddSuboption(const std::string& name, char short_name, const std::string& description) {
    Arg* a = new Arg;
    a->parent = this;
    a->name = name;
    a->short_name = short_name;
    a->description = description;
    children.push_back(a);
    return *a;
}

Args::Arg& Args::Arg::Last() {
    VUX_ASSERT_AT(parent, 109, __PRETTY_FUNCTION__, "Try to get parent of top option");
    return *parent;
}

Args::Arg& Args::Arg::SetParam() {
    value_count = 1;
    return *this;
}

Args::Arg& Args::Arg::SetDefault(const std::string& value) {
    VUX_ASSERT_AT(!value.empty(), 79, __PRETTY_FUNCTION__, "Empty default values not supported");
    default_value = value;
    return SetParam();
}

Args::Arg& Args::Arg::SetValidator(bool (*v)(std::string&)) {
    validator = v;
    return SetParam();
}

Args::Arg& Args::Arg::SetRequired() {
    required = true;
    if (group.empty() && value_count == 0) value_count = 1;
    return *this;
}

Args::Arg& Args::Arg::SetMultiple() {
    multiple = true;
    return *this;
}

Args::Arg& Args::Arg::SetGroup(const std::string& g) {
    group = g;
    return *this;
}

Args::Args(const std::string& name) : name_(name), result_(std::make_shared<Result>()) {}

Args::Arg& Args::AddOption(const std::string& name, char short_name, const std::string& description) {
    return root_.AddSuboption(name, short_name, description);
}

int Args::Parse(int argc, const char** argv) {
    result_ = std::make_shared<Result>();
    Declare(root_, result_->params_, result_->groups_);
    std::size_t next = 1;
    while (next < static_cast<std::size_t>(argc)) {
        std::string arg = argv[next++];
        if (arg == "--help") Usage("");
        if (arg == "--") {
            while (next < static_cast<std::size_t>(argc)) result_->args_.push_back(argv[next++]);
            break;
        }
        if (arg.empty() || arg[0] != '-')
            result_->args_.push_back(arg);
        else if (arg != "-")
            Lookup(arg, next, argc, argv);
    }
    ApplyDefaults(root_);
    return result_->ArgsCount();
}

void Args::Lookup(const std::string& arg, std::size_t& next, int argc, const char** argv) {
    if (arg.compare(0, 2, "--") == 0) {
        std::string name = arg.substr(2);
        VUX_LOG(VuxLogModule(), 9, "%s:%d Lookup long param '%s'", VUX_SOURCE_NAME, __LINE__, name.c_str());
        Arg* o = Find(root_, *result_, [&](const Arg& a) { return a.name == name; });
        if (o) return SetValue(*o, next, argc, argv);
        VUX_LOG(VuxLogModule(), 4, "Unknown param '%s'", arg.c_str());
        result_->args_.push_back(arg);
        return;
    }
    for (std::size_t i = 1; i < arg.size(); ++i) {
        char c = arg[i];
        VUX_LOG(VuxLogModule(), 9, "%s:%d Lookup short param '%c'", VUX_SOURCE_NAME, __LINE__, c);
        Arg* o = Find(root_, *result_, [&](const Arg& a) { return a.short_name == c; });
        if (o) {
            SetValue(*o, next, argc, argv);
            continue;
        }
        VUX_LOG(VuxLogModule(), 4, "Unknown param '-%c'", c);
        result_->args_.push_back(std::string("-") + c);
    }
}

void Args::SetValue(Arg& o, std::size_t& next, int argc, const char** argv) {
    if (!o.group.empty()) {
        std::string& chosen = result_->groups_[o.group];
        if (!chosen.empty() && chosen != o.name)
            Usage("Duplicate parameter group '" + o.group + "' value '" + o.name + "'. First value was '" + chosen + "'");
        chosen = o.name;
    }
    ParamValue& p = result_->params_[o.name];
    p.given = true;
    if (!o.multiple && !p.values.empty()) {
        VUX_LOG(VuxLogModule(), 4, "Rewrite value for param '%s'", o.name.c_str());
        p.values.clear();
    }
    for (int i = 0; i < o.value_count; ++i) {
        if (next >= static_cast<std::size_t>(argc)) Usage("Not anought parameter count for option '" + o.name + "'");
        std::string value = argv[next++];
        if (o.validator && !o.validator(value))
            Usage("Invalid value '" + value + "' for option '" + o.name + "'");
        VUX_LOG(VuxLogModule(), 6, "Command line argument '%s' add value '%s'", o.name.c_str(), value.c_str());
        p.values.push_back(value);
    }
}

void Args::ApplyDefaults(const Arg& level) {
    for (const Arg* a : level.children) {
        if (result_->Has(a->name)) {
            ApplyDefaults(*a);
        } else if (!a->default_value.empty()) {
            result_->params_[a->name] = ParamValue{{a->default_value}, false};
        } else if (a->required && (a->group.empty() || !result_->Has(a->group))) {
            std::string list;
            for (const Arg* b : level.children)
                if (b->required && b->group == a->group) str::inpl::Append(list, "--" + b->name, ", ");
            Usage("Need to use one of parameters: " + list);
        }
    }
}

std::string Args::Help() const {
    std::vector<std::pair<std::string, std::string>> entries;
    CollectEntries(root_, 0, entries);
    std::size_t left_width = 0;
    for (const auto& e : entries) left_width = std::max(left_width, e.first.size());
    std::size_t width = TerminalWidth();
    std::string help;
    for (const auto& e : entries) str::inpl::Append(help, Wrap(e.first, left_width, e.second, width), "\n");
    return str::Replace(help, "(- )", "    ");
}

void Args::Usage(const std::string& message) const {
    std::string m = message;
    if (m.empty() && result_->ArgsCount() > 0) m = "Unknown parameter '" + result_->Args(0) + "'";
    std::string text = str::Append(str::Append(name_, Help(), "\n\n"), m, "\n");
    throw UsageError(text);
}

}  // namespace vux_args
