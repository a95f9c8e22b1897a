#include <libvux/vuxxml.h>

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <libvux/vuxerr.h>
#include <libvux/vuxproc.h>
#include <libvux/vuxstr.h>

#include "test_util.h"

using vux_xml::Xml;
using vux_xml::Xslt;

namespace {

const std::string kXsl = "http://www.w3.org/1999/XSL/Transform";

// A stylesheet around `body`, with the extension functions bound to the prefix "v".
std::string Sheet(const std::string& output, const std::string& body) {
    return "<?xml version=\"1.0\"?>\n<xsl:stylesheet version=\"1.0\" xmlns:xsl=\"" + kXsl + "\" xmlns:v=\"" +
           vux_xml::XsltNamespace + "\" extension-element-prefixes=\"v\">\n" + output + "\n" + body +
           "\n</xsl:stylesheet>\n";
}

Xslt FromText(const std::string& text) {
    std::istringstream in(text);
    return Xslt(in);
}

std::string Apply(const Xslt& style, const Xml& doc) {
    std::ostringstream out;
    style.Transform(doc, out);
    return out.str();
}

// The text an XPath expression gives in a stylesheet applied to doc, or the error it throws.
std::string Eval(const std::string& expr, const std::string& doc = "<doc/>") {
    const Xslt style = FromText(Sheet("<xsl:output method=\"text\" encoding=\"UTF-8\"/>",
                                      "<xsl:template match=\"/\"><xsl:value-of select=\"" + expr +
                                          "\"/></xsl:template>"));
    std::string got;
    const std::string err = testutil::ErrorOf([&] { got = Apply(style, vux_xml::XmlString(doc)); });
    return err == "no error" ? got : err;
}

const std::string kTransformFailed = "xml/transform//report";

std::string Rub(const std::string& words, const std::string& kop = "") { return words + " руб. " + kop + " коп."; }

}  // namespace

// ---- plain stylesheets, judged by xsltproc ----

TEST(XsltPlain, SameBytesAsXsltproc) {
    const std::string doc_utf8 =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<list title=\"Сайты &amp; домены\">\n"
        "  <item id=\"2\" name=\"b&lt;c\">Привет, мир</item>\n  <item id=\"1\" name=\"a\">x &gt; y — ü</item>\n"
        "  <!-- note --><item id=\"3\" name=\"€\"><br/>tail</item>\n</list>\n";
    const std::string doc_latin1 = "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>\n<list><item id=\"1\">caf\xE9</item>"
                                   "<item id=\"2\">na\xEFve</item></list>\n";
    const std::string copy_all =
        "<xsl:template match=\"@*|node()\"><xsl:copy><xsl:apply-templates select=\"@*|node()\"/></xsl:copy>"
        "</xsl:template>";
    const std::string table =
        "<xsl:template match=\"/list\"><html><head><title><xsl:value-of select=\"@title\"/></title></head><body>"
        "<table><xsl:for-each select=\"item\"><xsl:sort select=\"@id\" data-type=\"number\"/><tr><td>"
        "<xsl:value-of select=\"@name\"/></td><td><xsl:value-of select=\".\"/></td><td><input type=\"checkbox\" "
        "checked=\"checked\"/></td></tr></xsl:for-each></table><script>if (a &lt; b) {}</script></body></html>"
        "</xsl:template>";
    const std::string lines =
        "<xsl:template match=\"/list\"><xsl:for-each select=\"item\"><xsl:value-of select=\"@id\"/>: "
        "<xsl:value-of select=\".\"/><xsl:text>&#10;</xsl:text></xsl:for-each></xsl:template>";
    const struct {
        const char* name;
        std::string output, body, doc;
    } cases[] = {
        {"xml identity", "<xsl:output method=\"xml\"/>", copy_all, doc_utf8},
        {"xml indented", "<xsl:output method=\"xml\" indent=\"yes\"/>", copy_all, doc_utf8},
        {"xml no declaration", "<xsl:output method=\"xml\" omit-xml-declaration=\"yes\"/>", copy_all, doc_utf8},
        {"xml latin-1", "<xsl:output method=\"xml\" encoding=\"ISO-8859-1\"/>", copy_all, doc_utf8},
        {"xml windows-1251", "<xsl:output method=\"xml\" encoding=\"windows-1251\" indent=\"yes\"/>", copy_all,
         doc_utf8},
        {"xml utf-16", "<xsl:output method=\"xml\" encoding=\"UTF-16\"/>", copy_all, doc_utf8},
        {"xml from latin-1", "<xsl:output method=\"xml\"/>", copy_all, doc_latin1},
        {"xml doctype standalone",
         "<xsl:output method=\"xml\" doctype-public=\"-//X//DTD x//EN\" doctype-system=\"x.dtd\" standalone=\"yes\" "
         "cdata-section-elements=\"item\"/>",
         copy_all, doc_utf8},
        {"html", "<xsl:output method=\"html\"/>", table, doc_utf8},
        {"html indented koi8-r", "<xsl:output method=\"html\" indent=\"yes\" encoding=\"KOI8-R\"/>", table, doc_utf8},
        {"html doctype",
         "<xsl:output method=\"html\" doctype-public=\"-//W3C//DTD HTML 4.01//EN\" "
         "doctype-system=\"http://www.w3.org/TR/html4/strict.dtd\"/>",
         table, doc_utf8},
        {"html by default", "", table, doc_utf8},
        {"text", "<xsl:output method=\"text\"/>", lines, doc_utf8},
        {"text windows-1251", "<xsl:output method=\"text\" encoding=\"windows-1251\"/>", lines, doc_utf8},
        {"text latin-1 input", "<xsl:output method=\"text\" encoding=\"ISO-8859-1\"/>", lines, doc_latin1},
        {"empty result", "<xsl:output method=\"xml\"/>", "<xsl:template match=\"/\"/>", doc_utf8},
    };
    testutil::TempDir dir;
    for (const auto& c : cases) {
        const std::string sheet = Sheet(c.output, c.body);
        testutil::WriteFile(dir / "s.xsl", sheet);
        testutil::WriteFile(dir / "d.xml", c.doc);
        vux_proc::Execute xsltproc(std::vector<std::string>{"xsltproc", dir / "s.xsl", dir / "d.xml"},
                                   vux_proc::Execute::PipeOut);
        const std::string want = xsltproc.Str();
        ASSERT_EQ(xsltproc.Result(), 0) << c.name;
        ASSERT_FALSE(want.empty() && std::string(c.name) != "empty result") << c.name;
        const vux_xml::XmlFile doc(dir / "d.xml");
        EXPECT_EQ(Apply(Xslt(dir / "s.xsl"), doc), want) << c.name;
        EXPECT_EQ(Apply(FromText(sheet), doc), want) << c.name << " (from a stream)";
    }
}

