// XML documents, nodes and XPath: shared handles on libxml2 trees.
#ifndef LIBVUX_VUXXML_H
#define LIBVUX_VUXXML_H

#include <libvux/vuxapi.h>

#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <iterator>
#include <memory>
#include <string>

#include <libvux/vuxtypes.h>

// libxml2's own types, kept opaque here.
struct _xmlDoc;
struct _xmlNode;
struct _xmlNs;

namespace VUX_API vux_xml {

class XmlNode;
class XPath;
struct VUX_INTERNAL Internal;

class Xml {
public:
    Xml();
    explicit Xml(std::istream& in);

    // Streams the input through a push parser; the handle is replaced only on success.
    void Load(std::istream& in);
    void LoadFromFile(const std::string& path);
    void LoadFromString(const std::string& text);

    void Save(std::ostream& out, bool format = false) const;
    void Save(const std::string& path, bool format = false) const;
    std::string Str(bool format = false) const;

    XmlNode GetRoot() const;
    XmlNode SetRoot(const char* name, bool old = false);
    XmlNode SetRoot(const XmlNode& node, bool old = false);

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

class XmlNode {
public:
    XmlNode();

    explicit operator bool() const { return static_cast<bool>(data_); }
    bool operator==(const XmlNode& other) const;
    bool operator!=(const XmlNode& other) const { return !(*this == other); }

    std::string Name() const;
    bool IsNode() const;
    bool IsText() const;
    bool IsCData() const;
    std::string Str() const;

    std::string GetProp(const char* name) const;
    XmlNode& SetProp(const char* name, const std::string& value);
    XmlNode& SetNotEmptyProp(const char* name, const std::string& value);
    XmlNode& DropProp(const char* name);
    void AllProps(StringList& names) const;

    XmlNode FirstChild() const;
    XmlNode LastChild() const;
    XmlNode Next() const;
    XmlNode Prev() const;
    XmlNode Parent(int n = 1) const;
    XmlNode FindNode(const std::string& name) const;

    XmlNode AppendChild(const char* name);
    XmlNode AppendChild(const char* name, const std::string& content);
    XmlNode AppendChild(const XmlNode& child);
    XmlNode AddPrevSibling(const XmlNode& node);
    XmlNode AddNextSibling(const XmlNode& node);
    XmlNode AppendCData(const std::string& text);
    XmlNode& SetContent(const std::string& text);

    XmlNode Clone() const;
    XmlNode& Unlink();

    XmlNode& RegisterNamespace(const std::string& prefix, const std::string& href);
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

class XPath {
public:
    XPath(const Xml& doc, const std::string& path);
    XPath(const Xml& doc, const std::string& path, const StringMap& ns);
    XPath(const Xml& doc, const std::string& path, const std::string& prefix, const std::string& uri);

    std::size_t size() const;
    bool empty() const { return size() == 0; }
    explicit operator bool() const { return size() != 0; }

    XmlNode& operator[](std::size_t i) const;
    XmlNode front() const;
    XmlNode back() const;

    struct VUX_INTERNAL Data;

    class iterator {
    public:
        typedef std::forward_iterator_tag iterator_category;
        typedef XmlNode value_type;
        typedef std::ptrdiff_t difference_type;
        typedef XmlNode* pointer;
        typedef XmlNode& reference;

        iterator() : index_(0) {}
        iterator(const std::shared_ptr<Data>& data, std::uint64_t index);
        XmlNode& operator*() const;
        XmlNode* operator->() const { return &**this; }
        iterator& operator++();
        iterator operator++(int);
        bool operator==(const iterator& other) const;
        bool operator!=(const iterator& other) const { return !(*this == other); }

    private:
        std::shared_ptr<Data> data_;
        std::uint64_t index_;
    };

    class reverse_iterator {
    public:
        typedef std::forward_iterator_tag iterator_category;
        typedef XmlNode value_type;
        typedef std::ptrdiff_t difference_type;
        typedef XmlNode* pointer;
        typedef XmlNode& reference;

        reverse_iterator() : index_(0) {}
        reverse_iterator(const std::shared_ptr<Data>& data, std::uint64_t index);
        XmlNode& operator*() const;
        XmlNode* operator->() const { return &**this; }
        reverse_iterator& operator++();
        reverse_iterator operator++(int);
        bool operator==(const reverse_iterator& other) const;
        bool operator!=(const reverse_iterator& other) const { return !(*this == other); }

    private:
        std::shared_ptr<Data> data_;
        std::uint64_t index_;
    };

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
void FillNsBy(_xmlNs* ns, StringMap& out, const std::string& noprefix);
// The byte filter of Xml::Load. Filters `length` new bytes in place; they follow the
// bytes of an unfinished UTF-8 sequence held back from the previous block (there are
// sequence_length - sequence_remaining of them). `kept` receives the kept byte count,
// held-back bytes included; the two counters carry the sequence state between blocks.
void RemoveBadChars(char* buffer, unsigned long length, unsigned long& kept, int& sequence_length,
                    int& sequence_remaining);

std::string operator+(const char* s, const XmlNode& node);
std::string operator+(const XmlNode& node, const char* s);
std::string operator+(const std::string& s, const XmlNode& node);
std::string operator+(const XmlNode& node, const std::string& s);
std::string& operator+=(std::string& s, const XmlNode& node);

}  // namespace vux_xml

#endif
