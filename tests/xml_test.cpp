#include <libvux/vuxxml.h>

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <libxml/tree.h>
#include <libxml/xmlmemory.h>
#include <malloc.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <set>
#include <sstream>
#include <stdexcept>
#include <streambuf>
#include <string>
#include <thread>
#include <vector>

#include <libvux/vuxerr.h>

#include "test_util.h"

using vux_xml::EscapePropValue;
using vux_xml::RemoveBadChars;
using vux_xml::XPath;
using vux_xml::Xml;
using vux_xml::XmlNode;

namespace {

const std::string kDecl = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
const std::string kBare = "<?xml version=\"1.0\"?>\n";
const std::string kLatin = "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>";

Xml FromString(const std::string& text) {
    Xml x;
    x.LoadFromString(text);
    return x;
}

Xml FromStream(const std::string& text) {
    std::istringstream in(text);
    Xml x;
    x.Load(in);
    return x;
}

// The object of the xml error f throws, which must be a report; anything else shows in full.
std::string XmlErr(const std::function<void()>& f) {
    const std::string kind = testutil::ErrorKindOf(f);
    return kind.starts_with("xml/") && kind.ends_with("/report") ? kind.substr(4, kind.size() - 11) : kind;
}

// "name=text" of a node, or "-" for the empty node.
std::string Show(const XmlNode& n) { return n ? n.Name() + "=" + n.Str() : "-"; }

// Each action throws the xml report with that object; run in order, so later ones see earlier effects.
void ExpectXmlErrors(const std::vector<std::pair<std::function<void()>, std::string>>& cases) {
    for (std::size_t i = 0; i < cases.size(); ++i) EXPECT_EQ(XmlErr(cases[i].first), cases[i].second) << "case " << i;
}

// What loading text ('m' from memory, 's' through a stream, 'f' from a file) leaves in a handle that
// held <old/>: "(empty)", "name=text" of the root or "(no document)"; after a failure "!object " first.
std::string Loaded(char via, const std::string& text) {
    testutil::TempDir dir;
    Xml x = FromString("<old/>");
    const std::string err = XmlErr([&] {
        std::istringstream in(text);
        testutil::WriteFile(dir / "f.xml", text);
        if (via == 's') x.Load(in);
        if (via == 'm') x.LoadFromString(text);
        if (via == 'f') x.LoadFromFile(dir / "f.xml");
    });
    const XmlNode root = x.IsEmpty() ? XmlNode() : x.GetRoot();
    const std::string got = x.IsEmpty() ? "(empty)" : root ? Show(root) : "(no document)";
    return err == "no error" ? got : "!" + err + " " + got;
}

}  // namespace

TEST(XmlHelpers, EscapePropValueSelectsExactlyThatValue) {
    const char* const forms[][2] = {{"abc", "'abc'"}, {"", "''"}, {"it's", "\"it's\""}, {"say \"hi\"", "'say \"hi\"'"},
                                    {"a'b\"c", "concat(\"a'b\",'\"c')"}};
    for (const auto& f : forms) EXPECT_EQ(EscapePropValue(f[0]), f[1]);
    for (const std::string v :
         {"plain", "o'neil", "\"q\"", "a'b\"c", "'\"'\"", "\"'", "x\"\"y''z\"", "''", "\"a'b'c\"d"}) {
        Xml doc;
        doc.GetRoot().AppendChild("e").SetProp("v", v);
        doc.GetRoot().AppendChild("e").SetProp("v", v + "x");
        XPath hit(doc, "/doc/e[@v=" + EscapePropValue(v) + "]");
        ASSERT_EQ(hit.size(), 1u) << v << " -> " << EscapePropValue(v);
        EXPECT_EQ(hit[0].GetProp("v"), v);
    }
}

TEST(XmlHelpers, RemoveBadChars) {
    const std::string ascii(1000, 'q'), all = "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80";
    const std::string blocks[][2] = {
        {std::string("a\0b\x01\tc\n\r\x7f", 9), "ab\tc\n\r\x7f"}, {"x\xF8\xFF\xFEy", "xy"}, {all, all},
        {"a\x80\xBF" "b", "ab"},         // stray continuation bytes
        {"a\xE2\x82z", "az"},            // a sequence broken by ASCII is taken back
        {"a\xE2\xC3\xA9", "a\xC3\xA9"},  // broken by another lead byte
        {"\xC3\xA9\xA9", "\xC3\xA9"},    // one continuation too many
        {ascii + "\x01" + ascii, ascii + ascii},
    };
    unsigned long kept = 0;
    int len = 0, rem = 0;
    for (const auto& b : blocks) {
        std::string buf = b[0];
        RemoveBadChars(&buf[0], buf.size(), kept, len, rem);
        EXPECT_EQ(buf.substr(0, kept), b[1]);
        if (b[1] == "az") {
            EXPECT_EQ(len, 0);
        }
    }

    // An open sequence is held back; the caller moves it to the front and appends the next block.
    char buf[16];
    std::memcpy(buf, "ab\xF0\x9F", 4);
    RemoveBadChars(buf, 4, kept, len, rem);
    EXPECT_EQ(std::to_string(kept) + " " + std::to_string(len) + " " + std::to_string(rem), "4 4 2");
    std::memcpy(buf, "\xF0\x9F\x98\x80z", 5);
    RemoveBadChars(buf, 3, kept, len, rem);
    EXPECT_EQ(std::string(buf, kept) + " " + std::to_string(len) + " " + std::to_string(rem), "\xF0\x9F\x98\x80z 0 0");
    // Held-back bytes that never complete are removed along with nothing else.
    len = 3;
    rem = 1;
    std::memcpy(buf, "\xE2\x82" "ok", 4);
    RemoveBadChars(buf, 2, kept, len, rem);
    EXPECT_EQ(std::string(buf, kept) + " " + std::to_string(len), "ok 0");
}

TEST(XmlHelpers, ConcatenationWithNodes) {
    Xml doc = FromString("<r><a>x<b>y</b></a></r>");
    XmlNode a = doc.GetNode("/r/a");
    std::string s = "<";
    s += a;
    // The empty node adds nothing.
    testutil::ExpectPairs({{s, "<xy"}, {"[" + a, "[xy"}, {a + "]", "xy]"},
    {std::string("(") + a + std::string(")"), "(xy)"},
                           {"-" + XmlNode() + "-", "--"}});
}

TEST(XmlDocument, EmptyHandlesGetTheDefaultDocument) {
    Xml x;
    EXPECT_TRUE(x.IsEmpty());
    Xml copy = x;
    EXPECT_EQ(x.GetRoot().Name(), "doc");
    EXPECT_TRUE(!x.IsEmpty() && copy.IsEmpty()) << "only the handle used gets the document";
    EXPECT_EQ(Xml().Str(), kDecl + "<doc/>\n");
    // XPath reads the default document without keeping it.
    EXPECT_EQ(copy.GetNodes("/doc").size(), 1u);
    EXPECT_EQ(copy.GetNode("/doc").Name(), "doc");
    EXPECT_TRUE(copy.IsEmpty());
}

