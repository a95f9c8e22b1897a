#include <libvux/vuxxml.h>

#include <libxml/parser.h>
#include <libxml/tree.h>
#include <libxml/xmlsave.h>
#include <libxml/xpath.h>
#include <libxml/xpathInternals.h>

#include <deque>
#include <fstream>
#include <istream>
#include <mutex>
#include <ostream>
#include <sstream>
#include <stdexcept>
#include <vector>

#include <libvux/vuxerr.h>
#include <libvux/vuxfile.h>
#include <libvux/vuxlog.h>
#include <libvux/vuxstr.h>

namespace vux_xml {

namespace {

const vux_log::Module& Logger() {
    static vux_log::Module module("libvux", "core");
    return module;
}

class XmlFail : public vux_err::Error {
public:
    explicit XmlFail(const std::string& object) : vux_err::Error("xml", object) { set_report(); }
    XmlFail(const std::string& object, const std::string& value) : vux_err::Error("xml", object, value) {
        set_report();
    }
};

const int kParseOptions = XML_PARSE_HUGE;

void Silent(void*, const char*, ...) {}

// Parser diagnostics would land on the programs' standard error.
void Setup() {
    static std::once_flag once;
    std::call_once(once, [] {
        xmlInitParser();
        xmlSetGenericErrorFunc(nullptr, &Silent);
    });
}

const xmlChar* X(const char* s) { return reinterpret_cast<const xmlChar*>(s); }
const xmlChar* X(const std::string& s) { return X(s.c_str()); }
std::string S(const xmlChar* s) { return s ? reinterpret_cast<const char*>(s) : ""; }

#define XML_ASSERT(desc) vux_err::AssertError::Raise("vuxxml_unix", __LINE__, __PRETTY_FUNCTION__, (desc))

bool IsBlank(const std::string& s) {
    return s.find_first_not_of(" \t\n\r") == std::string::npos;
}

}  // namespace

struct Xml::Data {
    explicit Data(xmlDoc* d) : doc(d) {}
    ~Data() {
        if (doc) xmlFreeDoc(doc);
    }
    static xmlDoc* CreateDoc() {
        Setup();
        xmlDoc* d = xmlNewDoc(X("1.0"));
        if (!d) XML_ASSERT("Failed to create XML document");
        d->encoding = xmlStrdup(X("UTF-8"));
        xmlNode* root = xmlNewDocNode(d, nullptr, X("doc"), nullptr);
        if (!root) {
            xmlFreeDoc(d);
            XML_ASSERT("Failed to create XML document");
        }
        xmlDocSetRootElement(d, root);
        return d;
    }
    xmlDoc* doc;
};

struct XmlNode::Data {
    Data(xmlNode* n, const Xml& d, bool t) : node(n), in_tree(t), doc(d) {}
    ~Data() {
        if (!in_tree && node) xmlFreeNode(node);
    }
    xmlNode* node;
    bool in_tree;
    Xml doc;
};

struct XPath::Data {
    Xml doc;
    StringMap ns;
    xmlXPathContext* ctx = nullptr;
    xmlXPathObject* result = nullptr;
    std::vector<XmlNode> nodes;
    ~Data() {
        if (result) xmlXPathFreeObject(result);
        if (ctx) xmlXPathFreeContext(ctx);
    }
    void Evaluate(const Xml& given, const std::string& path);
    XmlNode& At(std::size_t i) {
        if (i >= nodes.size()) throw std::out_of_range("xpath: out of range");
        XmlNode& slot = nodes[i];
        if (!slot) slot = XmlNode(result->nodesetval->nodeTab[i], doc, true);
        return slot;
    }
};

// ---- Xml ----

Xml::Xml() {}

Xml::Xml(std::istream& in) { Load(in); }

Xml::Data& Xml::Need() const {
    if (!data_) data_ = std::make_shared<Data>(Data::CreateDoc());
    return *data_;
}

_xmlDoc* Xml::native() const { return Need().doc; }

namespace {

int FeedChunk(xmlParserCtxt* ctx, const char* data, int len, bool terminate) {
    int r = xmlParseChunk(ctx, data, len, terminate ? 1 : 0);
    if (r != 0) throw XmlFail("parse", std::string(data, len));
    return r;
}

}  // namespace

void Xml::Load(std::istream& in) {
    static bool first = true;
    Setup();
    if (first) {
        xmlRegisterDefaultInputCallbacks();
        first = false;
    }
    const unsigned long kBuf = 1024;
    char buffer[kBuf];
    in.read(buffer, 4);
    std::streamsize got = in.gcount();
    if (got <= 0) throw XmlFail("read");
    xmlParserCtxt* ctx = xmlCreatePushParserCtxt(nullptr, nullptr, buffer, static_cast<int>(got), "stream");
    if (!ctx) throw XmlFail("parser");
    std::unique_ptr<xmlParserCtxt, void (*)(xmlParserCtxt*)> guard(ctx, [](xmlParserCtxt* c) {
        if (c->myDoc) xmlFreeDoc(c->myDoc);
        xmlFreeParserCtxt(c);
    });
    xmlCtxtUseOptions(ctx, kParseOptions);
    unsigned long held = 0, dropped = 0;
    int seq_len = 0, seq_rem = 0;
    bool done = false;
    while (!done) {
        in.read(buffer + held, static_cast<std::streamsize>(kBuf - held));
        unsigned long n = static_cast<unsigned long>(in.gcount());
        done = !in.good();
        unsigned long kept = 0;
        RemoveBadChars(buffer, n, kept, seq_len, seq_rem);
        dropped += held + n - kept;
        unsigned long hold = seq_rem > 0 ? static_cast<unsigned long>(seq_len - seq_rem) : 0;
        if (done) {
            // An incomplete sequence at the very end is dropped.
            dropped += hold;
            FeedChunk(ctx, buffer, static_cast<int>(kept - hold), true);
            break;
        }
        FeedChunk(ctx, buffer, static_cast<int>(kept - hold), false);
        for (unsigned long i = 0; i < hold; ++i) buffer[i] = buffer[kept - hold + i];
        held = hold;
    }
    xmlDoc* doc = ctx->myDoc;
    ctx->myDoc = nullptr;
    if (!doc) throw XmlFail("parse", "");
    data_ = std::make_shared<Data>(doc);
    const vux_log::Module& log = Logger();
    if (dropped && log.Check(vux_log::LevelWarning))
        log.Write(vux_log::LevelWarning, "Xml parse. Skipped %d bad chars", static_cast<int>(dropped));
}

void Xml::LoadFromString(const std::string& text) {
    Setup();
    const vux_log::Module& log = Logger();
    if (log.Check(vux_log::LevelTrace))
        log.Write(vux_log::LevelTrace, "%s data = '%s'", "LoadFromString", text.c_str());
    if (text.empty()) {
        if (log.Check(vux_log::LevelWarning)) log.Write(vux_log::LevelWarning, "Use empty string as XML document");
        data_.reset();
        return;
    }
    std::string copy;
    copy.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (c < 0x20 && c != 9 && c != 10 && c != 13) continue;
        if (c >= 0xF8 && c <= 0xFB) {
            i += 4;
            continue;
        }
        if (c == 0xFC || c == 0xFD) {
            i += 5;
            continue;
        }
        copy += static_cast<char>(c);
    }
    data_ = std::make_shared<Data>(nullptr);
    xmlDoc* doc = xmlReadMemory(copy.data(), static_cast<int>(copy.size()), nullptr, nullptr, kParseOptions);
    if (!doc) throw XmlFail("parse", copy);
    data_->doc = doc;
}

