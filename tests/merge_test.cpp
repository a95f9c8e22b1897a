#include <libvux/vuxxml.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include <libvux/vuxlog.h>
#include <libvux/vuxproc.h>
#include <libvux/vuxstr.h>

#include "test_util.h"

using vux_xml::Xml;
using vux_xml::XmlMerge;
using vux_xml::XmlNode;
using vux_xml::XmlString;

namespace {

// The schema of the edge cases: what each element name does is in its name.
const std::string kSchema = R"(<schema xmlns:qex="urn:qex">
  <doc merge="xml">
    <item merge="xml" key="name"/>
    <pair merge="xml" key="a b"/>
    <whole merge="replace"/>
    <keyed merge="replace" key="id"/>
    <log merge="ignore"/>
    <group merge="no"><entry merge="xml" key="id"/></group>
    <note merge="text"/>
    <tree merge="xml" key="id" share="tree"><qex:include name="tree"/></tree>
    <list merge="xml"><row merge="xml" key="k"/></list>
    <flat merge="text"><ignored merge="xml"/></flat>
    <odd merge="sideways"/>
    <qex:include name="nowhere"/>
    <nested merge="xml"><deep merge="xml" key="id" root="yes"/></nested>
  </doc>
</schema>)";

// Runs f with every line of the module "merge" logged; returns the log.
std::string LogOf(const std::function<void()>& f) {
    testutil::TempDir dir;
    testutil::ChDir cd(dir.path());
    testutil::WriteFile(dir / "etc/debug.conf", "merge 9\n");
    setenv("VUX_LOGFILE", (dir / "merge.log").c_str(), 1);
    vux_log::Init("merge_test", 9);
    f();
    vux_log::Close();
    unsetenv("VUX_LOGFILE");
    return testutil::ReadFile(dir / "merge.log");
}

XmlMerge SchemaOf(const std::string& text) {
    testutil::TempDir dir;
    testutil::WriteFile(dir / "schema.xml", text);
    return XmlMerge(dir / "schema.xml");
}

// The root of into after merging each document of froms into it, compact.
std::string Merged(const XmlMerge& m, const std::string& into, std::vector<std::string> froms) {
    Xml target = XmlString(into);
    for (const std::string& from : froms) m.Merge(XmlString(from).GetRoot(), target.GetRoot());
    std::string s = target.Str();
    return s.substr(s.find('\n') + 1, s.size() - s.find('\n') - 2);
}

bool Has(const std::string& log, const std::string& line) { return log.find(line) != std::string::npos; }

// Where two trees first differ, or "": names, attributes (as a set), then children in order,
// white-space text between elements aside.
std::string Diff(const XmlNode& a, const XmlNode& b, const std::string& path) {
    if (a.IsNode() != b.IsNode()) return path + ": a node against text";
    if (!a.IsNode()) return str::Trim(a.Str()) == str::Trim(b.Str()) ? "" : path + ": text '" + a.Str() + "' vs '" + b.Str() + "'";
    if (a.Name() != b.Name()) return path + ": " + a.Name() + " vs " + b.Name();
    const std::string here = path + "/" + a.Name();
    const auto attrs = [](const XmlNode& n) {
        StringList names;
        n.AllProps(names);
        std::map<std::string, std::string> m;
        for (const std::string& name : names) m[name] = n.GetProp(name.c_str());
        return m;
    };
    if (attrs(a) != attrs(b)) return here + ": other attributes";
    const auto kids = [](const XmlNode& n) {
        std::vector<XmlNode> v;
        for (XmlNode c = n.FirstChild(); c; c = c.Next())
            if (c.IsNode() || !str::Trim(c.Str()).empty()) v.push_back(c);
        return v;
    };
    const std::vector<XmlNode> ka = kids(a), kb = kids(b);
    for (std::size_t i = 0; i < ka.size() && i < kb.size(); ++i)
        if (std::string d = Diff(ka[i], kb[i], here + "[" + std::to_string(i) + "]"); !d.empty()) return d;
    return ka.size() == kb.size() ? "" : here + ": " + std::to_string(ka.size()) + " children vs " + std::to_string(kb.size());
}

