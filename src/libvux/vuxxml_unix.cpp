#include <libvux/vuxxml.h>
#include "private/vuxxml.h"

#include <libxml/parser.h>
#include <libxml/tree.h>
#include <libxml/xmlsave.h>
#include <libxml/xpath.h>
#include <libxml/xpathInternals.h>
#include <libxslt/extensions.h>
#include <libxslt/imports.h>
#include <libxslt/transform.h>
#include <libxslt/xslt.h>
#include <libxslt/xsltInternals.h>
#include <libxslt/xsltutils.h>

#include <cstring>
#include <deque>
#include <fstream>
#include <istream>
#include <mutex>
#include <ostream>
#include <sstream>
#include <stdexcept>
#include <vector>

#include <libvux/vuxdate.h>
#include <libvux/vuxerr.h>
#include <libvux/vuxfile.h>
#include <libvux/vuxlog.h>
#include <libvux/vuxstr.h>

namespace vux_xml {

namespace {

VUX_LOG_MODULE("libvux")

class XmlFail : public vux_err::Error {
public:
    explicit XmlFail(const std::string& object) : vux_err::Error("xml", object) { set_report(); }
    XmlFail(const std::string& object, const std::string& value) : vux_err::Error("xml", object, value) {
        set_report();
    }
};

const int kParseOptions = XML_PARSE_HUGE;

void Silent(void*, const char*, ...) {}

// Parser diagnostics would land on the programs' standard error. libxml2
// keeps the handler per thread, so each thread silences its own.
void Setup() {
    static std::once_flag once;
    std::call_once(once, [] {
        xmlInitParser();
        xmlThrDefSetGenericErrorFunc(nullptr, &Silent);
    });
    thread_local bool silenced = false;
    if (!silenced) {
        xmlSetGenericErrorFunc(nullptr, &Silent);
        silenced = true;
    }
}

const xmlChar* X(const char* s) { return reinterpret_cast<const xmlChar*>(s); }
const xmlChar* X(const std::string& s) { return X(s.c_str()); }
std::string S(const xmlChar* s) { return s ? reinterpret_cast<const char*>(s) : ""; }

// The errors that carry a parameter are plain ones, built as XmlFail is.
[[noreturn]] void ThrowPlain(const char* object, const std::string& value, const char* param,
                             const std::string& param_value) {
    vux_err::Error e("xml", object, value);
    e.set_report();
    e.add_param(param, param_value);
    throw e;
}

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
        VUX_ASSERT(d, "Failed to create XML document");
        d->encoding = xmlStrdup(X("UTF-8"));
        xmlNode* root = xmlNewDocNode(d, nullptr, X("doc"), nullptr);
        if (!root) {
            xmlFreeDoc(d);
            VUX_ASSERT_FAIL("Failed to create XML document");
        }
        xmlDocSetRootElement(d, root);
        return d;
    }
    xmlDoc* doc;
    // Results whose slots are still partly unread; see Materialize.
    std::vector<XPath::Data*> xpaths;
};

// One record per libxml2 node, found again through the node's _private, so
// that every handle on a node agrees on who owns it.
struct XmlNode::Data : std::enable_shared_from_this<XmlNode::Data> {
    Data(xmlNode* n, const Xml& d, bool t) : node(n), in_tree(t), doc(d) {}
    ~Data();
    xmlNode* node;
    bool in_tree;
    Xml doc;
    bool ns_copy = false;      // node is a namespace record of the handle's own
    xmlNs* own_ns = nullptr;   // namespace kept for a detached attribute
};

struct XPath::Data {
    Xml doc;
    StringMap ns;
    xmlXPathContext* ctx = nullptr;
    xmlXPathObject* result = nullptr;
    std::vector<XmlNode> nodes;
    Xml::Data* registered = nullptr;
    std::size_t filled = 0;
    // Namespace nodes of the result, which are the result's own copies.
    std::vector<xmlNs*> own_ns;
    ~Data() {
        Unregister();
        // The result reads its nodes when freed: free it while the handles
        // in the slots still hold them.
        if (result) xmlXPathFreeObject(result);
        for (xmlNs* ns : own_ns) xmlFreeNs(ns);
        if (ctx) xmlXPathFreeContext(ctx);
        nodes.clear();
    }
    void Unregister() {
        if (!registered) return;
        std::vector<XPath::Data*>& v = registered->xpaths;
        for (std::size_t i = 0; i < v.size(); ++i)
            if (v[i] == this) {
                v[i] = v.back();
                v.pop_back();
                break;
            }
        registered = nullptr;
    }
    void Evaluate(const Xml& given, const std::string& path);
    // libxml2 links each namespace node it copied to the element it came
    // from, and reads that element when it frees the copy; the element may be
    // gone by then. The copies are cut loose and freed here instead.
    void TakeNamespaces() {
        xmlNodeSet* set = result->nodesetval;
        for (int i = 0; i < set->nodeNr; ++i) {
            xmlNode* n = set->nodeTab[i];
            if (!n || n->type != XML_NAMESPACE_DECL) continue;
            xmlNs* ns = reinterpret_cast<xmlNs*>(n);
            if (!ns->next || ns->next->type == XML_NAMESPACE_DECL) continue;  // not a copy
            ns->next = nullptr;
            own_ns.push_back(ns);
        }
    }
    XmlNode& At(std::size_t i) {
        if (i >= nodes.size()) throw std::out_of_range("xpath: out of range");
        XmlNode& slot = nodes[i];
        if (!slot) {
            slot = Internal::Wrap(result->nodesetval->nodeTab[i], doc, true);
            if (++filled == nodes.size()) Unregister();
        }
        return slot;
    }
};