void Xml::LoadFromFile(const std::string& path) {
    Setup();
    const vux_log::Module& log = Logger();
    if (log.Check(vux_log::LevelTrace))
        log.Write(vux_log::LevelTrace, "%s filename = '%s'", "LoadFromFile", path.c_str());
    vux_file::Info info(path, 2);
    if (!info.IsMissed() && info.Size() == 0) {
        if (log.Check(vux_log::LevelWarning))
            log.Write(vux_log::LevelWarning, "Empty XML file '%s'", path.c_str());
        data_.reset();
        return;
    }
    data_ = std::make_shared<Data>(nullptr);
    xmlDoc* doc = xmlReadFile(path.c_str(), nullptr, kParseOptions);
    if (!doc) throw XmlFail("parse_file", path);
    data_->doc = doc;
}

namespace {

int WriteToStream(void* context, const char* buffer, int len) {
    std::ostream* out = static_cast<std::ostream*>(context);
    try {
        out->write(buffer, len);
    } catch (...) {
        return -1;
    }
    return out->bad() ? -1 : len;
}

int CloseNothing(void*) { return 0; }

// White-space text between elements goes, so that indentation is redone.
void Clean(xmlDoc* doc) {
    std::deque<xmlNode*> queue;
    if (xmlNode* root = xmlDocGetRootElement(doc)) queue.push_back(root);
    while (!queue.empty()) {
        xmlNode* n = queue.front();
        queue.pop_front();
        if (n->next) queue.push_back(n->next);
        if (n->type == XML_TEXT_NODE) {
            bool sibling = n->prev || n->next;
            bool prev_text = n->prev && n->prev->type == XML_TEXT_NODE;
            bool next_text = n->next && n->next->type == XML_TEXT_NODE;
            if (sibling && !prev_text && !next_text && IsBlank(S(n->content))) {
                xmlUnlinkNode(n);
                xmlFreeNode(n);
            }
        } else if (n->children) {
            queue.push_back(n->children);
        }
    }
}

}  // namespace

