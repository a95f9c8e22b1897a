#include <libxml/parser.h>
#include <libxml/tree.h>

#include <gtest/gtest.h>

#include <stdexcept>
#include <thread>

#include <libvux/vuxerr.h>
#include <libvux/vuxthread.h>
#include <libvux/vuxxml.h>

namespace {

// The error document as a reader on the other side sees it: parsed from its
// text with libxml2 alone, so our own XML layer does not vouch for itself.
struct Parsed {
    explicit Parsed(const vux_err::Error& e) {
        std::string text = e.xml().Str();
        doc = xmlReadMemory(text.data(), static_cast<int>(text.size()), nullptr, nullptr, 0);
    }
    ~Parsed() { xmlFreeDoc(doc); }
    xmlNode* root() const { return xmlDocGetRootElement(doc); }
    xmlDoc* doc;
};

std::vector<xmlNode*> Elements(xmlNode* parent) {
    std::vector<xmlNode*> out;
    for (xmlNode* n = parent->children; n; n = n->next)
        if (n->type == XML_ELEMENT_NODE) out.push_back(n);
    return out;
}

// Attribute names and values in document order, "name=value;..."
std::string Attrs(xmlNode* n) {
    std::string out;
    for (xmlAttr* a = n->properties; a; a = a->next) {
        xmlChar* v = xmlNodeGetContent(reinterpret_cast<xmlNode*>(a));
        out += std::string(reinterpret_cast<const char*>(a->name)) + "=" + reinterpret_cast<const char*>(v) + ";";
        xmlFree(v);
    }
    return out;
}

std::string Text(xmlNode* n) {
    xmlChar* v = xmlNodeGetContent(n);
    std::string s(reinterpret_cast<const char*>(v));
    xmlFree(v);
    return s;
}

std::string Name(xmlNode* n) {
    return reinterpret_cast<const char*>(n->name);
}

}  // namespace

TEST(ErrorDocument, MissedHasTypeObjectAndTwoParams) {
    vux_err::Missed e("file", "/a/b");
    EXPECT_STREQ(e.what(), "Type: 'missed' Object: 'file' Value: '/a/b'");
    EXPECT_EQ(e.type(), "missed");
    EXPECT_EQ(e.object(), "file");
    EXPECT_EQ(e.value(), "/a/b");

    Parsed p(e);
    ASSERT_NE(p.doc, nullptr);
    EXPECT_EQ(Name(p.root()), "doc");
    auto top = Elements(p.root());
    ASSERT_EQ(top.size(), 1u);
    EXPECT_EQ(Name(top[0]), "error");
    EXPECT_EQ(Attrs(top[0]), "type=missed;object=file;");
    auto params = Elements(top[0]);
    ASSERT_EQ(params.size(), 2u);
    EXPECT_EQ(Name(params[0]), "param");
    EXPECT_EQ(Attrs(params[0]), "name=object;type=msg;");
    EXPECT_EQ(Text(params[0]), "file");
    EXPECT_EQ(Name(params[1]), "param");
    EXPECT_EQ(Attrs(params[1]), "name=value;");
    EXPECT_EQ(Text(params[1]), "/a/b");
}

TEST(ErrorDocument, ShorterConstructorsHaveShorterDocuments) {
    vux_err::Error t("busy");
    EXPECT_STREQ(t.what(), "Type: 'busy'");
    Parsed pt(t);
    auto top = Elements(pt.root());
    ASSERT_EQ(top.size(), 1u);
    EXPECT_EQ(Attrs(top[0]), "type=busy;");
    EXPECT_TRUE(Elements(top[0]).empty());

    vux_err::Error to("busy", "service");
    EXPECT_STREQ(to.what(), "Type: 'busy' Object: 'service'");
    Parsed pto(to);
    auto e = Elements(pto.root())[0];
    EXPECT_EQ(Attrs(e), "type=busy;object=service;");
    auto params = Elements(e);
    ASSERT_EQ(params.size(), 1u);
    EXPECT_EQ(Attrs(params[0]), "name=object;type=msg;");
    EXPECT_EQ(Text(params[0]), "service");
}

