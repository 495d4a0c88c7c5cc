// PrevInstall and AfterSelectFunction through the built DLL: hosts planted in Wine's
// registry, cabinets as files in the source folder, results read from the session.
#include "actions/exports.h"
#include "session/owned.h"
#include "testbed.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <set>

using namespace testbed;

namespace {

// One function whose rules stand under its name, which is also its value.
const char* const kOneFunction = "f1\tFirst\tf1\n";

// Rules that belong to no host release; every package that offers a choice needs one.
const char* const kGeneralRule = "\tsetup\t\tCore\t0\n";

// A package with the given custom tables (rows only; an empty text leaves the table out),
// opened as an install session whose source folder holds "here.cab".
struct Install {
    TempFolder folder{"actions"};
    HostRegistry hosts;
    UserSide user;
    Library dll;
    std::unique_ptr<Session> session;

    Install(const std::string& autocad, const std::string& functions, const std::string& rules,
            PackageBuilder builder = PackageBuilder())
    {
        // Added to the rows the builder holds: a test may bring features of its own.
        builder.rows("Feature", FeatureTable({"Core", "A", "B", "C", "D", "E", "F"}).substr(std::strlen(kFeatureHeader)));
        if (!autocad.empty()) builder.table("AutoCAD", kAutoCadHeader + autocad);
        if (!functions.empty()) builder.table("FunctionVersion", kFunctionVersionHeader + functions);
        if (!rules.empty()) builder.table("SearchCabinet", kSearchCabinetHeader + rules);
        session = std::make_unique<Session>(builder.build(folder / "package.msi"));
        session->setProperty("SourceDir", folder.path() + "\\");
        WriteFile(folder / "here.cab", "cabinet");
    }

    UINT run(const char* action) const { return dll.run(action, *session); }
    std::optional<std::string> property(const char* name) const { return session->property(name); }
    std::vector<Row> buttons() const { return session->rows("SELECT * FROM `RadioButton` ORDER BY `Order`"); }
    std::vector<Row> choiceControl() const
    {
        return session->rows("SELECT * FROM `Control` WHERE `Control`='RadioButtonGroup'");
    }
    // Features switched off (a level-0 row whose condition is not the library's dormant "0"),
    // in name order.
    std::vector<std::string> off() const
    {
        std::vector<std::string> names;
        for (const Row& row : session->rows("SELECT * FROM `Condition` ORDER BY `Feature_`"))
            if (row[1] == "0" && row[2] != "0") names.push_back(row[0]);
        return names;
    }
};

std::string FunctionRows(int count)
{
    std::string rows;
    for (int i = 1; i <= count; ++i) {
        std::string n = std::to_string(i);
        rows += "f" + n + "\tText " + n + "\tv" + n + "\n";
    }
    return rows;
}

// One rule per function, its cabinet present unless the function is listed as missing.
std::string FunctionRules(int count, std::initializer_list<int> missing = {})
{
    std::string rules = kGeneralRule;
    for (int i = 1; i <= count; ++i) {
        bool absent = std::find(missing.begin(), missing.end(), i) != missing.end();
        rules += "HOST\tf" + std::to_string(i) + "\t" + (absent ? "absent.cab" : "here.cab") + "\tA\t0\n";
    }
    return rules;
}

Row Button(int order, const std::string& value, int x, int y, const std::string& text)
{
    return {"FUNCTION_VER", std::to_string(order), value, std::to_string(x), std::to_string(y), "174", "17", text, "<null>"};
}

}  // namespace

// The function choice (PrevInstall without host rows, so that only the choice is at work).

TEST(FunctionChoice, ThreeFunctionsWithoutPreset)
{
    Install install("", FunctionRows(3), FunctionRules(3));
    EXPECT_EQ(install.run("PrevInstall"), 0u);
    EXPECT_EQ(install.property("FUNCTION_VER"), std::optional<std::string>("v1"));
    EXPECT_EQ(install.property("FUNCTION_RB"), std::optional<std::string>("1"));
    EXPECT_EQ(install.buttons(), (std::vector<Row>{Button(1, "v1", 0, 0, "Text 1"), Button(2, "v2", 0, 20, "Text 2"),
                                                   Button(3, "v3", 0, 40, "Text 3")}));
    EXPECT_EQ(install.choiceControl(),
              (std::vector<Row>{{"ZizeVEZAvaziva", "RadioButtonGroup", "RadioButtonGroup", "18", "120", "348", "100",
                                 "3", "FUNCTION_VER", "<null>", "CancelButton", "|"}}));
    EXPECT_TRUE(install.user.errors().empty());
}

TEST(FunctionChoice, ButtonsFillColumnsOfFive)
{
    Install install("", FunctionRows(10), FunctionRules(10));
    EXPECT_EQ(install.run("PrevInstall"), 0u);
    std::vector<Row> buttons = install.buttons();
    ASSERT_EQ(buttons.size(), 10u);
    EXPECT_EQ(buttons[4], Button(5, "v5", 0, 80, "Text 5"));
    EXPECT_EQ(buttons[5], Button(6, "v6", 174, 0, "Text 6"));
    EXPECT_EQ(buttons[9], Button(10, "v10", 174, 80, "Text 10"));
}

