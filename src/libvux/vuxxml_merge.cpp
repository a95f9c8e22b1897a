#include <libvux/vuxxml.h>
#include "private/vuxxml.h"

#include <algorithm>
#include <unordered_map>
#include <vector>

#include <libvux/vuxerr.h>
#include <libvux/vuxfile.h>
#include <libvux/vuxlog.h>
#include <libvux/vuxstr.h>

namespace vux_xml {

namespace {

VUX_LOG_MODULE("merge")


typedef XmlMerge::Node Node;

bool ParseType(const std::string& word, Node::MergeType& type) {
    static const std::pair<const char*, Node::MergeType> kWords[] = {{"no", Node::MergeNo},
                                                                      {"ignore", Node::MergeIgnore},
                                                                      {"replace", Node::MergeReplace},
                                                                      {"xml", Node::MergeXml},
                                                                      {"text", Node::MergeText}};
    for (const auto& w : kWords)
        if (word == w.first) {
            type = w.second;
            return true;
        }
    return false;
}

// The element children as they are now: merging and moving change the tree under a walk.
std::vector<XmlNode> Elements(const XmlNode& parent) {
    std::vector<XmlNode> out;
    for (XmlNode c = parent.FirstChild(); c; c = c.Next())
        if (c.IsNode()) out.push_back(c);
    return out;
}

std::vector<XmlNode> Children(const XmlNode& parent) {
    std::vector<XmlNode> out;
    for (XmlNode c = parent.FirstChild(); c; c = c.Next()) out.push_back(c);
    return out;
}

bool SameDocument(const XmlNode& a, const XmlNode& b) {
    return Internal::DocData(a.document()) == Internal::DocData(b.document());
}

// The element children of a merge target by name and key, built once per merge so that
// finding a sibling does not rescan them all.
class Targets {
public:
    Targets(const Node& schema, const XmlNode& into) : schema_(schema), into_(into) {}

    // The first element named name, or the empty node.
    XmlNode First(const std::string& name) {
        Build();
        auto it = by_name_.find(name);
        return it == by_name_.end() ? XmlNode() : it->second.first;
    }
    // The first element named name with that key under t (any one when t has no key).
    XmlNode WithKey(const std::string& name, const Node& t, const std::string& key) {
        if (t.key.empty()) return First(name);
        Build();
        auto it = by_name_.find(name);
        if (it == by_name_.end()) return XmlNode();
        auto k = it->second.keyed.find(key);
        return k == it->second.keyed.end() ? XmlNode() : k->second;
    }
    // Records an element that now stands where old stood, or a new one (old empty).
    void Put(const std::string& name, const std::string& key, const XmlNode& old, const XmlNode& now) {
        Build();
        Named& n = by_name_[name];
        if (!n.first || n.first == old) n.first = now;
        auto k = n.keyed.find(key);
        if (k == n.keyed.end())
            n.keyed.emplace(key, now);
        else if (k->second == old)
            k->second = now;
    }

private:
    struct Named {
        XmlNode first;
        std::unordered_map<std::string, XmlNode> keyed;
    };

    void Build() {
        if (built_) return;
        built_ = true;
        for (const XmlNode& c : Elements(into_)) {
            const std::string name = c.Name();
            Named& n = by_name_[name];
            if (!n.first) n.first = c;
            const std::shared_ptr<Node> t = schema_.Find(name);
            if (t && !t->key.empty()) n.keyed.emplace(t->Key(c), c);
        }
    }

