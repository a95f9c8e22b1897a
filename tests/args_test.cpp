#include <libvux/vuxargs.h>
#include <libvux/vuxlog.h>
#include <libvux/vuxstr.h>

#include <cstdlib>
#include <vector>

#include "test_util.h"

namespace {

using vux_args::Args;

bool Digits(std::string& v) {
    if (v.empty() || v.find_first_not_of("0123456789") != std::string::npos) return false;
    v = std::to_string(std::stol(v));  // rewritten into canonical form
    return true;
}

// A tree with every kind of option: flags, values, defaults, a validator, a group, a
// multiple option, a required one and sub-options.
void Declare(Args& a) {
    a.AddOption("alpha", 'a', "the first flag")
        .AddOption("beta", 'b', "the second flag")
        .AddOption("name", 'n', "a name").SetParam()
        .AddOption("count", 'c', "how many").SetValidator(&Digits).SetDefault("3")
        .AddOption("x", 'x', "repeatable").SetParam().SetMultiple()
        .AddOption("json", ' ', "output as JSON").SetGroup("format")
        .AddOption("xml", ' ', "output as XML").SetGroup("format")
        .AddOption("user", 'u', "run as this user")
            .AddSuboption("group", 'g', "and this group").SetParam()
            .Last()
        .AddOption("tags", 't', "flags to add").SetMultiple();
}

std::shared_ptr<vux_args::Result> Parse(Args& a, std::vector<const char*> argv) {
    argv.insert(argv.begin(), "prog");
    a.Parse(static_cast<int>(argv.size()), argv.data());
    return a.GetResult();
}

std::string UsageOf(std::vector<const char*> argv, void (*declare)(Args&) = &Declare) {
    Args a("prog");
    declare(a);
    try {
        Parse(a, argv);
    } catch (const Args::UsageError& e) {
        std::string text = e.what();
        std::size_t nl = text.rfind('\n');
        return nl == std::string::npos ? text : text.substr(nl + 1);
    }
    return "(no usage error)";
}

TEST(Args, ParsesFlagsValuesAndPlainArguments) {
    struct Case {
        std::vector<const char*> argv;
        std::string want;  // plain args | alpha beta | name | x values | count (given)
    };
    const Case cases[] = {
        {{"-ab", "file"}, "file|1 1|||3 (0)"},
        {{"--x", "1", "--x", "2"}, "|0 0||1,2|3 (0)"},
        {{"--name", "n1", "--name", "n2"}, "|0 0|n2||3 (0)"},
        {{"--", "--x", "-a"}, "--x,-a|0 0|||3 (0)"},
        {{"-", "-c", "007", "plain"}, "plain|0 0|||7 (1)"},
        {{"-an", "v", "w"}, "w|1 0|v||3 (0)"},
        {{"--nope", "-q", "-aq"}, "--nope,-q,-q|1 0|||3 (0)"},
        {{"--group", "g"}, "--group,g|0 0|||3 (0)"},  // a sub-option before its parent
        {{"-n", "-a"}, "|0 0|-a||3 (0)"},
    };
    for (const Case& c : cases) {
        Args a("prog");
        Declare(a);
        auto r = Parse(a, c.argv);
        std::string got = str::Join(r->Args(), ",") + "|" + std::to_string(r->Has("alpha")) + " " +
                          std::to_string(r->Has("beta")) + "|" + (*r)["name"] + "|";
        for (int i = 0; i < r->ParamCount("x"); ++i) got += (i ? "," : "") + r->Param("x", i);
        got += "|" + (*r)["count"] + " (" + std::to_string(r->Has("count")) + ")";
        EXPECT_EQ(got, c.want) << c.argv.size();
    }
}

TEST(Args, ResultReadsValuesGroupsAndSuboptions) {
    Args a("prog");
    Declare(a);
    auto r = Parse(a, {"--x", "1", "--x", "2", "--xml", "-u", "--group", "wheel", "-tt", "p"});
    EXPECT_EQ(r->Param("x", -1), "2");
    EXPECT_EQ(r->Param("x", 0), "1");
    EXPECT_EQ(r->Param("x", 2), "");
    EXPECT_EQ(r->ParamCount("x"), 2);
    EXPECT_EQ(r->ParamCount("unknown"), 0);
    EXPECT_EQ(r->Param("unknown", 0), "");
    EXPECT_TRUE(r->Has("format"));
    EXPECT_EQ((*r)["format"], "xml");
    EXPECT_EQ(r->Param("format", 0), "xml");
    EXPECT_EQ(a["group"], "wheel");
    EXPECT_TRUE(r->Has("tags"));
    EXPECT_EQ(r->ArgsCount(), 1);
    EXPECT_EQ(r->Args(0), "p");
    EXPECT_EQ(r->Args(1), "");
    EXPECT_EQ((*r)["json"], "");
    EXPECT_FALSE(r->Has("json"));
    r->SetParam("json", "set");
    EXPECT_EQ((*r)["json"], "set");
    EXPECT_EQ(testutil::AssertAt([&] { (void)(*r)["nothing"]; }), "vuxargs:21: Try to get unknown value 'nothing'");
    // A fresh parse starts from nothing.
    r = Parse(a, {});
    EXPECT_FALSE(r->Has("format"));
    EXPECT_EQ(r->ParamCount("x"), 0);
}

void RequiredTree(Args& a) {
    a.AddOption("in", 'i', "input").SetRequired()
        .AddOption("tcp", 'T', "over TCP").SetGroup("proto").SetRequired()
        .AddOption("udp", 'U', "over UDP").SetGroup("proto").SetRequired()
        .AddOption("out", 'o', "output").SetRequired();
}

TEST(Args, UsageErrorsCarryTheirExactText) {
    struct Case {
        std::vector<const char*> argv;
        void (*declare)(Args&);
        std::string want;
    };
    const Case cases[] = {
        {{"--name"}, &Declare, "Not anought parameter count for option 'name'"},
        {{"-an"}, &Declare, "Not anought parameter count for option 'name'"},
        {{"--json", "--xml"}, &Declare, "Duplicate parameter group 'format' value 'xml'. First value was 'json'"},
        {{"--json", "--json"}, &Declare, "(no usage error)"},
        {{"-c", "12a"}, &Declare, "Invalid value '12a' for option 'count'"},
        {{"-i", "a", "-T"}, &RequiredTree, "Need to use one of parameters: --in, --out"},
        {{"-i", "a", "-o", "b"}, &RequiredTree, "Need to use one of parameters: --tcp, --udp"},
        {{"-i", "a", "-U", "-o", "b"}, &RequiredTree, "(no usage error)"},
        {{"file", "--help"}, &Declare, "Unknown parameter 'file'"},
    };
    for (const Case& c : cases) EXPECT_EQ(UsageOf(c.argv, c.declare), c.want) << c.want;
}

// Columns of the table line up, the parts come in the documented order, a blank short name
// leaves blanks, and a long description wraps under itself at the terminal width.
TEST(Args, HelpListsOptionsDepthFirstWithTheirParts) {
    Args a("prog - does things");
    Declare(a);
    a->AddOption("in", 'i', "input").SetRequired();
    a->AddOption("long", 'l', std::string(25, 'w') + " " + std::string(25, 'v') + " " + std::string(25, 'z'));
    std::string help;
    try {
        Parse(a, {"--help"});
    } catch (const Args::UsageError& e) {
        help = e.what();
    }
    // The widest left part is "  --group <value>" (17); the right part follows one blank on.
    auto row = [](const std::string& left, const std::string& right) {
        return left + std::string(17 - left.size(), ' ') + " " + right + "\n";
    };
    const std::string w(25, 'w'), v(25, 'v'), z(25, 'z');
    const std::string want = "prog - does things\n\n" + row("--alpha", "(-a) the first flag") +
                             row("--beta", "(-b) the second flag") + row("--name <value>", "(-n) a name") +
                             row("--count <value>", "(-c) how many (default: 3)") +
                             row("--x <value>...", "(-x) repeatable") + row("--json", "     output as JSON") +
                             row("--xml", "     output as XML") + row("--user", "(-u) run as this user") +
                             row("  --group <value>", "(-g) and this group") +
                             row("--tags <value>...", "(-t) flags to add") + row("--in <value>", "(-i) *input") +
                             row("--long", "(-l) " + w + " " + v) + std::string(17 + 6, ' ') + z;
    EXPECT_EQ(help, want);
}

TEST(Args, DeclarationMistakesAssert) {
    Args a("prog");
    EXPECT_EQ(testutil::AssertAt([&] { a->Last(); }), "vuxargs:109: Try to get parent of top option");
    EXPECT_EQ(testutil::AssertAt([&] { a.AddOption("d", 'd', "").SetDefault(""); }),
              "vuxargs:79: Empty default values not supported");
    EXPECT_EQ(&a.AddOption("top", 't', "").Last(), &a.AddOption("other", 'o', "").Last());
}

TEST(Args, RewriteAndUnknownOptionsAreLogged) {
    testutil::TempDir dir;
    testutil::ChDir cd(dir.path());
    testutil::WriteFile(dir / "etc/debug.conf", "libvux 9\n");
    setenv("VUX_LOGFILE", (dir / "args.log").c_str(), 1);
    vux_log::Init("args_test", 9);
    Args a("prog");
    Declare(a);
    Parse(a, {"--name", "1", "--name", "2", "--what", "-k"});
    vux_log::Close();
    unsetenv("VUX_LOGFILE");
    const std::string log = testutil::ReadFile(dir / "args.log");
    for (const char* line : {"Rewrite value for param 'name'", "Unknown param '--what'", "Unknown param '-k'",
                             "Command line argument 'name' add value '2'", "Lookup long param 'name'",
                             "Lookup short param 'k'"})
        EXPECT_NE(log.find(line), std::string::npos) << line;
}

TEST(Args, GetArgPathJoinsRelativePathsToTheStartingDirectory) {
    setenv("ORIGWD", "/home/u", 1);
    EXPECT_EQ(GetArgPath("a/b"), "/home/u/a/b");
    EXPECT_EQ(GetArgPath("/etc/x"), "/etc/x");
    EXPECT_EQ(GetArgPath(""), "");
    unsetenv("ORIGWD");
    EXPECT_EQ(GetArgPath("/etc/x"), "/etc/x");
    EXPECT_EQ(testutil::ErrorKindOf([] { GetArgPath("a"); }), "bad_work_dir/");
    setenv("ORIGWD", "", 1);
    EXPECT_EQ(testutil::ErrorKindOf([] { GetArgPath("a"); }), "bad_work_dir/");
    unsetenv("ORIGWD");
}

}  // namespace