// More functions than two columns of five hold: every button inside the 348 x 100 control, none
// over another; the last button, its size and the columns as laid out.
TEST(FunctionChoice, MoreFunctionsStayInsideTheControl)
{
    const struct { int count; int columns; const char* last[4]; } cases[] = {  // x, y, width, height
        {11, 2, {"174", "64", "174", "16"}}, {12, 2, {"174", "80", "174", "16"}},
        {17, 3, {"232", "64", "116", "16"}}, {32, 4, {"261", "84", "87", "12"}},
    };
    for (const auto& c : cases) {
        Install install("", FunctionRows(c.count), FunctionRules(c.count));
        EXPECT_EQ(install.run("PrevInstall"), 0u);
        std::vector<Row> buttons = install.buttons();
        ASSERT_EQ(buttons.size(), static_cast<std::size_t>(c.count));
        EXPECT_EQ(Row(buttons.back().begin() + 3, buttons.back().begin() + 7), Row(c.last, c.last + 4)) << c.count;
        std::set<std::string> columns;
        for (std::size_t i = 0; i < buttons.size(); ++i) {
            int x = std::stoi(buttons[i][3]), y = std::stoi(buttons[i][4]), w = std::stoi(buttons[i][5]), h = std::stoi(buttons[i][6]);
            EXPECT_TRUE(x >= 0 && y >= 0 && x + w <= 348 && y + h <= 100) << c.count << ": " << buttons[i][2];
            columns.insert(buttons[i][3]);
            for (std::size_t j = 0; j < i; ++j) {
                int u = std::stoi(buttons[j][3]), v = std::stoi(buttons[j][4]);
                EXPECT_TRUE(x >= u + w || u >= x + w || y >= v + h || v >= y + h) << buttons[i][2] << " over " << buttons[j][2];
            }
        }
        EXPECT_EQ(columns.size(), static_cast<std::size_t>(c.columns)) << c.count;
    }
}

TEST(FunctionChoice, UnavailableFunctionsLeaveNoGap)
{
    Install install("", FunctionRows(4), FunctionRules(4, {2}));
    EXPECT_EQ(install.run("PrevInstall"), 0u);
    EXPECT_EQ(install.buttons(), (std::vector<Row>{Button(1, "v1", 0, 0, "Text 1"), Button(2, "v3", 0, 20, "Text 3"),
                                                   Button(3, "v4", 0, 40, "Text 4")}));
}

// With the source out of reach no cabinet can be looked at: unknown is never present, so a
// first installation offers no function whose rules need a cabinet.
TEST(FunctionChoice, NothingNeedingACabinetIsOfferedWithTheSourceGone)
{
    Install install("", FunctionRows(2), FunctionRules(2));
    install.session->setProperty("SourceDir", "C:\\hostgate-source-gone\\");
    install.run("PrevInstall");
    EXPECT_EQ(install.buttons(), std::vector<Row>());
    EXPECT_NE(install.property("FUNCTION_VER"), std::optional<std::string>("v1"));
}

TEST(FunctionChoice, OneFunctionGetsATextControl)
{
    for (bool preset : {true, false}) {
        Install install("", FunctionRows(2), FunctionRules(2, {1}));
        if (preset) install.session->setProperty("FUNCTION_VER", "v2");
        EXPECT_EQ(install.run("PrevInstall"), 0u);
        EXPECT_EQ(install.property("FUNCTION_VER"), std::optional<std::string>("v2"));
        EXPECT_EQ(install.choiceControl(),
                  (std::vector<Row>{{"ZizeVEZAvaziva", "RadioButtonGroup", "Text", "18", "120", "348", "100", "3",
                                     "<null>", "Text 2", "CancelButton", "|"}}))
            << "preset " << preset;
    }
}

// The packages as built, their choice dialog as PrevInstall leaves it: Windows creates a
// dialog only when its tab order is one closed loop, and a keyboard reaches the choice only
// on it. Every release installed (several functions: a group; wide-tools has one: a text), and
// the sample with AutoCAD 2000 alone (one function: a text). A 32-bit prefix opens no 64-bit
// package: wide-tools-x86 stands for the other wide-tools packages, built from the same tables.
TEST(FunctionChoice, BuiltPackagesTabThroughTheChoice)
{
    const std::string sample = SampleSource() + "\\hostgate-sample.msi";
    std::vector<std::pair<std::string, std::string>> cases = {{sample, ""}, {sample, "R15.0"}};
    for (const char* package : {"contour-tools\\source\\contour-tools", "drafting-tools\\source\\drafting-tools",
                                "survey-tools\\source\\survey", "thermal-tools\\source\\thermal-tools",
                                "thermal-tools\\source\\thermal-tools-swapped", "wide-tools\\source\\wide-tools-x86"})
        cases.push_back({SampleSource() + "\\..\\..\\packages\\" + package + ".msi", ""});
    std::set<std::string> types;
    for (const auto& [package, release] : cases) {
        SCOPED_TRACE(package + " " + release);
        HostRegistry hosts;
        UserSide user;
        Session session(package);
        ASSERT_NE(session.handle(), 0u);
        session.setProperty("SourceDir", package.substr(0, package.rfind('\\') + 1));
        for (const Row& row : session.rows("SELECT * FROM `AutoCAD`"))
            if (release.empty() || row[2] == release) hosts.install(row[2], "ACAD-1:409");
        ASSERT_EQ(Library().run("PrevInstall", session), 0u);
        for (const Row& row : session.rows("SELECT `Type` FROM `Control` WHERE `Control`='RadioButtonGroup'")) types.insert(row[0]);
        MSIHANDLE database = MsiGetActiveDatabase(session.handle());
        EXPECT_EQ(TabChainProblem(database, "ZizeVEZAvaziva", "RadioButtonGroup"), "");
        MsiCloseHandle(database);
    }
    EXPECT_EQ(types, (std::set<std::string>{"RadioButtonGroup", "Text"}));
}