TEST(XmlDocument, WhatALoadLeaves) {
    const struct {
        char via;
        std::string text, leaves;
    } cases[] = {
        // Control bytes and overlong leads go, a lead near the end taking only what is there.
        {'m', std::string("<r>a\x01\x02\x1f" "b\tc</r>"), "r=ab\tc"}, {'m', "<r>a\xF8" "1234b</r>", "r=ab"},
        {'m', "<r>a\xFD" "12345b</r>", "r=ab"}, {'m', "<r/>\xFC", "r="},
        // Declared Latin-1 is converted by the parser in memory; the stream filter, which only knows
        // UTF-8, drops such bytes.
        {'m', kLatin + "<r>caf\xE9!</r>", "r=caf\xC3\xA9!"}, {'s', kLatin + "<r>caf\xE9!</r>", "r=caf!"},
        // Undeclared garbage: the stream load recovers, the memory load refuses.
        {'s', "<r>a\xC3\xC3z\xFF</r>", "r=az"}, {'m', "<r>a\xC3\xC3z</r>", "!parse (no document)"},
        // The stream's first four bytes reach the parser as they are; bad bytes after them are skipped.
        {'s', std::string("<r>-\0a\x80" "b\xFF" "c\x01</r>", 15), "r=-abc"}, {'s', "<r>\x01</r>", "!parse old="},
        {'s', "<r> \x01</r>", "r= "},
        // An incomplete sequence at the end is dropped.
        {'s', "<r/>\xE2\x82", "r="}, {'s', "<r>a\xF0\x9F\x98</r>", "r=a"},
        // A 4-byte name character at offset 1 straddles the unfiltered first bytes.
        {'s', "<\xF0\x9F\x98\x80 a=\"1\"/>", "\xF0\x9F\x98\x80="}, {'s', "<a>\xC3\xA9</a>", "a=\xC3\xA9"},
        // Nothing to read empties a handle, except through a stream. A failed stream load keeps the
        // old document; a failed load in memory or from a file leaves none at all.
        {'m', "", "(empty)"}, {'f', "", "(empty)"}, {'s', "", "!read old="}, {'s', "<a><b>", "!parse old="},
        {'s', "     ", "!parse old="}, {'m', "<<", "!parse (no document)"}, {'f', "<<", "!parse_file (no document)"},
    };
    for (const auto& c : cases) EXPECT_EQ(Loaded(c.via, c.text), c.leaves) << c.via << " " << c.text;
}

TEST(XmlDocument, LoadVariantsAgree) {
    const std::string text = "<?xml version=\"1.0\"?>\n<r a=\"1\"><b>t&amp;u</b><!--c--><![CDATA[<x>]]></r>\n";
    testutil::TempDir dir;
    testutil::WriteFile(dir / "a.xml", text);
    std::istringstream in(text);
    Xml s(in);
    vux_xml::XmlFile f(dir / "a.xml");
    vux_xml::XmlString m(text);
    EXPECT_TRUE(s.Str() == m.Str() && f.Str() == m.Str()) << s.Str() << f.Str() << m.Str();
    EXPECT_EQ(Show(m.GetNode("/r/b")) + " " + Show(m.GetRoot()), "b=t&u r=t&u<x>");
    // Saving keeps the document's encoding.
    EXPECT_EQ(FromString(kLatin + "<r>\xE9</r>").Str(), kLatin + "\n<r>\xE9</r>\n");
}

TEST(XmlDocument, SaveAndFormat) {
    const std::string indented = "<r>\n  <a>\n    <b>x</b>\n  </a>\n  <c>   </c>\n  <d>text <i>it</i> more</d>\n"
                                 "  <e><![CDATA[  ]]></e>\n</r>\n";
    Xml doc = FromString(indented);
    const std::string pretty = doc.Str(true);
    EXPECT_EQ(pretty, kBare + indented);
    // The cleanup works on a copy: the document keeps its white space.
    EXPECT_EQ(XPath(doc, "/r/text()").size(), 5u);

    Xml squashed = FromString("<r><a> </a>\n<b/> <c/></r>");
    EXPECT_EQ(squashed.Str(true), kBare + "<r>\n  <a> </a>\n  <b/>\n  <c/>\n</r>\n");
    EXPECT_EQ(squashed.Str(false), kBare + "<r><a> </a>\n<b/> <c/></r>\n");

    testutil::TempDir dir;
    doc.Save(dir / "out.xml", true);
    EXPECT_EQ(testutil::ReadFile(dir / "out.xml"), pretty);
    doc.Save(dir / "out.xml");
    EXPECT_EQ(FromString(testutil::ReadFile(dir / "out.xml")).Str(), doc.Str()) << "truncated, not appended";
}

TEST(XmlLoad, MultiByteCharactersAcrossBlockBoundaries) {
    for (const std::string ch : {"\xC3\xA9", "\xE2\x82\xAC", "\xF0\x9F\x98\x80"}) {
        for (std::size_t boundary : {1024u, 2048u, 3072u}) {
            for (std::size_t start = boundary - 5; start <= boundary + 1; ++start) {
                // Offset `start` of the stream holds the first byte of ch.
                std::string pad(start - 3, 'p');
                for (std::size_t i = 50; i < pad.size(); i += 97) pad[i] = '\n';
                ASSERT_EQ(FromStream("<r>" + pad + ch + "e" + ch + "</r>").GetRoot().Str(), pad + ch + "e" + ch)
                    << "char of " << ch.size() << " bytes at " << start;
            }
        }
    }
    // Dropped bytes shift every later block; the held-back bytes must follow.
    std::string text = "<r>-", expect = "-";
    for (int i = 0; i < 3000; ++i) {
        text += (i % 7 == 0) ? "\x01\xE2\x82\xAC" : "\xC3\xA9";
        expect += (i % 7 == 0) ? "\xE2\x82\xAC" : "\xC3\xA9";
    }
    EXPECT_EQ(FromStream(text + "</r>").GetRoot().Str(), expect);
    // The value is the chunk just fed, after the first four bytes.
    EXPECT_EQ(testutil::ErrorOf([] { FromStream("<a><b></a>"); }), "xml/parse/b></a>/report");
}

TEST(XmlLoad, HugeGeneratedDocument) {
    const std::size_t items = 360000;
    std::string text = "<?xml version=\"1.0\"?>\n<doc>\n";
    for (std::size_t i = 0; i < items; ++i)
        text += "<item k=\"v" + std::to_string(i % 100) + "\" n=\"" + std::to_string(i) +
                "\">text \xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80 &amp; " + std::to_string(i) + "</item>\n";
    ASSERT_GT(text.size(), 20u * 1000 * 1000);
    Xml x = FromStream(text + "</doc>\n");
    XPath all(x, "/doc/item");
    ASSERT_EQ(all.size(), items);
    EXPECT_EQ(all[123456].GetProp("n") + " " + all[123456].Str(),
              "123456 text \xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80 & 123456");
    EXPECT_EQ(XPath(x, "/doc/item[@k='v42']").size(), items / 100);
    EXPECT_EQ(all.back().GetProp("n"), std::to_string(items - 1));
    // Cut off after some megabytes: the load fails and the handle keeps its document.
    std::istringstream truncated(text.substr(0, 3 * 1000 * 1000 + 17));
    Xml kept = FromString("<kept/>");
    EXPECT_EQ(XmlErr([&] { kept.Load(truncated); }), "parse");
    EXPECT_EQ(kept.GetRoot().Name(), "kept");
}

