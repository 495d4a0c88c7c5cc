// hostgate-setup.exe's decisions: its command line and its plan.
#include "setup/plan.h"

#include <gtest/gtest.h>

namespace {

struct LineCase {
    std::vector<std::wstring> arguments;
    bool understood;
    INSTALLUILEVEL ui;
    std::optional<std::wstring> package;
    std::optional<std::wstring> log;
    bool verbose;
    std::vector<std::wstring> properties;
};

TEST(SetupCommandLine, IsReadAsMsiexecReadsIt)
{
    const std::optional<std::wstring> none;
    const LineCase cases[] = {
        {{}, true, INSTALLUILEVEL_FULL, none, none, false, {}},
        {{L"a b.msi", L"/QN", L"/l*v", L"C:\\x y.log", L"P=1"}, true, INSTALLUILEVEL_NONE, L"a b.msi", L"C:\\x y.log", true, {L"P=1"}},
        {{L"/qb", L"-L*", L"l.txt"}, true, INSTALLUILEVEL_BASIC, none, L"l.txt", false, {}},
        {{L"/qr", L"P=a=b", L"Q="}, true, INSTALLUILEVEL_REDUCED, none, none, false, {L"P=a=b", L"Q="}},
        {{L"/qn", L"/x"}, false, INSTALLUILEVEL_NONE, none, none, false, {}},
        {{L"/l*v"}, false, INSTALLUILEVEL_FULL, none, none, false, {}},
        {{L"/lz", L"log"}, false, INSTALLUILEVEL_FULL, L"log", none, false, {}},
        {{L"one.msi", L"two.msi"}, false, INSTALLUILEVEL_FULL, L"one.msi", none, false, {}},
        {{L"=x"}, true, INSTALLUILEVEL_FULL, L"=x", none, false, {}},
    };
    for (const LineCase& c : cases) {
        ParsedCommandLine parsed = ParseCommandLine(c.arguments);
        std::wstring line;
        for (const std::wstring& argument : c.arguments) line += argument + L" ";
        SCOPED_TRACE(std::string(line.begin(), line.end()));
        EXPECT_EQ(parsed.error.empty(), c.understood);
        EXPECT_EQ(parsed.options.ui, c.ui);
        EXPECT_EQ(parsed.options.package, c.package);
        EXPECT_EQ(parsed.options.log, c.log);
        if (c.log) {
            EXPECT_EQ((parsed.options.logMode & INSTALLLOGMODE_VERBOSE) != 0, c.verbose);
            EXPECT_NE(parsed.options.logMode & INSTALLLOGMODE_ERROR, 0u);
        }
        EXPECT_EQ(parsed.options.properties, c.properties);
    }
    EXPECT_TRUE(ParseCommandLine({L"--plan"}).options.planOnly);
}

TEST(SetupCommandLine, PropertiesArePassedOnQuotedWhereNeeded)
{
    const std::pair<std::vector<std::wstring>, std::wstring> cases[] = {
        {{}, L""},
        {{L"A=1", L"B=two words"}, L"A=1 B=\"two words\""},
        {{L"C=", L"D=say \"hi\""}, L"C=\"\" D=\"say \"\"hi\"\"\""},
        {{L"E=a=b", L"DIR=C:\\Program Files\\x\\"}, L"E=a=b DIR=\"C:\\Program Files\\x\\\""},
    };
    for (const auto& c : cases) EXPECT_EQ(PropertyCommandLine(c.first), c.second);
}

DetectedSupport Support(const wchar_t* path, const wchar_t* code, bool installed)
{
    return {path, L"MODE=x", code, L"1.0", L"", installed};
}

TEST(SetupPlan, MissingSupportPackagesInTableOrderThenThePackage)
{
    struct Case {
        std::vector<DetectedSupport> supports;
        std::vector<std::wstring> planned;
        std::vector<DetectedProgram> programs;  // HOSTGATE_SETUP_PROGRAMS: run after the support packages
        std::wstring packageLine;
    };
    const Case cases[] = {
        {{}, {L"C:\\s\\main.msi"}, {}, L"P=1"},
        {{Support(L"C:\\s\\b.msi", L"{B}", false), Support(L"C:\\s\\a.msi", L"{A}", false)},
         {L"C:\\s\\b.msi", L"C:\\s\\a.msi", L"C:\\s\\main.msi"}, {}, L"P=1"},
        {{Support(L"C:\\s\\a.msi", L"{A}", true), Support(L"C:\\s\\b.msi", L"{B}", false)}, {L"C:\\s\\b.msi", L"C:\\s\\main.msi"}, {}, L"P=1"},
        {{Support(L"C:\\s\\a.msi", L"{A}", true)}, {L"C:\\s\\main.msi"}, {}, L"P=1"},
        // Two rows of one product: installed once.
        {{Support(L"C:\\s\\a.msi", L"{A}", false), Support(L"C:\\t\\a.msi", L"{a}", false)}, {L"C:\\s\\a.msi", L"C:\\s\\main.msi"}, {}, L"P=1"},
        // Setup programs, named to the package as run.
        {{Support(L"C:\\s\\a.msi", L"{A}", false)},
         {L"C:\\s\\a.msi", L"C:\\s\\a.exe", L"C:\\s\\t\\b c.exe", L"C:\\s\\main.msi"},
         {{L"a.exe", L"C:\\s\\a.exe", L"/q"}, {L"t\\b c", L"C:\\s\\t\\b c.exe", L""}},
         L"P=1 HOSTGATE_PROGRAMS_RUN=\"a.exe;t\\b c\""},
    };
    Options options;
    options.properties = {L"P=1"};
    for (const Case& c : cases) {
        Plan plan = MakePlan({L"C:\\s\\main.msi", L"{M}", L"2.0", L"Main", c.supports, c.programs}, options);
        std::vector<std::wstring> planned;
        for (const Step& step : plan.steps) planned.push_back(step.package);
        EXPECT_EQ(planned, c.planned);
        for (std::size_t at = 0; at + 1 < plan.steps.size(); ++at) {
            if (plan.steps[at].program) continue;
            EXPECT_TRUE(plan.steps[at].support);
            EXPECT_EQ(plan.steps[at].commandLine, L"MODE=x REBOOT=ReallySuppress");
            EXPECT_EQ(L"C:\\s\\" + plan.steps[at].name, plan.steps[at].package);  // no product name: the file's
        }
        EXPECT_FALSE(plan.steps.back().support);
        EXPECT_EQ(plan.steps.back().name, L"Main");
        EXPECT_EQ(plan.steps.back().commandLine, c.packageLine);
    }
}

TEST(SetupPlan, EachInstallationLogsBesideTheMainLogUntilItIsAppended)
{
    Options options;
    options.log = L"C:\\logs.d\\install.log";
    Plan plan = MakePlan({L"C:\\s\\main.msi", L"{M}", L"1", L"", {Support(L"C:\\s\\x.y\\rt.msi", L"{R}", true),
                                                               Support(L"C:\\s\\x.y\\rt2.msi", L"{S}", false)}, {}},
                         options);
    ASSERT_EQ(plan.steps.size(), 2u);
    EXPECT_EQ(plan.steps[0].log, std::optional<std::wstring>(L"C:\\logs.d\\install.1-rt2.log"));
    EXPECT_EQ(plan.steps[1].log, std::optional<std::wstring>(L"C:\\logs.d\\install.2-main.log"));
    EXPECT_EQ(PackageLogPath(L"C:\\logs.d\\install", 1, L"C:\\s\\rt"), L"C:\\logs.d\\install.1-rt.log");
    for (const Step& step : MakePlan({L"main.msi", L"{M}", L"1", L"", {Support(L"rt.msi", L"{R}", false)}, {}}, Options()).steps)
        EXPECT_FALSE(step.log);
}

// The chain of two support packages and the package, fed the installer's results in turn.
TEST(SetupPlan, ResultsEndTheChainOrAreCollected)
{
    const std::optional<std::size_t> none;
    struct Case {
        std::vector<UINT> results;  // as many as the chain takes in
        UINT code;
        std::optional<std::size_t> stoppedAt;
        std::vector<std::size_t> restartAskedBy;
        std::optional<std::size_t> program;  // the step that is a support program
    };
    const Case cases[] = {
        {{0, 0, 0}, 0, none, {}, none},
        {{3010, 0, 0}, 3010, none, {0}, none},
        {{0, 0, 3010}, 3010, none, {2}, none},
        {{3010, 3010, 3010}, 3010, none, {0, 1, 2}, none},
        // A restart started by a support package: the rest waits for the next run.
        {{1641}, 1641, 0, {}, none},
        {{0, 1603}, 1603, 1, {}, none},
        // A failure after a restart was asked for: the failure is the result.
        {{3010, 1602}, 1602, 1, {0}, none},
        {{0, 3010, 1641}, 1641, 2, {1}, none},
        {{0, 0, 1603}, 1603, 2, {}, none},
        // A support program's restart, started or asked for, is asked for; its failure ends nothing.
        {{1641, 0, 0}, 3010, none, {0}, 0},
        {{0, 3010, 0}, 3010, none, {1}, 1},
        {{0, 740, 0}, 0, none, {}, 1},
        {{0, 1618, 3010}, 3010, none, {2}, 1},
    };
    for (const Case& c : cases) {
        ChainResult chain;
        std::size_t taken = 0;
        while (taken < c.results.size() && TakeResult(chain, taken, c.results[taken], c.program == taken)) ++taken;
        SCOPED_TRACE(::testing::PrintToString(c.results));
        EXPECT_EQ(taken, c.stoppedAt ? *c.stoppedAt : c.results.size());
        EXPECT_EQ(chain.code, c.code);
        EXPECT_EQ(chain.stoppedAt, c.stoppedAt);
        EXPECT_EQ(chain.restartAskedBy, c.restartAskedBy);
    }
}

}  // namespace