TEST(FunctionChoice, PresetKeptOnlyWhenOffered)
{
    // The package's own default (its Property row, or what it remembers), or one named with the
    // dialog shown, that is not offered is replaced by the first offered; one named for an
    // installation nobody is asked about stops it with message 3000 instead, also where the
    // package's search for a remembered one found nothing.
    enum Preset { PackageDefault, NamedWithDialog, NamedSilently, Remembered, SearchedInVain };
    const struct {
        const char* preset;
        Preset how;
        const char* expected;  // none: message 3000
    } cases[] = {{"v3", PackageDefault, "v3"}, {"v2", PackageDefault, "v1"}, {"V3", PackageDefault, "v1"},
                 {"v3", NamedSilently, "v3"},  {"v2", NamedWithDialog, "v1"}, {"nothing", NamedWithDialog, "v1"},
                 {"v2", NamedSilently, nullptr}, {"nothing", NamedSilently, nullptr}, {"v2", Remembered, "v1"},
                 {"v2", SearchedInVain, nullptr}};
    const std::string kept = "Software\\HostgateTest\\" + NewGuid();
    for (const auto& c : cases) {
        PackageBuilder builder;
        if (c.how == PackageDefault) builder.rows("Property", std::string("FUNCTION_VER\t") + c.preset + "\n");
        // The package reads back the function it wrote (as AppSearch would set it).
        if (c.how == Remembered || c.how == SearchedInVain) {
            builder.table("AppSearch", "Property\tSignature_\ns72\ts72\nAppSearch\tProperty\tSignature_\nFUNCTION_VER\tKept\n");
            builder.table("RegLocator", "Signature_\tRoot\tKey\tName\tType\ns72\ti2\ts255\tS255\tI2\nRegLocator\tSignature_\n"
                                        "Kept\t1\t" + kept + "\tFunction\t2\n");
        }
        if (c.how == Remembered) SetStringValue(HKEY_CURRENT_USER, kept, "Function", c.preset);
        Install install("", FunctionRows(3), FunctionRules(3, {2}), builder);
        if (c.how != PackageDefault) install.session->setProperty("FUNCTION_VER", c.preset);
        if (c.how == NamedWithDialog) install.session->setProperty("UILevel", "5");
        EXPECT_EQ(install.run("PrevInstall"), c.expected ? 0u : 1603u) << c.preset << " " << c.how;
        if (c.expected) {
            EXPECT_EQ(install.property("FUNCTION_VER"), std::optional<std::string>(c.expected)) << c.preset << " " << c.how;
        } else {
            EXPECT_EQ(install.user.errors(), std::vector<int>{3000}) << c.preset;
            EXPECT_TRUE(install.off().empty()) << c.preset;
        }
        DeleteTree(HKEY_CURRENT_USER, kept);
    }
}

TEST(FunctionChoice, BuiltOnlyOnce)
{
    Install install("", FunctionRows(3), FunctionRules(3));
    install.session->setProperty("FUNCTION_RB", "yes");
    EXPECT_EQ(install.run("PrevInstall"), 0u);
    EXPECT_TRUE(install.buttons().empty());
    EXPECT_TRUE(install.choiceControl().empty());
    EXPECT_EQ(install.property("FUNCTION_VER"), std::nullopt);

    Install twice("", FunctionRows(3), FunctionRules(3));
    EXPECT_EQ(twice.run("PrevInstall"), 0u);
    EXPECT_EQ(twice.run("PrevInstall"), 0u);
    EXPECT_EQ(twice.buttons().size(), 3u);
}

TEST(FunctionChoice, NothingToOfferFailsWith3001)
{
    const struct {
        const char* name;
        std::string functions;
        std::string rules;
    } cases[] = {
        {"no general rule", FunctionRows(2), "HOST\tf1\there.cab\tA\t0\n"},
        {"no function available", FunctionRows(2), FunctionRules(2, {1, 2})},
        {"empty FunctionVersion", "", FunctionRules(2)},
    };
    for (const auto& c : cases) {
        PackageBuilder builder;
        if (c.functions.empty()) builder.table("FunctionVersion", kFunctionVersionHeader);
        Install install("", c.functions, c.rules, builder);
        EXPECT_EQ(install.run("PrevInstall"), 1603u) << c.name;
        EXPECT_EQ(install.user.errors(), std::vector<int>{3001}) << c.name;
        EXPECT_TRUE(install.choiceControl().empty()) << c.name;
        EXPECT_TRUE(install.buttons().empty()) << c.name;
        EXPECT_EQ(install.property("FUNCTION_RB"), std::nullopt) << c.name;
    }
}