void Xml::Save(std::ostream& out, bool format) const {
    Data& d = Need();
    xmlDoc* doc = d.doc;
    std::unique_ptr<xmlDoc, void (*)(xmlDoc*)> copy(nullptr, [](xmlDoc* p) { xmlFreeDoc(p); });
    if (format) {
        xmlDoc* c = doc ? xmlCopyDoc(doc, 1) : nullptr;
        if (!c) throw XmlFail("copy");
        copy.reset(c);
        Clean(c);
        doc = c;
    }
    if (!doc) throw XmlFail("write");
    xmlOutputBuffer* buf = xmlOutputBufferCreateIO(&WriteToStream, &CloseNothing, &out, nullptr);
    if (!buf) throw XmlFail("write");
    int r = xmlSaveFormatFileTo(buf, doc, nullptr, format ? 1 : 0);
    if (r == -1) throw XmlFail("write");
}

void Xml::Save(const std::string& path, bool format) const {
    const vux_log::Module& log = Logger();
    if (log.Check(vux_log::LevelTrace)) log.Write(vux_log::LevelTrace, "%s filename = '%s'", "Save", path.c_str());
    std::ofstream out(path, std::ios::out | std::ios::trunc | std::ios::binary);
    if (!out.is_open()) throw XmlFail("write", path);
    Save(out, format);
    out.flush();
    if (!out) throw XmlFail("write", path);
}

std::string Xml::Str(bool format) const {
    std::ostringstream s;
    Save(s, format);
    return s.str();
}

XmlNode Xml::GetRoot() const {
    Data& d = Need();
    if (!d.doc) return XmlNode();
    xmlNode* root = xmlDocGetRootElement(d.doc);
    return root ? XmlNode(root, *this, true) : XmlNode();
}

XmlNode Xml::SetRoot(const char* name, bool old) {
    Data& d = Need();
    if (!d.doc) throw XmlFail("new_node", name ? name : "");
    if (!name || !*name) XML_ASSERT("try to create node with empty name");
    xmlNode* n = xmlNewDocNode(d.doc, nullptr, X(name), nullptr);
    if (!n) throw XmlFail("new_node", name);
    xmlNode* prev = xmlDocSetRootElement(d.doc, n);
    if (old) return prev ? XmlNode(prev, *this, false) : XmlNode();
    if (prev) xmlFreeNode(prev);
    return GetRoot();
}