TEST(ErrorDocument, SubclassesCarryTheirTypes) {
    EXPECT_EQ(vux_err::Exists("a", "b").type(), "exists");
    EXPECT_EQ(vux_err::Access("a", "b").type(), "access");
    EXPECT_EQ(vux_err::Conflict("a", "b").type(), "conflict");
    EXPECT_EQ(vux_err::Unavailable("a", "b").type(), "unavailable");

    vux_err::System sys("open", 2);
    EXPECT_EQ(sys.type(), "sys");
    EXPECT_EQ(sys.value(), "2");
    EXPECT_STREQ(sys.what(), "Type: 'sys' Object: 'open' Value: '2'");

    vux_err::UnavailableTimeout timeout;
    EXPECT_EQ(timeout.type(), "Remote operation timeout");
    EXPECT_STREQ(timeout.what(), "Type: 'Remote operation timeout'");
    EXPECT_EQ(timeout.object(), "");
}

TEST(ErrorDocument, ValueDescriptions) {
    vux_err::Value plain("name", "x");
    Parsed p(plain);
    auto params = Elements(Elements(p.root())[0]);
    ASSERT_EQ(params.size(), 3u);
    EXPECT_EQ(Attrs(params[2]), "name=desc;type=msg;");
    EXPECT_EQ(Text(params[2]), "desk_empty");

    vux_err::Value described("name", "x y", "format", "letters");
    Parsed pd(described);
    auto dparams = Elements(Elements(pd.root())[0]);
    ASSERT_EQ(dparams.size(), 4u);
    EXPECT_EQ(Attrs(dparams[2]), "name=desc;type=msg;");
    EXPECT_EQ(Text(dparams[2]), "desc_format");
    EXPECT_EQ(Attrs(dparams[3]), "name=args;");
    EXPECT_EQ(Text(dparams[3]), "letters");
}

TEST(ErrorDocument, ParamsMasksReportAndHelp) {
    vux_err::Error e("value", "field", "v");
    e.add_param("count", 5, 7).add_message("hint", "text_key", vux_access::AccessAdmin).add_param("plain", "data");
    e.set_report().set_help("");
    Parsed p(e);
    auto err = Elements(p.root())[0];
    EXPECT_EQ(Attrs(err), "type=value;object=field;report=yes;help=error_value;");
    auto params = Elements(err);
    ASSERT_EQ(params.size(), 5u);
    EXPECT_EQ(Attrs(params[2]), "name=count;mask=7;");
    EXPECT_EQ(Text(params[2]), "5");
    EXPECT_EQ(Attrs(params[3]), "name=hint;type=msg;mask=3758096384;");
    EXPECT_EQ(Attrs(params[4]), "name=plain;");

    vux_err::Error h("x");
    h.set_help("custom");
    EXPECT_EQ(h.xml().GetNode("/doc/error").GetProp("help"), "custom");
}

TEST(ErrorDocument, TextIsEscapedAndSurvives) {
    std::string nasty = "<&>\"' ]]> \xd0\xb4";
    vux_err::Missed e("o<b>j", nasty);
    Parsed p(e);
    ASSERT_NE(p.doc, nullptr);
    auto err = Elements(p.root())[0];
    EXPECT_EQ(Attrs(err), "type=missed;object=o<b>j;");
    EXPECT_EQ(Text(Elements(err)[1]), nasty);
}

TEST(ErrorWhat, MsgElementReplacesMessage) {
    vux_err::Missed e("file", "/x");
    e.xml().GetNode("/doc/error").AppendChild("msg", "File /x is missing");
    EXPECT_STREQ(e.what(), "File /x is missing");
}

TEST(ErrorCopy, SharesDocumentAndRebuildsMessage) {
    vux_err::Error original("busy");
    vux_err::Error copy(original);
    EXPECT_STREQ(copy.what(), "Type: 'busy' Object: '' Value: ''");
    copy.add_param("extra", "1");
    EXPECT_TRUE(original.xml().GetNode("/doc/error/param[@name='extra']"));

    vux_err::Error target("other", "o", "v");
    target = original;
    EXPECT_EQ(target.type(), "other");
    EXPECT_STREQ(target.what(), "Type: 'other' Object: 'o' Value: 'v'");
    EXPECT_FALSE(target.xml().GetNode("/doc/error/param[@name='extra']"));
}