TEST(XmlLoad, RandomGarbageNeverCrashes) {
    for (unsigned seed = 1; seed <= 40; ++seed) {
        const std::string text = "<r>" + testutil::RandomBytes(5000, seed) + "</r>";
        for (auto load : {&FromStream, &FromString}) {
            const std::string kind = testutil::ErrorKindOf([&] { load(text).Str(true); });
            EXPECT_TRUE(kind == "no error" || kind.starts_with("xml/")) << kind;
        }
    }
}

TEST(XmlLoad, DiagnosticsStayOffStderr) {
    auto quietly = [](const std::function<void()>& f) { (void)testutil::ErrorKindOf(f); };
    fflush(stderr);
    testutil::TempDir dir;
    const std::string path = dir / "stderr";
    const int saved = dup(2), fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ASSERT_TRUE(saved >= 0 && fd >= 0 && dup2(fd, 2) == 2);
    close(fd);
    quietly([] { FromString("<a><b></a>"); });
    quietly([] { FromStream("<a:b/><"); });
    quietly([] { XPath(Xml(), "//["); });
    std::thread([&] { quietly([] { FromString("<x y='1' y='2'/>"); }); }).join();
    fflush(stderr);
    dup2(saved, 2);
    close(saved);
    EXPECT_EQ(testutil::ReadFile(path), "");
}

TEST(XmlFailures, ErrorsCarryTheirInput) {
    EXPECT_EQ(testutil::ErrorOf([] { FromString(std::string("<a>\x01</b>")); }), "xml/parse/<a></b>/report")
        << "the filtered text";
    testutil::TempDir dir;
    testutil::WriteFile(dir / "bad.xml", "<a>");
    EXPECT_EQ(testutil::ErrorOf([&] { vux_xml::XmlFile x(dir / "bad.xml"); }),
              "xml/parse_file/" + (dir / "bad.xml") + "/report");
    EXPECT_EQ(XmlErr([&] { vux_xml::XmlFile x(dir / "missing.xml"); }), "parse_file") << "not an empty document";
    Xml doc;
    EXPECT_EQ(testutil::ErrorOf([&] { XPath(doc, "/doc/[x"); }), "xml/xpath//doc/[x/report");
    EXPECT_EQ(testutil::ErrorOf([&] { XPath(doc, "/p:doc", "", "urn:x"); }), "xml/xpath_namespace/urn:x/report");
    EXPECT_EQ(XmlErr([&] { XPath(doc, "/q:doc"); }), "xpath") << "unbound prefix";
}

TEST(XmlFailures, HandleWithoutDocumentAfterFailedLoad) {
    for (const char via : {'m', 'f'}) {
        testutil::TempDir dir;
        testutil::WriteFile(dir / "bad.xml", "<<");
        Xml x = FromString("<a/>");
        EXPECT_EQ(XmlErr([&] { via == 'f' ? x.LoadFromFile(dir / "bad.xml") : x.LoadFromString("<<"); }),
                  via == 'f' ? "parse_file" : "parse");
        EXPECT_FALSE(x.IsEmpty());
        EXPECT_FALSE(x.GetRoot());
        // There is no document to put a root into; that is not a success.
        ExpectXmlErrors({{[&] { x.Str(); }, "write"},
                         {[&] { x.Str(true); }, "copy"},
                         {[&] { XPath(x, "/"); }, "xpath_context"},
                         {[&] { x.SetRoot("fresh"); }, "new_node"}});
        EXPECT_FALSE(x.GetRoot());
    }
    // Unlike a document without a root element, which still serialises.
    Xml rootless;
    rootless.GetRoot().Unlink();
    EXPECT_EQ(rootless.Str(), kDecl);
}

TEST(XmlFailures, PropertyAndNamespaceErrorsArePlainErrors) {
    Xml doc;
    XmlNode root = doc.GetRoot();
    // A plain vux_err::Error built as the xml report, with one parameter.
    auto plain = [](const std::function<void()>& f, const std::string& param) -> std::string {
        try {
            f();
        } catch (const vux_err::Error& e) {
            return (typeid(e) == typeid(vux_err::Error) ? "" : "derived ") + testutil::DescribeError(e, true) + " " +
                   param + "=" + e.xml().GetNode("/doc/error/param[@name='" + param + "']").Str();
        }
        return "no error";
    };
    EXPECT_EQ(plain([&] { root.SetProp("nope:a", "val"); }, "name"), "xml/node_property/val/report name=nope:a");
    root.RegisterNamespace("p", "urn:p");
    EXPECT_EQ(plain([&] { root.RegisterNamespace("p", "urn:other"); }, "href"),
              "xml/create_ns/p/report href=urn:other");
    XmlNode text = root.AppendChild("t", "words").FirstChild();
    EXPECT_EQ(XmlErr([&] { text.SetProp("a", "1"); }), "node_property");
}

TEST(XmlFailures, TreeBuildingErrors) {
    Xml doc = FromString("<r><a><b/></a>text<!--c--></r>");
    XmlNode a = doc.GetNode("/r/a");
    XmlNode text = doc.GetNode("/r/text()");
    XmlNode document = doc.GetRoot().Parent();
    EXPECT_EQ(testutil::ErrorOf([&] { text.AppendChild("x"); }), "xml/new_node/x/report");
    ExpectXmlErrors({{[&] { text.AppendChild("x", "y"); }, "new_node"}, {[&] { text.AppendChild(a); }, "insert_node"},
                     {[&] { text.AppendCData("z"); }, "insert_node"},
                     {[&] { document.AddNextSibling(a); }, "insert_node"},
                     {[&] { document.Clone(); }, "clone"}, {[&] { document.SetContent("x"); }, "content"},
                     {[&] { doc.SetRoot(text); }, "insert_node"}});  // only elements can be roots
    // Moving a detached node below itself would make a cycle; a detached node has no siblings.
    XmlNode moved = a.Unlink();
    XmlNode b = moved.FirstChild();
    ExpectXmlErrors({{[&] { b.AppendChild(moved); }, "insert_node"},
    {[&] { moved.AddNextSibling(b); }, "insert_node"}});
}