XmlNode Xml::SetRoot(const XmlNode& node, bool old) {
    if (!node) XML_ASSERT("try to use dummy node as root node");
    Data& d = Need();
    if (!d.doc) throw XmlFail("insert_node");
    XmlNode use = node;
    if (node.data_->in_tree || node.data_->doc.data_ != data_) use = node.Clone();
    if (use.native()->doc != d.doc) {
        xmlNode* copy = xmlDocCopyNode(use.native(), d.doc, 1);
        if (!copy) throw XmlFail("clone");
        use = XmlNode(copy, *this, false);
    }
    xmlNode* prev = xmlDocSetRootElement(d.doc, use.native());
    use.data_->in_tree = true;
    if (old) return prev ? XmlNode(prev, *this, false) : XmlNode();
    if (prev) xmlFreeNode(prev);
    return GetRoot();
}

XmlNode Xml::GetNode(const std::string& path) const { return XPath(*this, path).front(); }
XmlNode Xml::GetNode(const std::string& path, const StringMap& ns) const { return XPath(*this, path, ns).front(); }
XmlNode Xml::GetNode(const std::string& path, const std::string& prefix, const std::string& uri) const {
    return XPath(*this, path, prefix, uri).front();
}
XmlNode Xml::GetLastNode(const std::string& path) const { return XPath(*this, path).back(); }
XmlNode Xml::GetLastNode(const std::string& path, const StringMap& ns) const { return XPath(*this, path, ns).back(); }
XmlNode Xml::GetLastNode(const std::string& path, const std::string& prefix, const std::string& uri) const {
    return XPath(*this, path, prefix, uri).back();
}
XPath Xml::GetNodes(const std::string& path) const { return XPath(*this, path); }
XPath Xml::GetNodes(const std::string& path, const StringMap& ns) const { return XPath(*this, path, ns); }
XPath Xml::GetNodes(const std::string& path, const std::string& prefix, const std::string& uri) const {
    return XPath(*this, path, prefix, uri);
}

std::size_t Xml::RemoveNodes(const std::string& path) {
    XPath x(*this, path);
    std::size_t n = x.size();
    for (std::size_t i = 0; i < n; ++i) x[i].Unlink();
    return n;
}

std::size_t Xml::RemoveProps(const std::string& path, const char* name) {
    XPath x(*this, path);
    std::size_t n = x.size();
    for (std::size_t i = 0; i < n; ++i) x[i].DropProp(name);
    return n;
}

XmlFile::XmlFile(const std::string& path) { LoadFromFile(path); }
XmlString::XmlString(const std::string& text) { LoadFromString(text); }

// ---- XmlNode ----

XmlNode::XmlNode() {}

XmlNode::XmlNode(_xmlNode* node, const Xml& doc, bool in_tree) {
    if (node) data_ = std::make_shared<Data>(node, doc, in_tree);
}

bool XmlNode::operator==(const XmlNode& other) const {
    if (!data_ || !other.data_) return !data_ && !other.data_;
    return data_->node == other.data_->node;
}

_xmlNode* XmlNode::native() const { return data_ ? data_->node : nullptr; }
Xml XmlNode::document() const { return data_ ? data_->doc : Xml(); }

std::string XmlNode::Name() const {
    if (!data_) XML_ASSERT("get name of dummy node");
    xmlNode* n = data_->node;
    if (!n->name) return "";
    std::string local = S(n->name);
    if (n->type != XML_TEXT_NODE && n->type != XML_CDATA_SECTION_NODE && n->type != XML_COMMENT_NODE &&
        n->ns && n->ns->prefix)
        return S(n->ns->prefix) + ":" + local;
    if (n->type == XML_TEXT_NODE || n->type == XML_CDATA_SECTION_NODE || n->type == XML_COMMENT_NODE) return "";
    return local;
}

