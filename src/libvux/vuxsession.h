// Request sessions: the parameters of one request and the reply document built for it.
#ifndef LIBVUX_VUXSESSION_H
#define LIBVUX_VUXSESSION_H

#include <libvux/vuxapi.h>

#include <cstdint>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include <libvux/vuxtypes.h>
#include <libvux/vuxxml.h>

VUX_API_BEGIN

namespace vux_session {

class BaseSession {
public:
    // Thrown by NewElem when the list may hold no more records.
    class RecordLimitExceeded {};

    // A "page" of a form.
    class Field;
    class Page {
    public:
        explicit Page(const vux_xml::XmlNode& node) : node_(node) {}
        Field NewField(const std::string& name, const std::string& type, const std::string& title,
                       const std::string& hint);
        vux_xml::XmlNode GetNode() const { return node_; }

    private:
        vux_xml::XmlNode node_;
    };

    // A "field" of a form and its control element.
    class Field {
    public:
        Field(const vux_xml::XmlNode& field, const vux_xml::XmlNode& control) : field_(field), control_(control) {}
        // Appends a field with its control (and its messages) under `parent`.
        Field(vux_xml::XmlNode parent, const std::string& name, const std::string& type, const std::string& title,
              const std::string& hint);

        vux_xml::XmlNode GetNode() const { return field_; }
        vux_xml::XmlNode GetControl() const { return control_; }

        Field& SetSetValues();
        Field& SetRows(unsigned long n);
        Field& SetMaxLength(unsigned long n);
        Field& SetReadOnly();
        Field& SetCheck(const std::string& check, const std::string& args);
        Field& SetFullWidth();
        Field& SetType(const std::string& type);
        Field& SetConvert(const std::string& convert);
        Field& SetCheckpasswd(const std::string& name);
        Field& SetDepend(const std::string& depend);
        Field& SetTarget(const std::string& target);
        Field& SetNoName();
        Field& SetRequired();
        Field& NewIf(const std::string& value, const std::string& hide, bool shadow = false);
        Field& NewElse(const std::string& hide, bool shadow = false);

    private:
        vux_xml::XmlNode field_;
        vux_xml::XmlNode control_;
    };

    // A "banner": a message shown above the page.
    class Banner {
    public:
        enum Level { Info = 0, Warning = 1, Error = 2, Success = 3 };
        enum LinkType { Help = 0, Url = 1, Func = 2, FormFunc = 3 };

        explicit Banner(const vux_xml::XmlNode& node) : node_(node) {}
        Banner& SetMessage(const std::string& name);
        Banner& SetParam(const std::string& name, const std::string& value);
        Banner& SetLink(const std::string& info, LinkType type, const std::string& elid = "");
        vux_xml::XmlNode GetNode() const { return node_; }

    private:
        vux_xml::XmlNode node_;
    };

    BaseSession();
    virtual ~BaseSession();

    // Request parameters; derived sessions may keep them elsewhere.
    virtual std::string Param(const std::string& name) const;
    virtual void SetParam(const std::string& name, const std::string& value);
    virtual void DelParam(const std::string& name);
    // Every name but the internal ones ("internal_..."), in map order.
    virtual void GetParams(std::vector<std::string>& names) const;
    virtual bool Has(const std::string& name) const;
    virtual bool Checked(const std::string& name) const;
    virtual bool IsSubmitted() const;
    virtual bool IsGet() const;
    virtual bool IsSetValues() const;
    virtual std::uint32_t GetRecordLimit();

    std::string IParam(const std::string& name) const { return Param("internal_" + name); }
    void SetIParam(const std::string& name, const std::string& value) { SetParam("internal_" + name, value); }
    void DelIParam(const std::string& name) { DelParam("internal_" + name); }
    bool IHas(const std::string& name) const { return Has("internal_" + name); }

    // The reply.
    vux_xml::Xml& GetXml() { return xml_; }
    const vux_xml::Xml& GetXml() const { return xml_; }

