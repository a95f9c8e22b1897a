#include <sys/stat.h>

#include <functional>

#include <gtest/gtest.h>

#include <libvux/vuxerr.h>
#include <libvux/vuxsession.h>

#include "test_util.h"

using vux_session::BaseSession;

namespace {

// The reply without its XML declaration, unformatted.
std::string Reply(const BaseSession& s) {
    const std::string out = s.GetXml().Str();
    const std::size_t start = out.find_first_not_of('\n', out.find("?>") + 2), end = out.find_last_not_of('\n');
    return out.substr(start, end + 1 - start);
}

// The reply of a fresh session after `build`.
std::string ReplyOf(const std::function<void(BaseSession&)>& build) {
    BaseSession s;
    build(s);
    return Reply(s);
}

struct Limited : BaseSession {
    explicit Limited(std::uint32_t limit) : limit_(limit) {}
    std::uint32_t GetRecordLimit() override { return ++asked_, limit_; }
    std::uint32_t limit_;
    int asked_ = 0;
};

}  // namespace

TEST(Session, ParametersAndRequestKinds) {
    // What the request asks of the form.
    auto kind = [](const BaseSession& s) {
        return std::string(s.IsGet() ? "get" : "") + (s.IsSubmitted() ? "submitted" : "") +
               (s.IsSetValues() ? "setvalues" : "");
    };
    BaseSession s;
    EXPECT_EQ(kind(s), "get");
    s.SetParam("b", "2");
    s.SetParam("a", "1");
    s.SetIParam("secret", "x");
    std::vector<std::string> names = {"stale"};
    s.GetParams(names);
    EXPECT_EQ(names, (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(s.IParam("secret"), "x");
    EXPECT_TRUE(s.Has("internal_secret"));
    s.DelIParam("secret");
    EXPECT_FALSE(s.IHas("secret"));
    EXPECT_EQ(s.Param("none"), "");

    s.SetParam("sok", "ok");
    EXPECT_EQ(kind(s), "submitted");
    s.SetParam("sback", "ok");
    EXPECT_EQ(kind(s), "get") << "the back button";
    s.SetParam("sok", "");
    s.DelParam("sback");
    EXPECT_EQ(kind(s), "get");
    s.SetParam("sv_field", "name");
    EXPECT_EQ(kind(s), "setvalues");
    s.SetParam("box", "on");
    s.SetParam("box2", "yes");
    EXPECT_TRUE(s.Checked("box") && !s.Checked("box2"));
}

TEST(Session, ListRecordsAndTheirLimit) {
    BaseSession s;
    s.NewElem();
    s.AddChildNode("name", "a <b>");
    s.NodeProp("sel", "yes");
    s.AddChildNode("size", " ");
    s.NewIndicator("disk", 5, 100);
    s.NewSelect("owner");
    s.AddChildNode("val", "root");
    EXPECT_EQ(Reply(s),
              "<doc><elem><name sel=\"yes\">a &lt;b&gt;</name><size><![CDATA[ ]]></size>"
              "<disk_total>100</disk_total><disk_used>5</disk_used></elem>"
              "<slist name=\"owner\"><val>root</val></slist></doc>");

    Limited two(2);
    two.NewElem();
    two.NewElem();
    EXPECT_THROW(two.NewElem(), BaseSession::RecordLimitExceeded);
    EXPECT_THROW(two.NewElem(), BaseSession::RecordLimitExceeded);
    EXPECT_EQ(two.asked_, 1);
    EXPECT_EQ(two.GetXml().GetNodes("/doc/elem").size(), 2u);
    Limited none(0);
    EXPECT_THROW(none.NewElem(), BaseSession::RecordLimitExceeded);
}

TEST(Session, NodesCookiesFilesAndBanners) {
    BaseSession s;
    s.NewNode("info", "text");
    s.GetNode("info");
    s.AddChildNode("more", "1");
    s.GetNode("fresh");
    s.SetCookie("sid", "abc");
    s.SetCookie("lang", "en");
    EXPECT_EQ(Reply(s),
              "<doc><info>text<more>1</more></info><fresh/>"
              "<cookies><cookie name=\"sid\">abc</cookie><cookie name=\"lang\">en</cookie></cookies></doc>");

    EXPECT_EQ(ReplyOf([](BaseSession& f) { f.SendFile("a.txt", "body"); }),
              "<doc stylesheet=\"file\"><content type=\"data\"><name>a.txt</name><data>body</data></content></doc>");
    EXPECT_EQ(ReplyOf([](BaseSession& f) { f.SendFromFile("b.bin", "/tmp/b.bin", true, 42); }),
              "<doc stylesheet=\"file\"><content type=\"file\"><name>b.bin</name><data>/tmp/b.bin</data>"
              "<autoremove/><inode>42</inode></content></doc>");
    EXPECT_EQ(ReplyOf([](BaseSession& f) { f.SendFromFile("c", "/tmp/c"); }),
              "<doc stylesheet=\"file\"><content type=\"file\"><name>c</name><data>/tmp/c</data></content></doc>");

    BaseSession b;
    BaseSession::Banner banner = b.NewBanner("quota", BaseSession::Banner::Warning);
    b.AddChildNode("msg", "Used __used__ of __total__, __used__!");
    banner.SetMessage("msg_quota").SetParam("used", "5").SetParam("total", "9");
    banner.SetLink("quota.edit", BaseSession::Banner::FormFunc, "e1");
    EXPECT_EQ(Reply(b),
              "<doc><banner id=\"quota\" status=\"1\" info=\"quota.edit\" infotype=\"formfunc\" infoelid=\"e1\">"
              "<msg>Used 5 of 9, 5!</msg><param name=\"msg_quota\" type=\"msg\"/><param name=\"used\">5</param>"
              "<param name=\"total\">9</param></banner></doc>");
    EXPECT_EQ(ReplyOf([](BaseSession& c) {
                  c.NewBanner("x", BaseSession::Banner::Info).SetLink("http://h/", BaseSession::Banner::Url, "ignored");
              }),
              "<doc><banner id=\"x\" status=\"0\" info=\"http://h/\" infotype=\"url\"/></doc>");
}

TEST(Session, OkIsSentOnce) {
    BaseSession s;
    s.Ok(16, "ignored");
    EXPECT_EQ(Reply(s), "<doc><ok notifyup=\"yes\"/></doc>");
    s.Ok(1 | 32, "first");
    s.Ok(2, "second");
    EXPECT_EQ(Reply(s), "<doc><ok notifyup=\"yes\" child=\"yes\" type=\"list\">first</ok></doc>");
    EXPECT_EQ(ReplyOf([](BaseSession& t) { t.Ok(7, "no type"), t.Ok(5, "http://x/?a=1&b=2"); }),
              "<doc><ok type=\"url\">http://x/?a=1&amp;b=2</ok></doc>");
}

TEST(Session, FormMetadata) {
    BaseSession s;
    testutil::ExpectAssert([&] { s.NewField("a", "text", "", ""); }, "try to create field no for form action",
                           "vuxsession");
    testutil::ExpectAssert([&] { s.NewPage("p", ""); }, "try to create page no for form action", "vuxsession");
    s.GetXml().GetRoot().AppendChild("metadata").AppendChild("form");
    s.GetXml().GetRoot().AppendChild("messages");
    s.NewField("pass", "password", "Password", "").SetRequired().SetCheckpasswd("confirm").SetMaxLength(64);
    BaseSession::Page page = s.NewPage("general", "General");
    page.NewField("kind", "select", "", "Pick one").SetSetValues().NewIf("a", "extra").NewElse("other", true);
    page.NewField("agree", "checkbox", "", "").SetFullWidth().SetNoName();
    page.NewField("note", "textdata", "", "").SetRows(3).SetReadOnly();
    s.NewPage("general", "");  // reused, not doubled
    EXPECT_EQ(Reply(s),
              "<doc><metadata><form>"
              "<field name=\"pass\" customfield=\"yes\"><input type=\"password\" name=\"pass\" required=\"yes\" "
              "checkpasswd=\"confirm\" maxlength=\"64\"/></field>"
              "<page name=\"general\">"
              "<field name=\"kind\" customfield=\"yes\"><select name=\"kind\" setvalues=\"yes\">"
              "<if value=\"a\" hide=\"extra\"/><else hide=\"other\" shadow=\"yes\"/></select></field>"
              "<field name=\"agree\" customfield=\"yes\" fullwidth=\"yes\" noname=\"yes\"><input type=\"checkbox\" "
              "name=\"agree\"/><desc name=\"agree_data\"/></field>"
              "<field name=\"msg_note\" customfield=\"yes\"><textdata name=\"note\" rows=\"3\" readonly=\"yes\"/>"
              "</field>"
              "</page></form></metadata>"
              "<messages><msg name=\"pass\">Password</msg><msg name=\"general\">General</msg>"
              "<msg name=\"hint_kind\">Pick one</msg></messages></doc>");
}

TEST(Session, ElementIdLists) {
    std::string list = vux_session::AppendElid(vux_session::AppendElid(vux_session::AppendElid("", "a"), "b, c"), "d");
    EXPECT_EQ(list, "a, b, , c, d");
    std::string taken;
    for (int i = 0; i < 4; ++i) taken += "[" + vux_session::GetElid(list) + "]";
    EXPECT_EQ(taken + list, "[a][b, c][d][]");
}

TEST(Session, DirectoryTree) {
    testutil::TempDir dir;
    for (const char* d : {"b/x/deep", "a", "c/y", "b/w"}) testutil::WriteFile(dir / (std::string(d) + "/f"), "");
    testutil::WriteFile(dir / "plain", "");
    ASSERT_EQ(symlink(dir.path().c_str(), (dir / "loop").c_str()), 0);
    BaseSession s;
    s.BuildTree("dirs", dir.path(), 1);
    std::string p = dir.path();
    EXPECT_EQ(Reply(s),
              "<doc><tlist name=\"dirs\">"
              "<elem key=\"" + p + "/a\" img=\"p-file-0\"><val>a</val><tlist/></elem>"
              "<elem key=\"" + p + "/b\" img=\"p-file-0\" collapsed=\"yes\"><val>b</val><tlist>"
              "<elem key=\"" + p + "/b/w\" img=\"p-file-0\"><val>w</val></elem>"
              "<elem key=\"" + p + "/b/x\" img=\"p-file-0\" collapsed=\"yes\"><val>x</val></elem></tlist></elem>"
              "<elem key=\"" + p + "/c\" img=\"p-file-0\" collapsed=\"yes\"><val>c</val><tlist>"
              "<elem key=\"" + p + "/c/y\" img=\"p-file-0\"><val>y</val></elem></tlist></elem>"
              "</tlist></doc>");
    EXPECT_EQ(ReplyOf([&](BaseSession& m) { m.BuildTree("none", dir / "none", 3); }),
              "<doc><tlist name=\"none\"/></doc>");
}

namespace {

const char* const kForm =
    "<doc><mode>basic</mode><empty_one></empty_one><nested><x>1</x></nested>"
    "<metadata type=\"form\">"
    "<field name=\"mode\"><select name=\"mode\"><if value=\"basic\" hide=\"advanced\"/>"
    "<else hide=\"simple\"/></select></field>"
    "<field name=\"simple\"><input name=\"simple\" type=\"text\"/></field>"
    "<field name=\"advanced\"><input name=\"advanced\" type=\"text\"/>"
    "<group><textarea name=\"adv_text\"/></group></field>"
    "<field name=\"nested\"><input name=\"nested\" type=\"text\"><if empty=\"yes\" hide=\"tail\"/></input></field>"
    "<field name=\"ro\"><input name=\"ro\" readonly=\"yes\"/></field>"
    "<field name=\"go\"><link name=\"go\"/></field>"
    "<field name=\"tail\"><slider name=\"tail\"/></field>"
    "</metadata></doc>";

std::set<std::string> Names(const std::string& xml, int flags) {
    std::set<std::string> names;
    vux_xml::XmlString doc(xml);
    vux_session::XmlFormInputEnumerator(doc, vux_session::Inputs(names, flags)).Run();
    return names;
}

}  // namespace

TEST(FormInputs, ConditionsHideAndReveal) {
    // mode=basic hides "advanced" and everything inside it; "nested" has no text
    // parameter of its own, so it is empty and hides "tail".
    EXPECT_EQ(Names(kForm, 0), (std::set<std::string>{"mode", "nested", "simple"}));
    EXPECT_EQ(Names(kForm, 1), (std::set<std::string>{"go", "mode", "nested", "ro", "simple"}));
    EXPECT_EQ(Names(kForm, 2 | 1),
              (std::set<std::string>{"adv_text", "advanced", "go", "mode", "nested", "ro", "simple", "tail"}));

    std::string other = kForm;
    other.replace(other.find("<mode>basic</mode>"), 18, "<mode>expert</mode>");
    other.replace(other.find("<nested><x>1</x></nested>"), 25, "<nested>v</nested>");
    EXPECT_EQ(Names(other, 0), (std::set<std::string>{"adv_text", "advanced", "mode", "nested", "tail"}));

    // A callback that says stop ends the walk at once.
    std::vector<std::string> seen;
    vux_xml::XmlString doc(kForm);
    vux_session::XmlFormInputEnumerator(doc, [&](BaseSession& s, const std::string& name, vux_xml::XmlNode,
                                                 bool hidden) {
        EXPECT_EQ(s.Param("mode"), "basic");
        seen.push_back(name + (hidden ? "-" : "+"));
        return seen.size() < 3;
    }).Run();
    EXPECT_EQ(seen, (std::vector<std::string>{"mode+", "simple+", "advanced-"}));
    EXPECT_TRUE(Names("<doc/>", 3).empty() && Names("<doc><metadata type=\"form\"/></doc>", 3).empty());
}

TEST(FormInputs, EmptyConditionOnALiveSession) {
    BaseSession s;
    s.GetXml().GetRoot().AppendChild("metadata").SetProp("type", "form");
    s.GetXml().GetNode("/doc/metadata").AppendChild("form");
    s.NewField("login", "text", "", "").NewIf("", "", false);
    s.GetXml().GetNode("/doc/metadata/form/field/input/if").SetProp("empty", "yes").SetProp("hide", "password");
    s.NewField("password", "password", "", "");
    auto names = [&](int flags) {
        std::set<std::string> out;
        vux_session::FormInputs<vux_session::Inputs>(s, vux_session::Inputs(out, flags)).Run();
        return out;
    };
    EXPECT_EQ(names(0), (std::set<std::string>{"login"}));
    EXPECT_EQ(names(2), (std::set<std::string>{"login", "password"}));
    s.SetParam("login", "bob");
    EXPECT_EQ(names(0), (std::set<std::string>{"login", "password"}));
}