struct DescendAll : XmlMerge::BaseFunctor {
    std::vector<std::string> seen;
    bool operator()(XmlNode node) override {
        seen.push_back(node.Name());
        return node.Name() != "stop";
    }
};

}  // namespace

TEST(XmlMergeSchema, NodesKeysAndArrays) {
    std::string log;
    XmlMerge m("");
    log = LogOf([&] { m = SchemaOf(kSchema); });
    EXPECT_TRUE(Has(log, "Unknown merge type 'sideways' for node 'odd'")) << log;
    EXPECT_TRUE(Has(log, "Shared node 'nowhere' not found")) << log;
    EXPECT_TRUE(Has(log, "Ignore child nodes for node 'flat'")) << log;
    Xml probe = XmlString("<doc/>");
    const XmlMerge::SchemaNode doc = m.Schema(probe.GetRoot());
    ASSERT_TRUE(doc);
    EXPECT_FALSE(doc.FindNode("odd"));
    EXPECT_FALSE(doc.FindNode("ignored"));
    EXPECT_FALSE(doc.FindNode("flat").FindNode("ignored"));
    // The shared tree includes itself, however deep.
    EXPECT_TRUE(doc.FindNode("tree").FindNode("tree").FindNode("tree").IsArray(false));
    // deep is marked root: found at the top level as well as under nested.
    EXPECT_TRUE(m.Schema(XmlString("<deep/>").GetRoot()));
    EXPECT_TRUE(doc.FindNode("nested").FindNode("deep"));
    const std::pair<std::string, std::string> arrays[] = {
        {"item", "11"}, {"whole", "00"}, {"keyed", "11"}, {"log", "11"}, {"group", "11"}, {"note", "00"},
        {"missing", "00"}};
    for (const auto& a : arrays) {
        const XmlMerge::SchemaNode s = doc.FindNode(a.first);
        EXPECT_EQ(std::string() + char('0' + s.IsArray(false)) + char('0' + s.IsArray(true)), a.second) << a.first;
    }
    EXPECT_TRUE(doc.FindNode("nested").FindNode("deep").IsArray(false));
    EXPECT_FALSE(doc.FindNode("nested").FindNode("deep").IsArray(true));
    EXPECT_FALSE(doc.IsArray(true));
    EXPECT_FALSE(XmlMerge::SchemaNode().FindNode("doc"));
    EXPECT_FALSE(XmlMerge::SchemaNode().IsArray(false));

    const XmlMerge::Node& pair = *doc.FindNode("pair").node();
    EXPECT_EQ(pair.Key(XmlString("<pair a='1' b='2' c='3'/>").GetRoot()), "1|2");
    EXPECT_EQ(pair.Key(XmlString("<pair b='2'/>").GetRoot()), "2");
    EXPECT_EQ(pair.Key(XmlString("<pair/>").GetRoot()), "");
}

TEST(XmlMergeSchema, MissingPathsAndDirectories) {
    testutil::TempDir dir;
    std::string log = LogOf([&] { XmlMerge m(dir / "none"); });
    EXPECT_TRUE(Has(log, "Missed schema file '" + dir / "none" + "'")) << log;

    testutil::WriteFile(dir / "s/a.xml", "<schema><menu merge='xml' key='name'/></schema>");
    testutil::WriteFile(dir / "s/b.xml", "<schema><form merge='xml'");
    testutil::WriteFile(dir / "s/c.xml", "<schema><lang merge='replace'/></schema>");
    testutil::WriteFile(dir / "s/d.txt", "<schema><text merge='replace'/></schema>");
    XmlMerge m("");
    log = LogOf([&] { m = XmlMerge(dir / "s"); });
    EXPECT_TRUE(Has(log, "Skip broken schema file '" + dir / "s/b.xml" + "'")) << log;
    for (const char* name : {"menu", "lang"}) EXPECT_TRUE(m.Schema(XmlString(std::string("<") + name + "/>").GetRoot())) << name;
    for (const char* name : {"form", "text"}) EXPECT_FALSE(m.Schema(XmlString(std::string("<") + name + "/>").GetRoot())) << name;
    // One file alone that does not parse is an error.
    EXPECT_EQ(testutil::ErrorOf([&] { XmlMerge broken(dir / "s/b.xml"); }), "xml/parse_file/" + dir / "s/b.xml" + "/report");
}

