// The private side of the XML handles, for the library's own sources; not installed.
// Only through here does code reach the libxml2 tree behind a handle.
#ifndef LIBVUX_PRIVATE_VUXXML_H
#define LIBVUX_PRIVATE_VUXXML_H

#include <libvux/vuxxml.h>

struct _xmlAttr;

namespace vux_xml {

enum class Where { Child, Before, After };

struct VUX_INTERNAL Internal {
    // The document behind the handle; an empty handle gets the default document first.
    // Null when a failed load left the handle without one.
    static _xmlDoc* Doc(const Xml& doc) { return doc.native(); }
    // The handle on a node of doc; in_tree false hands the node and its subtree to the
    // handle. Every handle on one node shares one record, so this may return an existing one.
    static XmlNode Wrap(_xmlNode* node, const Xml& doc, bool in_tree) { return XmlNode(node, doc, in_tree); }

    static Xml::Data* DocData(const Xml& x) { return x.data_.get(); }
    // copy: a copy goes in even of a node that would move, which stays where it is.
    static XmlNode Insert(const XmlNode& self, const XmlNode& node, Where w, bool copy = false);
    // Copies every attribute of from onto into, namespace included; same names are replaced.
    static void CopyProps(const XmlNode& from, const XmlNode& into);
    static XmlNode ReplaceRoot(const Xml& doc, _xmlNode* root, bool old);
    static void Drop(const XmlNode& self, _xmlAttr* a);
    static void Free(_xmlNode* n, const Xml& doc);
};

}  // namespace vux_xml

#endif