TEST(ErrorFromXml, RebuildsTypeObjectValue) {
    vux_err::Error rebuilt("placeholder");
    {
        vux_xml::Xml wire;
        wire.LoadFromString(
            "<doc><error type=\"access\" object=\"domain\" report=\"yes\">"
            "<param name=\"object\" type=\"msg\">domain</param>"
            "<param name=\"value\">example.com</param></error></doc>");
        vux_err::Error e(wire.GetNode("/doc/error"));
        EXPECT_EQ(e.type(), "access");
        EXPECT_EQ(e.object(), "domain");
        EXPECT_EQ(e.value(), "example.com");
        EXPECT_STREQ(e.what(), "");
        EXPECT_EQ(e.xml().GetRoot().Name(), "doc");
        EXPECT_EQ(e.xml().GetNode("/doc/error").GetProp("report"), "yes");
        try {
            throw e;
        } catch (const vux_err::Error& caught) {
            EXPECT_EQ(caught.value(), "example.com");
        }
    }
    vux_xml::Xml wire;
    wire.LoadFromString("<doc><error type=\"t\"><msg>Shown text</msg></error></doc>");
    vux_xml::XmlNode node = wire.GetNode("/doc/error");
    vux_err::Error withMsg(node);
    wire = vux_xml::Xml();  // the error keeps its own copy
    EXPECT_STREQ(withMsg.what(), "Shown text");
    EXPECT_EQ(withMsg.value(), "");
    EXPECT_EQ(withMsg.object(), "");
}

namespace {
bool g_allow = false;
int g_calls = 0;
std::string g_seen;
bool Callback(const std::string& object, const std::string& value) {
    ++g_calls;
    g_seen = object + "=" + value;
    return !g_allow;
}
}  // namespace

TEST(ErrorConflict, CallbackDecides) {
    ASSERT_EQ(vux_err::GetConflictCallback(), &vux_err::DefaultCallback);
    try {
        vux_err::OnConflict("dns", "example.com");
        FAIL() << "default callback must throw";
    } catch (const vux_err::Conflict& c) {
        EXPECT_EQ(c.type(), "conflict");
        EXPECT_EQ(c.object(), "dns");
        EXPECT_EQ(c.value(), "example.com");
    }
    vux_err::SetConflictCallback(&Callback);
    EXPECT_EQ(vux_err::GetConflictCallback(), &Callback);
    g_allow = true;
    EXPECT_NO_THROW(vux_err::OnConflict("a", "b"));
    EXPECT_EQ(g_seen, "a=b");
    g_allow = false;
    EXPECT_THROW(vux_err::OnConflict("c", "d"), vux_err::Conflict);
    EXPECT_EQ(g_calls, 2);
    vux_err::SetConflictCallback(&vux_err::DefaultCallback);
}

TEST(AssertErrorTest, NotCaughtByOrdinaryHandlers) {
    bool ordinary = false, asserted = false;
    try {
        try {
            vux_err::AssertError::Raise("vuxtest", 42, "void f(int)", "broken");
        } catch (const vux_err::Error&) {
            ordinary = true;
        } catch (const std::exception&) {
            ordinary = true;
        }
    } catch (const vux_err::AssertError& a) {
        asserted = true;
        EXPECT_STREQ(a.file(), "vuxtest");
        EXPECT_EQ(a.line(), 42);
        EXPECT_STREQ(a.func(), "void f(int)");
        EXPECT_EQ(a.desc(), "broken");
        EXPECT_GT(a.backtrace().size(), 0u);
    }
    EXPECT_FALSE(ordinary);
    EXPECT_TRUE(asserted);
}

TEST(Backtrace, FramesResolveAndStayInBounds) {
    vux_err::Error e("x");
    vux_backtrace::BtWalk bt = e.backtrace();
    ASSERT_GT(bt.size(), 1u);
    bool named = false;
    for (std::size_t i = 0; i < bt.size(); ++i) {
        EXPECT_FALSE(bt[i].module.empty()) << "frame " << i;
        if (bt[i].function != "??") named = true;
    }
    EXPECT_TRUE(named);
    EXPECT_THROW(bt[bt.size()], std::out_of_range);
    vux_backtrace::BtWalk empty;
    EXPECT_EQ(empty.size(), 0u);
    EXPECT_NO_THROW(empty.Log());
    // Copies share the capture; a copied error starts its own.
    vux_err::Error copy(e);
    EXPECT_GT(copy.backtrace().size(), 0u);
}

TEST(ErrorAbort, AbortDoesNotFireWhileAnErrorIsBuilt) {
    std::string outcome;
    std::thread t([&] {
        vux_thread::InitState("err-abort-test", "start");
        vux_thread::FailIt("err-abort-test");
        try {
            vux_err::Missed m("file", "x");  // logs and reports states inside
            outcome = "built;";
            vux_thread::SetStateC("after");
            outcome += "not aborted";
        } catch (const vux_thread::Aborted& a) {
            outcome += std::string("aborted:") + a.type();
        }
    });
    t.join();
    EXPECT_EQ(outcome, "built;aborted:request_failed");
}