TEST(FunctionChoice, NoFunctionTableBuildsNothing)
{
    Install install("", "", kGeneralRule);
    EXPECT_EQ(install.run("PrevInstall"), 0u);
    EXPECT_TRUE(install.user.errors().empty());
    EXPECT_TRUE(install.choiceControl().empty());
    EXPECT_EQ(install.property("FUNCTION_RB"), std::nullopt);
}

TEST(FunctionChoice, LongTextsAreHeldWholeAndValuelessFunctionsSkipped)
{
    std::string longText(60, 't');
    std::string longValue(64, 'v');
    Install install("", "f1\t\tv1\nf2\t" + longText + "\t" + longValue + "\nf3\tNo value\t\n", FunctionRules(3));
    install.session->setProperty("FUNCTION_VER", longValue);
    EXPECT_EQ(install.run("PrevInstall"), 0u);
    EXPECT_EQ(install.buttons(), (std::vector<Row>{Button(1, "v1", 0, 0, "<null>"), Button(2, longValue, 0, 20, longText)}));
    EXPECT_EQ(install.property("FUNCTION_VER"), std::optional<std::string>(longValue));
}

TEST(FunctionChoice, CancelledMessageStillFails)
{
    Install install("", FunctionRows(1), "HOST\tf1\there.cab\tA\t0\n");
    install.user.answer(IDCANCEL);
    EXPECT_EQ(install.run("PrevInstall"), 1603u);
    EXPECT_EQ(install.user.errors(), std::vector<int>{3001});
}

TEST(Cancel, AnsweredToALogMessageEndsTheActionWith1602)
{
    // Messages 3000 and 3001 keep their 1603.
    const struct {
        const char* action;
        const char* autocad;
        int infoAnswer;
        UINT result;
    } cases[] = {{"PrevInstall", "", IDOK, 0},           {"PrevInstall", "", IDCANCEL, ERROR_INSTALL_USEREXIT},
                 {"PrevInstall", "HOST_R15\t\tR15.0\n", IDCANCEL, 1603},
                 {"AfterSelectFunction", "", IDCANCEL, ERROR_INSTALL_USEREXIT},
                 {"RunSuportPacks", "", IDOK, 0},        {"RunSuportPacks", "", IDCANCEL, ERROR_INSTALL_USEREXIT},
                 {"CopyInfFiles", "", IDCANCEL, ERROR_INSTALL_USEREXIT}};
    for (const auto& c : cases) {
        PackageBuilder builder;
        builder.table("SuportPacks", "Source\tCommandLine\nS255\tS255\nSuportPacks\tSource\nmissing.exe\t\n");
        Install install(c.autocad, FunctionRows(2), FunctionRules(2), builder);
        install.session->setProperty("FUNCTION_VER", "v2");
        install.user.answerInfo(c.infoAnswer);
        EXPECT_EQ(install.run(c.action), c.result) << c.action << " " << c.autocad << " " << c.infoAnswer;
    }
}

// A stopped action (memory gone) fails alone: the guard around it, even an outer one, goes on.
TEST(Guard, AStoppedActionFailsAndTheNextRuns)
{
    EXPECT_EQ(GuardAction([]() -> UINT { StopAction(); }), UINT(ERROR_INSTALL_FAILURE));
    EXPECT_EQ(GuardAction([] { return GuardAction([]() -> UINT { StopAction(); }) + 1; }), UINT(ERROR_INSTALL_FAILURE + 1));
    EXPECT_EQ(GuardAction([] { return 7u; }), 7u);
}

// Host detection.

TEST(DetectHostReleases, EmptyTableFindsNothingToReport)
{
    PackageBuilder builder;
    builder.table("AutoCAD", kAutoCadHeader);
    Install empty("", FunctionRows(1), FunctionRules(1), builder);
    EXPECT_EQ(empty.run("PrevInstall"), 0u);
    EXPECT_TRUE(empty.user.errors().empty());
}

TEST(DetectHostReleases, InstalledReleaseSetsItsPropertyAndMissingOneLosesItsFeatures)
{
    // B is listed by both releases; the installed one's cabinet for it is present.
    Install install("HOST_R15\t\tR15.0\nHOST_R17\t\tR17.0\n", kOneFunction,
                    std::string(kGeneralRule) +
                        "HOST_R15\tf1\there.cab\tA\t0\n"
                        "HOST_R15\tf1\there.cab\tB\t0\n"
                        "HOST_R17\tf1\there.cab\tB\t0\n"
                        "HOST_R17\tf1\tabsent.cab\tC\t0\n"
                        "HOST_R17\tf1\t\tD\t0\n");
    install.hosts.install("R15.0", "ACAD-1:409");
    EXPECT_EQ(install.run("PrevInstall"), 0u);
    EXPECT_EQ(install.property("HOST_R15"), std::optional<std::string>("Software\\Autodesk\\AutoCAD\\R15.0\\ACAD-1:409"));
    EXPECT_EQ(install.property("HOST_R17"), std::nullopt);
    EXPECT_EQ(install.off(), (std::vector<std::string>{"C", "D"}));
    EXPECT_EQ(install.buttons().size(), 1u);
}

