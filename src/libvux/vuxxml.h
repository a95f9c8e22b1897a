// XML documents, nodes and XPath: shared handles on libxml2 trees.
#ifndef LIBVUX_VUXXML_H
#define LIBVUX_VUXXML_H

#include <libvux/vuxapi.h>

#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <iterator>
#include <map>
#include <memory>
#include <string>

#include <libvux/vuxtypes.h>

// libxml2's own types, kept opaque here, and outside the exported declarations.
struct _xmlDoc;
struct _xmlNode;
struct _xmlNs;

VUX_API_BEGIN

namespace vux_xml {

// Failures throw a vux_err::Error of type "xml", marked as a report, whose object names the
// failed step (the names quoted below); using the empty node asserts.

class XmlNode;
class XPath;
struct VUX_INTERNAL Internal;

// A document; copies share it. An empty (default) handle gets a document with the root
// element "doc" from the first operation that needs one.
class Xml {
public:
    Xml();
    explicit Xml(std::istream& in);

    // Streams the input through a push parser, dropping bytes that are not UTF-8 or are
    // control characters (but for the first four). The handle is replaced only on success.
    // Throws "read" for an empty stream, "parse" (the chunk as value) for bad XML.
    void Load(std::istream& in);
    // A file of size 0 (or an empty text) empties the handle. A failed parse throws
    // "parse_file" (the path) or "parse" (the text) and leaves the handle with no document.
    void LoadFromFile(const std::string& path);
    void LoadFromString(const std::string& text);

    // `format` re-indents: white-space text between elements is dropped first, but an
    // element's only child is kept. Throws "write" when the output fails or a failed load
    // left no document (with format, "copy" then).
    void Save(std::ostream& out, bool format = false) const;
    void Save(const std::string& path, bool format = false) const;
    std::string Str(bool format = false) const;

    // The empty node when the document has no root element.
    XmlNode GetRoot() const;
    // A new root element; returns the old root (detached, owned by the returned handle, or
    // the empty node when there was none) when `old`, else the new one.
    XmlNode SetRoot(const char* name, bool old = false);
    // `node` itself becomes the root when it is detached and of this document, else a copy.
    XmlNode SetRoot(const XmlNode& node, bool old = false);

    // The first (GetLastNode: last) node the path selects, or the empty node; GetNodes the
    // whole result. XPath errors throw as for XPath.
    XmlNode GetNode(const std::string& path) const;
    XmlNode GetNode(const std::string& path, const StringMap& ns) const;
    XmlNode GetNode(const std::string& path, const std::string& prefix, const std::string& uri) const;
    XmlNode GetLastNode(const std::string& path) const;
    XmlNode GetLastNode(const std::string& path, const StringMap& ns) const;
    XmlNode GetLastNode(const std::string& path, const std::string& prefix,
                        const std::string& uri) const;
    XPath GetNodes(const std::string& path) const;
    XPath GetNodes(const std::string& path, const StringMap& ns) const;
    XPath GetNodes(const std::string& path, const std::string& prefix, const std::string& uri) const;

    // Unlink (and so free) every node the path selects, or drop the attribute `name` of each;
    // both return how many nodes the path selected.
    std::size_t RemoveNodes(const std::string& path);
    std::size_t RemoveProps(const std::string& path, const char* name);

    // True when the handle holds no document record at all.
    bool IsEmpty() const { return !data_; }

    struct VUX_INTERNAL Data;

private:
    friend class XmlNode;
    friend class XPath;
    friend struct Internal;
    Data& Need() const;
    // The libxml2 document; an empty handle gets the default document first.
    VUX_INTERNAL _xmlDoc* native() const;

    mutable std::shared_ptr<Data> data_;
};

class XmlFile : public Xml {
public:
    explicit XmlFile(const std::string& path);
};

class XmlString : public Xml {
public:
    explicit XmlString(const std::string& text);
};

// A node in or out of a document; the handle keeps its document alive. Every operation but
// bool, ==, != and Str() asserts on the empty ("dummy") node.
class XmlNode {
public:
    XmlNode();

