// The XML helpers that need no document: literals for XPath, the byte filter of
// streamed loads, namespace maps and string concatenation with nodes.
#include <libvux/vuxxml.h>

#include <cstring>

#include <libxml/tree.h>

namespace vux_xml {

std::string EscapePropValue(const std::string& value) {
    const std::size_t apos = value.find('\'');
    if (apos == std::string::npos) return "'" + value + "'";
    const std::size_t quot = value.find('"');
    if (quot == std::string::npos) return "\"" + value + "\"";

    // Both quote kinds occur: split into literals, each enclosed in the kind it lacks.
    std::string out = "concat(";
    std::size_t s = 0;
    std::size_t p = apos > quot ? apos : quot;
    for (;;) {
        const char q = value[p];
        out += q;
        out.append(value, s, p - s);
        out += q;
        out += ',';
        const std::size_t next = value.find(q == '"' ? '\'' : '"', p);
        if (next == std::string::npos) break;
        s = p;
        p = next;
    }
    const char q = value[p] == '"' ? '\'' : '"';
    out += q;
    out.append(value, p, std::string::npos);
    out += q;
    out += ')';
    return out;
}

void FillNsBy(_xmlNs* ns, StringMap& out, const std::string& noprefix) {
    // Namespace nodes handed out by XPath chain to their element, not to another
    // declaration; the type check stops there.
    for (; ns && ns->type == XML_NAMESPACE_DECL; ns = ns->next) {
        const std::string key = ns->prefix ? reinterpret_cast<const char*>(ns->prefix) : noprefix;
        out[key] = ns->href ? reinterpret_cast<const char*>(ns->href) : "";
    }
}

void RemoveBadChars(char* buffer, unsigned long length, unsigned long& kept, int& sequence_length,
                    int& sequence_remaining) {
    unsigned char* p = reinterpret_cast<unsigned char*>(buffer);
    int len = sequence_length;
    int rem = sequence_remaining;
    const unsigned long held = len > 0 ? static_cast<unsigned long>(len - rem) : 0;
    unsigned long r = held;
    unsigned long w = held;
    const unsigned long end = held + length;

    while (r < end) {
        if (len == 0) {
            // Runs of printable ASCII are the bulk of any document: take 8 at a time.
            while (r + 8 <= end) {
                std::uint64_t x;
                std::memcpy(&x, p + r, 8);
                if ((x | (x - 0x2020202020202020ull)) & 0x8080808080808080ull) break;
                if (w != r) std::memmove(p + w, p + r, 8);
                r += 8;
                w += 8;
            }
            if (r >= end) break;
        }
        const unsigned char c = p[r++];
        if ((c & 0xC0) == 0x80) {
            if (len > 0) {
                p[w++] = c;
                if (--rem == 0) len = 0;
            }
            continue;
        }
        if (len > 0) {
            // The open sequence ends early: take back what was kept of it.
            w -= static_cast<unsigned long>(len - rem);
            len = rem = 0;
        }
        if (c < 0x80) {
            if (c >= 0x20 || c == 9 || c == 10 || c == 13) p[w++] = c;
        } else if ((c & 0xE0) == 0xC0) {
            len = 2;
            rem = 1;
            p[w++] = c;
        } else if ((c & 0xF0) == 0xE0) {
            len = 3;
            rem = 2;
            p[w++] = c;
        } else if ((c & 0xF8) == 0xF0) {
            len = 4;
            rem = 3;
            p[w++] = c;
        }
        // 0xF8..0xFF never start a sequence: dropped.
    }
    kept = w;
    sequence_length = len;
    sequence_remaining = rem;
}

std::string operator+(const char* s, const XmlNode& node) {
    std::string out(s ? s : "");
    out += node.Str();
    return out;
}

std::string operator+(const XmlNode& node, const char* s) {
    std::string out = node.Str();
    if (s) out += s;
    return out;
}

std::string operator+(const std::string& s, const XmlNode& node) {
    return s + node.Str();
}

std::string operator+(const XmlNode& node, const std::string& s) {
    return node.Str() + s;
}

std::string& operator+=(std::string& s, const XmlNode& node) {
    s += node.Str();
    return s;
}

}  // namespace vux_xml