TEST(DetectHostReleases, FeaturesDifferingOnlyInNonWesternLettersStayApart)
{
    PackageBuilder builder;
    builder.codepage(936).rows("Feature", FeatureTable({"F_中国", "F_日本"}).substr(std::strlen(kFeatureHeader)));
    Install install("HOST_R15\t\tR15.0\nHOST_R17\t\tR17.0\n", kOneFunction,
                    std::string(kGeneralRule) + "HOST_R15\tf1\there.cab\tF_日本\t0\nHOST_R17\tf1\there.cab\tF_中国\t0\n",
                    builder);
    install.hosts.install("R15.0", "ACAD-1:409");
    EXPECT_EQ(install.run("PrevInstall"), 0u);
    EXPECT_EQ(install.off(), (std::vector<std::string>{"F_中国"}));
}

TEST(DetectHostReleases, NoReleaseInstalledFailsWith3000)
{
    Install install("HOST_R15\t\tR15.0\nHOST_R17\t\tR17.0\n", kOneFunction,
                    std::string(kGeneralRule) + "HOST_R15\tf1\there.cab\tA\t0\nHOST_R17\tf1\there.cab\tB\t0\n");
    EXPECT_EQ(install.run("PrevInstall"), 1603u);
    EXPECT_EQ(install.user.errors(), std::vector<int>{3000});
    EXPECT_EQ(install.off(), (std::vector<std::string>{"A", "B"}));
    EXPECT_TRUE(install.buttons().empty());
    EXPECT_EQ(install.property("FUNCTION_RB"), std::nullopt);
}

TEST(DetectHostReleases, ReleaseGivenByItsPropertyCountsAsFound)
{
    // A deployment under another account: the release is in no hive the library reads, and
    // the administrator names it on the command line. Neither message 3000 nor its features go.
    Install install("HOST_R15\t\tR15.0\nHOST_R17\t\tR17.0\n", kOneFunction,
                    std::string(kGeneralRule) +
                        "HOST_R17\tf1\there.cab\tA\t0\n"
                        "HOST_R17\tf1\tabsent.cab\tB\t0\n"
                        "HOST_R15\tf1\there.cab\tC\t0\n");
    install.session->setProperty("HOST_R17", "Software\\Autodesk\\AutoCAD\\R17.0\\ACAD-5001:409");
    EXPECT_EQ(install.run("PrevInstall"), 0u);
    EXPECT_TRUE(install.user.errors().empty());
    EXPECT_EQ(install.off(), (std::vector<std::string>{"C"}));
    EXPECT_EQ(install.property("HOST_R17"), std::optional<std::string>("Software\\Autodesk\\AutoCAD\\R17.0\\ACAD-5001:409"));
}

// What counts as a release found, the same however often PrevInstall runs and whatever the
// order of two releases that share one property: the library's own lookup is never taken as
// given, nor on a first installation a value the package's AppSearch may have set.
TEST(DetectHostReleases, GivenMeansGivenByWhoeverDeploys)
{
    struct Case {
        const char* autocad;
        const char* preset;  // HOST_B's value before PrevInstall, or none
        bool searched;       // the package's AppSearch sets HOST_B
        std::vector<std::string> off;
    };
    const std::string rules = std::string(kGeneralRule) + "HOST_A\tf1\there.cab\tA\t0\nHOST_B\tf1\there.cab\tB\t0\n";
    const Case cases[] = {
        {"HOST_A\tx\tR16.0\nHOST_A\ty\tR16.1\nHOST_B\tz\tR17.0\n", nullptr, false, {"B"}},
        {"HOST_A\ty\tR16.1\nHOST_A\tx\tR16.0\nHOST_B\tz\tR17.0\n", nullptr, false, {"B"}},
        {"HOST_A\tx\tR16.0\nHOST_B\tz\tR17.0\n", "Software\\Autodesk\\AutoCAD\\R17.0\\ACAD-5001:409", false, {}},
        {"HOST_A\tx\tR16.0\nHOST_B\tz\tR17.0\n", "Software\\Autodesk\\AutoCAD\\R17.0\\ACAD-5001:409", true, {"B"}},
    };
    // The library's own value is looked up again: a host gone between two runs (a setup
    // program removing it, the execute sequence after the dialog) takes its features along.
    {
        PackageBuilder builder;
        builder.table("AutoCAD", std::string("Property\tUnused\tRelease\ns72\ts8\tS32\nAutoCAD\tProperty\tUnused\n") +
                                     "HOST_A\tx\tR16.0\nHOST_B\tz\tR17.0\n");
        Install install("", kOneFunction, rules, builder);
        install.hosts.install("R16.0", "ACAD-201:409");
        install.hosts.install("R17.0", "ACAD-5001:409");
        ASSERT_EQ(install.run("PrevInstall"), 0u);
        EXPECT_TRUE(install.off().empty());
        DeleteTree(HKEY_CURRENT_USER, "Software\\Autodesk\\AutoCAD\\R17.0");
        ASSERT_EQ(install.run("PrevInstall"), 0u);
        EXPECT_EQ(install.off(), std::vector<std::string>{"B"});
    }
    for (const Case& c : cases) {
        // Keyed by Property and the second column, so that two rows may share a property.
        PackageBuilder builder;
        builder.table("AutoCAD", std::string("Property\tUnused\tRelease\ns72\ts8\tS32\nAutoCAD\tProperty\tUnused\n") + c.autocad);
        if (c.searched)
            builder.table("AppSearch", "Property\tSignature_\ns72\ts72\nAppSearch\tProperty\tSignature_\nHOST_B\tKeptPath\n");
        Install install("", kOneFunction, rules, builder);
        install.hosts.install("R16.0", "ACAD-201:409");
        if (c.preset) install.session->setProperty("HOST_B", c.preset);
        for (int run = 1; run <= 2; ++run) {
            ASSERT_EQ(install.run("PrevInstall"), 0u) << c.autocad << " run " << run;
            EXPECT_EQ(install.off(), c.off) << c.autocad << " run " << run;
            EXPECT_EQ(install.property("HOST_A"), std::optional<std::string>("Software\\Autodesk\\AutoCAD\\R16.0\\ACAD-201:409"))
                << c.autocad << " run " << run;
        }
    }
}

