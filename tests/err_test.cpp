#include <libxml/parser.h>
#include <libxml/tree.h>

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <libvux/vuxerr.h>
#include <libvux/vuxthread.h>
#include <libvux/vuxxml.h>

#include "test_util.h"

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

// An element and everything under it as name[attr=value;...]"text"{children}, so a whole
// document is compared at once: names, attribute order, text and what appears only when set.
std::string Shape(xmlNode* n) {
    std::string out = reinterpret_cast<const char*>(n->name);
    out += "[";
    for (xmlAttr* a = n->properties; a; a = a->next) {
        xmlChar* v = xmlNodeGetContent(reinterpret_cast<xmlNode*>(a));
        out += std::string(reinterpret_cast<const char*>(a->name)) + "=" + reinterpret_cast<const char*>(v) + ";";
        xmlFree(v);
    }
    out += "]";
    std::string children;
    for (xmlNode* c = n->children; c; c = c->next) {
        if (c->type == XML_ELEMENT_NODE) children += Shape(c);
        if (c->type == XML_TEXT_NODE) out += "\"" + std::string(reinterpret_cast<const char*>(c->content)) + "\"";
    }
    return children.empty() ? out : out + "{" + children + "}";
}

std::string Shape(const vux_err::Error& e) {
    Parsed p(e);
    return p.doc ? Shape(p.root()) : "(not XML)";
}

}  // namespace

TEST(ErrorDocument, ShapesOfEveryConstructor) {
    struct Case {
        const vux_err::Error& error;  // bound, not copied: a copy rebuilds its message
        const char* what;
        const char* shape;
    } cases[] = {
        {vux_err::Missed("file", "/a/b"), "Type: 'missed' Object: 'file' Value: '/a/b'",
         "doc[]{error[type=missed;object=file;]{param[name=object;type=msg;]\"file\"param[name=value;]\"/a/b\"}}"},
        {vux_err::Error("busy"), "Type: 'busy'", "doc[]{error[type=busy;]}"},
        {vux_err::Error("busy", "service"), "Type: 'busy' Object: 'service'",
         "doc[]{error[type=busy;object=service;]{param[name=object;type=msg;]\"service\"}}"},
        {vux_err::System("open", 2), "Type: 'sys' Object: 'open' Value: '2'",
         "doc[]{error[type=sys;object=open;]{param[name=object;type=msg;]\"open\"param[name=value;]\"2\"}}"},
        {vux_err::UnavailableTimeout(), "Type: 'Remote operation timeout'",
         "doc[]{error[type=Remote operation timeout;]}"},
        {vux_err::Value("name", "x"), "Type: 'value' Object: 'name' Value: 'x'",
         "doc[]{error[type=value;object=name;]{param[name=object;type=msg;]\"name\"param[name=value;]\"x\""
         "param[name=desc;type=msg;]\"desk_empty\"}}"},
        {vux_err::Value("name", "x y", "format", "letters"), "Type: 'value' Object: 'name' Value: 'x y'",
         "doc[]{error[type=value;object=name;]{param[name=object;type=msg;]\"name\"param[name=value;]\"x y\""
         "param[name=desc;type=msg;]\"desc_format\"param[name=args;]\"letters\"}}"},
        // Markup in the text is escaped and comes back as it was.
        {vux_err::Missed("o<b>j", "<&>\"' ]]> \xd0\xb4"), "Type: 'missed' Object: 'o<b>j' Value: '<&>\"' ]]> \xd0\xb4'",
         "doc[]{error[type=missed;object=o<b>j;]{param[name=object;type=msg;]\"o<b>j\"param[name=value;]"
         "\"<&>\"' ]]> \xd0\xb4\"}}"},
    };
    for (const Case& c : cases) {
        EXPECT_STREQ(c.error.what(), c.what);
        EXPECT_EQ(Shape(c.error), c.shape);
    }
    EXPECT_EQ(vux_err::Exists("a", "b").type(), "exists");
    EXPECT_EQ(vux_err::Access("a", "b").type(), "access");
    EXPECT_EQ(vux_err::Conflict("a", "b").type(), "conflict");
    EXPECT_EQ(vux_err::Unavailable("a", "b").type(), "unavailable");
    EXPECT_EQ(vux_err::UnavailableTimeout().object(), "");
}

TEST(ErrorDocument, ParamsMasksReportAndHelp) {
    vux_err::Error e("value", "field", "v");
    e.add_param("count", 5, 7).add_message("hint", "text_key", vux_access::AccessAdmin).add_param("plain", "data");
    e.set_report().set_help("");
    EXPECT_EQ(Shape(e),
              "doc[]{error[type=value;object=field;report=yes;help=error_value;]{param[name=object;type=msg;]\"field\""
              "param[name=value;]\"v\"param[name=count;mask=7;]\"5\"param[name=hint;type=msg;mask=3758096384;]"
              "\"text_key\"param[name=plain;]\"data\"}}");
    vux_err::Error h("x");
    h.set_help("custom");
    EXPECT_EQ(h.xml().GetNode("/doc/error").GetProp("help"), "custom");
}