    const Node& schema_;
    XmlNode into_;
    bool built_ = false;
    std::unordered_map<std::string, Named> by_name_;
};

// The one attribute that lacks from the key, or "".
std::string MissingKey(const Node& t, const XmlNode& node) {
    for (const std::string& attr : t.key)
        if (node.GetProp(attr.c_str()).empty()) return attr;
    return "";
}

}  // namespace

// ---- schema nodes ----

XmlMerge::Node::Node(const std::string& n, MergeType t, const std::string& k, bool r) : name(n), type(t), root(r) {
    std::string rest = k;
    while (!rest.empty()) {
        std::string word = str::GetWord(rest, ' ');
        if (!word.empty()) key.push_back(word);
    }
}

std::string XmlMerge::Node::Key(vux_xml::XmlNode node) const {
    std::string k;
    for (const std::string& attr : key) str::inpl::Append(k, node.GetProp(attr.c_str()), "|");
    return k;
}

std::shared_ptr<XmlMerge::Node> XmlMerge::Node::Find(const std::string& n) const {
    auto c = children.find(n);
    if (c != children.end()) return c->second;
    auto i = includes.find(n);
    return i == includes.end() ? nullptr : i->second.lock();
}

XmlMerge::SchemaNode XmlMerge::SchemaNode::FindNode(const std::string& name) const {
    return node_ ? SchemaNode(node_->Find(name)) : SchemaNode();
}

bool XmlMerge::SchemaNode::IsArray(bool skip_root) const {
    if (!node_ || (skip_root && node_->root)) return false;
    if (node_->type == Node::MergeNo || node_->type == Node::MergeIgnore) return true;
    return !node_->key.empty();
}

// ---- schema ----

XmlMerge::XmlMerge(const std::string& path) : root_(std::make_shared<Node>("", Node::MergeXml, "", true)) {
    const vux_file::Info info(path, 2);
    if (info.IsFile()) {
        ParseXml(XmlFile(path).GetRoot(), *root_);
        return;
    }
    if (!info.IsDir()) {
        VUX_LOG(VuxLogModule(), vux_log::LevelWarning, "Missed schema file '%s'", path.c_str());
        return;
    }
    // Sorted, so that a share defined twice resolves the same way on every system.
    std::vector<std::string> files;
    for (vux_file::Dir dir(path); dir.Read();)
        if (dir.name().size() > 4 && dir.name().ends_with(".xml") && dir.Info(0).IsFile())
            files.push_back(dir.FullName());
    std::sort(files.begin(), files.end());
    for (const std::string& file : files) {
        try {
            ParseXml(XmlFile(file).GetRoot(), *root_);
        } catch (const vux_err::Error& e) {
            VUX_LOG(VuxLogModule(), vux_log::LevelError, "Skip broken schema file '%s': %s %s", file.c_str(),
                    e.type().c_str(), e.object().c_str());
        }
    }
}

void XmlMerge::ParseXml(const vux_xml::XmlNode& schema, Node& parent) {
    if (!schema) return;
    for (const XmlNode& c : Elements(schema)) {
        const std::string name = c.Name();
        if (name == "qex:include") {
            const std::string share = c.GetProp("name");
            auto it = shares_.find(share);
            if (it == shares_.end())
                VUX_LOG(VuxLogModule(), vux_log::LevelWarning, "Shared node '%s' not found", share.c_str());
            else
                parent.includes[it->second->name] = it->second;
            continue;
        }
        const std::string word = c.GetProp("merge");
        Node::MergeType type;
        if (!ParseType(word, type)) {
            VUX_LOG(VuxLogModule(), vux_log::LevelWarning, "Unknown merge type '%s' for node '%s'", word.c_str(),
                    name.c_str());
            continue;
        }
        auto node = std::make_shared<Node>(name, type, c.GetProp("key"), c.GetProp("root") == "yes");
        const std::string share = c.GetProp("share");
        if (!share.empty()) shares_[share] = node;
        if (node->root) root_->children[name] = node;
        parent.children[name] = node;
        if (type == Node::MergeNo || type == Node::MergeXml)
            ParseXml(c, *node);
        else if (!Elements(c).empty())
            VUX_LOG(VuxLogModule(), vux_log::LevelWarning, "Ignore child nodes for node '%s'", name.c_str());
    }
}

XmlMerge::SchemaNode XmlMerge::Schema(const vux_xml::XmlNode& node) const {
    return SchemaNode(root_->Find(node.Name()));
}

// ---- merging ----

void XmlMerge::Merge(vux_xml::XmlNode from, vux_xml::XmlNode into) const {
    const std::shared_ptr<Node> schema = Schema(from).node();
    if (!schema) return;
    // Merging a tree into itself would read what it has just written.
    if (SameDocument(from, into)) from = from.Clone();
    schema->Merge(from, into);
}

XmlNode XmlMerge::Node::Merge(vux_xml::XmlNode from, vux_xml::XmlNode into) const {
    Internal::CopyProps(from, into);
    if (type == MergeText) {
        for (const XmlNode& c : Children(from)) Internal::Insert(into, c, Where::Child, true);
        return into;
    }
    if (type == MergeReplace) {
        const std::string old = into.Str();
        if (!old.empty())
            VUX_LOG(VuxLogModule(), vux_log::LevelExtInfo, "Replace '%s' by '%s'", old.c_str(), from.Str().c_str());
        XmlNode copy = Internal::Insert(into, from, Where::After, true);
        into.Unlink();
        return copy;
    }
    Targets targets(*this, into);
    for (const XmlNode& c : Elements(from)) {
        const std::string n = c.Name();
        const std::shared_ptr<Node> t = Find(n);
        if (!t) {
            const XmlNode found = targets.First(n);
            if (!found) {
                VUX_LOG(VuxLogModule(), vux_log::LevelDebug, "%s:%d Add node %s (node by name - not found)", VUX_SOURCE_NAME,
                        __LINE__, n.c_str());
                targets.Put(n, "", found, Internal::Insert(into, c, Where::Child, true));
            } else {
                VUX_LOG(VuxLogModule(), vux_log::LevelExt, "Replace node %s", n.c_str());
                const XmlNode copy = Internal::Insert(found, c, Where::After, true);
                XmlNode(found).Unlink();
                targets.Put(n, "", found, copy);
            }
            continue;
        }
        if (t->type == MergeIgnore) {
            VUX_LOG(VuxLogModule(), vux_log::LevelDebug, "%s:%d Add node %s (do not group/analyze such nodes)",
                    VUX_SOURCE_NAME, __LINE__, n.c_str());
            Internal::Insert(into, c, Where::Child, true);
            continue;
        }
        if (t->type == MergeNo) {
            VUX_LOG(VuxLogModule(), vux_log::LevelDebug, "%s:%d Add node %s (do not group such nodes)", VUX_SOURCE_NAME,
                    __LINE__, n.c_str());
            t->Merge(c, into.AppendChild(n.c_str()));
            continue;
        }
        const std::string missing = MissingKey(*t, c);
        if (!missing.empty()) {
            VUX_LOG(VuxLogModule(), vux_log::LevelWarning, "node '%s' without key attribute '%s'. Skip it", n.c_str(),
                    missing.c_str());
            continue;
        }
        const std::string k = t->Key(c);
        XmlNode found = targets.WithKey(n, *t, k);
        if (found) {
            VUX_LOG(VuxLogModule(), vux_log::LevelExt, "Merge node %s [%s]", n.c_str(), k.c_str());
        } else {
            found = into.AppendChild(n.c_str());
            VUX_LOG(VuxLogModule(), vux_log::LevelDebug, "%s:%d Add node %s [%s] (not found)", VUX_SOURCE_NAME, __LINE__,
                    n.c_str(), k.c_str());
        }
        targets.Put(n, k, found, t->Merge(c, found));
    }
    return into;
}

// ---- positioning ----

namespace {

const char* const kRequests[] = {"before", "after", "first", "last"};

// A positioning request of an element, taken off it.
struct Request {
    std::string kind;   // one of kRequests, or "" for none
    std::string value;  // the base's key for "before" and "after"
    bool Relative() const { return kind == "before" || kind == "after"; }
};

bool IsSet(const std::string& kind, const std::string& value) {
    return kind == "before" || kind == "after" ? !value.empty() : value == "yes";
}

// Removes the four attributes when one is set; the first set one is the request.
bool TakeRequest(XmlNode node, Request& r) {
    r = Request();
    for (const char* kind : kRequests) {
        const std::string value = node.GetProp(kind);
        if (r.kind.empty() && IsSet(kind, value)) r = Request{kind, value};
    }
    if (r.kind.empty()) return false;
    for (const char* kind : kRequests) node.DropProp(kind);
    return true;
}

bool HasRequest(const XmlNode& node) {
    for (const char* kind : kRequests)
        if (IsSet(kind, node.GetProp(kind))) return true;
    return false;
}

}  // namespace

bool XmlMerge::Node::Move(vux_xml::XmlNode node) const {
    struct Step {
        XmlNode node;
        Request request;
        XmlNode base;
    };
    std::vector<Step> chain(1, Step{node, Request(), XmlNode()});
    if (!TakeRequest(node, chain[0].request)) return false;
    // A base's own request is resolved before the move relative to it; a chain of them is
    // followed without recursion, however long.
    for (;;) {
        Step& s = chain.back();
        if (!s.request.Relative()) break;
        const std::string n = s.node.Name();
        for (XmlNode sib = s.node.Parent().FirstChild(); sib && !s.base; sib = sib.Next())
            if (sib.IsNode() && sib.Name() == n && Key(sib) == s.request.value) s.base = sib;
        Request next;
        if (!s.base || s.base == s.node || !TakeRequest(s.base, next)) break;
        chain.push_back(Step{s.base, next, XmlNode()});
    }
    bool moved = false;
    for (auto s = chain.rbegin(); s != chain.rend(); ++s) {
        XmlNode e = s->node;
        const std::string& kind = s->request.kind;
        if (s->request.Relative()) {
            if (!s->base) {
                VUX_LOG(VuxLogModule(), vux_log::LevelWarning, "Base node with key '%s' for node '%s' not found",
                        s->request.value.c_str(), e.Name().c_str());
                moved = false;
                continue;
            }
            if (s->base == e) {
                VUX_LOG(VuxLogModule(), vux_log::LevelWarning, "Failed to insert node '%s' with name '%s' %s itself",
                        s->request.value.c_str(), e.Name().c_str(), kind.c_str());
                moved = false;
                continue;
            }
            e.Unlink();
            if (kind == "before")
                s->base.AddPrevSibling(e);
            else
                s->base.AddNextSibling(e);
            moved = true;
            continue;
        }
        const XmlNode parent = e.Parent();
        XmlNode edge = kind == "first" ? parent.FirstChild() : parent.LastChild();
        moved = edge != e;
        if (!moved) continue;
        e.Unlink();
        if (kind == "first")
            edge.AddPrevSibling(e);
        else
            XmlNode(parent).AppendChild(e);
    }
    return moved;
}

void XmlMerge::CheckAndMove(vux_xml::XmlNode node, BaseFunctor* f) const {
    const std::shared_ptr<Node> schema = Schema(node).node();
    if (schema) CheckAndMove(node, *schema, f);
}

void XmlMerge::CheckAndMove(vux_xml::XmlNode node, const Node& schema, BaseFunctor* f) const {
    // A move changes no other element's place among those still to be moved, so one pass
    // in the order found visits them as restarting after every move would.
    if (schema.type == Node::MergeXml)
        for (const XmlNode& c : Elements(node))
            if (HasRequest(c))
                if (const std::shared_ptr<Node> t = schema.Find(c.Name())) t->Move(c);
    for (const XmlNode& c : Elements(node)) {
        if (f && !(*f)(c)) continue;
        if (const std::shared_ptr<Node> t = schema.Find(c.Name())) CheckAndMove(c, *t, f);
    }
}

}  // namespace vux_xml