TEST(XmlFailures, WriteFailures) {
    Xml doc;
    std::ostringstream bad;
    bad.setstate(std::ios::badbit);
    EXPECT_EQ(XmlErr([&] { doc.Save(bad); }), "write");
    EXPECT_EQ(testutil::ErrorOf([&] { doc.Save("/nonexistent-dir/x.xml"); }),
              "xml/write//nonexistent-dir/x.xml/report");
    struct Throwing : std::streambuf {
        int_type overflow(int_type) override { throw std::runtime_error("full"); }
        std::streamsize xsputn(const char*, std::streamsize) override { throw std::runtime_error("full"); }
    } sink;
    std::ostream out(&sink);
    out.exceptions(std::ios::badbit);
    EXPECT_EQ(XmlErr([&] { doc.Save(out); }), "write");
}

TEST(XmlDummyNode, EveryOperationAsserts) {
    XmlNode d;
    XmlNode real = Xml().GetRoot();
    StringList names;
    StringMap ns;
    EXPECT_TRUE(!d && d.Str().empty() && d == XmlNode() && d != real && real != d && d.document().IsEmpty());
    const std::pair<std::function<void()>, const char*> cases[] = {
        {[&] { d.DropProp("a"); }, "drop property for dummy node"},
        {[&] { d.SetProp("a", "1"); }, "set property for dummy node"},
        {[&] { real.SetProp("", "1"); }, "try to create attribute with empty name"},
        {[&] { real.SetProp(nullptr, "1"); }, "try to create attribute with empty name"},
        {[&] { d.GetProp("a"); }, "get property of dummy node"},
        {[&] { d.AllProps(names); }, "get properties of dummy node"},
        {[&] { d.Name(); }, "get name of dummy node"}, {[&] { d.IsText(); }, "get type of dummy node"},
        {[&] { d.IsNode(); }, "get type of dummy node"}, {[&] { d.IsCData(); }, "get type of dummy node"},
        {[&] { d.FirstChild(); }, "get first child of dummy node"},
        {[&] { d.LastChild(); }, "get last child of dummy node"},
        {[&] { d.Next(); }, "get next from dummy node"}, {[&] { d.Prev(); }, "get prev from dummy node"},
        {[&] { d.Parent(); }, "get parent of dummy node"}, {[&] { d.Clone(); }, "do clone of dummy node"},
        {[&] { d.AppendChild(real); }, "append to dummy node"}, {[&] { real.AppendChild(d); }, "append dummy node"},
        {[&] { d.AddPrevSibling(real); }, "add before dummy node"},
        {[&] { d.AddNextSibling(real); }, "add before dummy node"},
        {[&] { real.AddPrevSibling(d); }, "add dummy node"}, {[&] { real.AddNextSibling(d); }, "add dummy node"},
        {[&] { d.AppendChild("x"); }, "apped child for dummy node"},
        {[&] { d.AppendChild("x", "y"); }, "apped child for dummy node"},
        {[&] { d.AppendCData("x"); }, "apped child for dummy node"},
        {[&] { real.AppendChild(""); }, "try to create node with empty name"},
        {[&] { real.AppendChild(static_cast<const char*>(nullptr)); }, "try to create node with empty name"},
        {[&] { real.AppendChild("", "y"); }, "try to create node with empty name"},
        {[&] { d.SetContent("x"); }, "set content of dummy node"},
        {[&] { d.RegisterNamespace("p", "u"); }, "register namespace for dummy node"},
        {[&] { Xml().SetRoot(d); }, "try to use dummy node as root node"}, {[&] { d.Unlink(); }, "unlink dummy node"},
        {[&] { d.FindNode("x"); }, "get first child of dummy node"},
        {[&] { d.GetXmlNs(ns, ""); }, "get namespaces of dummy node"},
        {[&] { d.GetXmlNsDefinitions(ns, ""); }, "get namespaces of dummy node"},
        {[&] { d.SetNotEmptyProp("a", "1"); }, "set property for dummy node"},
        {[&] { d.SetNotEmptyProp("a", ""); }, "drop property for dummy node"},
    };
    for (const auto& [f, desc] : cases) {
        try {
            f();
            ADD_FAILURE() << "no assertion: " << desc;
        } catch (const vux_err::AssertError& e) {
            EXPECT_EQ(std::string(e.file()) + ": " + e.desc(), std::string("vuxxml_unix: ") + desc);
            EXPECT_NE(std::string(e.func()).find("vux_xml::"), std::string::npos) << e.func();
        }
    }
}

TEST(XmlNodeOps, NamesTypesAndProperties) {
    Xml doc = FromString("<r xmlns:p='urn:p' a='1' p:b='2' c=''><p:e/>t<![CDATA[c]]><!--x--></r>");
    XmlNode r = doc.GetRoot();
    EXPECT_TRUE(r.Name() == "r" && r.IsNode());
    // A plain name finds no namespaced attribute; an unknown prefix finds nothing.
    testutil::ExpectPairs({{r.GetProp("a"), "1"}, {r.GetProp("b"), ""}, {r.GetProp("p:b"), "2"}, {r.GetProp("q:b"), ""},
                           {r.GetProp("missing"), ""}});
    StringList names{"pre"};
    r.AllProps(names);
    EXPECT_EQ(names, (StringList{"pre", "a", "p:b", "c"}));

    XmlNode e = r.FirstChild(), t = e.Next(), cd = t.Next(), comment = r.LastChild();
    EXPECT_EQ(Show(e) + " " + Show(t) + " " + Show(comment), "p:e= text=t comment=x");
    EXPECT_TRUE(t.IsText() && cd.IsCData() && !cd.IsText());
    EXPECT_TRUE(comment.Prev() == cd && !comment.Next() && !e.Prev());
    EXPECT_EQ(r.FindNode("p:e"), e);
    EXPECT_FALSE(r.FindNode("e")) << "the name must match exactly";

    r.SetProp("a", "new").SetProp("p:b", "3").SetProp("d", "<&\"'>");
    EXPECT_EQ(r.GetProp("a") + "|" + r.GetProp("p:b") + "|" + r.GetProp("d"), "new|3|<&\"'>");
    r.SetNotEmptyProp("a", "").SetNotEmptyProp("z", "zz").DropProp("p:b").DropProp("q:b").DropProp("none");
    names.clear();
    r.AllProps(names);
    EXPECT_EQ(names, (StringList{"c", "d", "z"}));
    EXPECT_NE(doc.Str().find("d=\"&lt;&amp;&quot;'&gt;\""), std::string::npos) << doc.Str();
}

TEST(XmlNodeOps, ParentAndSiblingsOfSpecialNodes) {
    Xml doc = FromString("<r a='1'><b/></r>");
    XmlNode r = doc.GetRoot();
    EXPECT_TRUE(r.Parent(0) == r && r.Parent(-3) == r);
    XmlNode document = r.Parent(1);
    ASSERT_TRUE(document);
    EXPECT_EQ(document, XPath(doc, "/")[0]) << "the document node";
    EXPECT_TRUE(!document.IsNode() && !r.Parent(2) && !document.Parent() && !document.Next());
    EXPECT_TRUE(r.FirstChild().Parent(2) == document && document.FirstChild() == r);
    XmlNode attr = doc.GetNode("/r/@a");
    EXPECT_EQ(Show(attr), "a=1");
    EXPECT_FALSE(attr.Parent() || attr.Next() || attr.Prev());
    EXPECT_EQ(&attr.Unlink(), &attr);
    EXPECT_EQ(doc.GetRoot().GetProp("a"), "1") << "Unlink leaves attributes alone";
}

