#include <gtest/gtest.h>

#include <functional>
#include <sstream>

#include <libvux/vuxerr.h>
#include <libvux/vuxxml.h>

#include "test_util.h"

using namespace vux_xml;

namespace {

std::string XmlObject(const std::function<void()>& f) {
    try {
        f();
    } catch (const vux_err::Error& e) {
        EXPECT_EQ(e.type(), "xml");
        return e.object();
    }
    return "no error";
}

std::string AssertText(const std::function<void()>& f) {
    try {
        f();
    } catch (const vux_err::AssertError& a) {
        EXPECT_STREQ(a.file(), "vuxxml_unix");
        return a.desc();
    }
    return "no assertion";
}

}  // namespace

TEST(XmlLoad, EmptyInputs) {
    std::istringstream empty("");
    Xml doc;
    EXPECT_EQ(XmlObject([&] { doc.Load(empty); }), "read");
    Xml s;
    s.LoadFromString("");
    EXPECT_TRUE(s.IsEmpty());
    EXPECT_EQ(s.GetRoot().Name(), "doc");
    testutil::TempDir dir;
    testutil::WriteFile(dir / "empty.xml", "");
    XmlFile f(dir / "empty.xml");
    EXPECT_TRUE(f.IsEmpty());
    EXPECT_EQ(XmlObject([&] { XmlFile missing(dir / "none.xml"); }), "parse_file");
}

TEST(XmlLoad, StreamFiltersBadBytesAfterTheFirstFour) {
    std::string text = "<doc><a>x\x01y\xffz\x80w</a></doc>";
    std::istringstream in(text);
    Xml doc(in);
    EXPECT_EQ(doc.GetNode("/doc/a").Str(), "xyzw");
}

TEST(XmlLoad, MultiByteCharactersAcrossBlockBoundaries) {
    const char* chars[] = {"\xc3\xa9", "\xe2\x82\xac", "\xf0\x9f\x98\x80"};
    for (const char* ch : chars) {
        for (std::size_t pad = 1000; pad < 1030; ++pad) {
            std::string text = "<doc>" + std::string(pad, 'a') + ch + "b" + std::string(1020, 'c') + ch + "</doc>";
            std::istringstream in(text);
            Xml doc(in);
            EXPECT_EQ(doc.GetRoot().Str(), std::string(pad, 'a') + ch + "b" + std::string(1020, 'c') + ch)
                << "pad " << pad;
        }
    }
}

TEST(XmlLoad, BrokenAndTruncatedInputFailsAndKeepsTheOldDocument) {
    Xml doc;
    doc.LoadFromString("<doc><keep/></doc>");
    std::istringstream broken("<doc><a></b></doc>");
    EXPECT_EQ(XmlObject([&] { doc.Load(broken); }), "parse");
    EXPECT_TRUE(doc.GetNode("/doc/keep"));
    std::istringstream truncated("<doc><a>text");
    EXPECT_EQ(XmlObject([&] { doc.Load(truncated); }), "parse");
    EXPECT_TRUE(doc.GetNode("/doc/keep"));

    Xml s;
    EXPECT_EQ(XmlObject([&] { s.LoadFromString("<doc><unclosed></doc>"); }), "parse");
    EXPECT_FALSE(s.GetRoot());
    EXPECT_EQ(XmlObject([&] { s.Str(); }), "write");
    EXPECT_EQ(XmlObject([&] { s.Str(true); }), "copy");
}

TEST(XmlLoad, HugeGeneratedStream) {
    std::string text = "<doc>";
    for (int i = 0; i < 200000; ++i) text += "<item id=\"" + std::to_string(i) + "\">v</item>";
    text += "</doc>";
    std::istringstream in(text);
    Xml doc(in);
    EXPECT_EQ(XPath(doc, "/doc/item").size(), 200000u);
    EXPECT_EQ(doc.GetLastNode("/doc/item").GetProp("id"), "199999");
}

TEST(XmlSave, FormatReindentsButKeepsLoneWhitespace) {
    Xml doc;
    doc.LoadFromString("<doc>\n   <a>  </a>\n   <b>t</b>\n</doc>");
    EXPECT_EQ(doc.Str(true), "<?xml version=\"1.0\"?>\n<doc>\n  <a>  </a>\n  <b>t</b>\n</doc>\n");
}

TEST(XmlBuild, ContentRulesAndEscaping) {
    Xml doc;
    XmlNode root = doc.GetRoot();
    XmlNode sp = root.AppendChild("sp", "  ");
    EXPECT_TRUE(sp.FirstChild().IsCData());
    XmlNode lt = root.AppendChild("lt", "a<b");
    EXPECT_TRUE(lt.FirstChild().IsText());
    EXPECT_NE(doc.Str().find("<lt>a&lt;b</lt>"), std::string::npos);
    lt.SetContent("x & y");
    EXPECT_EQ(lt.Str(), "x & y");
    lt.SetContent(" ");
    EXPECT_TRUE(lt.FirstChild().IsCData());
    lt.SetContent("");
    EXPECT_FALSE(lt.FirstChild());
}