bool XmlNode::IsNode() const {
    if (!data_) XML_ASSERT("get type of dummy node");
    return data_->node->type == XML_ELEMENT_NODE;
}
bool XmlNode::IsText() const {
    if (!data_) XML_ASSERT("get type of dummy node");
    return data_->node->type == XML_TEXT_NODE;
}
bool XmlNode::IsCData() const {
    if (!data_) XML_ASSERT("get type of dummy node");
    return data_->node->type == XML_CDATA_SECTION_NODE;
}

std::string XmlNode::Str() const {
    if (!data_) return "";
    xmlChar* c = xmlNodeGetContent(data_->node);
    std::string s = S(c);
    xmlFree(c);
    return s;
}

namespace {

// Splits "prefix:name"; the namespace is null for an unknown prefix.
bool SplitName(xmlNode* node, const char* name, std::string& local, xmlNs*& ns) {
    local = name;
    ns = nullptr;
    if (local.find(':') == std::string::npos) return false;
    std::string prefix = str::GetWord(local, ':');
    ns = xmlSearchNs(node->doc, node, X(prefix));
    return true;
}

}  // namespace

std::string XmlNode::GetProp(const char* name) const {
    if (!data_) XML_ASSERT("get property of dummy node");
    if (!name) return "";
    std::string local;
    xmlNs* ns;
    xmlChar* v;
    if (SplitName(data_->node, name, local, ns)) {
        if (!ns) return "";
        v = xmlGetNsProp(data_->node, X(local), ns->href);
    } else {
        v = xmlGetNoNsProp(data_->node, X(name));
    }
    std::string s = S(v);
    if (v) xmlFree(v);
    return s;
}

XmlNode& XmlNode::SetProp(const char* name, const std::string& value) {
    if (!data_) XML_ASSERT("set property for dummy node");
    if (!name || !*name) XML_ASSERT("try to create attribute with empty name");
    std::string local;
    xmlNs* ns;
    xmlAttr* a = nullptr;
    if (SplitName(data_->node, name, local, ns)) {
        if (ns) a = xmlSetNsProp(data_->node, ns, X(local), X(value));
    } else {
        a = xmlSetProp(data_->node, X(name), X(value));
    }
    if (!a) {
        vux_err::Error e("xml", "node_property", value);
        e.set_report();
        e.add_param("name", name);
        throw e;
    }
    return *this;
}

XmlNode& XmlNode::SetNotEmptyProp(const char* name, const std::string& value) {
    return value.empty() ? DropProp(name) : SetProp(name, value);
}

XmlNode& XmlNode::DropProp(const char* name) {
    if (!data_) XML_ASSERT("drop property for dummy node");
    if (!name) return *this;
    std::string local;
    xmlNs* ns;
    if (SplitName(data_->node, name, local, ns)) {
        if (ns) xmlUnsetNsProp(data_->node, ns, X(local));
    } else {
        xmlUnsetProp(data_->node, X(name));
    }
    return *this;
}

void XmlNode::AllProps(StringList& names) const {
    if (!data_) XML_ASSERT("get properties of dummy node");
    if (data_->node->type != XML_ELEMENT_NODE) return;
    for (xmlAttr* a = data_->node->properties; a; a = a->next) {
        if (a->ns && a->ns->prefix)
            names.push_back(S(a->ns->prefix) + ":" + S(a->name));
        else
            names.push_back(S(a->name));
    }
}

namespace {

bool NoSiblings(xmlNode* n) {
    return n->type == XML_DOCUMENT_NODE || n->type == XML_DOCUMENT_FRAG_NODE || n->type == XML_ATTRIBUTE_NODE ||
           n->type == XML_HTML_DOCUMENT_NODE;
}

}  // namespace

XmlNode XmlNode::FirstChild() const {
    if (!data_) XML_ASSERT("get first child of dummy node");
    xmlNode* n = data_->node;
    if (n->type == XML_ATTRIBUTE_NODE) return XmlNode();
    return n->children ? XmlNode(n->children, data_->doc, true) : XmlNode();
}