// The user's choice.

namespace {

// Three functions sharing feature B; host R15 installed, R17 missing.
const char* const kHosts = "HOST_R15\t\tR15.0\nHOST_R17\t\tR17.0\n";
const char* const kThreeFunctions = "f1\tFirst\tf1\nf2\tSecond\tf2\nf3\tThird\tf3\n";
std::string SharedRules()
{
    return std::string(kGeneralRule) +
           "HOST_R15\tf1\there.cab\tA\t0\n"
           "HOST_R15\tf1\there.cab\tB\t0\n"
           "HOST_R15\tf2\there.cab\tB\t0\n"
           "HOST_R15\tf2\there.cab\tC\t0\n"
           "HOST_R15\tf3\there.cab\tD\t0\n"
           "HOST_R17\tf2\there.cab\tE\t0\n";
}

}  // namespace

TEST(AfterSelectFunction, OtherFunctionsOffChosenOneBack)
{
    Install install(kHosts, kThreeFunctions, SharedRules());
    install.hosts.install("R15.0", "ACAD-1");
    ASSERT_EQ(install.run("PrevInstall"), 0u);
    install.session->setProperty("FUNCTION_VER", "f2");
    EXPECT_EQ(install.run("AfterSelectFunction"), 0u);
    // A and D belong to the others; B comes back with f2; E's rules stand only under the
    // missing host, so no choice brings it back.
    EXPECT_EQ(install.off(), (std::vector<std::string>{"A", "D", "E"}));
    EXPECT_EQ(install.user.count("CostFinalize"), 1);
    EXPECT_TRUE(install.user.errors().empty());
}

TEST(AfterSelectFunction, ChosenFunctionIsReachedUnderItsValue)
{
    // Function "basic" is offered under its name and chosen under its value "BASIC-1".
    const std::string rules = std::string(kGeneralRule) +
                              "HOST_R15\tbasic\there.cab\tA\t0\n"
                              "HOST_R15\tBASIC-1\there.cab\tB\t0\n"
                              "HOST_R15\tpro\there.cab\tC\t0\n";
    Install chosen("HOST_R15\t\tR15.0\n", "basic\tBasic\tBASIC-1\npro\tPro\tpro\n", rules);
    chosen.hosts.install("R15.0", "ACAD-1");
    chosen.session->setProperty("FUNCTION_VER", "BASIC-1");
    EXPECT_EQ(chosen.run("AfterSelectFunction"), 0u);
    EXPECT_EQ(chosen.off(), (std::vector<std::string>{"C"}));

    Install other("HOST_R15\t\tR15.0\n", "basic\tBasic\tBASIC-1\npro\tPro\tpro\n", rules);
    other.hosts.install("R15.0", "ACAD-1");
    other.session->setProperty("FUNCTION_VER", "pro");
    EXPECT_EQ(other.run("AfterSelectFunction"), 0u);
    EXPECT_EQ(other.off(), (std::vector<std::string>{"A"}));
}

TEST(AfterSelectFunction, HostsFailingTheChosenRulesLoseTheirFeatures)
{
    Install install(kHosts, kThreeFunctions, SharedRules());
    install.hosts.install("R15.0", "ACAD-1");
    install.session->setProperty("FUNCTION_VER", "f1");
    EXPECT_EQ(install.run("AfterSelectFunction"), 0u);
    // HOST_R17 has no rules for f1: all its features go.
    EXPECT_EQ(install.off(), (std::vector<std::string>{"C", "D", "E"}));
    EXPECT_EQ(install.user.count("CostFinalize"), 1);
}

TEST(AfterSelectFunction, NoHostMeetingTheChoiceFailsWith3000)
{
    Install install(kHosts, kThreeFunctions, SharedRules());
    install.session->setProperty("FUNCTION_VER", "f9");
    EXPECT_EQ(install.run("AfterSelectFunction"), 1603u);
    EXPECT_EQ(install.user.errors(), std::vector<int>{3000});
    EXPECT_EQ(install.user.count("CostFinalize"), 0);
}