TEST(XmlNodeOps, AppendChildAndSetContent) {
    Xml doc;
    XmlNode root = doc.GetRoot();
    XmlNode spaces = root.AppendChild("s", "  "), lt = root.AppendChild("l", "a<b&c");
    EXPECT_TRUE(spaces.FirstChild().IsCData() && lt.FirstChild().IsText());
    EXPECT_EQ(Show(spaces) + " " + Show(lt) + " " + Show(root.AppendChild("e", "")), "s=   l=a<b&c e=");
    EXPECT_EQ(root.AppendChild("x:y").Name(), "x:y") << "not resolved against namespaces";
    EXPECT_EQ(doc.Str(), kDecl + "<doc><s><![CDATA[  ]]></s><l>a&lt;b&amp;c</l><e></e><x:y/></doc>\n");
    EXPECT_EQ(doc.Str(true),
              kDecl + "<doc>\n  <s><![CDATA[  ]]></s>\n  <l>a&lt;b&amp;c</l>\n  <e></e>\n  <x:y/>\n</doc>\n");
    XmlNode cdata = root.AppendCData(std::string("a]]>b\0c", 7));
    EXPECT_EQ(cdata.Str(), "a]]>b") << "content is taken by length";
    EXPECT_EQ(root.LastChild(), cdata);

    doc = FromString("<r><a>old<b/></a><c/></r>");
    XmlNode a = doc.GetNode("/r/a");
    EXPECT_EQ(a.SetContent("x < y & z").Str(), "x < y & z");
    EXPECT_EQ(XPath(doc, "/r/a/node()").size(), 1u);
    EXPECT_EQ(a.SetContent(" \t ").Str(), " \t ");
    EXPECT_TRUE(a.FirstChild().IsCData());
    EXPECT_FALSE(a.SetContent("").FirstChild());
    EXPECT_EQ(a.SetContent("&amp;").Str(), "&amp;") << "no entity interpretation";
    EXPECT_EQ(doc.GetRoot().AppendChild("t", "v").FirstChild().SetContent("a<b").Str(), "a<b");
    EXPECT_NE(doc.Str().find("<t>a&lt;b</t>"), std::string::npos) << doc.Str();
    EXPECT_TRUE(doc.GetNode("/r").SetProp("k", "v").FindNode("c"));
    doc.GetNode("/r/@k").SetContent("1 & 2");
    EXPECT_EQ(doc.GetRoot().GetProp("k"), "1 & 2");
}

TEST(XmlMoveCopy, TreeNodesAreCopiedDetachedOnesMoved) {
    Xml doc = FromString("<r><a k='1'><b>x</b></a><c/></r>");
    XmlNode a = doc.GetNode("/r/a");
    XmlNode c = doc.GetNode("/r/c");
    EXPECT_NE(c.AppendChild(a), a);
    EXPECT_EQ(doc.Str(), kBare + "<r><a k=\"1\"><b>x</b></a><c><a k=\"1\"><b>x</b></a></c></r>\n");
    XmlNode before = c.AddPrevSibling(a), after = c.AddNextSibling(a);
    EXPECT_EQ(XPath(doc, "//a").size(), 4u);
    EXPECT_TRUE(c.Prev() == before && c.Next() == after);

    doc = FromString("<r><a>1</a><b/><c/></r>");
    a = doc.GetNode("/r/a").Unlink();
    EXPECT_EQ(doc.Str(), kBare + "<r><b/><c/></r>\n");
    EXPECT_FALSE(a.Parent());
    EXPECT_EQ(doc.GetNode("/r/c").AppendChild(a), a);
    EXPECT_EQ(doc.Str(), kBare + "<r><b/><c><a>1</a></c></r>\n");
    // Now in the tree again: a second append copies.
    EXPECT_NE(doc.GetNode("/r/b").AppendChild(a), a);
    EXPECT_EQ(doc.Str(), kBare + "<r><b><a>1</a></b><c><a>1</a></c></r>\n");
    XmlNode clone = doc.GetNode("/r/b").Clone();
    EXPECT_TRUE(!clone.Parent() && doc.GetNode("/r").AppendChild(clone) == clone)
        << "a clone of the same document moves";
    EXPECT_EQ(XPath(doc, "/r/b").size(), 2u);

    // Text nodes are not merged.
    doc = FromString("<r>one</r>");
    XmlNode text = doc.GetRoot().AppendChild("t", "two").FirstChild().Unlink();
    EXPECT_EQ(doc.GetRoot().AppendChild(text), text);
    EXPECT_EQ(text.Str() + " " + doc.GetRoot().Str(), "two onetwo");
    EXPECT_EQ(XPath(doc, "/r/text()").size(), 2u);
}

TEST(XmlMoveCopy, OtherDocumentIsCopiedWithNamespaces) {
    Xml src = FromString("<s xmlns:p='urn:p' xmlns='urn:d'><p:a p:k='v'><b/></p:a></s>");
    Xml dst;
    XmlNode a = src.GetNode("/d:s/p:a", StringMap{{"p", "urn:p"}, {"d", "urn:d"}});
    ASSERT_TRUE(a);
    XmlNode copy = dst.GetRoot().AppendChild(a);
    EXPECT_EQ(copy.document().GetRoot(), dst.GetRoot());
    EXPECT_EQ(copy.Name() + " " + copy.GetProp("p:k"), "p:a v");
    EXPECT_TRUE(src.GetNode("/*/*"));
    Xml reparsed = FromString(dst.Str());
    const StringMap ns{{"q", "urn:p"}, {"e", "urn:d"}};
    EXPECT_EQ(Show(reparsed.GetNode("/doc/q:a/e:b", ns)) + " " + Show(reparsed.GetNode("/doc/q:a/@q:k", ns)),
              "b= p:k=v");
}

TEST(XmlMoveCopy, AttributeNodes) {
    Xml src = FromString("<s xmlns:p='urn:p' p:k='v' n='1'/>");
    Xml dst = FromString("<d n='0'><e/></d>");
    XmlNode d = dst.GetRoot();
    d.AppendChild(src.GetNode("/s/@n"));
    EXPECT_EQ(d.GetProp("n"), "1") << "an attribute of the same name is replaced";
    d.AppendChild(src.GetNode("/s/@p:k", "p", "urn:p"));
    EXPECT_EQ(d.GetProp("k"), "");
    EXPECT_EQ(FromString(dst.Str()).GetNode("/d/@q:k", "q", "urn:p").Str(), "v") << dst.Str();
    StringList names;
    d.AllProps(names);
    EXPECT_EQ(names.size(), 2u);

    // Between attributes of one element; mixing attributes and children is refused.
    XmlNode n = dst.GetNode("/d/@n");
    XmlNode extra = FromString("<x m='2' n='3'/>").GetNode("/x/@m");
    n.AddPrevSibling(extra);
    names.clear();
    d.AllProps(names);
    EXPECT_EQ(names.front(), "m");
    ExpectXmlErrors({{[&] { dst.GetNode("/d/e").AddNextSibling(extra); }, "insert_node"},
                     {[&] { n.AddNextSibling(dst.GetNode("/d/e")); }, "insert_node"}});
    XmlNode replaced = n.AddNextSibling(FromString("<x n='9'/>").GetNode("/x/@n"));
    EXPECT_NE(replaced, n);
    EXPECT_EQ(d.GetProp("n") + " " + n.Str(), "9 1") << "the replaced attribute lives on, detached, in its handle";
}