TEST(XsltPlain, ImportsResolveBesideTheFile) {
    testutil::TempDir dir;
    testutil::WriteFile(dir / "base.xsl", Sheet("", "<xsl:template match=\"item\">[<xsl:value-of select=\".\"/>]"
                                                    "</xsl:template>"));
    testutil::WriteFile(dir / "main.xsl", Sheet("<xsl:import href=\"base.xsl\"/><xsl:output method=\"text\"/>",
                                                "<xsl:template match=\"/\"><xsl:apply-templates select=\"//item\"/>"
                                                "</xsl:template>"));
    EXPECT_EQ(Apply(Xslt(dir / "main.xsl"), vux_xml::XmlString("<l><item>a</item><item>b</item></l>")), "[a][b]");
}

TEST(XsltPlain, TheToolWritesTheResult) {
    testutil::TempDir dir;
    testutil::WriteFile(dir / "s.xsl", Sheet("<xsl:output method=\"text\"/>",
                                             "<xsl:template match=\"/\"><xsl:value-of select=\"v:strsum(/a, 'UAH')\"/>"
                                             "</xsl:template>"));
    testutil::WriteFile(dir / "d.xml", "<a>-21.5</a>");
    vux_proc::Execute tool(std::vector<std::string>{VUX_TOOL, "xml", "xslt", dir / "s.xsl", dir / "d.xml"},
                           vux_proc::Execute::PipeOut);
    EXPECT_EQ(tool.Str(), "мінус двадцать один грн. 5 коп.");
    EXPECT_EQ(tool.Result(), 0);
    vux_proc::Execute bad(std::vector<std::string>{VUX_TOOL, "xml", "xslt", dir / "d.xml", dir / "d.xml"},
                          vux_proc::Execute::PipeErr);
    EXPECT_NE(bad.Str().find("object=\"stylesheet_file\""), std::string::npos);
    EXPECT_EQ(bad.Result(), 1);
}

TEST(XsltPlain, CopiesShareOneStylesheetAndAnEmptyDocumentIsTheDefault) {
    const Xslt style = FromText(Sheet("<xsl:output method=\"text\"/>",
                                      "<xsl:template match=\"/\"><xsl:value-of select=\"name(*)\"/></xsl:template>"));
    const Xslt copy = style;
    EXPECT_EQ(Apply(copy, Xml()), "doc");
}

