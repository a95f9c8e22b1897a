#include <libvux/vuxsession.h>

#include <libxml/tree.h>

#include <algorithm>

#include <libvux/vuxerr.h>
#include <libvux/vuxfile.h>
#include <libvux/vuxlog.h>
#include <libvux/vuxstr.h>
#include "private/vuxxml.h"

namespace vux_session {

namespace {

VUX_LOG_MODULE("libvux")

const std::uint32_t kNoLimitYet = 0xFFFFFFFFu;

std::string Num(unsigned long long n) {
    return std::to_string(n);
}

// The nearest "messages" node at or above `from`; at "doc", its own child.
vux_xml::XmlNode FindMessages(vux_xml::XmlNode from) {
    for (vux_xml::XmlNode node = from; node && node.IsNode(); node = node.Parent()) {
        std::string name = node.Name();
        if (name == "messages") return node;
        if (name == "doc") return node.FindNode("messages");
    }
    return vux_xml::XmlNode();
}

bool IsControlType(const std::string& type) {
    static const char* const kTypes[] = {"select", "textarea", "htmldata", "textdata", "desc", "slider", "link"};
    return std::find_if(std::begin(kTypes), std::end(kTypes), [&](const char* t) { return type == t; }) !=
           std::end(kTypes);
}

vux_xml::XmlNode NeedForm(const vux_xml::Xml& xml, const char* what) {
    vux_xml::XmlNode form = xml.GetNode("/doc/metadata/form");
    VUX_ASSERT(form, what);
    return form;
}

}  // namespace

// ---- parameters ----

BaseSession::BaseSession() : record_budget_(kNoLimitYet) {
    parent_ = current_ = xml_.GetRoot();
}

BaseSession::~BaseSession() {}

std::string BaseSession::Param(const std::string& name) const {
    auto found = params_.find(name);
    return found == params_.end() ? std::string() : found->second;
}

void BaseSession::SetParam(const std::string& name, const std::string& value) {
    params_[name] = value;
}

void BaseSession::DelParam(const std::string& name) {
    params_.erase(name);
}

void BaseSession::GetParams(std::vector<std::string>& names) const {
    names.clear();
    for (const auto& p : params_)
        if (p.first.compare(0, 9, "internal_") != 0) names.push_back(p.first);
}

bool BaseSession::Has(const std::string& name) const {
    return params_.count(name) != 0;
}

bool BaseSession::Checked(const std::string& name) const {
    return Param(name) == "on";
}

bool BaseSession::IsSubmitted() const {
    std::string sok = Param("sok");
    if (sok.empty()) return false;
    if (sok != "ok")
        VUX_LOG(VuxLogModule(), vux_log::LevelWarning,
            "sok param values other than 'ok' is deprecated. Got '%s' value", sok.c_str());
    std::string sback = Param("sback");
    if (sback.empty()) return true;
    if (sback != "ok")
        VUX_LOG(VuxLogModule(), vux_log::LevelWarning,
            "sback param values other than 'ok' is deprecated. Got '%s' value", sback.c_str());
    return false;
}

bool BaseSession::IsGet() const {
    return !IsSetValues() && !IsSubmitted();
}

bool BaseSession::IsSetValues() const {
    return Has("sv_field");
}

std::uint32_t BaseSession::GetRecordLimit() {
    return kNoLimitYet;
}

// ---- the reply ----

vux_xml::XmlNode BaseSession::NewNode(const char* name) {
    // Records are appended to the root by the thousand: a handle on the root for
    // each would double the cost of a list.
    xmlNode* root = xmlDocGetRootElement(vux_xml::Internal::Doc(xml_));
    xmlNode* node = root && name && *name ? xmlNewChild(root, nullptr, BAD_CAST name, nullptr) : nullptr;
    if (node)
        parent_ = current_ = vux_xml::Internal::Wrap(node, xml_, true);
    else
        parent_ = current_ = xml_.GetRoot().AppendChild(name);
    return current_;
}

vux_xml::XmlNode BaseSession::NewNode(const char* name, const std::string& value) {
    parent_ = current_ = xml_.GetRoot().AppendChild(name, value);
    return current_;
}

vux_xml::XmlNode BaseSession::GetNode(const std::string& name) {
    vux_xml::XmlNode node = xml_.GetNode("/*/" + name);
    if (!node) return NewNode(name.c_str());
    parent_ = current_ = node;
    return node;
}

vux_xml::XmlNode BaseSession::NewElem() {
    if (record_budget_ == kNoLimitYet) record_budget_ = GetRecordLimit();
    if (record_budget_ == 0) throw RecordLimitExceeded();
    --record_budget_;
    return NewNode("elem");
}

vux_xml::XmlNode BaseSession::NewSelect(const std::string& name) {
    vux_xml::XmlNode node = NewNode("slist");
    node.SetProp("name", name);
    return node;
}

vux_xml::XmlNode BaseSession::AddChildNode(const char* name, const std::string& value) {
    current_ = parent_.AppendChild(name, value);
    return current_;
}

void BaseSession::NodeProp(const char* name, const std::string& value) {
    current_.SetProp(name, value);
}

void BaseSession::NewIndicator(const std::string& name, long long used, long long total) {
    AddChildNode((name + "_total").c_str(), std::to_string(total));
    AddChildNode((name + "_used").c_str(), std::to_string(used));
}

vux_xml::XmlNode BaseSession::SetCookie(const std::string& name, const std::string& value) {
    vux_xml::XmlNode root = xml_.GetRoot();
    vux_xml::XmlNode cookies = root.FindNode("cookies");
    if (!cookies) cookies = root.AppendChild("cookies");
    vux_xml::XmlNode cookie = cookies.AppendChild("cookie", value);
    cookie.SetProp("name", name);
    return cookie;
}

void BaseSession::SendFile(const std::string& name, const std::string& data) {
    vux_xml::XmlNode content = NewNode("content");
    content.SetProp("type", "data");
    content.AppendChild("name", name);
    content.AppendChild("data", data);
    xml_.GetRoot().SetProp("stylesheet", "file");
}

void BaseSession::SendFromBuffer(const std::string& name, const std::string& data) {
    SendFile(name, data);
}

void BaseSession::SendFromFile(const std::string& name, const std::string& path, bool autoremove,
                               unsigned long inode) {
    vux_xml::XmlNode content = NewNode("content");
    content.SetProp("type", "file");
    content.AppendChild("name", name);
    content.AppendChild("data", path);
    if (autoremove) content.AppendChild("autoremove");
    if (inode != static_cast<unsigned long>(-1)) content.AppendChild("inode", Num(inode));
    xml_.GetRoot().SetProp("stylesheet", "file");
}

BaseSession::Banner BaseSession::NewBanner(const std::string& id, Banner::Level level) {
    vux_xml::XmlNode node = NewNode("banner");
    node.SetProp("id", id);
    node.SetProp("status", std::to_string(static_cast<int>(level)));
    return Banner(node);
}

void BaseSession::Ok(int flags, const std::string& value) {
    static const char* const kTypes[] = {"", "list", "form", "top", "blank", "url"};
    vux_xml::XmlNode ok = xml_.GetNode("/doc/ok");
    if (!ok) ok = xml_.GetRoot().AppendChild("ok");
    if (flags & 32) ok.SetProp("child", "yes");
    if (flags & 16) ok.SetProp("notifyup", "yes");
    int type = flags & 15;
    if (type == 0) return;
    if (!ok.GetProp("type").empty()) {
        VUX_LOG(VuxLogModule(), vux_log::LevelWarning, "Ok already sent. New value %x '%s' will be ignored",
                flags, value.c_str());
        return;
    }
    if (type <= 5) ok.SetProp("type", kTypes[type]);
    ok.SetContent(value);
}

namespace {

// Subdirectories of `dir` in byte order; an unreadable directory has none.
std::vector<std::string> SubDirs(const std::string& dir) {
    std::vector<std::string> names;
    try {
        vux_file::Dir d(dir, 2);
        while (d.Read()) {
            // Links are not followed: a link to a parent would make the tree endless.
            if (d.Info(1 | 2).IsDir()) names.push_back(d.name());
        }
    } catch (const vux_file::Fail&) {
        names.clear();
    }
    std::sort(names.begin(), names.end());
    return names;
}

void FillTree(vux_xml::XmlNode list, const std::string& dir, const std::vector<std::string>& names,
              unsigned long depth) {
    for (const std::string& name : names) {
        std::string full = vux_file::ConcatPath(dir, name);
        vux_xml::XmlNode elem = list.AppendChild("elem");
        elem.AppendChild("val", name);
        elem.SetProp("key", full);
        elem.SetProp("img", "p-file-0");
        std::vector<std::string> below = SubDirs(full);
        if (!below.empty()) elem.SetProp("collapsed", "yes");
        if (depth > 0) FillTree(elem.AppendChild("tlist"), full, below, depth - 1);
    }
}

}  // namespace

void BaseSession::BuildTree(const std::string& name, const std::string& path, unsigned long depth) {
    vux_xml::XmlNode list = NewNode("tlist");
    list.SetProp("name", name);
    FillTree(list, path, SubDirs(path), depth);
}

// ---- form metadata ----

BaseSession::Page BaseSession::NewPage(const std::string& name, const std::string& title) {
    vux_xml::XmlNode page = xml_.GetNode("/doc/metadata/form/page[@name=" + vux_xml::EscapePropValue(name) + "]");
    if (!page) {
        page = NeedForm(xml_, "try to create page no for form action").AppendChild("page");
        page.SetProp("name", name);
    }
    if (!title.empty()) {
        vux_xml::XmlNode messages = xml_.GetNode("/doc/messages");
        if (messages) messages.AppendChild("msg", title).SetProp("name", name);
    }
    return Page(page);
}

BaseSession::Field BaseSession::NewField(const std::string& name, const std::string& type,
                                         const std::string& title, const std::string& hint) {
    return Field(NeedForm(xml_, "try to create field no for form action"), name, type, title, hint);
}

BaseSession::Field BaseSession::Page::NewField(const std::string& name, const std::string& type,
                                               const std::string& title, const std::string& hint) {
    return Field(node_, name, type, title, hint);
}

BaseSession::Field::Field(vux_xml::XmlNode parent, const std::string& name, const std::string& type,
                          const std::string& title, const std::string& hint) {
    field_ = parent.AppendChild("field");
    field_.SetProp("name", type == "textdata" ? "msg_" + name : name);
    field_.SetProp("customfield", "yes");
    if (IsControlType(type)) {
        control_ = field_.AppendChild(type.c_str());
    } else {
        control_ = field_.AppendChild("input");
        control_.SetProp("type", type);
    }
    control_.SetProp("name", name);
    if (type == "checkbox") field_.AppendChild("desc").SetProp("name", name + "_data");
    if (title.empty() && hint.empty()) return;
    vux_xml::XmlNode messages = FindMessages(parent);
    if (!messages) return;
    if (!title.empty()) messages.AppendChild("msg", title).SetProp("name", name);
    if (!hint.empty()) messages.AppendChild("msg", hint).SetProp("name", "hint_" + name);
}

BaseSession::Field& BaseSession::Field::SetSetValues() { control_.SetProp("setvalues", "yes"); return *this; }
BaseSession::Field& BaseSession::Field::SetRows(unsigned long n) { control_.SetProp("rows", Num(n)); return *this; }
BaseSession::Field& BaseSession::Field::SetMaxLength(unsigned long n) {
    control_.SetProp("maxlength", Num(n));
    return *this;
}
BaseSession::Field& BaseSession::Field::SetReadOnly() { control_.SetProp("readonly", "yes"); return *this; }
BaseSession::Field& BaseSession::Field::SetCheck(const std::string& check, const std::string& args) {
    control_.SetProp("check", check);
    control_.SetProp("checkargs", args);
    return *this;
}
BaseSession::Field& BaseSession::Field::SetFullWidth() { field_.SetProp("fullwidth", "yes"); return *this; }
BaseSession::Field& BaseSession::Field::SetType(const std::string& t) { control_.SetProp("type", t); return *this; }
BaseSession::Field& BaseSession::Field::SetConvert(const std::string& c) {
    control_.SetProp("convert", c);
    return *this;
}
BaseSession::Field& BaseSession::Field::SetCheckpasswd(const std::string& name) {
    control_.SetProp("checkpasswd", name);
    return *this;
}
BaseSession::Field& BaseSession::Field::SetDepend(const std::string& d) { control_.SetProp("depend", d); return *this; }
BaseSession::Field& BaseSession::Field::SetTarget(const std::string& t) { control_.SetProp("target", t); return *this; }
BaseSession::Field& BaseSession::Field::SetNoName() { field_.SetProp("noname", "yes"); return *this; }
BaseSession::Field& BaseSession::Field::SetRequired() { control_.SetProp("required", "yes"); return *this; }

BaseSession::Field& BaseSession::Field::NewIf(const std::string& value, const std::string& hide, bool shadow) {
    vux_xml::XmlNode node = control_.AppendChild("if");
    node.SetProp("value", value);
    node.SetProp("hide", hide);
    if (shadow) node.SetProp("shadow", "yes");
    return *this;
}

BaseSession::Field& BaseSession::Field::NewElse(const std::string& hide, bool shadow) {
    vux_xml::XmlNode node = control_.AppendChild("else");
    node.SetProp("hide", hide);
    if (shadow) node.SetProp("shadow", "yes");
    return *this;
}

// ---- banners ----

BaseSession::Banner& BaseSession::Banner::SetMessage(const std::string& name) {
    vux_xml::XmlNode param = node_.AppendChild("param");
    param.SetProp("name", name);
    param.SetProp("type", "msg");
    return *this;
}

BaseSession::Banner& BaseSession::Banner::SetParam(const std::string& name, const std::string& value) {
    node_.AppendChild("param", value).SetProp("name", name);
    vux_xml::XmlNode msg = node_.FindNode("msg");
    if (msg) msg.SetContent(str::Replace(msg.Str(), "__" + name + "__", value));
    return *this;
}

BaseSession::Banner& BaseSession::Banner::SetLink(const std::string& info, LinkType type, const std::string& elid) {
    static const char* const kTypes[] = {"help", "url", "func", "formfunc"};
    node_.SetProp("info", info);
    if (type >= Help && type <= FormFunc) node_.SetProp("infotype", kTypes[type]);
    if (type == FormFunc && !elid.empty()) node_.SetProp("infoelid", elid);
    return *this;
}

// ---- element-id lists ----

std::string AppendElid(const std::string& list, const std::string& elid) {
    return str::Append(list, str::Replace(elid, ", ", ", , "), ", ");
}

std::string GetElid(std::string& list) {
    // The first ", " not written doubled ends the id.
    std::string::size_type pos = 0;
    for (;;) {
        pos = list.find(", ", pos);
        if (pos == std::string::npos) break;
        if (list.compare(pos + 2, 2, ", ") == 0) {
            pos += 4;
            continue;
        }
        break;
    }
    std::string id = pos == std::string::npos ? list : list.substr(0, pos);
    list = pos == std::string::npos ? std::string() : list.substr(pos + 2);
    return str::Replace(id, ", , ", ", ");
}

}  // namespace vux_session