TEST(XmlMergeMerge, EdgeCases) {
    const XmlMerge m = SchemaOf(kSchema);
    const struct {
        const char* name;
        std::string into;
        std::vector<std::string> from;
        std::string want, log;
    } cases[] = {
        {"same key: attributes united, later wins", "<doc><item name='a' x='1' y='1'/><item name='b'/></doc>",
         {"<doc><item name='a' y='2' z='2'/></doc>", "<doc><item name='a' z='3'/></doc>"},
         "<doc><item name=\"a\" x=\"1\" y=\"2\" z=\"3\"/><item name=\"b\"/></doc>", "Merge node item [a]"},
        {"new key appended", "<doc><item name='a'/></doc>", {"<doc><item name='c' v='1'/></doc>"},
         "<doc><item name=\"a\"/><item name=\"c\" v=\"1\"/></doc>", "Add node item [c] (not found)"},
        {"key of two attributes", "<doc><pair a='1' b='2'/><pair a='1' b='3'/></doc>",
         {"<doc><pair a='1' b='3' v='x'/></doc>"}, "<doc><pair a=\"1\" b=\"2\"/><pair a=\"1\" b=\"3\" v=\"x\"/></doc>",
         "Merge node pair [1|3]"},
        {"without a key attribute", "<doc/>", {"<doc><pair a='1'/><item/></doc>"}, "<doc/>",
         "node 'pair' without key attribute 'b'. Skip it"},
        {"unknown element replaces the first of its name", "<doc><x>1</x><x>2</x></doc>", {"<doc><x>3</x></doc>"},
         "<doc><x>3</x><x>2</x></doc>", "Replace node x"},
        {"unknown element appended", "<doc/>", {"<doc><x a='1'>3</x></doc>"}, "<doc><x a=\"1\">3</x></doc>",
         "Add node x (node by name - not found)"},
        {"replace with old text", "<doc><a/><whole v='1'>old<b/></whole><c/></doc>", {"<doc><whole>new</whole></doc>"},
         "<doc><a/><whole>new</whole><c/></doc>", "Replace 'old' by 'new'"},
        {"replace by key", "<doc><keyed id='1'>a</keyed><keyed id='2'>b</keyed></doc>",
         {"<doc><keyed id='2'>c</keyed><keyed id='2'>d</keyed></doc>"},
         "<doc><keyed id=\"1\">a</keyed><keyed id=\"2\">d</keyed></doc>", "Replace 'c' by 'd'"},
        {"ignore appends copies", "<doc><log>1</log></doc>", {"<doc><log>1</log><log>2</log></doc>"},
         "<doc><log>1</log><log>1</log><log>2</log></doc>", "Add node log (do not group/analyze such nodes)"},
        {"no appends and merges inside", "<doc><group/></doc>",
         {"<doc><group g='1'><entry id='1'/><entry id='1' v='2'/></group></doc>"},
         "<doc><group/><group g=\"1\"><entry id=\"1\" v=\"2\"/></group></doc>", "Add node group (do not group such nodes)"},
        {"text appends every child", "<doc><note>a<b/></note></doc>", {"<doc><note>c<d/>e</note></doc>"},
         "<doc><note>a<b/>c<d/>e</note></doc>", ""},
        {"recursion through a shared node", "<doc><tree id='1'><tree id='2'/></tree></doc>",
         {"<doc><tree id='1'><tree id='2' v='x'><tree id='3'/></tree></tree></doc>"},
         "<doc><tree id=\"1\"><tree id=\"2\" v=\"x\"><tree id=\"3\"/></tree></tree></doc>", "Merge node tree [2]"},
        {"another top-level name does nothing", "<doc><item name='a'/></doc>", {"<other><item name='b'/></other>"},
         "<doc><item name=\"a\"/></doc>", ""},
    };
    for (const auto& c : cases) {
        std::string got;
        const std::string log = LogOf([&] { got = Merged(m, c.into, c.from); });
        EXPECT_EQ(got, c.want) << c.name;
        if (!c.log.empty()) {
            EXPECT_TRUE(Has(log, c.log)) << c.name << "\n" << log;
        }
    }
}