    explicit operator bool() const { return static_cast<bool>(data_); }
    // Two empty nodes are equal; otherwise equal when on the same libxml2 node.
    bool operator==(const XmlNode& other) const;
    bool operator!=(const XmlNode& other) const { return !(*this == other); }

    // "prefix:local" when the node's namespace has a prefix; "" for a node without a name.
    std::string Name() const;
    bool IsNode() const;
    bool IsText() const;
    bool IsCData() const;
    // The text of the node and all its descendants; "" for the empty node.
    std::string Str() const;

    // "prefix:name" looks the prefix up among the namespaces in scope; a plain name is the
    // attribute without namespace. GetProp gives "" for an absent attribute or unknown prefix.
    std::string GetProp(const char* name) const;
    // Throws a plain vux_err::Error "node_property" (parameter "name") for an unknown prefix
    // or a node that takes no attributes.
    XmlNode& SetProp(const char* name, const std::string& value);
    // SetProp, or DropProp for an empty value.
    XmlNode& SetNotEmptyProp(const char* name, const std::string& value);
    XmlNode& DropProp(const char* name);
    // Appends the attribute names, in document order, without clearing `names`.
    void AllProps(StringList& names) const;

    // Children and siblings of any type (text, comments...), or the empty node. A document,
    // fragment or attribute node has no siblings and no parent.
    XmlNode FirstChild() const;
    XmlNode LastChild() const;
    XmlNode Next() const;
    XmlNode Prev() const;
    // The ancestor n steps up (this node for n < 1); above the root element lies the
    // document node, above that the empty node.
    XmlNode Parent(int n = 1) const;
    // The first child element whose Name() is `name`, or the empty node; no XPath.
    XmlNode FindNode(const std::string& name) const;

    // Throws "new_node" when libxml2 refuses the element; a name with a colon is taken as it is.
    XmlNode AppendChild(const char* name);
    // Content of white space only goes in as CDATA, so that formatting keeps it.
    XmlNode AppendChild(const char* name, const std::string& content);
    // A detached node of this document moves; any other is copied and stays where it was.
    // Returns the node inserted; throws "insert_node" for a place its kind cannot go.
    XmlNode AppendChild(const XmlNode& child);
    XmlNode AddPrevSibling(const XmlNode& node);
    XmlNode AddNextSibling(const XmlNode& node);
    XmlNode AppendCData(const std::string& text);
    // Replaces the children by the escaped text; an empty text only removes them, and
    // white space only goes in as CDATA. Throws "content" where libxml2 takes none.
    XmlNode& SetContent(const std::string& text);

    // A deep copy, detached and owned by the returned handle, of the same document.
    XmlNode Clone() const;
    // Detaches the node, which the handle then owns; a detached, document or attribute node
    // is left as it is.
    XmlNode& Unlink();

    // An empty prefix declares the default namespace. Throws a plain vux_err::Error
    // "create_ns" (parameter "href") when libxml2 refuses it, as for a prefix declared twice.
    XmlNode& RegisterNamespace(const std::string& prefix, const std::string& href);
    // FillNsBy over the node's own namespace and the declarations chained after it
    // (Definitions: over the declarations made on this node).
    void GetXmlNs(StringMap& ns, const std::string& noprefix) const;
    void GetXmlNsDefinitions(StringMap& ns, const std::string& noprefix) const;

    // The document this node belongs to (an empty handle for the empty node).
    Xml document() const;

    struct VUX_INTERNAL Data;

private:
    friend class Xml;
    friend struct Internal;
    // Wraps a libxml2 node of `doc`; `in_tree` false hands the subtree to the handle.
    // All handles on one node share one record, so this may return an existing one.
    VUX_INTERNAL XmlNode(_xmlNode* node, const Xml& doc, bool in_tree);
    // The libxml2 node, or null for the empty node.
    VUX_INTERNAL _xmlNode* native() const;