TEST(XmlMoveCopy, SetRoot) {
    Xml doc = FromString("<r><a/></r>");
    XmlNode a = doc.GetNode("/r/a");
    XmlNode old = doc.SetRoot("n", true);
    EXPECT_TRUE(old.Name() == "r" && !old.Parent());
    EXPECT_EQ(doc.Str(), kBare + "<n/>\n");
    EXPECT_EQ(a.Parent(), old) << "the old tree lives in the returned handle";
    XmlNode fresh = doc.SetRoot("m");
    EXPECT_TRUE(fresh.Name() == "m" && fresh == doc.GetRoot());
    // A detached node of the document becomes the root itself; others are copied.
    EXPECT_TRUE(doc.SetRoot(old) == old && doc.GetRoot() == old);
    EXPECT_NE(doc.SetRoot(a), a);
    EXPECT_EQ(doc.Str(), kBare + "<a/>\n");
    EXPECT_EQ(Xml().SetRoot(doc.GetRoot(), true).Name(), "doc");

    Xml bare;
    XmlNode doc_root = bare.GetRoot();
    bare.GetRoot().Parent().FirstChild().Unlink();
    EXPECT_FALSE(bare.SetRoot("x", true)) << "no previous root";
    EXPECT_EQ(doc_root.Name(), "doc");
}

TEST(XmlLifetime, NodesAndXPathOutliveTheirDocumentHandle) {
    XmlNode b;
    XPath items(Xml(), "/doc");
    {
        Xml doc = FromString("<r><a><b>x</b></a><i/><i/></r>");
        b = doc.GetNode("//b");
        items = XPath(doc, "//i");
    }
    ASSERT_EQ(items.size(), 2u);
    EXPECT_EQ(Show(b) + " " + Show(b.Parent(2)) + " " + Show(b.document().GetRoot()) + " " + Show(items[1]),
              "b=x r=x r=x i=");
    Xml reload = FromString("<r/>");
    XmlNode r = reload.GetRoot();
    reload.LoadFromString("<s/>");
    EXPECT_EQ(r.Name(), "r") << "a new load leaves the old document to its nodes";
}

TEST(XmlLifetime, NodesInsideADroppedDetachedTree) {
    Xml doc = FromString("<r><a><b><c>deep</c></b></a></r>");
    XmlNode b = doc.GetNode("/r/a").Unlink().FirstChild();
    XmlNode c = b.FirstChild();
    // The unlinked <a> had no other handle: it went, but b (and c inside it) stayed.
    EXPECT_TRUE(!b.Parent() && c.Parent() == b);
    EXPECT_EQ(Show(c), "c=deep");
    XmlNode x = doc.GetRoot().Clone().AppendChild("x");
    EXPECT_TRUE(x.Name() == "x" && !x.Parent());
    EXPECT_EQ(doc.GetRoot().AppendChild(x), x) << "the survivor moves like any detached node";
}

TEST(XmlLifetime, RemoveNodesWithHandlesAndNesting) {
    Xml doc = FromString("<r><a id='1'><a id='2'><a id='3'/></a></a><k>keep</k><a id='4'>t</a></r>");
    XmlNode mid = doc.GetNode("//a[@id='2']");
    XPath later(doc, "//a");  // slots not read yet
    EXPECT_EQ(doc.RemoveNodes("//a"), 4u);
    EXPECT_EQ(doc.Str(), kBare + "<r><k>keep</k></r>\n");
    EXPECT_TRUE(mid.GetProp("id") == "2" && !mid.Parent());
    ASSERT_EQ(later.size(), 4u);
    EXPECT_EQ(later[2].GetProp("id") + " " + later[3].Str(), "3 t");
    EXPECT_EQ(later[1], mid);
    EXPECT_EQ(doc.RemoveNodes("//none"), 0u);
    EXPECT_EQ(doc.RemoveNodes("//k/text() | //k"), 2u);
    EXPECT_EQ(doc.Str(), kBare + "<r/>\n");
    EXPECT_EQ(doc.RemoveNodes("count(//x)"), 0u);
}

TEST(XmlLifetime, RemovePropsAndAttributeHandles) {
    Xml doc = FromString("<r xmlns:p='urn:p'><e a='1' p:a='2'/><e a='3'/><f/></r>");
    XmlNode held = doc.GetNode("/r/e/@a");
    XmlNode held_ns = doc.GetNode("//@p:a", "p", "urn:p");
    EXPECT_EQ(doc.RemoveProps("//e | //@a", "a"), 4u);
    EXPECT_EQ(doc.Str(), kBare + "<r xmlns:p=\"urn:p\"><e p:a=\"2\"/><e/><f/></r>\n");
    EXPECT_EQ(held.Str(), "1");
    doc.RemoveProps("//e", "p:a");
    EXPECT_EQ(held_ns.Name(), "p:a");
    doc.RemoveNodes("/r");
    EXPECT_EQ(Show(held_ns), "p:a=2") << "its namespace outlives the declaring element";
}

TEST(XmlLifetime, DetachedNamespacedNodeOutlivesItsAncestors) {
    Xml doc = FromString("<r xmlns='urn:d' xmlns:p='urn:p'><p:a><b p:k='v'/></p:a></r>");
    XmlNode a = doc.GetNode("//q:a", "q", "urn:p").Unlink();
    doc.SetRoot("other");
    EXPECT_EQ(a.Name() + " " + a.FirstChild().GetProp("p:k"), "p:a v");
    doc.GetRoot().AppendChild(a);
    Xml reparsed = FromString(doc.Str());
    EXPECT_EQ(reparsed.GetNode("/other/q:a/d:b/@q:k", StringMap{{"q", "urn:p"}, {"d", "urn:d"}}).Str(), "v")
        << doc.Str();
}

TEST(XmlLifetime, SetContentAndSetPropSpareHandledChildren) {
    Xml doc = FromString("<r><a>x<b>y</b></a></r>");
    XmlNode b = doc.GetNode("/r/a/b");
    XPath unread(doc, "/r/a/node()");
    doc.GetNode("/r/a").SetContent("new");
    EXPECT_TRUE(!b.Parent());
    EXPECT_EQ(Show(b) + " " + Show(unread[0]), "b=y text=x");
    doc.GetRoot().SetProp("k", "1");
    XmlNode value = doc.GetNode("/r/@k").FirstChild();
    doc.GetRoot().SetProp("k", "2");
    EXPECT_EQ(value.Str() + " " + doc.GetRoot().GetProp("k"), "1 2");
}