TEST(XsltFailures, BadStylesheetsAndOutputs) {
    testutil::TempDir dir;
    const std::string good = Sheet("", "<xsl:template match=\"/\">x</xsl:template>");
    const std::string broken[] = {
        "",
        "<xsl:stylesheet",
        "<doc/>",
        Sheet("", "<xsl:template match=\"/\"><xsl:value-of select=\"1 +\"/></xsl:template>"),
        Sheet("", "<xsl:template name=\"a\"/><xsl:template name=\"a\"/>"),
        Sheet("", "<xsl:template match=\"[\">x</xsl:template>"),
    };
    for (const std::string& text : broken) {
        testutil::WriteFile(dir / "bad.xsl", text);
        EXPECT_EQ(testutil::ErrorOf([&] { Xslt s(dir / "bad.xsl"); }), "xml/stylesheet_file/" + dir / "bad.xsl" + "/report")
            << text;
        EXPECT_EQ(testutil::ErrorOf([&] { FromText(text); }), "xml/stylesheet//report") << text;
    }
    EXPECT_EQ(testutil::ErrorOf([&] { Xslt s(dir / "missing.xsl"); }),
              "xml/stylesheet_file/" + dir / "missing.xsl" + "/report");

    std::ostream bad(nullptr);
    EXPECT_EQ(testutil::ErrorOf([&] { FromText(good).Transform(Xml(), bad); }), "xml/write//report");
    testutil::ExpectAssert([] { std::ostringstream out; Xslt().Transform(Xml(), out); }, "XSLT object is not initialized",
                           "vuxxml_unix");
    // A document a failed load left without a tree.
    Xml none;
    EXPECT_NE(testutil::ErrorOf([&] { none.LoadFromString("<a"); }), "no error");
    EXPECT_EQ(testutil::ErrorOf([&] { Apply(FromText(good), none); }), kTransformFailed);
}

TEST(XsltFailures, EndlessRecursionAndTerminateFailTheTransform) {
    const std::string bodies[] = {
        "<xsl:template match=\"/\"><xsl:call-template name=\"r\"/></xsl:template>"
        "<xsl:template name=\"r\"><xsl:call-template name=\"r\"/></xsl:template>",
        "<xsl:template match=\"/\"><xsl:call-template name=\"r\"/></xsl:template>"
        "<xsl:template name=\"r\"><xsl:param name=\"n\" select=\"0\"/><x><xsl:call-template name=\"r\">"
        "<xsl:with-param name=\"n\" select=\"$n + 1\"/></xsl:call-template></x></xsl:template>",
        "<xsl:template match=\"/\"><xsl:apply-templates select=\"/\" mode=\"m\"/></xsl:template>"
        "<xsl:template match=\"/\" mode=\"m\"><xsl:variable name=\"v\" select=\"1\"/>"
        "<xsl:apply-templates select=\"/\" mode=\"m\"/></xsl:template>",
        "<xsl:template match=\"/\"><a/><xsl:message terminate=\"yes\">stop</xsl:message></xsl:template>",
    };
    for (const std::string& body : bodies)
        EXPECT_EQ(testutil::ErrorOf([&] { Apply(FromText(Sheet("", body)), Xml()); }), kTransformFailed) << body;
}

// ---- extension functions ----

TEST(XsltFunctions, FixQuoteReplaceEscapeUrl) {
    testutil::ExpectPairs({
        {Eval("v:fixquote(/d)", "<d>it's a \"b\"\\&#10;&#13;&#9;end</d>"), "it\\'s a \\\"b\\\"\\\\\\n\\r\\tend"},
        {Eval("v:fixquote('')"), ""},
        {Eval("v:fixquote(/d)", "<d>&#10;'</d>"), "\\n\\'"},
        {Eval("v:replace('a-b--c', '-', '+')"), "a+b++c"},
        {Eval("v:replace('aaa', 'a', 'aa')"), "aaaaaa"},
        {Eval("v:replace('abc', '', 'x')"), "abc"},
        {Eval("v:replace(/d/@t, /d/@w, /d)", "<d t='x.y.z' w='.'>::</d>"), "x::y::z"},
        {Eval("v:escapeurl('a b/ü?&amp;')"), str::url::Encode("a b/ü?&")},
        {Eval("v:escapeurl('a b')"), "a%20b"},
        {Eval("v:fixquote()"), kTransformFailed},
        {Eval("v:fixquote('a', 'b')"), kTransformFailed},
        {Eval("v:replace('a', 'b')"), kTransformFailed},
        {Eval("v:escapeurl()"), kTransformFailed},
    });
}