    vux_xml::XmlNode NewNode(const char* name);
    vux_xml::XmlNode NewNode(const char* name, const std::string& value);
    vux_xml::XmlNode GetNode(const std::string& name);
    vux_xml::XmlNode NewElem();
    vux_xml::XmlNode NewSelect(const std::string& name);
    vux_xml::XmlNode AddChildNode(const char* name, const std::string& value);
    void NodeProp(const char* name, const std::string& value);
    void NewIndicator(const std::string& name, long long used, long long total);
    vux_xml::XmlNode SetCookie(const std::string& name, const std::string& value);
    void SendFile(const std::string& name, const std::string& data);
    void SendFromBuffer(const std::string& name, const std::string& data);
    void SendFromFile(const std::string& name, const std::string& path, bool autoremove = false,
                      unsigned long inode = static_cast<unsigned long>(-1));
    Banner NewBanner(const std::string& id, Banner::Level level);
    // flags: low four bits the answer type (1 list, 2 form, 3 top, 4 blank, 5 url),
    // 16 "notifyup", 32 "child".
    void Ok(int flags, const std::string& value = "");
    void BuildTree(const std::string& name, const std::string& path, unsigned long depth);

    Page NewPage(const std::string& name, const std::string& title);
    Field NewField(const std::string& name, const std::string& type, const std::string& title,
                   const std::string& hint);

protected:
    vux_xml::Xml xml_;
    vux_xml::XmlNode parent_;
    vux_xml::XmlNode current_;
    StringMap params_;
    std::uint32_t record_budget_;
};

// Element-id lists: ids joined by ", ", a ", " inside an id written ", , ".
std::string AppendElid(const std::string& list, const std::string& elid);
std::string GetElid(std::string& list);

// Walks the form metadata of a reply and reports the inputs the form really
// offers, following its show/hide conditions.
class FormInputEnumerator {
public:
    explicit FormInputEnumerator(BaseSession& session) : session_(session) {}
    virtual ~FormInputEnumerator();

    // One input; false stops the scan.
    virtual bool Input(const std::string& name, vux_xml::XmlNode field, bool hidden) = 0;
    virtual BaseSession& Session() { return session_; }

    void Run();
    static bool IsInput(const std::string& name);

protected:
    bool ScanActive(vux_xml::XmlNode node);
    bool ScanHidden(vux_xml::XmlNode node);
    void HideFields(vux_xml::XmlNode input, const std::string& value);

    BaseSession& session_;
    std::set<std::string> hidden_;
};

// Collects input names. flags: 1 = also read-only and "link" inputs, 2 = also hidden ones.
class Inputs {
public:
    Inputs(std::set<std::string>& names, int flags) : names_(names), flags_(flags) {}
    bool operator()(BaseSession& session, const std::string& name, vux_xml::XmlNode field, bool hidden);

private:
    std::set<std::string>& names_;
    int flags_;
};

// An enumerator that hands every input to a callable (session, name, field, hidden).
template <class Callback>
class FormInputs : public FormInputEnumerator {
public:
    FormInputs(BaseSession& session, Callback callback) : FormInputEnumerator(session), callback_(callback) {}
    bool Input(const std::string& name, vux_xml::XmlNode field, bool hidden) override {
        return callback_(Session(), name, field, hidden);
    }

private:
    Callback callback_;
};

// The inputs of a form in an existing reply document, with the parameters the
// document itself carries.
class XmlFormInputEnumerator {
public:
    class XmlSession : public BaseSession {
    public:
        // Parameters: each element child of the root whose content is one text node.
        explicit XmlSession(vux_xml::Xml& xml);
    };

    typedef std::function<bool(BaseSession&, const std::string&, vux_xml::XmlNode, bool)> Callback;

    XmlFormInputEnumerator(vux_xml::Xml& xml, Callback callback) : session_(xml), callback_(callback) {}
    void Run() {
        FormInputs<Callback&> walk(session_, callback_);
        walk.Run();
    }
    XmlSession& Session() { return session_; }

private:
    XmlSession session_;
    Callback callback_;
};

}  // namespace vux_session

VUX_API_END

#endif