TEST(XmlMergeMerge, IntoItsOwnDocument) {
    const XmlMerge m = SchemaOf(kSchema);
    Xml doc = XmlString("<doc><doc><item name='a' v='1'/><group><entry id='1'/></group></doc><item name='a'/></doc>");
    m.Merge(doc.GetNode("/doc/doc"), doc.GetRoot());
    EXPECT_EQ(doc.GetNode("/doc/item[@name='a']").GetProp("v"), "1");
    EXPECT_EQ(doc.GetNodes("/doc/group/entry").size(), 1u);
    // A tree merged into itself or its own part ends; nothing is read after it was freed.
    Xml self = XmlString("<doc><tree id='1'><tree id='1'><tree id='1'/></tree></tree></doc>");
    m.Merge(self.GetRoot(), self.GetRoot());
    EXPECT_EQ(self.GetNodes("//tree").size(), 3u);
    // Into its own middle: the innermost tree takes the two levels it lacked.
    m.Merge(self.GetRoot(), self.GetNode("//tree[tree[not(tree)]]"));
    EXPECT_EQ(self.GetNodes("//tree").size(), 5u);
}

TEST(XmlMergeMove, FirstLastBeforeAfter) {
    const XmlMerge m = SchemaOf(kSchema);
    const struct {
        const char* name;
        std::string doc, want, log;
    } cases[] = {
        {"first", "<doc><list><row k='a'/><row k='b' first='yes'/></list></doc>",
         "<doc><list><row k=\"b\"/><row k=\"a\"/></list></doc>", ""},
        {"already first keeps its place, loses the request", "<doc><list><row k='a' first='yes' last='yes'/><row k='b'/></list></doc>",
         "<doc><list><row k=\"a\"/><row k=\"b\"/></list></doc>", ""},
        {"last", "<doc><list><row k='a' last='yes'/><row k='b'/><x/></list></doc>",
         "<doc><list><row k=\"b\"/><x/><row k=\"a\"/></list></doc>", ""},
        {"before wins over first", "<doc><list><row k='a'/><row k='b'/><row k='c' first='yes' before='b'/></list></doc>",
         "<doc><list><row k=\"a\"/><row k=\"c\"/><row k=\"b\"/></list></doc>", ""},
        {"after", "<doc><list><row k='a' after='c'/><row k='b'/><row k='c'/></list></doc>",
         "<doc><list><row k=\"b\"/><row k=\"c\"/><row k=\"a\"/></list></doc>", ""},
        {"after itself", "<doc><list><row k='a'/><row k='b' after='b'/></list></doc>",
         "<doc><list><row k=\"a\"/><row k=\"b\"/></list></doc>", "Failed to insert node 'b' with name 'row' after itself"},
        {"base missing", "<doc><list><row k='a' before='zz'/></list></doc>", "<doc><list><row k=\"a\"/></list></doc>",
         "Base node with key 'zz' for node 'row' not found"},
        {"the base moves first", "<doc><list><row k='a' after='b'/><row k='b' last='yes'/><row k='c'/></list></doc>",
         "<doc><list><row k=\"c\"/><row k=\"b\"/><row k=\"a\"/></list></doc>", ""},
        {"each after the other", "<doc><list><row k='a' after='b'/><row k='b' after='a'/><row k='c'/></list></doc>",
         "<doc><list><row k=\"b\"/><row k=\"a\"/><row k=\"c\"/></list></doc>", ""},
        {"not under an xml node", "<doc><group><entry id='1'/><entry id='2' first='yes'/></group></doc>",
         "<doc><group><entry id=\"1\"/><entry id=\"2\" first=\"yes\"/></group></doc>", ""},
        {"no request", "<doc><list><row k='a' first='no'/><row k='b' before=''/></list></doc>",
         "<doc><list><row k=\"a\" first=\"no\"/><row k=\"b\" before=\"\"/></list></doc>", ""},
    };
    for (const auto& c : cases) {
        Xml doc = XmlString(c.doc);
        DescendAll all;
        const std::string log = LogOf([&] { m.CheckAndMove(doc.GetRoot(), &all); });
        const std::string s = doc.Str();
        EXPECT_EQ(s.substr(s.find('\n') + 1, s.size() - s.find('\n') - 2), c.want) << c.name;
        if (!c.log.empty()) {
            EXPECT_TRUE(Has(log, c.log)) << c.name << "\n" << log;
        }
    }
}

