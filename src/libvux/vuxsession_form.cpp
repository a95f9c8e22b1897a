// Reading form metadata back: which inputs a form really offers.
#include <libvux/vuxsession.h>

#include <libvux/vuxlog.h>

namespace vux_session {

namespace {

VUX_LOG_MODULE("libvux")

}  // namespace

FormInputEnumerator::~FormInputEnumerator() {}

bool FormInputEnumerator::IsInput(const std::string& name) {
    return name == "select" || name == "input" || name == "slider" || name == "textarea" || name == "tree" ||
           name == "link";
}

void FormInputEnumerator::Run() {
    vux_xml::XmlNode meta = Session().GetXml().GetNode("/doc/metadata[@type='form']");
    if (!meta || !meta.FirstChild()) return;
    VUX_LOG(VuxLogModule(), vux_log::LevelTrace, "FormInputEnumerator::Run");
    ScanActive(meta);
}

bool FormInputEnumerator::ScanActive(vux_xml::XmlNode node) {
    for (vux_xml::XmlNode child = node.FirstChild(); child; child = child.Next()) {
        if (!child.IsNode()) continue;
        const bool input = IsInput(child.Name());
        const std::string name = child.GetProp("name");
        if (hidden_.count(name)) {
            if (input ? !Input(name, child, true) : !ScanHidden(child)) return false;
        } else if (input) {
            if (!Input(name, child, false)) return false;
            HideFields(child, Session().Param(name));
        } else if (!ScanActive(child)) {
            return false;
        }
    }
    return true;
}

bool FormInputEnumerator::ScanHidden(vux_xml::XmlNode node) {
    for (vux_xml::XmlNode child = node.FirstChild(); child; child = child.Next()) {
        if (!child.IsNode()) continue;
        if (IsInput(child.Name())) {
            if (!Input(child.GetProp("name"), child, true)) return false;
        } else if (!ScanHidden(child)) {
            return false;
        }
    }
    return true;
}

void FormInputEnumerator::HideFields(vux_xml::XmlNode input, const std::string& value) {
    auto hide = [this](const vux_xml::XmlNode& condition) {
        std::string field = condition.GetProp("hide");
        if (field.empty()) return;
        VUX_LOG(VuxLogModule(), vux_log::LevelDebug, "%s:%d Hide '%s'",
                "vuxsession_form", __LINE__, field.c_str());
        hidden_.insert(field);
    };
    bool held = false;
    for (vux_xml::XmlNode c = input.FirstChild(); c; c = c.Next()) {
        if (!c.IsNode() || c.Name() != "if") continue;
        std::string empty = c.GetProp("empty");
        bool holds = empty.empty() ? c.GetProp("value") == value : (empty == "no") == !value.empty();
        if (!holds) continue;
        held = true;
        hide(c);
    }
    if (held) return;
    for (vux_xml::XmlNode c = input.FirstChild(); c; c = c.Next())
        if (c.IsNode() && c.Name() == "else") hide(c);
}

bool Inputs::operator()(BaseSession&, const std::string& name, vux_xml::XmlNode field, bool hidden) {
    if (hidden && !(flags_ & 2)) return true;
    if (!(flags_ & 1) && (!field.GetProp("readonly").empty() || field.Name() == "link")) return true;
    names_.insert(name);
    return true;
}

XmlFormInputEnumerator::XmlSession::XmlSession(vux_xml::Xml& xml) {
    xml_ = xml;
    parent_ = current_ = xml_.GetRoot();
    vux_xml::XmlNode root = xml_.GetRoot();
    if (!root) return;
    for (vux_xml::XmlNode child = root.FirstChild(); child; child = child.Next()) {
        if (!child.IsNode()) continue;
        vux_xml::XmlNode text = child.FirstChild();
        if (text && text.IsText() && !text.Next()) params_[child.Name()] = text.Str();
    }
}

}  // namespace vux_session