TEST(XsltFunctions, DateFormat) {
    testutil::ExpectPairs({
        {Eval("v:dateformat('2024-03-05', '%d.%m.%Y')"), "05.03.2024"},
        // Only the date counts, held at noon.
        {Eval("v:dateformat('2024-03-05 23:10:11', '%Y-%m-%d %H:%M')"), "2024-03-05 12:00"},
        {Eval("v:dateformat(/d, '%Y')", "<d>1999-12-31</d>"), "1999"},
        {Eval("v:dateformat('', '%Y')"), ""},
        {Eval("v:dateformat('', '')"), ""},
        {Eval("v:dateformat(/none, 'anything')"), ""},
        {Eval("v:dateformat('yesterday', '%Y')"), kTransformFailed},
        {Eval("v:dateformat('2024-03-05')"), kTransformFailed},
    });
}

TEST(XsltFunctions, RandomIsANonNegativeWholeNumber) {
    EXPECT_EQ(Eval("v:random(0) >= 0 and v:random(0) &lt; 9223372036854775808 and v:random(1) mod 1 = 0 and "
                   "string(v:random('x')) != 'NaN'"),
              "true");
    std::set<std::string> seen;
    for (int i = 0; i < 8; ++i) seen.insert(Eval("v:random(0)"));
    EXPECT_GT(seen.size(), 4u);
    for (const std::string& s : seen) EXPECT_EQ(s.find_first_not_of("0123456789.e+"), std::string::npos) << s;
    EXPECT_EQ(Eval("v:random()"), kTransformFailed);
    EXPECT_EQ(Eval("v:random(1, 2)"), kTransformFailed);
}

TEST(XsltFunctions, StrSumExamples) {
    testutil::ExpectPairs({
        {Eval("v:strsum('1001')"), "одна тысяча один руб.  коп."},
        {Eval("v:strsum('2000000', 'UAH')"), "два миллиона грн.  коп."},
        {Eval("v:strsum('0')"), Rub("ноль")},
        {Eval("v:strsum('-5', 'NULL')"), "минус пять"},
        {Eval("v:strsum('15000', 'NULL')"), "пятнадцать тысяч"},
        {Eval("v:strsum('1002.50')"), Rub("одна тысяча два", "50")},
        {Eval("v:strsum('')"), Rub("ноль")},
        {Eval("v:strsum('-7.05', 'UAH')"), "мінус семь грн. 05 коп."},
        {Eval("v:strsum('-0', 'UAH')"), "ноль грн.  коп."},
        {Eval("v:strsum('3', 'USD')"), Rub("три")},
        {Eval("v:strsum('.99')"), Rub("ноль", "99")},
        {Eval("v:strsum('12.3.4', 'NULL')"), "двенадцать"},
        {Eval("v:strsum(/d/@sum, /d/@cur)", "<d sum='21' cur='UAH'/>"), "двадцать один грн.  коп."},
    });
}