// The namespaces a kept node uses must survive the elements that declared them.
TEST(XmlLifetime, ChildrenKeptBySetContentKeepTheirNamespaces) {
    const std::string text = "<r xmlns:p='urn:p'><m xmlns:q='urn:q'><q:g/></m><p:a p:k='v'><p:b/></p:a></r>";
    for (const std::string content : {"", " ", "new"}) {
        SCOPED_TRACE("content '" + content + "'");
        Xml doc = FromString(text);
        XmlNode a = doc.GetNode("/r/p:a", "p", "urn:p");  // a child of r
        XPath unread(doc, "//*[local-name()='g']");      // a grandchild, slot not read yet
        doc.GetRoot().SetContent(content);
        doc.SetRoot("other");  // r goes, and with it the declaration of p
        EXPECT_EQ(a.Name() + " " + a.FirstChild().Name() + " " + a.GetProp("p:k") + " " + a.Clone().Name() + " " +
                      unread[0].Name(), "p:a p:b v p:a q:g");
        doc.GetRoot().AppendChild(a);
        doc.GetRoot().AppendChild(unread[0]);
        Xml reparsed = FromString(doc.Str());
        StringMap ns{{"x", "urn:p"}, {"y", "urn:q"}};
        EXPECT_EQ(Show(reparsed.GetNode("/other/x:a/x:b", ns)) + " " +
                      Show(reparsed.GetNode("/other/x:a/@x:k", ns)) + " " + Show(reparsed.GetNode("/other/y:g", ns)),
                  "p:b= p:k=v q:g=")
            << doc.Str();
    }
}

// A namespace node is no element: whatever is asked of it reads only the namespace.
TEST(XmlLifetime, NamespaceNodeHandles) {
    XmlNode kept;
    {
        Xml doc = FromString("<r xmlns:p='urn:p'/>");
        XPath all(doc, "/r/namespace::*");
        ASSERT_EQ(all.size(), 2u);  // p and the implicit xml
        for (const XmlNode& n : all)
            if (n.Name() == "p") kept = n;
    }
    EXPECT_EQ(Show(kept), "p=urn:p");
    EXPECT_FALSE(kept.IsNode() || kept.FirstChild() || kept.Parent());
    StringMap m;
    kept.GetXmlNs(m, "");
    EXPECT_EQ(m, (StringMap{{"p", "urn:p"}}));

    Xml doc = FromString("<r xmlns:p='urn:p' p:k='v'><p:c p:k='w'/></r>");
    XmlNode ns = doc.GetNode("/r/namespace::p");
    EXPECT_EQ(Show(ns), "p=urn:p");
    EXPECT_FALSE(ns.FindNode("p:c") || ns.FindNode("") || ns.Next() || ns.LastChild());
    EXPECT_EQ(ns.GetProp("p:k") + ns.GetProp("k"), "");
    ns.DropProp("p:k");
    ExpectXmlErrors({{[&] { kept.Clone(); }, "clone"}, {[&] { kept.AppendChild("x"); }, "new_node"},
                     {[&] { kept.SetProp("a", "1"); }, "node_property"},
                     {[&] { ns.SetProp("p:k", "1"); }, "node_property"},
                     {[&] { ns.AppendCData("x"); }, "insert_node"}, {[&] { ns.AppendChild("x", "  "); }, "new_node"},
                     {[&] { ns.AppendChild(doc.GetRoot()); }, "insert_node"},
                     {[&] { ns.AddNextSibling(doc.GetRoot()); }, "insert_node"},
                     {[&] { ns.SetContent("x"); }, "content"},
                     {[&] { ns.RegisterNamespace("z", "urn:z"); }, "create_ns"}});
    StringList props;
    StringMap defs;
    ns.AllProps(props);
    ns.GetXmlNsDefinitions(defs, "");
    EXPECT_TRUE(props.empty() && defs.empty());
    EXPECT_EQ(&ns.Unlink(), &ns);
    EXPECT_EQ(doc.RemoveProps("/r/namespace::*", "p:k"), 2u);
    EXPECT_EQ(doc.RemoveNodes("/r/namespace::*"), 2u);
    EXPECT_EQ(doc.GetRoot().GetProp("p:k"), "v") << "namespace nodes hold no attributes of their element";
    EXPECT_EQ(ns.Str(), "urn:p");
}

// Namespace nodes of a result point back at their element, which may go first.
TEST(XmlLifetime, NamespaceResultOutlivesItsElement) {
    Xml doc = FromString("<r><e xmlns:p='urn:p' xmlns:q='urn:q'/><f xmlns:s='urn:s'/></r>");
    auto names = [](const XPath& set) {
        std::set<std::string> out;
        for (const XmlNode& n : set) out.insert(n.Name() + "=" + n.Str());
        return out;
    };
    {
        XPath read(doc, "/r/e/namespace::*");
        XPath unread(doc, "/r/f/namespace::*");
        ASSERT_EQ(read.size(), 3u);
        ASSERT_EQ(unread.size(), 2u);
        const std::string xml = "xml=http://www.w3.org/XML/1998/namespace";
        EXPECT_EQ(names(read), (std::set<std::string>{"p=urn:p", "q=urn:q", xml}));
        doc.GetRoot().SetContent("");
        EXPECT_EQ(names(unread), (std::set<std::string>{"s=urn:s", xml}));
    }
    {
        XPath held(doc, "//namespace::*");
        XmlNode gone = doc.GetRoot().Unlink();  // the last handle on r goes with this scope
    }
}

namespace {

// libxml2 memory for a child process: a freed block is kept, filled with words
// of XML_NAMESPACE_DECL, so that a node read after it was freed passes for a
// namespace record, which libxml2 then leaves alone; blocks allocated while
// `tracking` and not freed are counted.
bool tracking = false;
std::set<void*>* tracked = nullptr;

void* TrackedMalloc(size_t n) {
    void* p = std::malloc(n);
    if (p && tracking) tracked->insert(p);
    return p;
}

void TrackedFree(void* p) {
    if (!p) return;
    tracked->erase(p);
    int* words = static_cast<int*>(p);
    for (size_t i = 0; i < malloc_usable_size(p) / sizeof(int); ++i) words[i] = XML_NAMESPACE_DECL;
}

void* TrackedRealloc(void* p, size_t n) {
    if (!p) return TrackedMalloc(n);
    const bool was = tracked->erase(p) > 0;
    void* q = std::realloc(p, n);
    if (q && (was || tracking)) tracked->insert(q);
    return q;
}

char* TrackedStrdup(const char* s) {
    const size_t n = std::strlen(s) + 1;
    char* p = static_cast<char*>(TrackedMalloc(n));
    if (p) std::memcpy(p, s, n);
    return p;
}

}  // namespace

