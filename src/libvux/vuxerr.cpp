#include <libvux/vuxerr.h>

#include <atomic>

#include <libvux/vuxlog.h>
#include <libvux/vuxthread.h>

namespace vux_err {

namespace {

VUX_LOG_MODULE("libvux", "core")

std::atomic<ConflictCallback> g_conflict_callback{&DefaultCallback};

std::string FullMessage(const std::string& type, const std::string& object, const std::string& value) {
    return "Type: '" + type + "' Object: '" + object + "' Value: '" + value + "'";
}

}  // namespace

Error::Error(const std::string& type) : type_(type), message_("Type: '" + type + "'") {
    Build(Form::TypeOnly);
}

Error::Error(const std::string& type, const std::string& object)
    : type_(type), object_(object), message_("Type: '" + type + "' Object: '" + object + "'") {
    Build(Form::TypeObject);
}

Error::Error(const std::string& type, const std::string& object, const std::string& value)
    : type_(type), object_(object), value_(value), message_(FullMessage(type, object, value)) {
    Build(Form::Full);
}

Error::Error(const vux_xml::XmlNode& node)
    : type_(node.GetProp("type")), object_(node.GetProp("object")) {
    backtrace_ = vux_backtrace::BtWalk::Capture(1);
    vux_thread::NoFail nofail;
    document_.GetRoot().AppendChild(node);
    value_ = document_.GetNode("/*/error/param[@name='value']").Str();
}

Error::Error(const Error& other)
    : std::exception(other),
      type_(other.type_),
      object_(other.object_),
      value_(other.value_),
      message_(FullMessage(other.type_, other.object_, other.value_)),
      document_(other.document_),
      backtrace_(vux_backtrace::BtWalk::Capture(1)) {}

Error& Error::operator=(const Error&) {
    return *this;
}

Error::~Error() {}

void Error::Build(Form form) {
    backtrace_ = vux_backtrace::BtWalk::Capture(2);
    // An abort request must not fire while the exception itself is being made.
    vux_thread::NoFail nofail;
    vux_xml::XmlNode error = document_.GetRoot().AppendChild("error");
    error.SetProp("type", type_);
    if (form != Form::TypeOnly) {
        error.SetProp("object", object_);
        add_message("object", object_);
    }
    if (form == Form::Full) add_param("value", value_);
    backtrace_.Log();
    VUX_LOG(VuxLogModule(), vux_log::LevelError, "Error: %s", message_.c_str());
}

vux_xml::XmlNode Error::ErrorNode() const {
    return document_.GetRoot().FirstChild();
}

const char* Error::what() const noexcept {
    try {
        vux_xml::XmlNode msg = document_.GetNode("/*/error/msg");
        if (msg) message_ = msg.Str();
    } catch (...) {
        // what() must not throw; the stored message stands.
    }
    return message_.c_str();
}

Error& Error::add_message(const std::string& name, const std::string& text, vux_access::AccessMask mask) {
    vux_xml::XmlNode param = ErrorNode().AppendChild("param", text);
    param.SetProp("name", name);
    param.SetProp("type", "msg");
    if (mask != vux_access::AccessAll) param.SetProp("mask", std::to_string(mask));
    return *this;
}

Error& Error::add_param(const std::string& name, const std::string& value, vux_access::AccessMask mask) {
    vux_xml::XmlNode param = ErrorNode().AppendChild("param", value);
    param.SetProp("name", name);
    if (mask != vux_access::AccessAll) param.SetProp("mask", std::to_string(mask));
    return *this;
}

Error& Error::add_param(const std::string& name, int value, vux_access::AccessMask mask) {
    return add_param(name, std::to_string(value), mask);
}

Error& Error::set_report() {
    ErrorNode().SetProp("report", "yes");
    return *this;
}

Error& Error::set_help(const std::string& help) {
    ErrorNode().SetProp("help", help.empty() ? "error_" + type_ : help);
    return *this;
}

Missed::Missed(const std::string& object, const std::string& value) : Error("missed", object, value) {}
Exists::Exists(const std::string& object, const std::string& value) : Error("exists", object, value) {}
Access::Access(const std::string& object, const std::string& value) : Error("access", object, value) {}
Conflict::Conflict(const std::string& object, const std::string& value) : Error("conflict", object, value) {}
Unavailable::Unavailable(const std::string& object, const std::string& value)
    : Error("unavailable", object, value) {}
System::System(const std::string& object, int err) : Error("sys", object, std::to_string(err)) {}

Value::Value(const std::string& object, const std::string& value) : Error("value", object, value) {
    add_message("desc", "desk_empty");
}

Value::Value(const std::string& object, const std::string& value, const std::string& desc,
             const std::string& args)
    : Error("value", object, value) {
    add_message("desc", "desc_" + desc);
    add_param("args", args);
}

UnavailableTimeout::UnavailableTimeout() : Error("Remote operation timeout") {}

AssertError::AssertError(const char* file, int line, const char* func, const std::string& desc)
    : file_(file ? file : ""),
      line_(line),
      func_(func ? func : ""),
      desc_(desc),
      backtrace_(vux_backtrace::BtWalk::Capture(1)) {
    vux_thread::NoFail nofail;
    backtrace_.Log();
}

void AssertError::Raise(const char* file, int line, const char* func, const std::string& desc) {
    VUX_LOG(VuxLogModule(), vux_log::LevelError, "Error in %s:%d %s. %s",
            file ? file : "", line, func ? func : "", desc.c_str());
    throw AssertError(file, line, func, desc);
}

bool DefaultCallback(const std::string&, const std::string&) {
    return true;
}

void OnConflict(const std::string& object, const std::string& value) {
    ConflictCallback callback = g_conflict_callback.load();
    if (callback && !callback(object, value)) return;
    throw Conflict(object, value);
}

void SetConflictCallback(ConflictCallback callback) {
    g_conflict_callback.store(callback);
}

ConflictCallback GetConflictCallback() {
    return g_conflict_callback.load();
}

}  // namespace vux_err