namespace {

// xmlNewNs refuses the reserved "xml" prefix, which copies must keep.
xmlNs* CopyNs(const xmlNs* ns) {
    xmlNs* c = static_cast<xmlNs*>(xmlMalloc(sizeof(xmlNs)));
    if (!c) return nullptr;
    memset(c, 0, sizeof(xmlNs));
    c->type = XML_NAMESPACE_DECL;
    if (ns->href) c->href = xmlStrdup(ns->href);
    if (ns->prefix) c->prefix = xmlStrdup(ns->prefix);
    return c;
}

bool IsDocument(const xmlNode* n) { return n->type == XML_DOCUMENT_NODE || n->type == XML_HTML_DOCUMENT_NODE; }

// A namespace node is a far smaller xmlNs: beyond its type, none of the
// element's fields may be read through it.
bool IsNs(const xmlNode* n) { return n->type == XML_NAMESPACE_DECL; }

XmlNode::Data* Live(xmlNode* n) {
    return IsNs(n) ? nullptr : static_cast<XmlNode::Data*>(n->_private);
}

// Before a node is freed every unread slot of a live result on its document
// gets a handle, so that the result keeps the nodes it refers to.
void Materialize(const Xml& doc) {
    Xml::Data* d = Internal::DocData(doc);
    if (!d) return;
    while (!d->xpaths.empty()) {
        XPath::Data* x = d->xpaths.back();
        x->Unregister();
        for (std::size_t i = 0; i < x->nodes.size(); ++i) x->At(i);
    }
}

// A detached attribute keeps a namespace of its own: the declaration it
// used may go with the element it came from.
void KeepAttrNs(XmlNode::Data& h) {
    xmlNode* a = h.node;
    if (a->type != XML_ATTRIBUTE_NODE || !a->ns || a->ns == h.own_ns) return;
    xmlNs* copy = CopyNs(a->ns);
    if (!copy) return;
    if (h.own_ns) xmlFreeNs(h.own_ns);
    h.own_ns = copy;
    a->ns = copy;
}

// Detaches a node that stays alive after its tree: its namespaces must not
// point into ancestors that may go.
void Detach(xmlNode* n) {
    xmlUnlinkNode(n);
    if (n->type == XML_ELEMENT_NODE) xmlReconciliateNs(n->doc, n);
    if (XmlNode::Data* h = Live(n)) {
        h->in_tree = false;
        KeepAttrNs(*h);
    }
}

// Unlinks from the subtree of n every node that still has a handle.
void Rescue(xmlNode* n) {
    std::vector<xmlNode*> stack{n};
    while (!stack.empty()) {
        xmlNode* cur = stack.back();
        stack.pop_back();
        if (cur != n && Live(cur)) {
            Detach(cur);
            continue;
        }
        if (cur->type == XML_ENTITY_REF_NODE) continue;  // its children belong to the entity
        for (xmlNode* c = cur->children; c; c = c->next) stack.push_back(c);
        if (cur->type == XML_ELEMENT_NODE)
            for (xmlAttr* a = cur->properties; a; a = a->next) stack.push_back(reinterpret_cast<xmlNode*>(a));
    }
}

}  // namespace

// Frees an unlinked node unless a handle holds it, which then owns it.
void Internal::Free(xmlNode* n, const Xml& doc) {
    Materialize(doc);
    if (Live(n)) {
        Detach(n);
        return;
    }
    Rescue(n);
    xmlFreeNode(n);
}

namespace {

void FreeChildren(xmlNode* n, const Xml& doc) {
    if (n->type == XML_ENTITY_REF_NODE || n->type == XML_NAMESPACE_DECL) return;
    while (xmlNode* c = n->children) {
        xmlUnlinkNode(c);
        Internal::Free(c, doc);
    }
}

}  // namespace

XmlNode::Data::~Data() {
    if (!node) return;
    if (ns_copy) {
        xmlFreeNs(reinterpret_cast<xmlNs*>(node));
        return;
    }
    if (node->_private == this) node->_private = nullptr;
    // A result that still lists the node takes it over in Free.
    if (!in_tree) Internal::Free(node, doc);
    if (own_ns) xmlFreeNs(own_ns);
}

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
    // A UTF-8 character cut by the first bytes is held back like one cut by
    // a block end, so the filter sees its continuation bytes as such.
    unsigned long held = 0;
    int seq_len = 0, seq_rem = 0;
    for (std::streamsize i = got - 1; i >= 0 && i >= got - 3; --i) {
        const unsigned char c = static_cast<unsigned char>(buffer[i]);
        if ((c & 0xC0) == 0x80) continue;
        const int need = c >= 0xF0 && c <= 0xF4 ? 4 : c >= 0xE0 && c < 0xF0 ? 3 : c >= 0xC2 && c < 0xE0 ? 2 : 0;
        if (i > 0 && need > got - i) {
            seq_len = need;
            seq_rem = need - static_cast<int>(got - i);
            held = static_cast<unsigned long>(got - i);
            got = i;
        }
        break;
    }
    xmlParserCtxt* ctx = xmlCreatePushParserCtxt(nullptr, nullptr, buffer, static_cast<int>(got), "stream");
    if (!ctx) throw XmlFail("parser");
    if (held) std::memmove(buffer, buffer + static_cast<std::size_t>(got), held);
    std::unique_ptr<xmlParserCtxt, void (*)(xmlParserCtxt*)> guard(ctx, [](xmlParserCtxt* c) {
        if (c->myDoc) xmlFreeDoc(c->myDoc);
        xmlFreeParserCtxt(c);
    });
    xmlCtxtUseOptions(ctx, kParseOptions);
    unsigned long dropped = 0;
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
    if (dropped)
        VUX_LOG(VuxLogModule(), vux_log::LevelWarning, "Xml parse. Skipped %d bad chars", static_cast<int>(dropped));
}