TEST(XmlBuild, AppendCopiesTreeNodesAndMovesUnlinkedOnes) {
    Xml doc;
    doc.LoadFromString("<doc><a><x/></a><b/></doc>");
    XmlNode x = doc.GetNode("/doc/a/x");
    doc.GetNode("/doc/b").AppendChild(x);
    EXPECT_TRUE(doc.GetNode("/doc/a/x"));
    EXPECT_TRUE(doc.GetNode("/doc/b/x"));
    XmlNode moved = doc.GetNode("/doc/a/x").Unlink();
    doc.GetNode("/doc/b").AppendChild(moved);
    EXPECT_FALSE(doc.GetNode("/doc/a/x"));
    EXPECT_EQ(XPath(doc, "/doc/b/x").size(), 2u);

    XmlNode survivor;
    {
        Xml other;
        other.LoadFromString("<doc><n k=\"v\"/></doc>");
        survivor = other.GetNode("/doc/n");
    }
    EXPECT_EQ(survivor.GetProp("k"), "v");  // the node keeps its document alive
    XmlNode detached = survivor.Clone();
    EXPECT_EQ(detached.Parent(1), XmlNode());
}

TEST(XmlNavigation, ParentsAndSiblings) {
    Xml doc;
    doc.LoadFromString("<doc><a/><b/></doc>");
    XmlNode root = doc.GetRoot();
    EXPECT_EQ(root.Parent(0), root);
    EXPECT_TRUE(root.Parent(1));
    EXPECT_FALSE(root.Parent(1).IsNode());
    EXPECT_FALSE(root.Parent(2));
    EXPECT_EQ(root.FirstChild().Next(), root.LastChild());
    EXPECT_EQ(root.FindNode("b"), root.LastChild());
    EXPECT_FALSE(root.FindNode("c"));
}

TEST(XmlDummy, OperationsAssert) {
    XmlNode dummy;
    EXPECT_EQ(dummy.Str(), "");
    EXPECT_EQ(AssertText([&] { dummy.GetProp("a"); }), "get property of dummy node");
    EXPECT_EQ(AssertText([&] { dummy.SetProp("a", "b"); }), "set property for dummy node");
    EXPECT_EQ(AssertText([&] { dummy.Name(); }), "get name of dummy node");
    EXPECT_EQ(AssertText([&] { dummy.AppendChild("x"); }), "apped child for dummy node");
    Xml doc;
    EXPECT_EQ(AssertText([&] { doc.GetRoot().AppendChild(""); }), "try to create node with empty name");
    EXPECT_EQ(AssertText([&] { doc.GetRoot().AppendChild(dummy); }), "append dummy node");
    EXPECT_EQ(AssertText([&] { doc.SetRoot(dummy); }), "try to use dummy node as root node");
}

TEST(XmlXPath, SizesIteratorsAndNamespaces) {
    Xml doc;
    doc.LoadFromString("<doc xmlns:p=\"urn:p\"><p:i n=\"1\"/><p:i n=\"2\"/><p:i n=\"3\"/></doc>");
    XPath count(doc, "count(/doc/*)");
    EXPECT_EQ(count.size(), 0u);
    try {
        count[0];
        FAIL();
    } catch (const std::out_of_range& e) {
        EXPECT_STREQ(e.what(), "xpath: out of range");
    }
    XPath items(doc, "/doc/q:i", "q", "urn:p");
    ASSERT_EQ(items.size(), 3u);
    EXPECT_EQ(items[0].Name(), "p:i");
    std::string order;
    for (auto it = items.rbegin(); it != items.rend(); ++it) order += it->GetProp("n");
    EXPECT_EQ(order, "321");
    EXPECT_EQ(XmlObject([&] { XPath bad(doc, "/doc/[["); }), "xpath");
    EXPECT_EQ(doc.RemoveNodes("/doc/*[@n > 1]"), 2u);
    EXPECT_EQ(XPath(doc, "/doc/*").size(), 1u);
}

TEST(XmlEscape, PropValues) {
    EXPECT_EQ(EscapePropValue("abc"), "'abc'");
    EXPECT_EQ(EscapePropValue("it's"), "\"it's\"");
    EXPECT_EQ(EscapePropValue("a'b\"c"), "concat(\"a'b\",'\"c')");
    Xml doc;
    doc.GetRoot().AppendChild("v").SetProp("k", "a'b\"c");
    EXPECT_TRUE(doc.GetNode("/doc/v[@k=" + EscapePropValue("a'b\"c") + "]"));
}
