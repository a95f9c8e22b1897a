// The XML answers of S3 services, read with public libvux calls only, so that the fuzz target can
// build them in. Not installed.
#ifndef LIBVUX_PRIVATE_VUXRPC_S3XML_H
#define LIBVUX_PRIVATE_VUXRPC_S3XML_H

#include <string>

#include <libvux/vuxerr.h>
#include <libvux/vuxtypes.h>
#include <libvux/vuxxml.h>

namespace vux_rpc::s3xml {

inline const char kNs[] = "http://s3.amazonaws.com/doc/2006-03-01/";

// A body that is not XML reads as an empty document: the callers then see no answer.
inline vux_xml::Xml Load(const std::string& body) {
    vux_xml::Xml doc;
    try {
        doc.LoadFromString(body);
    } catch (const vux_err::Error&) {
        return vux_xml::Xml();
    }
    return doc;
}

// The same path with every "ns:Name" step matching Name in any namespace: some S3-compatible
// services answer under another namespace URI than Amazon's.
inline std::string AnyNamespace(const std::string& path) {
    std::string out;
    for (std::string::size_type i = 0; i < path.size();) {
        if (path.compare(i, 3, "ns:") != 0) {
            out += path[i++];
            continue;
        }
        std::string::size_type end = path.find('/', i);
        if (end == std::string::npos) end = path.size();
        out += "*[local-name()='" + path.substr(i + 3, end - i - 3) + "']";
        i = end;
    }
    return out;
}

inline vux_xml::XPath Nodes(const vux_xml::Xml& doc, const std::string& path) {
    vux_xml::XPath found = doc.GetNodes(path, "ns", kNs);
    if (found.empty() && path.find("ns:") != std::string::npos) found = doc.GetNodes(AnyNamespace(path));
    return found;
}

inline std::string Text(const vux_xml::Xml& doc, const std::string& path) {
    if (doc.IsEmpty() || !doc.GetRoot()) return "";
    return Nodes(doc, path).front().Str();
}

struct ErrorAnswer {
    std::string code;
    std::string message;
    std::string endpoint;
    std::string region;
};

inline ErrorAnswer ReadError(const std::string& body) {
    const vux_xml::Xml doc = Load(body);
    return {Text(doc, "//Code"), Text(doc, "//Message"), Text(doc, "/Error/Endpoint"), Text(doc, "//Region")};
}

// A 200 answer can still carry an error document (CompleteMultipartUpload does so).
inline bool IsError(const std::string& body) {
    if (body.find("<Error") == std::string::npos) return false;
    const vux_xml::Xml doc = Load(body);
    return !doc.IsEmpty() && doc.GetRoot() && doc.GetRoot().Name() == "Error";
}

inline std::string ReadUploadId(const std::string& body) { return Text(Load(body), "//ns:UploadId"); }

inline std::string ReadLocation(const std::string& body) {
    const vux_xml::Xml doc = Load(body);
    std::string region = Text(doc, "//ns:LocationConstraint");
    if (region.empty()) region = Text(doc, "//Region");
    return region;
}

inline void ReadBuckets(const std::string& body, StringList& out) {
    const vux_xml::Xml doc = Load(body);
    if (doc.IsEmpty() || !doc.GetRoot()) return;
    for (const vux_xml::XmlNode& name : Nodes(doc, "//ns:Bucket/ns:Name")) out.push_back(name.Str());
}

struct KeyPage {
    StringList keys;
    bool truncated = false;
    // Where the next page starts; the last key when the service gives no marker.
    std::string next;
};

inline KeyPage ReadKeys(const std::string& body) {
    KeyPage page;
    const vux_xml::Xml doc = Load(body);
    if (doc.IsEmpty() || !doc.GetRoot()) return page;
    for (const vux_xml::XmlNode& key : Nodes(doc, "//ns:Contents/ns:Key")) page.keys.push_back(key.Str());
    page.truncated = Text(doc, "//ns:IsTruncated") == "true";
    page.next = Text(doc, "//ns:NextMarker");
    if (page.next.empty() && !page.keys.empty()) page.next = page.keys.back();
    return page;
}

// Text for element content.
inline std::string Escape(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        switch (c) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '"': out += "&quot;"; break;
            default: out += c;
        }
    }
    return out;
}

}  // namespace vux_rpc::s3xml

#endif