TEST(AfterSelectFunction, UnsetChoiceFailsWithoutChangingAnything)
{
    Install install(kHosts, kThreeFunctions, SharedRules());
    install.user.answer(IDABORT);
    EXPECT_EQ(install.run("AfterSelectFunction"), 1603u);
    EXPECT_EQ(install.user.errors(), std::vector<int>{3000});
    EXPECT_TRUE(install.off().empty());
    EXPECT_EQ(install.user.count("CostFinalize"), 0);
}

TEST(AfterSelectFunction, AMissingHostsFeatureStaysOffWhateverTheChoice)
{
    // R17 is missing; f2's one rule names E under it, with its cabinet here. E would install
    // for a host that is not there, so it stays off, and R17 cannot fit f2: nothing does.
    Install install("HOST_R17\t\tR17.0\nHOST_R15\t\tR15.0\n", kThreeFunctions,
                    std::string(kGeneralRule) + "HOST_R15\tf1\there.cab\tA\t0\nHOST_R17\tf2\there.cab\tE\t0\n");
    install.hosts.install("R15.0", "ACAD-1");
    ASSERT_EQ(install.run("PrevInstall"), 0u);
    EXPECT_EQ(install.off(), (std::vector<std::string>{"E"}));
    install.session->setProperty("FUNCTION_VER", "f2");
    EXPECT_EQ(install.run("AfterSelectFunction"), 1603u);
    EXPECT_EQ(install.user.errors(), std::vector<int>{3000});
    EXPECT_EQ(install.off(), (std::vector<std::string>{"E"}));
}

// AfterSelectFunction plans from what PrevInstall left of this installation: with it, the
// rule tables dropped after PrevInstall change nothing (it reads none of them); without it
// (none, damaged, another installation's) it reads the tables and decides the same.
TEST(Snapshot, AfterSelectFunctionDecidesFromPrevInstallsReading)
{
    // From Fresh on, R17.0 is installed after PrevInstall read the machine: a snapshot that is
    // not this installation's (another run's, or one with no run named) is refused, and
    // today's facts decide, as without a snapshot (E, R17.0's, installs).
    enum Mode { Trusted, None, Damaged, Fresh, Foreign, Nameless };
    std::string decided, fresh;
    for (Mode mode : {Trusted, None, Damaged, Fresh, Foreign, Nameless}) {
        Install install(kHosts, kThreeFunctions, SharedRules());
        install.hosts.install("R15.0", "ACAD-1");
        ASSERT_EQ(install.run("PrevInstall"), 0u);
        std::string snapshot = install.property("HostgateSnapshot").value_or("");
        ASSERT_NE(snapshot.find("\nrule\t"), std::string::npos);
        if (mode == Trusted)
            for (const char* table : {"SearchCabinet", "FunctionVersion", "AutoCAD"})
                install.session->rows(std::string("DROP TABLE `") + table + "`");
        if (mode == None || mode == Fresh) install.session->setProperty("HostgateSnapshot", "");
        if (mode == Damaged) install.session->setProperty("HostgateSnapshot", snapshot.replace(snapshot.find("\nrule\t"), 5, "\nrulx"));
        if (mode == Foreign) install.session->setProperty("HostgateRun", "another installation");
        if (mode == Nameless) install.session->setProperty("HostgateRun", "");
        if (mode >= Fresh) install.hosts.install("R17.0", "ACAD-5001");
        install.session->setProperty("FUNCTION_VER", "f2");
        ASSERT_EQ(install.run("AfterSelectFunction"), 0u) << "mode " << mode;
        std::string outcome;
        for (const std::string& feature : install.off()) outcome += feature + " ";
        for (const char* feature : {"Core", "A", "B", "C", "D", "E"})
            outcome += std::string("| ") + feature + "=" + std::to_string(install.session->featureAction(feature));
        if (mode == Trusted) decided = outcome;
        if (mode == Fresh) fresh = outcome;
        EXPECT_EQ(outcome, mode >= Fresh ? fresh : decided) << "mode " << mode;
    }
    EXPECT_EQ(decided.substr(0, 6), "A D E ");
    EXPECT_EQ(fresh.substr(0, 4), "A D ");
}

// States a person changed on the dialog (a selection tree, a button's AddLocal) are not the
// ones PrevInstall foresaw: AfterSelectFunction finds that out and sets what the plan
// decides, as it does without a snapshot.
TEST(Snapshot, StatesChangedOnTheDialogAreFoundOut)
{
    for (bool kept : {true, false}) {
        Install install(kHosts, kThreeFunctions, SharedRules());
        install.hosts.install("R15.0", "ACAD-1");
        ASSERT_EQ(install.run("PrevInstall"), 0u);
        ASSERT_EQ(install.session->doAction("CostFinalize"), 0u);
        // f1 was planned (A and B on); the person switches A off and D on.
        MsiSetFeatureStateW(install.session->handle(), L"A", INSTALLSTATE_ABSENT);
        MsiSetFeatureStateW(install.session->handle(), L"D", INSTALLSTATE_LOCAL);
        if (!kept) install.session->setProperty("HostgateSnapshot", "");
        install.session->setProperty("FUNCTION_VER", "f1");
        ASSERT_EQ(install.run("AfterSelectFunction"), 0u);
        EXPECT_EQ(install.session->featureAction("A"), INSTALLSTATE_LOCAL) << "snapshot kept: " << kept;
        EXPECT_NE(install.session->featureAction("D"), INSTALLSTATE_LOCAL) << "snapshot kept: " << kept;
    }
}