    std::shared_ptr<Data> data_;
};

// An evaluated XPath expression and its nodes, which get handles when first read. Paths
// start at the document node; an empty Xml is evaluated on a default document of the
// XPath's own. Throws "xpath_context", "xpath_namespace" (the URI) or "xpath" (the path).
class XPath {
public:
    XPath(const Xml& doc, const std::string& path);
    XPath(const Xml& doc, const std::string& path, const StringMap& ns);
    XPath(const Xml& doc, const std::string& path, const std::string& prefix, const std::string& uri);

    // 0 when the expression yields no node set (a number, a string).
    std::size_t size() const;
    bool empty() const { return size() == 0; }
    explicit operator bool() const { return size() != 0; }

    // Throws std::out_of_range "xpath: out of range" for i >= size().
    XmlNode& operator[](std::size_t i) const;
    // The empty node for an empty result.
    XmlNode front() const;
    XmlNode back() const;

    struct VUX_INTERNAL Data;

    // Walks the result forwards (Step 1) or backwards (Step -1). The end iterator holds no
    // result, and ++ past either end turns an iterator into it; two others are equal when
    // their indexes are (the results they walk are not compared).
    template <int Step>
    class Iterator {
    public:
        typedef std::forward_iterator_tag iterator_category;
        typedef XmlNode value_type;
        typedef std::ptrdiff_t difference_type;
        typedef XmlNode* pointer;
        typedef XmlNode& reference;

        Iterator() : index_(0) {}
        Iterator(const std::shared_ptr<Data>& data, std::uint64_t index) : data_(data), index_(index) {}
        // Throws std::out_of_range "xpath: out of range" on the end iterator.
        XmlNode& operator*() const;
        XmlNode* operator->() const { return &**this; }
        Iterator& operator++();
        Iterator operator++(int) {
            Iterator old = *this;
            ++*this;
            return old;
        }
        bool operator==(const Iterator& other) const {
            if (!data_ || !other.data_) return !data_ && !other.data_;
            return index_ == other.index_;
        }
        bool operator!=(const Iterator& other) const { return !(*this == other); }

    private:
        std::shared_ptr<Data> data_;
        std::uint64_t index_;
    };
    typedef Iterator<1> iterator;
    typedef Iterator<-1> reverse_iterator;

    iterator begin() const;
    iterator end() const;
    reverse_iterator rbegin() const;
    reverse_iterator rend() const;

private:
    friend struct Internal;
    std::shared_ptr<Data> data_;
};

// An XPath string literal (or concat() of literals) that denotes `value`.
std::string EscapePropValue(const std::string& value);
// Stores each URI of a libxml2 namespace chain under its prefix, or under `noprefix` for an
// entry without one; later entries win.
void FillNsBy(_xmlNs* ns, StringMap& out, const std::string& noprefix);
// The byte filter of Xml::Load. Filters `length` new bytes in place; they follow the
// bytes of an unfinished UTF-8 sequence held back from the previous block (there are
// sequence_length - sequence_remaining of them). `kept` receives the kept byte count,
// held-back bytes included; the two counters carry the sequence state between blocks.
void RemoveBadChars(char* buffer, unsigned long length, unsigned long& kept, int& sequence_length,
                    int& sequence_remaining);

// The namespace URI under which stylesheets call the panel's extension functions
// (fixquote, replace, escapeurl, dateformat, random, strsum).
extern const char* const XsltNamespace;

// A compiled stylesheet; copies share it. Failures throw the "xml" error: "stylesheet_file"
// (the path) or "stylesheet" when it does not compile, "transform" when applying it fails
// (libxslt's depth limits stop endless recursion there), "write" when the output does.
class Xslt {
public:
    Xslt();
    explicit Xslt(const std::string& path);
    explicit Xslt(std::istream& in);