TEST(ErrorWhat, MsgElementReplacesMessage) {
    vux_err::Missed e("file", "/x");
    e.xml().GetNode("/doc/error").AppendChild("msg", "File /x is missing");
    EXPECT_STREQ(e.what(), "File /x is missing");
}

TEST(ErrorCopy, SharesDocumentAndRebuildsMessage) {
    vux_err::Error original("busy"), copy(original), target("other", "o", "v");
    EXPECT_STREQ(copy.what(), "Type: 'busy' Object: '' Value: ''");
    copy.add_param("extra", "1");
    EXPECT_TRUE(original.xml().GetNode("/doc/error/param[@name='extra']"));
    target = original;
    EXPECT_EQ(target.type(), "other");
    EXPECT_STREQ(target.what(), "Type: 'other' Object: 'o' Value: 'v'");
    EXPECT_FALSE(target.xml().GetNode("/doc/error/param[@name='extra']"));
}

TEST(ErrorFromXml, RebuildsTypeObjectValue) {
    vux_xml::Xml wire;
    wire.LoadFromString(
        "<doc><error type=\"access\" object=\"domain\" report=\"yes\">"
        "<param name=\"object\" type=\"msg\">domain</param><param name=\"value\">example.com</param></error></doc>");
    vux_err::Error e(wire.GetNode("/doc/error"));
    EXPECT_EQ(testutil::ErrorOf([&] { throw e; }), "access/domain/example.com/report");
    EXPECT_STREQ(e.what(), "");
    EXPECT_EQ(e.xml().GetRoot().Name(), "doc");
    wire.LoadFromString("<doc><error type=\"t\"><msg>Shown text</msg></error></doc>");
    vux_err::Error with_msg(wire.GetNode("/doc/error"));
    wire = vux_xml::Xml();  // the error keeps its own copy
    EXPECT_STREQ(with_msg.what(), "Shown text");
    EXPECT_EQ(testutil::ErrorOf([&] { throw with_msg; }), "t//");
}

TEST(ErrorConflict, CallbackDecides) {
    ASSERT_EQ(vux_err::GetConflictCallback(), &vux_err::DefaultCallback);
    EXPECT_EQ(testutil::ErrorOf<vux_err::Conflict>([] { vux_err::OnConflict("dns", "example.com"); }),
              "conflict/dns/example.com");
    static bool allow;
    static std::vector<std::string> seen;
    bool (*callback)(const std::string&, const std::string&) = [](const std::string& object, const std::string& value) {
        seen.push_back(object + "=" + value);
        return !allow;
    };
    vux_err::SetConflictCallback(callback);
    EXPECT_EQ(vux_err::GetConflictCallback(), callback);
    allow = true;
    EXPECT_NO_THROW(vux_err::OnConflict("a", "b"));
    allow = false;
    EXPECT_THROW(vux_err::OnConflict("c", "d"), vux_err::Conflict);
    EXPECT_EQ(seen, (std::vector<std::string>{"a=b", "c=d"}));
    vux_err::SetConflictCallback(&vux_err::DefaultCallback);
}

TEST(AssertErrorTest, NotCaughtByOrdinaryHandlers) {
    bool ordinary = false;
    const auto a = testutil::Catch<vux_err::AssertError>([&] {
        try {
            vux_err::AssertError::Raise("vuxtest", 42, "void f(int)", "broken");
        } catch (const vux_err::Error&) {
            ordinary = true;
        } catch (const std::exception&) {
            ordinary = true;
        }
    });
    EXPECT_FALSE(ordinary);
    EXPECT_STREQ(a.file(), "vuxtest");
    EXPECT_EQ(a.line(), 42);
    EXPECT_STREQ(a.func(), "void f(int)");
    EXPECT_EQ(a.desc(), "broken");
    EXPECT_GT(a.backtrace().size(), 0u);
}

TEST(Backtrace, FramesResolveAndStayInBounds) {
    vux_err::Error e("x");
    vux_backtrace::BtWalk bt = e.backtrace();
    ASSERT_GT(bt.size(), 1u);
    bool named = false;
    for (std::size_t i = 0; i < bt.size(); ++i) {
        EXPECT_FALSE(bt[i].module.empty()) << "frame " << i;
        named |= bt[i].function != "??";
    }
    EXPECT_TRUE(named);
    EXPECT_THROW(bt[bt.size()], std::out_of_range);
    vux_backtrace::BtWalk empty;
    EXPECT_EQ(empty.size(), 0u);
    EXPECT_NO_THROW(empty.Log());
    // Copies share the capture; a copied error starts its own.
    EXPECT_GT(vux_err::Error(e).backtrace().size(), 0u);
}

TEST(ErrorAbort, AbortDoesNotFireWhileAnErrorIsBuilt) {
    std::string outcome;
    std::thread([&] {
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
    }).join();
    EXPECT_EQ(outcome, "built;aborted:request_failed");
}