// Features added beside a repair (Windows honours ADDLOCAL and the like with REINSTALL) are
// held to the rules as on a change: E, ruled under the missing R17.0 alone, joins REMOVE. A
// repair alone plans nothing. (The rules name no cabinet: no source resolves here.)
TEST(WholeRoad, FeaturesAddedBesideARepairAreHeld)
{
    std::string rules = SharedRules();
    for (std::size_t at; (at = rules.find("here.cab")) != std::string::npos;) rules.erase(at, 8);
    for (const char* added : {"", "ALL", "C,E"}) {
        Install install(kHosts, kThreeFunctions, rules);
        install.hosts.install("R15.0", "ACAD-1");
        install.session->setProperty("Installed", "1");
        install.session->setProperty("REINSTALL", "ALL");
        install.session->setProperty("ADDLOCAL", added);
        install.session->setProperty("FUNCTION_VER", "f1");
        ASSERT_EQ(install.run("PrevInstall"), 0u) << added;
        ASSERT_EQ(install.run("AfterSelectFunction"), 0u) << added;
        std::vector<std::string> removed = SplitText(install.session->property("REMOVE").value_or(""), ',');
        bool held = std::find(removed.begin(), removed.end(), "E") != removed.end();
        EXPECT_EQ(held, *added != '\0') << added;
        EXPECT_TRUE(*added || !install.session->property("REMOVE")) << "a repair alone is not planned";
    }
}

// The chosen function decides the features on every road a package can take: the dialog
// before the first costing, after it (also where the installer still says costing is not
// complete, as Windows does while it costs disks in the background), chosen twice with a
// first choice that drops a release, a feature list given on the command line, and two choices
// with a feature added on a later dialog (which sets Preselected), then the execute sequence.
TEST(WholeRoad, TheChosenFunctionsFeaturesInstall)
{
    enum Road { BeforeCosting, AfterCosting, CostingNotComplete, ChosenTwice, FeatureListAll, Customized };
    // R17 is missing, so E (ruled under it alone) stays off. F is R15's own feature, G its
    // follow-parent child; the first of two choices, f3, drops A, B and C. P, named by no
    // rule, is the person's to add again; its child K is ruled, at level 2: out, as the plan says.
    PackageBuilder builder;
    builder.rows("Feature", "G\tF\tG\t\t1\t1\t\t2\nP\t\tP\t\t1\t1\t\t0\nK\tP\tK\t\t1\t2\t\t0\n");
    const std::string rules =
        SharedRules() + "HOST_R15\tsetup\there.cab\tF\t0\nHOST_R17\tf4\there.cab\tE\t0\n\tsetup\there.cab\tK\t0\n";
    const std::map<std::string, std::vector<std::string>> installs = {
        {"f1", {"Core", "A", "B", "F", "G"}}, {"f2", {"Core", "B", "C", "F", "G"}}, {"f3", {"Core", "D", "F", "G"}}};
    for (Road road : {BeforeCosting, AfterCosting, CostingNotComplete, ChosenTwice, FeatureListAll, Customized}) {
        for (auto [choice, expected] : installs) {
            Install install(kHosts, kThreeFunctions, rules, builder);
            install.hosts.install("R15.0", "ACAD-1");
            if (road == FeatureListAll) install.session->setProperty("ADDLOCAL", "ALL");
            ASSERT_EQ(install.run("PrevInstall"), 0u);
            if (road == AfterCosting || road == CostingNotComplete || road == ChosenTwice || road == Customized) {
                ASSERT_EQ(install.session->doAction("CostFinalize"), 0u);
            }
            if (road == CostingNotComplete) install.session->setProperty("CostingComplete", "0");
            if (road == ChosenTwice || road == Customized) {
                install.session->setProperty("FUNCTION_VER", "f3");
                ASSERT_EQ(install.run("AfterSelectFunction"), 0u);
                ASSERT_NE(install.session->featureAction("A"), INSTALLSTATE_LOCAL);
            }
            install.session->setProperty("FUNCTION_VER", choice);
            ASSERT_EQ(install.run("AfterSelectFunction"), 0u);
            if (road == Customized) {
                // As a dialog's AddLocal does: the feature local (its children with it under
                // Wine), and Preselected set.
                MsiSetFeatureStateW(install.session->handle(), L"P", INSTALLSTATE_LOCAL);
                install.session->setProperty("Preselected", "1");
                ASSERT_EQ(install.run("PrevInstall"), 0u);
                ASSERT_EQ(install.session->doAction("CostFinalize"), 0u);
                ASSERT_EQ(install.run("AfterSelectFunction"), 0u);
            }
            if (road == FeatureListAll) expected.push_back("K");
            expected.push_back("P");
            std::vector<std::string> local;
            for (const char* feature : {"Core", "A", "B", "C", "D", "E", "F", "G", "K", "P"})
                if (install.session->featureAction(feature) == INSTALLSTATE_LOCAL) local.push_back(feature);
            EXPECT_EQ(local, expected) << choice << " on road " << road;
        }
    }
}