    // Writes the result as the stylesheet's xsl:output asks (method, encoding, indent).
    // One Xslt may serve several threads at once. An empty handle asserts.
    void Transform(const Xml& doc, std::ostream& out) const;

    struct VUX_INTERNAL Data;

private:
    std::shared_ptr<Data> data_;
};

// Merges XML descriptions under a schema that names the elements, how each merges and
// which attributes (its key) tell same-named siblings apart. Schema and merge problems are
// logged and the offending element skipped; only a schema file that does not parse throws.
class XmlMerge {
public:
    class Node {
    public:
        // The schema's words: "no", "ignore", "replace", "xml", "text".
        enum MergeType { MergeNo = 0, MergeIgnore = 1, MergeReplace = 2, MergeXml = 3, MergeText = 4 };

        Node(const std::string& name, MergeType type, const std::string& key, bool root);

        // The key attributes' values in schema order, empty ones skipped, joined with "|".
        std::string Key(vux_xml::XmlNode node) const;
        // A child schema node, else an included one, else null.
        std::shared_ptr<Node> Find(const std::string& name) const;
        // Merges from into into; returns into, or the copy that replaced it.
        vux_xml::XmlNode Merge(vux_xml::XmlNode from, vux_xml::XmlNode into) const;
        // Applies the before/after/first/last request of one element (the attributes go);
        // true when it moved.
        bool Move(vux_xml::XmlNode node) const;

        std::string name;
        MergeType type;
        StringList key;
        std::map<std::string, std::shared_ptr<Node>> children;
        // Shared nodes may include themselves; the XmlMerge that parsed them keeps them.
        std::map<std::string, std::weak_ptr<Node>> includes;
        bool root;
    };

    class SchemaNode {
    public:
        SchemaNode() {}
        explicit SchemaNode(const std::shared_ptr<Node>& node) : node_(node) {}
        virtual SchemaNode FindNode(const std::string& name) const;
        // False without a node and, with skip_root, for a root node; true for elements that
        // are appended ("no", "ignore") or told apart by a key.
        virtual bool IsArray(bool skip_root) const;
        virtual ~SchemaNode() {}
        explicit operator bool() const { return static_cast<bool>(node_); }
        const std::shared_ptr<Node>& node() const { return node_; }

    private:
        std::shared_ptr<Node> node_;
    };

    class BaseFunctor {
    public:
        // Whether CheckAndMove descends into the element.
        virtual bool operator()(vux_xml::XmlNode node) = 0;
        virtual ~BaseFunctor() {}
    };

    // A schema file, or every ".xml" file of a directory; a file that does not parse is
    // logged and skipped in a directory, thrown ("parse_file") alone. Any other path
    // leaves the schema empty.
    explicit XmlMerge(const std::string& path);

    // Merges from into into under the top-level schema node named like from; without one,
    // nothing happens.
    void Merge(vux_xml::XmlNode from, vux_xml::XmlNode into) const;
    // Applies the positioning requests below node, descending where f says so (f may be null).
    void CheckAndMove(vux_xml::XmlNode node, BaseFunctor* f) const;
    SchemaNode Schema(const vux_xml::XmlNode& node) const;

private:
    void ParseXml(const vux_xml::XmlNode& schema, Node& parent);
    void CheckAndMove(vux_xml::XmlNode node, const Node& schema, BaseFunctor* f) const;

    std::shared_ptr<Node> root_;
    std::map<std::string, std::shared_ptr<Node>> shares_;
};

std::string operator+(const char* s, const XmlNode& node);
std::string operator+(const XmlNode& node, const char* s);
std::string operator+(const std::string& s, const XmlNode& node);
std::string operator+(const XmlNode& node, const std::string& s);
std::string& operator+=(std::string& s, const XmlNode& node);

}  // namespace vux_xml

VUX_API_END

#endif