TEST(XmlMergeMove, FunctorDecidesTheDescent) {
    const XmlMerge m = SchemaOf(R"(<s><doc merge="xml"><stop merge="xml"><row merge="xml" key="k"/></stop>
      <go merge="xml"><row merge="xml" key="k"/></go></doc></s>)");
    Xml doc = XmlString("<doc><stop><row k='a'/><row k='b' first='yes'/></stop><go><row k='a'/><row k='b' first='yes'/></go></doc>");
    DescendAll f;
    m.CheckAndMove(doc.GetRoot(), &f);
    EXPECT_EQ(doc.GetNode("/doc/stop/row").GetProp("k"), "a");
    EXPECT_EQ(doc.GetNode("/doc/go/row").GetProp("k"), "b");
    EXPECT_EQ(str::Join(StringList(f.seen.begin(), f.seen.end()), ","), "stop,go,row,row");
    // A long chain of requests is followed without recursion.
    std::string chain = "<doc><go>";
    for (int i = 0; i < 1000; ++i) chain += "<row k='" + std::to_string(i) + "' after='" + std::to_string(i + 1) + "'/>";
    chain += "<row k='1000'/></go></doc>";
    Xml big = XmlString(chain);
    m.CheckAndMove(big.GetRoot(), nullptr);
    EXPECT_EQ(big.GetNode("/doc/go/row[1]").GetProp("k"), "1000");
    EXPECT_EQ(big.GetLastNode("/doc/go/row").GetProp("k"), "0");
}

TEST(XmlMergeThreads, OneSchemaForEightTargets) {
    const XmlMerge m = SchemaOf(kSchema);
    std::vector<std::string> got(8);
    std::vector<std::thread> threads;
    for (std::size_t t = 0; t < got.size(); ++t)
        threads.emplace_back([&, t] {
            for (int round = 0; round < 20; ++round)
                got[t] = Merged(m, "<doc><tree id='1'/><item name='a'/></doc>",
                                {"<doc><tree id='1'><tree id='2'/></tree><item name='a' v='1'/><log/></doc>"});
        });
    for (std::thread& t : threads) t.join();
    for (const std::string& g : got)
        EXPECT_EQ(g, "<doc><tree id=\"1\"><tree id=\"2\"/></tree><item name=\"a\" v=\"1\"/><log/></doc>");
}

// Module descriptions of a panel (menus, forms, messages in two languages) merged into the
// core's by a schema kept as a directory, then put in order.
TEST(XmlMergeModules, SeveralDescriptionsIntoOne) {
    const std::string dir = std::string(VUX_SOURCE_DIR) + "/tests/data/merge";
    const XmlMerge m(dir + "/schema");
    Xml core = vux_xml::XmlFile(dir + "/core.xml");
    for (const char* module : {"mod_dns.xml", "mod_mail.xml", "mod_backup.xml"})
        m.Merge(vux_xml::XmlFile(dir + "/" + module).GetRoot(), core.GetRoot());
    DescendAll all;
    m.CheckAndMove(core.GetRoot(), &all);
    EXPECT_EQ(Diff(core.GetRoot(), vux_xml::XmlFile(dir + "/expected.xml").GetRoot(), ""), "");
    EXPECT_EQ(Diff(core.GetRoot(), vux_xml::XmlFile(dir + "/core.xml").GetRoot(), ""), "/doc[0]/mainmenu[0]/node: 3 children vs 2");

    // The tool does the same.
    vux_proc::Execute tool(std::vector<std::string>{VUX_TOOL, "xml", "merge", dir + "/schema", dir + "/core.xml",
                                                    dir + "/mod_dns.xml", dir + "/mod_mail.xml", dir + "/mod_backup.xml"},
                           vux_proc::Execute::PipeOut);
    const Xml printed = XmlString(tool.Str());
    EXPECT_EQ(tool.Result(), 0);
    EXPECT_EQ(Diff(printed.GetRoot(), core.GetRoot(), ""), "");
}