XmlNode XmlNode::LastChild() const {
    if (!data_) XML_ASSERT("get last child of dummy node");
    xmlNode* n = data_->node;
    if (n->type == XML_ATTRIBUTE_NODE) return XmlNode();
    return n->last ? XmlNode(n->last, data_->doc, true) : XmlNode();
}

XmlNode XmlNode::Next() const {
    if (!data_) XML_ASSERT("get next from dummy node");
    xmlNode* n = data_->node;
    if (NoSiblings(n) || !n->next) return XmlNode();
    return XmlNode(n->next, data_->doc, true);
}

XmlNode XmlNode::Prev() const {
    if (!data_) XML_ASSERT("get prev from dummy node");
    xmlNode* n = data_->node;
    if (NoSiblings(n) || !n->prev) return XmlNode();
    return XmlNode(n->prev, data_->doc, true);
}

XmlNode XmlNode::Parent(int steps) const {
    if (!data_) XML_ASSERT("get parent of dummy node");
    if (steps < 1) return *this;
    xmlNode* n = data_->node;
    if (NoSiblings(n)) return XmlNode();
    for (int i = 0; i < steps; ++i) {
        if (!n || NoSiblings(n)) return XmlNode();
        n = n->parent;
    }
    if (!n) return XmlNode();
    return XmlNode(n, data_->doc, true);
}

XmlNode XmlNode::FindNode(const std::string& name) const {
    if (!data_) XML_ASSERT("get first child of dummy node");
    if (data_->node->type == XML_ATTRIBUTE_NODE) return XmlNode();
    for (xmlNode* c = data_->node->children; c; c = c->next) {
        if (c->type != XML_ELEMENT_NODE) continue;
        XmlNode h(c, data_->doc, true);
        if (h.Name() == name) return h;
    }
    return XmlNode();
}

XmlNode XmlNode::AppendChild(const char* name) {
    if (!data_) XML_ASSERT("apped child for dummy node");
    if (!name || !*name) XML_ASSERT("try to create node with empty name");
    xmlNode* c = xmlNewChild(data_->node, nullptr, X(name), nullptr);
    if (!c) throw XmlFail("new_node", name);
    return XmlNode(c, data_->doc, true);
}

XmlNode XmlNode::AppendChild(const char* name, const std::string& content) {
    if (!data_) XML_ASSERT("apped child for dummy node");
    if (!name || !*name) XML_ASSERT("try to create node with empty name");
    if (!content.empty() && IsBlank(content)) {
        XmlNode c = AppendChild(name);
        c.AppendCData(content);
        return c;
    }
    xmlNode* c = xmlNewTextChild(data_->node, nullptr, X(name), X(content));
    if (!c) throw XmlFail("new_node", name);
    return XmlNode(c, data_->doc, true);
}

XmlNode XmlNode::AppendChild(const XmlNode& child) {
    if (!data_) XML_ASSERT("append to dummy node");
    if (!child) XML_ASSERT("append dummy node");
    XmlNode use = child;
    if (child.data_->in_tree || child.data_->node->doc != data_->node->doc) {
        xmlNode* copy = xmlDocCopyNode(child.data_->node, data_->node->doc, 1);
        if (!copy) throw XmlFail("clone");
        use = XmlNode(copy, data_->doc, false);
    }
    xmlNode* r = xmlAddChild(data_->node, use.data_->node);
    if (!r) throw XmlFail("insert_node");
    if (r != use.data_->node) {
        // Text merged into an adjacent text node; the original is freed by libxml2.
        use.data_->node = nullptr;
        use.data_->in_tree = true;
        return XmlNode(r, data_->doc, true);
    }
    use.data_->in_tree = true;
    use.data_->doc = data_->doc;
    return use;
}