// Freeing a result must not read the elements its namespace nodes came from:
// with them gone, it would take its copies for the elements' own declarations
// and leave them unfreed.
TEST(XmlLifetime, NamespaceResultIsFreedWithoutItsElement) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            tracked = new std::set<void*>;
            xmlMemSetup(&TrackedFree, &TrackedMalloc, &TrackedRealloc, &TrackedStrdup);
            auto scenario = [] {
                Xml doc = FromString("<r><e xmlns:p='urn:p'/></r>");
                XPath held(doc, "/r/e/namespace::*");
                doc.GetRoot().SetContent("");  // e goes before the result
            };
            scenario();  // first uses fill libxml2's caches
            tracking = true;
            scenario();
            tracking = false;
            std::fprintf(stderr, "%zu blocks left\n", tracked->size());
            std::fflush(stderr);
            std::_Exit(tracked->empty() ? 0 : 1);
        },
        testing::ExitedWithCode(0), "");
}

TEST(XmlLifetime, HandlesOnDifferentDocumentsInThreads) {
    std::vector<std::thread> threads;
    std::vector<std::string> out(4);
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t, &out] {
            Xml doc;
            for (int i = 0; i < 300; ++i) doc.GetRoot().AppendChild("i", std::to_string(i)).SetProp("t", "x");
            out[t] = std::to_string(XPath(doc, "//i[@t='x']").size()) + FromString(doc.Str()).GetNode("//i[300]").Str();
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(out, std::vector<std::string>(4, "300299"));
}

TEST(XmlLifetime, CopiesAndAdjacentTextKeepHandlesApart) {
    Xml doc = FromString("<r><a><b>x</b></a></r>");
    XmlNode copy;
    {
        XmlNode b = doc.GetNode("/r/a/b");  // a handle on a node inside what is copied
        copy = doc.GetNode("/r/a").Clone();
    }
    // The copy's nodes get handles of their own, never the original's.
    XmlNode copied_b = copy.FirstChild();
    EXPECT_NE(copied_b, doc.GetNode("/r/a/b"));
    copied_b.SetContent("y");
    EXPECT_EQ(copied_b.Str() + doc.GetNode("/r/a/b").Str(), "yx");

    // Text appended next to text stays a node of its own.
    XmlNode a = doc.GetNode("/r/a");
    auto text = [&](const char* s) { return doc.GetNode("/r/a/b/text()").Clone().SetContent(s); };
    XmlNode t1 = a.AppendChild(text("1"));
    XmlNode t2 = a.AppendChild(text("2"));
    XmlNode t0 = t1.AddPrevSibling(text("0"));
    EXPECT_EQ(t0.Next(), t1);
    EXPECT_EQ(t1.Str() + t2.Str() + " " + a.Str(), "12 x012");
    doc.RemoveNodes("/r/a/text()");
    EXPECT_TRUE(t0.Str() + t1.Str() + t2.Str() == "012" && !t1.Parent());
    EXPECT_EQ(doc.Str(), kBare + "<r><a><b>x</b></a></r>\n");
}

TEST(XmlXPath, NamespacesInQueriesAndNodes) {
    Xml doc = FromString("<r xmlns='urn:d' xmlns:p='urn:p'><p:a p:k='1'/><b/></r>");
    EXPECT_EQ(XPath(doc, "/r").size(), 0u) << "the default namespace needs a prefix";
    EXPECT_EQ(XPath(doc, "/d:r/d:b", "d", "urn:d").size(), 1u);
    StringMap ns{{"d", "urn:d"}, {"x", "urn:p"}};
    EXPECT_EQ(doc.GetNode("/d:r/x:a/@x:k", ns).Str(), "1");
    EXPECT_EQ(doc.GetLastNode("/d:r/*", ns).Name(), "b");
    EXPECT_EQ(doc.GetNodes("//*", ns).size(), 3u);

    XmlNode r = doc.GetRoot();
    StringMap defs, own, chain;
    r.GetXmlNsDefinitions(defs, "#default");
    EXPECT_EQ(defs, (StringMap{{"#default", "urn:d"}, {"p", "urn:p"}}));
    r.FirstChild().GetXmlNs(own, "#default");
    EXPECT_EQ(own, (StringMap{{"p", "urn:p"}})) << "p is the last declaration of its chain";
    r.GetXmlNs(chain, "");
    EXPECT_EQ(chain, (StringMap{{"", "urn:d"}, {"p", "urn:p"}}));

    XmlNode fresh = Xml().GetRoot().RegisterNamespace("q", "urn:q").RegisterNamespace("", "urn:z");
    EXPECT_EQ(fresh.SetProp("q:attr", "v").GetProp("q:attr"), "v");
    EXPECT_EQ(fresh.document().Str(), kDecl + "<doc xmlns:q=\"urn:q\" xmlns=\"urn:z\" q:attr=\"v\"/>\n");
}

TEST(XmlXPath, ResultsIndexingAndIterators) {
    Xml doc = FromString("<r><i>0</i><i>1</i><i>2</i></r>");
    XPath count(doc, "count(//i)");
    EXPECT_TRUE(count.size() == 0 && count.empty() && !count && !count.front() && !count.back());
    EXPECT_STREQ(testutil::Catch<std::out_of_range>([&] { count[0]; }).what(), "xpath: out of range");
    XPath items(doc, "//i");
    EXPECT_TRUE(items);
    EXPECT_EQ(&items[1], &items[1]) << "slots are filled once and reused";
    EXPECT_EQ(items[1], doc.GetNode("//i[2]"));
    EXPECT_THROW(items[3], std::out_of_range);
    EXPECT_EQ(std::to_string(XPath(doc, "i/text()").size()) + " " + std::to_string(XPath(doc, "r/i").size()), "0 3")
        << "relative paths start at the document node";
    EXPECT_EQ(XPath(doc, "/").front(), doc.GetRoot().Parent());
    EXPECT_EQ(doc.GetNode("/r/none"), XmlNode());

    std::string walked;
    for (XPath::iterator it = items.begin(); it != items.end(); ++it) walked += it->Str();
    XPath::reverse_iterator r = items.rbegin();
    for (int i = 0; i < 3; ++i) walked += (r++)->Str();
    EXPECT_EQ(walked, "012210");
    EXPECT_TRUE(r == items.rend());
    XPath::iterator a = items.begin();
    XPath::iterator b = a++;
    EXPECT_EQ((*b).Str() + a->Str(), "01");
    EXPECT_TRUE(a != b);
    EXPECT_TRUE(XPath(doc, "//i").begin() == b) << "indexes are compared, not the XPath";
    EXPECT_TRUE(XPath::iterator() == items.end());
    XPath none(doc, "//none");
    EXPECT_TRUE(none.begin() == none.end() && none.rbegin() == none.rend());
    EXPECT_THROW(*none.begin(), std::out_of_range);
    XPath::iterator kept = items.begin();
    items = none;
    EXPECT_EQ(kept->Str(), "0") << "an iterator keeps its result alive";
}