TEST(XsltFunctions, StrSumWordsForEveryGroupAndForm) {
    const std::pair<const char*, const char*> table[] = {
        {"1", "один"}, {"2", "два"}, {"3", "три"}, {"4", "четыре"}, {"5", "пять"}, {"6", "шесть"}, {"7", "семь"},
        {"8", "восемь"}, {"9", "девять"}, {"10", "десять"}, {"11", "одиннадцать"}, {"12", "двенадцать"},
        {"13", "тринадцать"}, {"14", "четырнадцать"}, {"15", "пятнадцать"}, {"16", "шестнадцать"},
        {"17", "семнадцать"}, {"18", "восемнадцать"}, {"19", "девятнадцать"}, {"20", "двадцать"},
        {"21", "двадцать один"}, {"30", "тридцать"}, {"40", "сорок"}, {"50", "пятьдесят"}, {"60", "шестьдесят"},
        {"70", "семьдесят"}, {"80", "восемьдесят"}, {"90", "девяносто"}, {"99", "девяносто девять"},
        {"100", "сто"}, {"101", "сто один"}, {"111", "сто одиннадцать"}, {"200", "двести"}, {"300", "триста"},
        {"400", "четыреста"}, {"500", "пятьсот"}, {"600", "шестьсот"}, {"700", "семьсот"}, {"800", "восемьсот"},
        {"900", "девятьсот"}, {"999", "девятьсот девяносто девять"}, {"007", "семь"},
        // Thousands take the feminine units and endings а / и / none.
        {"1000", "одна тысяча"}, {"2000", "две тысячи"}, {"3000", "три тысячи"}, {"4000", "четыре тысячи"},
        {"5000", "пять тысяч"}, {"6000", "шесть тысяч"}, {"7000", "семь тысяч"}, {"8000", "восемь тысяч"},
        {"9000", "девять тысяч"}, {"10000", "десять тысяч"}, {"11000", "одиннадцать тысяч"},
        {"12000", "двенадцать тысяч"}, {"14000", "четырнадцать тысяч"}, {"20000", "двадцать тысяч"},
        {"21000", "двадцать одна тысяча"}, {"22000", "двадцать две тысячи"}, {"25000", "двадцать пять тысяч"},
        {"100000", "сто тысяч"}, {"101000", "сто одна тысяча"}, {"111000", "сто одиннадцать тысяч"},
        {"1001", "одна тысяча один"}, {"2002", "две тысячи два"},
        // The larger groups: none / а / ов.
        {"1000000", "один миллион"}, {"2000000", "два миллиона"}, {"4000000", "четыре миллиона"},
        {"5000000", "пять миллионов"}, {"11000000", "одиннадцать миллионов"}, {"12000000", "двенадцать миллионов"},
        {"21000000", "двадцать один миллион"}, {"23000000", "двадцать три миллиона"},
        {"100000000", "сто миллионов"}, {"1001000", "один миллион одна тысяча"},
        {"1000000000", "один миллиард"}, {"2000000000", "два миллиарда"}, {"5000000000", "пять миллиардов"},
        {"11000000000", "одиннадцать миллиардов"}, {"31000000000", "тридцать один миллиард"},
        {"1000000000000", "один триллион"}, {"3000000000000", "три триллиона"}, {"7000000000000", "семь триллионов"},
        {"13000000000000", "тринадцать триллионов"}, {"201000000000000", "двести один триллион"},
        {"1000000000001", "один триллион один"},
        {"999999999999999",
         "девятьсот девяносто девять триллионов девятьсот девяносто девять миллиардов девятьсот девяносто девять "
         "миллионов девятьсот девяносто девять тысяч девятьсот девяносто девять"},
        {"000000000000000000042", "сорок два"},
    };
    for (const auto& row : table) EXPECT_EQ(Eval(std::string("v:strsum('") + row.first + "', 'NULL')"), row.second);
}

TEST(XsltFunctions, StrSumRefusesWhatItCannotName) {
    for (const char* amount : {"1,5", "12a", "--1", "+1", " 1", "1e3", "1000000000000000", "99999999999999999999"})
        EXPECT_EQ(Eval(std::string("v:strsum('") + amount + "')"), kTransformFailed) << amount;
    EXPECT_EQ(Eval("v:strsum()"), kTransformFailed);
    EXPECT_EQ(Eval("v:strsum('1', 'RUB', 'x')"), kTransformFailed);
}

TEST(XsltThreads, OneStylesheetFromEightThreads) {
    const Xslt style = FromText(Sheet("<xsl:output method=\"html\" indent=\"yes\"/>",
                                      "<xsl:template match=\"/r\"><ul><xsl:for-each select=\"i\"><li>"
                                      "<xsl:value-of select=\"v:strsum(@n, 'NULL')\"/>, <xsl:value-of "
                                      "select=\"v:fixquote(.)\"/>, <xsl:value-of select=\"v:dateformat(@d, '%Y')\"/>"
                                      "</li></xsl:for-each></ul></xsl:template>"));
    std::string doc = "<r>";
    for (int i = 0; i < 200; ++i) doc += "<i n='" + std::to_string(i * 1001) + "' d='2020-01-02'>it's " + std::to_string(i) + "</i>";
    doc += "</r>";
    std::vector<std::string> got(8);
    std::vector<std::thread> threads;
    // The first transformation of the process happens in all of them at once.
    for (std::size_t t = 0; t < got.size(); ++t)
        threads.emplace_back([&, t] {
            const vux_xml::XmlString mine(doc);
            for (int round = 0; round < 5; ++round) got[t] = Apply(style, mine);
        });
    for (std::thread& t : threads) t.join();
    EXPECT_NE(got[0].find("<li>одна тысяча один, it\\'s 1, 2020</li>"), std::string::npos) << got[0];
    for (const std::string& g : got) EXPECT_EQ(g, got[0]);
}