XmlNode XmlNode::AddPrevSibling(const XmlNode& node) {
    if (!data_) XML_ASSERT("add before dummy node");
    if (!node) XML_ASSERT("add dummy node");
    XmlNode use = node;
    if (node.data_->in_tree || node.data_->node->doc != data_->node->doc) {
        xmlNode* copy = xmlDocCopyNode(node.data_->node, data_->node->doc, 1);
        if (!copy) throw XmlFail("clone");
        use = XmlNode(copy, data_->doc, false);
    }
    xmlNode* r = xmlAddPrevSibling(data_->node, use.data_->node);
    if (!r) throw XmlFail("insert_node");
    if (r != use.data_->node) {
        use.data_->node = nullptr;
        use.data_->in_tree = true;
        return XmlNode(r, data_->doc, true);
    }
    use.data_->in_tree = true;
    use.data_->doc = data_->doc;
    return use;
}

XmlNode XmlNode::AddNextSibling(const XmlNode& node) {
    if (!data_) XML_ASSERT("add before dummy node");
    if (!node) XML_ASSERT("add dummy node");
    XmlNode use = node;
    if (node.data_->in_tree || node.data_->node->doc != data_->node->doc) {
        xmlNode* copy = xmlDocCopyNode(node.data_->node, data_->node->doc, 1);
        if (!copy) throw XmlFail("clone");
        use = XmlNode(copy, data_->doc, false);
    }
    xmlNode* r = xmlAddNextSibling(data_->node, use.data_->node);
    if (!r) throw XmlFail("insert_node");
    if (r != use.data_->node) {
        use.data_->node = nullptr;
        use.data_->in_tree = true;
        return XmlNode(r, data_->doc, true);
    }
    use.data_->in_tree = true;
    use.data_->doc = data_->doc;
    return use;
}

XmlNode XmlNode::AppendCData(const std::string& text) {
    if (!data_) XML_ASSERT("apped child for dummy node");
    xmlNode* c = xmlNewCDataBlock(data_->node->doc, X(text), static_cast<int>(text.size()));
    if (!c) throw XmlFail("new_node", "CDATA");
    return AppendChild(XmlNode(c, data_->doc, false));
}

XmlNode& XmlNode::SetContent(const std::string& text) {
    if (!data_) XML_ASSERT("set content of dummy node");
    if (!IsBlank(text)) {
        xmlChar* enc = xmlEncodeEntitiesReentrant(data_->node->doc, X(text));
        if (!enc) throw XmlFail("content", text);
        xmlNodeSetContent(data_->node, enc);
        xmlFree(enc);
        return *this;
    }
    xmlNode* c = data_->node->children;
    while (c) {
        xmlNode* next = c->next;
        xmlUnlinkNode(c);
        xmlFreeNode(c);
        c = next;
    }
    if (!text.empty()) AppendCData(text);
    return *this;
}

XmlNode XmlNode::Clone() const {
    if (!data_) XML_ASSERT("do clone of dummy node");
    xmlNode* c = xmlDocCopyNode(data_->node, data_->node->doc, 1);
    if (!c) throw XmlFail("clone");
    return XmlNode(c, data_->doc, false);
}

XmlNode& XmlNode::Unlink() {
    if (!data_) return *this;
    xmlNode* n = data_->node;
    if (NoSiblings(n) || !data_->in_tree) return *this;
    xmlUnlinkNode(n);
    data_->in_tree = false;
    return *this;
}

XmlNode& XmlNode::RegisterNamespace(const std::string& prefix, const std::string& href) {
    if (!data_) XML_ASSERT("register namespace for dummy node");
    xmlNs* ns = xmlNewNs(data_->node, X(href), prefix.empty() ? nullptr : X(prefix));
    if (!ns) {
        vux_err::Error e("xml", "create_ns", prefix);
        e.set_report();
        e.add_param("href", href);
        throw e;
    }
    return *this;
}

void XmlNode::GetXmlNs(StringMap& ns, const std::string& noprefix) const {
    if (!data_) XML_ASSERT("get name of dummy node");
    FillNsBy(data_->node->ns, ns, noprefix);
}

void XmlNode::GetXmlNsDefinitions(StringMap& ns, const std::string& noprefix) const {
    if (!data_) XML_ASSERT("get name of dummy node");
    if (data_->node->type == XML_ELEMENT_NODE) FillNsBy(data_->node->nsDef, ns, noprefix);
}