void Xml::LoadFromString(const std::string& text) {
    Setup();
    VUX_LOG(VuxLogModule(), vux_log::LevelTrace, "%s data = '%s'", "LoadFromString", text.c_str());
    if (text.empty()) {
        VUX_LOG(VuxLogModule(), vux_log::LevelWarning, "Use empty string as XML document");
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
    VUX_LOG(VuxLogModule(), vux_log::LevelTrace, "%s filename = '%s'", "LoadFromFile", path.c_str());
    vux_file::Info info(path, 2);
    if (!info.IsMissed() && info.Size() == 0) {
        VUX_LOG(VuxLogModule(), vux_log::LevelWarning, "Empty XML file '%s'", path.c_str());
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
    VUX_LOG(VuxLogModule(), vux_log::LevelTrace, "%s filename = '%s'", "Save", path.c_str());
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
    VUX_ASSERT(name && *name, "try to create node with empty name");
    xmlNode* n = xmlNewDocNode(d.doc, nullptr, X(name), nullptr);
    if (!n) throw XmlFail("new_node", name);
    return Internal::ReplaceRoot(*this, n, old);
}

XmlNode Xml::SetRoot(const XmlNode& node, bool old) {
    VUX_ASSERT(node, "try to use dummy node as root node");
    Data& d = Need();
    if (!d.doc || node.native()->type != XML_ELEMENT_NODE) throw XmlFail("insert_node");
    XmlNode use = node;
    if (node.data_->in_tree || node.data_->doc.data_ != data_) use = node.Clone();
    if (use.native()->doc != d.doc) {
        xmlNode* copy = xmlDocCopyNode(use.native(), d.doc, 1);
        if (!copy) throw XmlFail("clone");
        use = XmlNode(copy, *this, false);
    }
    use.data_->in_tree = true;
    return Internal::ReplaceRoot(*this, use.native(), old);
}

void Internal::Drop(const XmlNode& self, xmlAttr* a) {
    if (!a) return;
    xmlUnlinkNode(reinterpret_cast<xmlNode*>(a));
    Free(reinterpret_cast<xmlNode*>(a), self.data_->doc);
}

XmlNode Internal::ReplaceRoot(const Xml& doc, xmlNode* root, bool old) {
    xmlNode* prev = xmlDocSetRootElement(doc.data_->doc, root);
    if (old) {
        if (!prev) return XmlNode();
        XmlNode h(prev, doc, false);
        h.data_->in_tree = false;
        return h;
    }
    if (prev) Free(prev, doc);
    return doc.GetRoot();
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
    if (!node) return;
    if (node->type == XML_NAMESPACE_DECL) {
        // Namespace nodes of a result are copies that go with the result.
        const xmlNs* ns = reinterpret_cast<const xmlNs*>(node);
        xmlNs* copy = CopyNs(ns);
        if (!copy) throw std::bad_alloc();
        data_ = std::make_shared<Data>(reinterpret_cast<xmlNode*>(copy), doc, false);
        data_->ns_copy = true;
        return;
    }
    if (Data* known = Live(node)) {
        data_ = known->weak_from_this().lock();
        if (data_) return;
    }
    data_ = std::make_shared<Data>(node, doc, in_tree);
    node->_private = data_.get();
}

bool XmlNode::operator==(const XmlNode& other) const {
    if (!data_ || !other.data_) return !data_ && !other.data_;
    return data_->node == other.data_->node;
}

_xmlNode* XmlNode::native() const { return data_ ? data_->node : nullptr; }
Xml XmlNode::document() const { return data_ ? data_->doc : Xml(); }

std::string XmlNode::Name() const {
    VUX_ASSERT(data_, "get name of dummy node");
    xmlNode* n = data_->node;
    if (n->type == XML_NAMESPACE_DECL) return S(reinterpret_cast<xmlNs*>(n)->prefix);
    if (!n->name) return "";
    if ((n->type == XML_ELEMENT_NODE || n->type == XML_ATTRIBUTE_NODE) && n->ns && n->ns->prefix)
        return S(n->ns->prefix) + ":" + S(n->name);
    return S(n->name);
}

bool XmlNode::IsNode() const {
    VUX_ASSERT(data_, "get type of dummy node");
    return data_->node->type == XML_ELEMENT_NODE;
}
bool XmlNode::IsText() const {
    VUX_ASSERT(data_, "get type of dummy node");
    return data_->node->type == XML_TEXT_NODE;
}
bool XmlNode::IsCData() const {
    VUX_ASSERT(data_, "get type of dummy node");
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

// Splits "prefix:name"; the namespace is null for an unknown prefix, and
// always for a namespace node, which has no scope of its own.
bool SplitName(xmlNode* node, const char* name, std::string& local, xmlNs*& ns) {
    local = name;
    ns = nullptr;
    if (local.find(':') == std::string::npos) return false;
    std::string prefix = str::GetWord(local, ':');
    if (!IsNs(node)) ns = xmlSearchNs(node->doc, node, X(prefix));
    return true;
}

}  // namespace

std::string XmlNode::GetProp(const char* name) const {
    VUX_ASSERT(data_, "get property of dummy node");
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
    VUX_ASSERT(data_, "set property for dummy node");
    VUX_ASSERT(name && *name, "try to create attribute with empty name");
    std::string local;
    xmlNs* ns;
    xmlAttr* a = nullptr;
    const bool split = SplitName(data_->node, name, local, ns);
    if (data_->node->type == XML_ELEMENT_NODE && (ns || !split)) {
        // libxml2 frees the old value's text nodes; some may have handles.
        xmlAttr* old = xmlHasNsProp(data_->node, X(split ? local : std::string(name)), ns ? ns->href : nullptr);
        if (old) FreeChildren(reinterpret_cast<xmlNode*>(old), data_->doc);
    }
    if (split) {
        if (ns) a = xmlSetNsProp(data_->node, ns, X(local), X(value));
    } else {
        a = xmlSetProp(data_->node, X(name), X(value));
    }
    if (!a) ThrowPlain("node_property", value, "name", name);
    return *this;
}

XmlNode& XmlNode::SetNotEmptyProp(const char* name, const std::string& value) {
    return value.empty() ? DropProp(name) : SetProp(name, value);
}

XmlNode& XmlNode::DropProp(const char* name) {
    VUX_ASSERT(data_, "drop property for dummy node");
    if (!name) return *this;
    std::string local;
    xmlNs* ns;
    if (data_->node->type != XML_ELEMENT_NODE) return *this;
    if (SplitName(data_->node, name, local, ns)) {
        if (ns) Internal::Drop(*this, xmlHasNsProp(data_->node, X(local), ns->href));
    } else {
        Internal::Drop(*this, xmlHasNsProp(data_->node, X(name), nullptr));
    }
    return *this;
}

void XmlNode::AllProps(StringList& names) const {
    VUX_ASSERT(data_, "get properties of dummy node");
    if (data_->node->type != XML_ELEMENT_NODE) return;
    for (xmlAttr* a = data_->node->properties; a; a = a->next) {
        if (a->ns && a->ns->prefix)
            names.push_back(S(a->ns->prefix) + ":" + S(a->name));
        else
            names.push_back(S(a->name));
    }
}

namespace {

bool NoSiblings(const xmlNode* n) {
    return IsDocument(n) || n->type == XML_DOCUMENT_FRAG_NODE || n->type == XML_ATTRIBUTE_NODE ||
           n->type == XML_NAMESPACE_DECL;
}

}  // namespace

XmlNode XmlNode::FirstChild() const {
    VUX_ASSERT(data_, "get first child of dummy node");
    xmlNode* n = data_->node;
    if (n->type == XML_NAMESPACE_DECL || n->type == XML_ENTITY_REF_NODE) return XmlNode();
    return n->children ? XmlNode(n->children, data_->doc, true) : XmlNode();
}

XmlNode XmlNode::LastChild() const {
    VUX_ASSERT(data_, "get last child of dummy node");
    xmlNode* n = data_->node;
    if (n->type == XML_NAMESPACE_DECL || n->type == XML_ENTITY_REF_NODE) return XmlNode();
    return n->last ? XmlNode(n->last, data_->doc, true) : XmlNode();
}

XmlNode XmlNode::Next() const {
    VUX_ASSERT(data_, "get next from dummy node");
    xmlNode* n = data_->node;
    if (NoSiblings(n) || !n->next) return XmlNode();
    return XmlNode(n->next, data_->doc, true);
}

XmlNode XmlNode::Prev() const {
    VUX_ASSERT(data_, "get prev from dummy node");
    xmlNode* n = data_->node;
    if (NoSiblings(n) || !n->prev) return XmlNode();
    return XmlNode(n->prev, data_->doc, true);
}

XmlNode XmlNode::Parent(int steps) const {
    VUX_ASSERT(data_, "get parent of dummy node");
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
    VUX_ASSERT(data_, "get first child of dummy node");
    if (data_->node->type == XML_ATTRIBUTE_NODE || IsNs(data_->node)) return XmlNode();
    for (xmlNode* c = data_->node->children; c; c = c->next) {
        if (c->type != XML_ELEMENT_NODE) continue;
        XmlNode h(c, data_->doc, true);
        if (h.Name() == name) return h;
    }
    return XmlNode();
}

XmlNode XmlNode::AppendChild(const char* name) {
    VUX_ASSERT(data_, "apped child for dummy node");
    VUX_ASSERT(name && *name, "try to create node with empty name");
    xmlNode* c = xmlNewChild(data_->node, nullptr, X(name), nullptr);
    if (!c) throw XmlFail("new_node", name);
    return XmlNode(c, data_->doc, true);
}

XmlNode XmlNode::AppendChild(const char* name, const std::string& content) {
    VUX_ASSERT(data_, "apped child for dummy node");
    VUX_ASSERT(name && *name, "try to create node with empty name");
    if (!content.empty() && IsBlank(content)) {
        XmlNode c = AppendChild(name);
        c.AppendCData(content);
        return c;
    }
    xmlNode* c = xmlNewTextChild(data_->node, nullptr, X(name), X(content));
    if (!c) throw XmlFail("new_node", name);
    return XmlNode(c, data_->doc, true);
}

namespace {

bool TakesChildren(const xmlNode* n) {
    return n->type == XML_ELEMENT_NODE || n->type == XML_DOCUMENT_NODE || n->type == XML_DOCUMENT_FRAG_NODE;
}

bool IsAncestorOrSelf(const xmlNode* candidate, const xmlNode* n) {
    for (; n; n = n->parent)
        if (n == candidate) return true;
    return false;
}

// libxml2 links whatever it is given; refuse the links that would leave children under
// a leaf, a sibling of a node outside any tree, or a node where its kind cannot stand.
void CheckPlace(const xmlNode* at, const xmlNode* given, Where w) {
    if (w == Where::Child ? !TakesChildren(at) : (NoSiblings(at) && at->type != XML_ATTRIBUTE_NODE) || !at->parent)
        throw XmlFail("insert_node");
    const xmlNode* parent = w == Where::Child ? at : at->parent;
    const bool is_attr = given->type == XML_ATTRIBUTE_NODE;
    if (IsDocument(given) || given->type == XML_NAMESPACE_DECL || given->type == XML_DOCUMENT_FRAG_NODE ||
        (w != Where::Child && is_attr != (at->type == XML_ATTRIBUTE_NODE)) ||
        (is_attr && parent->type != XML_ELEMENT_NODE))
        throw XmlFail("insert_node");
}

// A deep copy of `given` for the document of `anchor`, owned by the returned handle.
XmlNode CopyFor(const XmlNode::Data& given, const XmlNode::Data& anchor) {
    xmlNode* copy = xmlDocCopyNode(given.node, anchor.node->doc, 1);
    if (!copy) throw XmlFail("clone");
    XmlNode use = Internal::Wrap(copy, anchor.doc, false);
    if (copy->type == XML_ATTRIBUTE_NODE && given.node->ns) {
        // A copied attribute comes without its namespace.
        copy->ns = given.node->ns;
        KeepAttrNs(*Live(copy));
    }
    return use;
}

// An attribute's namespace must be declared where it goes.
void DeclareAttrNs(xmlNode* attr, xmlNode* parent) {
    if (!attr->ns) return;
    xmlNs* ns = xmlSearchNsByHref(parent->doc, parent, attr->ns->href);
    if (!ns && attr->ns->prefix) ns = xmlNewNs(parent, attr->ns->href, attr->ns->prefix);
    if (!ns) throw XmlFail("insert_node");
    attr->ns = ns;
}

// libxml2 would free an attribute of the same name in passing, under the feet of its
// handles: it goes first, the way every node goes. When that is the anchor itself, the new
// one takes its place.
void LinkAttribute(const XmlNode& self, xmlNode* attr, xmlNode* parent, xmlNode* at, Where w) {
    xmlAttr* dup = xmlHasNsProp(parent, attr->name, attr->ns ? attr->ns->href : nullptr);
    if (dup && reinterpret_cast<xmlNode*>(dup) == at) {
        if (at->prev) {
            at = at->prev;
            w = Where::After;
        } else if (at->next) {
            at = at->next;
            w = Where::Before;
        } else {
            w = Where::Child;
        }
    }
    Internal::Drop(self, dup);
    xmlNode* r = w == Where::Child    ? xmlAddChild(parent, attr)
                 : w == Where::Before ? xmlAddPrevSibling(at, attr)
                                      : xmlAddNextSibling(at, attr);
    if (r != attr) throw XmlFail("insert_node");
}

// Linked by hand: libxml2 merges adjacent text nodes and frees the one given, under the
// feet of its handles.
void LinkNode(xmlNode* n, xmlNode* parent, xmlNode* at, Where w) {
    // A new last child goes after the present last one, if any.
    if (w == Where::Child) {
        at = parent->last;
        w = Where::After;
    }
    xmlNode* prev = w == Where::After ? at : at->prev;
    xmlNode* next = w == Where::After ? (at ? at->next : nullptr) : at;
    n->parent = parent;
    n->prev = prev;
    n->next = next;
    if (prev)
        prev->next = n;
    else
        parent->children = n;
    if (next)
        next->prev = n;
    else
        parent->last = n;
}

}  // namespace

XmlNode Internal::Insert(const XmlNode& self, const XmlNode& node, Where w, bool copy) {
    const XmlNode::Data& anchor = *self.data_;
    const XmlNode::Data& given = *node.data_;
    xmlNode* at = anchor.node;
    CheckPlace(at, given.node, w);
    xmlNode* parent = w == Where::Child ? at : at->parent;
    // Only a detached node of this document moves; any other stays and a copy goes in.
    const bool move = !copy && !given.in_tree && given.node->doc == at->doc;
    if (move && IsAncestorOrSelf(given.node, parent)) throw XmlFail("insert_node");
    XmlNode use = move ? node : CopyFor(given, anchor);
    xmlNode* n = use.data_->node;
    if (n->type == XML_ATTRIBUTE_NODE) {
        DeclareAttrNs(n, parent);
        LinkAttribute(self, n, parent, at, w);
    } else {
        LinkNode(n, parent, at, w);
    }
    use.data_->in_tree = true;
    use.data_->doc = anchor.doc;
    return use;
}

void Internal::CopyProps(const XmlNode& from, const XmlNode& into) {
    const XmlNode::Data& source = *from.data_;
    if (source.node->type != XML_ELEMENT_NODE || into.data_->node->type != XML_ELEMENT_NODE || from == into) return;
    xmlNode* target = into.data_->node;
    for (xmlAttr* a = source.node->properties; a; a = a->next) {
        // An attribute already there keeps its place and takes the new value.
        xmlAttr* old = xmlHasNsProp(target, a->name, a->ns ? a->ns->href : nullptr);
        if (!old) {
            Insert(into, Wrap(reinterpret_cast<xmlNode*>(a), source.doc, true), Where::Child, true);
            continue;
        }
        std::unique_ptr<xmlChar, void (*)(void*)> value(xmlNodeGetContent(reinterpret_cast<xmlNode*>(a)), xmlFree);
        FreeChildren(reinterpret_cast<xmlNode*>(old), into.data_->doc);
        if (!xmlSetNsProp(target, old->ns, a->name, value ? value.get() : X(""))) throw XmlFail("insert_node");
    }
}

XmlNode XmlNode::AppendChild(const XmlNode& child) {
    VUX_ASSERT(data_, "append to dummy node");
    VUX_ASSERT(child, "append dummy node");
    return Internal::Insert(*this, child, Where::Child);
}

XmlNode XmlNode::AddPrevSibling(const XmlNode& node) {
    VUX_ASSERT(data_, "add before dummy node");
    VUX_ASSERT(node, "add dummy node");
    return Internal::Insert(*this, node, Where::Before);
}

XmlNode XmlNode::AddNextSibling(const XmlNode& node) {
    VUX_ASSERT(data_, "add before dummy node");
    VUX_ASSERT(node, "add dummy node");
    return Internal::Insert(*this, node, Where::After);
}

XmlNode XmlNode::AppendCData(const std::string& text) {
    VUX_ASSERT(data_, "apped child for dummy node");
    if (IsNs(data_->node)) throw XmlFail("insert_node");
    xmlNode* c = xmlNewCDataBlock(data_->node->doc, X(text), static_cast<int>(text.size()));
    if (!c) throw XmlFail("new_node", "CDATA");
    return AppendChild(XmlNode(c, data_->doc, false));
}

XmlNode& XmlNode::SetContent(const std::string& text) {
    VUX_ASSERT(data_, "set content of dummy node");
    // libxml2 ignores content set on these, which would pass for success.
    if (IsDocument(data_->node) || data_->node->type == XML_NAMESPACE_DECL) throw XmlFail("content", text);
    if (!IsBlank(text)) {
        xmlNode* n = data_->node;
        // Character data holds text as it is; only markup content is parsed.
        if (n->type == XML_TEXT_NODE || n->type == XML_CDATA_SECTION_NODE || n->type == XML_COMMENT_NODE ||
            n->type == XML_PI_NODE) {
            xmlNodeSetContentLen(n, X(text), static_cast<int>(text.size()));
            return *this;
        }
        xmlChar* enc = xmlEncodeEntitiesReentrant(n->doc, X(text));
        if (!enc) throw XmlFail("content", text);
        FreeChildren(n, data_->doc);
        xmlNodeSetContent(n, enc);
        xmlFree(enc);
        return *this;
    }
    FreeChildren(data_->node, data_->doc);
    if (!text.empty()) AppendCData(text);
    return *this;
}

XmlNode XmlNode::Clone() const {
    VUX_ASSERT(data_, "do clone of dummy node");
    // A document copied as a node could not be freed as one.
    if (IsDocument(data_->node) || data_->node->type == XML_NAMESPACE_DECL) throw XmlFail("clone");
    xmlNode* c = xmlDocCopyNode(data_->node, data_->node->doc, 1);
    if (!c) throw XmlFail("clone");
    return XmlNode(c, data_->doc, false);
}

XmlNode& XmlNode::Unlink() {
    VUX_ASSERT(data_, "unlink dummy node");
    xmlNode* n = data_->node;
    if (NoSiblings(n) || !data_->in_tree) return *this;
    Detach(n);
    return *this;
}

XmlNode& XmlNode::RegisterNamespace(const std::string& prefix, const std::string& href) {
    VUX_ASSERT(data_, "register namespace for dummy node");
    xmlNs* ns = xmlNewNs(data_->node, X(href), prefix.empty() ? nullptr : X(prefix));
    if (!ns) ThrowPlain("create_ns", prefix, "href", href);
    return *this;
}

void XmlNode::GetXmlNs(StringMap& ns, const std::string& noprefix) const {
    VUX_ASSERT(data_, "get namespaces of dummy node");
    if (data_->node->type == XML_NAMESPACE_DECL)
        FillNsBy(reinterpret_cast<xmlNs*>(data_->node), ns, noprefix);
    else if (data_->node->type == XML_ELEMENT_NODE || data_->node->type == XML_ATTRIBUTE_NODE)
        FillNsBy(data_->node->ns, ns, noprefix);
}

void XmlNode::GetXmlNsDefinitions(StringMap& ns, const std::string& noprefix) const {
    VUX_ASSERT(data_, "get namespaces of dummy node");
    if (data_->node->type == XML_ELEMENT_NODE) FillNsBy(data_->node->nsDef, ns, noprefix);
}

// ---- XPath ----

void XPath::Data::Evaluate(const Xml& given, const std::string& path) {
    doc = given;  // an empty handle gets a default document of this XPath's own
    xmlDoc* d = doc.native();
    if (!d) throw XmlFail("xpath_context");
    ctx = xmlXPathNewContext(d);
    if (!ctx) throw XmlFail("xpath_context");
    ctx->node = reinterpret_cast<xmlNode*>(d);
    for (const auto& kv : ns) {
        VUX_LOG(VuxLogModule(), vux_log::LevelTrace, "%s namespace: %s = '%s'", "Evaluate", kv.first.c_str(),
                kv.second.c_str());
        if (xmlXPathRegisterNs(ctx, X(kv.first), X(kv.second)) != 0) throw XmlFail("xpath_namespace", kv.second);
    }
    VUX_LOG(VuxLogModule(), vux_log::LevelTrace, "%s path = '%s'", "Evaluate", path.c_str());
    result = xmlXPathEvalExpression(X(path), ctx);
    if (!result) throw XmlFail("xpath", path);
    if (result->type == XPATH_NODESET && result->nodesetval && result->nodesetval->nodeNr > 0) {
        nodes.resize(result->nodesetval->nodeNr);
        TakeNamespaces();
        registered = Internal::DocData(doc);
        registered->xpaths.push_back(this);
    }
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

template <int Step>
XmlNode& XPath::Iterator<Step>::operator*() const {
    if (!data_) throw std::out_of_range("xpath: out of range");
    return data_->At(index_);
}

template <int Step>
XPath::Iterator<Step>& XPath::Iterator<Step>::operator++() {
    if (!data_) return *this;
    if (Step > 0 ? index_ + 1 >= data_->nodes.size() : index_ == 0)
        data_.reset();
    else
        index_ = Step > 0 ? index_ + 1 : index_ - 1;
    return *this;
}

template XmlNode& XPath::Iterator<1>::operator*() const;
template XmlNode& XPath::Iterator<-1>::operator*() const;
template XPath::Iterator<1>& XPath::Iterator<1>::operator++();
template XPath::Iterator<-1>& XPath::Iterator<-1>::operator++();

// ---- XSLT ----

const char* const XsltNamespace = "http://vux.panel/xslt";

namespace {

// The extension functions report misuse to the XPath evaluation, which then fails.
const int kXPathMisuse = XPATH_INVALID_ARITY;

void Misuse(xmlXPathParserContext* ctxt) { xmlXPathErr(ctxt, kXPathMisuse); }

// Pops the last argument as a string; false when the stack has none to give.
bool PopString(xmlXPathParserContext* ctxt, std::string& out) {
    xmlChar* s = xmlXPathPopString(ctxt);
    if (!s || ctxt->error) {
        xmlFree(s);
        return false;
    }
    out = S(s);
    xmlFree(s);
    return true;
}

void ReturnString(xmlXPathParserContext* ctxt, const std::string& s) {
    valuePush(ctxt, xmlXPathNewString(X(s)));
}

// Pops N string arguments, last first, into args in call order; C++ failures of the
// body become XPath errors, as no exception may cross libxslt.
template <std::size_t N, class F>
void StringFunction(xmlXPathParserContext* ctxt, int nargs, F&& body) {
    if (nargs != static_cast<int>(N)) {
        Misuse(ctxt);
        return;
    }
    try {
        std::string args[N];
        for (std::size_t i = N; i-- > 0;)
            if (!PopString(ctxt, args[i])) return Misuse(ctxt);
        body(args);
    } catch (...) {
        Misuse(ctxt);
    }
}

std::string FixQuote(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        switch (c) {
        case '\'':
        case '"':
        case '\\':
            out += '\\';
            out += c;
            break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        case '\f': out += "\\f"; break;
        case '\v': out += "\\v"; break;
        default: out += c;
        }
    }
    return out;
}

void XFixQuote(xmlXPathParserContext* ctxt, int nargs) {
    StringFunction<1>(ctxt, nargs, [&](std::string* a) { ReturnString(ctxt, FixQuote(a[0])); });
}

void XReplace(xmlXPathParserContext* ctxt, int nargs) {
    StringFunction<3>(ctxt, nargs, [&](std::string* a) { ReturnString(ctxt, str::Replace(a[0], a[1], a[2])); });
}

void XEscapeUrl(xmlXPathParserContext* ctxt, int nargs) {
    StringFunction<1>(ctxt, nargs, [&](std::string* a) { ReturnString(ctxt, str::url::Encode(a[0])); });
}

void XDateFormat(xmlXPathParserContext* ctxt, int nargs) {
    StringFunction<2>(ctxt, nargs, [&](std::string* a) {
        if (a[0].empty()) return ReturnString(ctxt, "");
        const vux_date::Date date(a[0].substr(0, 10));
        ReturnString(ctxt, vux_date::Format(static_cast<time_t>(long(date)), a[1].c_str()));
    });
}

void XRandom(xmlXPathParserContext* ctxt, int nargs) {
    if (nargs != 1) return Misuse(ctxt);
    try {
        xmlXPathFreeObject(valuePop(ctxt));
        const std::string bytes = str::Random(sizeof(std::uint64_t));
        std::uint64_t v = 0;
        std::memcpy(&v, bytes.data(), sizeof(v));
        valuePush(ctxt, xmlXPathNewFloat(static_cast<double>(v >> 1)));
    } catch (...) {
        Misuse(ctxt);
    }
}

// ---- amounts in words ----

const char* const kHundreds[] = {"",          "сто",      "двести",   "триста",    "четыреста",
                                 "пятьсот",   "шестьсот", "семьсот",  "восемьсот", "девятьсот"};
const char* const kTeens[] = {"десять",      "одиннадцать", "двенадцать",   "тринадцать",   "четырнадцать",
                              "пятнадцать",  "шестнадцать", "семнадцать",   "восемнадцать", "девятнадцать"};
const char* const kTens[] = {"",          "",           "двадцать",    "тридцать", "сорок",
                             "пятьдесят", "шестьдесят", "семьдесят",   "восемьдесят", "девяносто"};
const char* const kUnits[] = {"", "один", "два", "три", "четыре", "пять", "шесть", "семь", "восемь", "девять"};
const char* const kUnitsFeminine[] = {"",     "одна",  "две",   "три",    "четыре",
                                      "пять", "шесть", "семь",  "восемь", "девять"};
const char* const kGroups[] = {"", " тысяч", " миллион", " миллиард", " триллион"};
const std::size_t kMaxTriads = sizeof(kGroups) / sizeof(kGroups[0]);

// The ending after a group word, chosen by the triad's last two digits.
const char* GroupEnding(std::size_t group, int t, int u) {
    const bool one = u == 1 && t != 1;
    const bool few = u >= 2 && u <= 4 && t != 1;
    if (group == 1) return one ? "а" : few ? "и" : "";
    return one ? "" : few ? "а" : "ов";
}

std::string TriadWords(const std::string& triad, std::size_t group) {
    const int h = triad[0] - '0', t = triad[1] - '0', u = triad[2] - '0';
    std::string words;
    if (h != 0) str::inpl::Append(words, kHundreds[h], " ");
    if (t == 1) str::inpl::Append(words, kTeens[u], " ");
    if (t >= 2) str::inpl::Append(words, kTens[t], " ");
    if (t != 1 && u != 0) str::inpl::Append(words, group == 1 ? kUnitsFeminine[u] : kUnits[u], " ");
    if (group > 0) words.append(kGroups[group]).append(GroupEnding(group, t, u));
    return words;
}

// False for a character other than digits and dots, or more digits than the groups name.
bool AmountWords(std::string amount, const std::string& currency, std::string& out) {
    const bool negative = !amount.empty() && amount[0] == '-';
    if (negative) amount.erase(0, 1);
    if (amount.find_first_not_of("0123456789.") != std::string::npos) return false;
    std::string digits = str::GetWord(amount, '.');
    const std::string& fraction = amount;
    // Leading zeros name nothing, so they do not count against the limit.
    digits.erase(0, std::min(digits.find_first_not_of('0'), digits.size()));
    if (digits.size() > 3 * kMaxTriads) return false;
    digits.insert(0, (3 - digits.size() % 3) % 3, '0');
    std::string text;
    for (std::size_t group = 0; group * 3 < digits.size(); ++group) {
        const std::string triad = digits.substr(digits.size() - 3 * (group + 1), 3);
        if (triad == "000") continue;
        text = text.empty() ? TriadWords(triad, group) : TriadWords(triad, group) + " " + text;
    }
    if (text.empty())
        text = "ноль";
    else if (negative)
        text.insert(0, currency == "UAH" ? "мінус " : "минус ");
    if (currency == "UAH")
        text.append(" грн. ").append(fraction).append(" коп.");
    else if (currency != "NULL")
        text.append(" руб. ").append(fraction).append(" коп.");
    out.swap(text);
    return true;
}

void XStrSum(xmlXPathParserContext* ctxt, int nargs) {
    if (nargs != 1 && nargs != 2) return Misuse(ctxt);
    try {
        std::string currency, amount, words;
        if (nargs == 2 && !PopString(ctxt, currency)) return Misuse(ctxt);
        if (!PopString(ctxt, amount)) return Misuse(ctxt);
        if (!AmountWords(amount, currency, words)) return Misuse(ctxt);
        ReturnString(ctxt, words);
    } catch (...) {
        Misuse(ctxt);
    }
}

// libxslt's own diagnostics would land on the programs' standard error.
void SilentXslt(void*, const char*, ...) {}

void InitXslt() {
    static std::once_flag once;
    std::call_once(once, [] {
        Setup();
        xsltInit();
        xsltSetGenericErrorFunc(nullptr, &SilentXslt);
    });
}

void RegisterFunctions() {
    static std::once_flag once;
    std::call_once(once, [] {
        const std::pair<const char*, xmlXPathFunction> functions[] = {
            {"fixquote", &XFixQuote},     {"replace", &XReplace}, {"escapeurl", &XEscapeUrl},
            {"dateformat", &XDateFormat}, {"random", &XRandom},   {"strsum", &XStrSum}};
        for (const auto& f : functions)
            xsltRegisterExtModuleFunction(X(f.first), X(XsltNamespace), f.second);
    });
}

}  // namespace

struct Xslt::Data {
    explicit Data(xsltStylesheet* s) : style(s) {}
    ~Data() { xsltFreeStylesheet(style); }
    xsltStylesheet* style;
};

namespace {

// Compiles the document, which the stylesheet then owns; null when it does not compile.
xsltStylesheet* Compile(const Xml& doc) {
    Xml::Data* d = Internal::DocData(doc);
    if (!d || !d->doc) return nullptr;
    xsltStylesheet* style = xsltParseStylesheetDoc(d->doc);
    if (style) d->doc = nullptr;
    return style;
}

}  // namespace

Xslt::Xslt() {}

Xslt::Xslt(const std::string& path) {
    InitXslt();
    xsltStylesheet* style = nullptr;
    try {
        style = Compile(XmlFile(path));
    } catch (const vux_err::Error&) {
    }
    if (!style) throw XmlFail("stylesheet_file", path);
    data_ = std::make_shared<Data>(style);
}

Xslt::Xslt(std::istream& in) {
    InitXslt();
    xsltStylesheet* style = nullptr;
    try {
        style = Compile(Xml(in));
    } catch (const vux_err::Error&) {
    }
    if (!style) throw XmlFail("stylesheet");
    data_ = std::make_shared<Data>(style);
}

void Xslt::Transform(const Xml& doc, std::ostream& out) const {
    VUX_ASSERT(data_, "XSLT object is not initialized");
    Setup();  // this thread's parser diagnostics are silenced too
    RegisterFunctions();
    VUX_LOG(VuxLogModule(), vux_log::LevelTrace, "%s", "Transform");
    xmlDoc* source = Internal::Doc(doc);
    if (!source) throw XmlFail("transform");
    const char* params[] = {nullptr};
    std::unique_ptr<xmlDoc, void (*)(xmlDoc*)> result(xsltApplyStylesheet(data_->style, source, params),
                                                       [](xmlDoc* p) { xmlFreeDoc(p); });
    if (!result) throw XmlFail("transform");
    // As xsltproc writes it: the stylesheet's encoding applies, UTF-8 needs no encoder.
    const xmlChar* encoding = nullptr;
    XSLT_GET_IMPORT_PTR(encoding, data_->style, encoding)
    xmlCharEncodingHandler* encoder = encoding ? xmlFindCharEncodingHandler(S(encoding).c_str()) : nullptr;
    if (encoder && xmlStrEqual(X(encoder->name), X("UTF-8"))) encoder = nullptr;
    xmlOutputBuffer* buf = xmlOutputBufferCreateIO(&WriteToStream, &CloseNothing, &out, encoder);
    if (!buf) {
        if (encoder) xmlCharEncCloseFunc(encoder);
        throw XmlFail("write");
    }
    const int written = xsltSaveResultTo(buf, result.get(), data_->style);
    const int closed = xmlOutputBufferClose(buf);
    if (written == -1 || closed < 0) throw XmlFail("write");
}

}  // namespace vux_xml