// ---- XPath ----

void XPath::Data::Evaluate(const Xml& given, const std::string& path) {
    doc = given;  // an empty handle gets a default document of this XPath's own
    xmlDoc* d = doc.native();
    if (!d) throw XmlFail("xpath_context");
    ctx = xmlXPathNewContext(d);
    if (!ctx) throw XmlFail("xpath_context");
    const vux_log::Module& log = Logger();
    for (const auto& kv : ns) {
        if (log.Check(vux_log::LevelTrace))
            log.Write(vux_log::LevelTrace, "%s namespace: %s = '%s'", "Evaluate", kv.first.c_str(),
                      kv.second.c_str());
        if (xmlXPathRegisterNs(ctx, X(kv.first), X(kv.second)) != 0) throw XmlFail("xpath_namespace", kv.second);
    }
    if (log.Check(vux_log::LevelTrace)) log.Write(vux_log::LevelTrace, "%s path = '%s'", "Evaluate", path.c_str());
    result = xmlXPathEvalExpression(X(path), ctx);
    if (!result) throw XmlFail("xpath", path);
    if (result->type == XPATH_NODESET && result->nodesetval) nodes.resize(result->nodesetval->nodeNr);
}

XPath::XPath(const Xml& doc, const std::string& path) : data_(std::make_shared<Data>()) {
    data_->Evaluate(doc, path);
}

XPath::XPath(const Xml& doc, const std::string& path, const StringMap& ns) : data_(std::make_shared<Data>()) {
    data_->ns = ns;
    data_->Evaluate(doc, path);
}

XPath::XPath(const Xml& doc, const std::string& path, const std::string& prefix, const std::string& uri)
    : data_(std::make_shared<Data>()) {
    data_->ns[prefix] = uri;
    data_->Evaluate(doc, path);
}

std::size_t XPath::size() const { return data_->nodes.size(); }
XmlNode& XPath::operator[](std::size_t i) const { return data_->At(i); }
XmlNode XPath::front() const { return empty() ? XmlNode() : data_->At(0); }
XmlNode XPath::back() const { return empty() ? XmlNode() : data_->At(size() - 1); }

XPath::iterator XPath::begin() const { return empty() ? iterator() : iterator(data_, 0); }
XPath::iterator XPath::end() const { return iterator(); }
XPath::reverse_iterator XPath::rbegin() const {
    return empty() ? reverse_iterator() : reverse_iterator(data_, size() - 1);
}
XPath::reverse_iterator XPath::rend() const { return reverse_iterator(); }

XPath::iterator::iterator(const std::shared_ptr<Data>& data, std::uint64_t index) : data_(data), index_(index) {}
XmlNode& XPath::iterator::operator*() const { return data_->At(index_); }
XPath::iterator& XPath::iterator::operator++() {
    if (data_ && ++index_ >= data_->nodes.size()) data_.reset();
    return *this;
}
XPath::iterator XPath::iterator::operator++(int) {
    iterator old = *this;
    ++*this;
    return old;
}
bool XPath::iterator::operator==(const iterator& o) const {
    if (!data_ || !o.data_) return !data_ && !o.data_;
    return index_ == o.index_;
}

XPath::reverse_iterator::reverse_iterator(const std::shared_ptr<Data>& data, std::uint64_t index)
    : data_(data), index_(index) {}
XmlNode& XPath::reverse_iterator::operator*() const { return data_->At(index_); }
XPath::reverse_iterator& XPath::reverse_iterator::operator++() {
    if (data_) {
        if (index_ == 0)
            data_.reset();
        else
            --index_;
    }
    return *this;
}
XPath::reverse_iterator XPath::reverse_iterator::operator++(int) {
    reverse_iterator old = *this;
    ++*this;
    return old;
}
bool XPath::reverse_iterator::operator==(const reverse_iterator& o) const {
    if (!data_ || !o.data_) return !data_ && !o.data_;
    return index_ == o.index_;
}

}  // namespace vux_xml
