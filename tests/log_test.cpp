// What the actions write to the installation's log: every decision, behind a fixed prefix.
#include "testbed.h"

#include <gtest/gtest.h>

#include <memory>

using namespace testbed;

namespace {

const std::string kAutoCad = std::string(kAutoCadHeader) +
    "HOST_R15\t\tR15.0\n"
    "HOST_R17\t\tR17.0\n";
const std::string kFunctions = std::string(kFunctionVersionHeader) +
    "basic\tBasic\tbasic\n"
    "pro\tPro\tpro\n";
const std::string kRules = std::string(kSearchCabinetHeader) +
    "\tsetup\t\tCore\t0\n"
    "HOST_R15\tbasic\there.cab\tBasic\t0\n"
    "HOST_R17\tbasic\there.cab\tBasic\t0\n"
    "HOST_R17\tsetup\there.cab\tR17\t0\n"
    "HOST_R15\tpro\tmissing.cab\tPro\t1\n";

// Lines written by the library, in order.
std::vector<std::string> LibraryLines(const UserSide& user)
{
    std::vector<std::string> lines;
    for (const std::string& line : user.infos())
        if (line.rfind("hostgate ", 0) == 0) lines.push_back(line);
    return lines;
}

// A line equal to `expected`, or beginning with it when `prefixOnly` is set.
::testing::AssertionResult Logged(const std::vector<std::string>& lines, const std::string& expected,
                                  bool prefixOnly = false)
{
    for (const std::string& line : lines)
        if (prefixOnly ? line.rfind(expected, 0) == 0 : line == expected) return ::testing::AssertionSuccess();
    std::string all;
    for (const std::string& line : lines) all += "\n  " + line;
    return ::testing::AssertionFailure() << "no line \"" << expected << "\" among:" << all;
}

}  // namespace

TEST(DecisionLog, HostsRulesFeaturesAndTheChoice)
{
    TempFolder folder{"log"};
    HostRegistry hosts;
    hosts.install("R15.0", "ACAD-1");
    CreateKey(HKEY_CURRENT_USER, "Software\\Autodesk\\AutoCAD\\R17.0");  // empty: pruned
    WriteFile(folder / "here.cab", "cabinet");
    PackageBuilder builder;
    builder.table("Feature", FeatureTable({"Core", "Basic", "Pro", "R17"}));
    builder.table("AutoCAD", kAutoCad).table("FunctionVersion", kFunctions).table("SearchCabinet", kRules);
    builder.rows("Property", "FUNCTION_VER\tpro\n");  // the package's default, not offered here
    Session session(builder.build(folder / "log.msi"));
    session.setProperty("SourceDir", folder.path() + "\\");
    Library dll;
    UserSide user;
    ASSERT_EQ(dll.run("PrevInstall", session), 0u);
    ASSERT_EQ(dll.run("AfterSelectFunction", session), 0u);
    std::vector<std::string> lines = LibraryLines(user);

    const std::string prev = "hostgate PrevInstall: ";
    EXPECT_TRUE(Logged(lines, prev + "host release R15.0 found under HKEY_LOCAL_MACHINE\\Software\\Autodesk\\AutoCAD\\R15.0 (32-bit view): "
                                     "HOST_R15 = Software\\Autodesk\\AutoCAD\\R15.0\\ACAD-1"));
    EXPECT_TRUE(Logged(lines, prev + "host release R17.0 not installed (HKEY_CURRENT_USER\\Software\\Autodesk\\AutoCAD\\R17.0 "
                                     "(shared by both views): no CurVer value; HKEY_LOCAL_MACHINE\\Software\\Autodesk\\AutoCAD\\R17.0 "
                                     "(32-bit view): no release key)"));
    EXPECT_TRUE(Logged(lines, prev + "empty registry key HKEY_CURRENT_USER\\Software\\Autodesk\\AutoCAD\\R17.0 (shared by both views) pruned"));
    // The plan, once per feature the rules name, with its reason and the installer's answer.
    EXPECT_TRUE(Logged(lines, prev + "plan: feature R17 off (host release R17.0 not installed): written"));
    EXPECT_TRUE(Logged(lines, prev + "plan: feature Basic on (host release R15.0 installed (cabinet here.cab present); level 1 within "
                                     "INSTALLLEVEL 1): as it is"));
    EXPECT_TRUE(Logged(lines, prev + "rules for property '', function (any): met (rows counted: 1)"));
    EXPECT_TRUE(Logged(lines, prev + "rules for property (any), function 'pro': not met (group 1 has no satisfied row); "
                                     "cabinets not found: missing.cab"));
    EXPECT_TRUE(Logged(lines, prev + "function pro not offered: its rules are not met"));
    EXPECT_TRUE(Logged(lines, prev + "offered function basic: \"Basic\" (FUNCTION_VER = basic)"));
    EXPECT_TRUE(Logged(lines, prev + "preset FUNCTION_VER = pro is not offered: replaced by basic"));
    EXPECT_TRUE(Logged(lines, prev + "choice control built on ZizeVEZAvaziva as a text"));

    const std::string after = "hostgate AfterSelectFunction: ";
    EXPECT_TRUE(Logged(lines, after + "chosen function: FUNCTION_VER = basic"));
    EXPECT_TRUE(Logged(lines, after + "plan: feature Pro off (function pro not chosen): as it is; ends absent"));
    EXPECT_TRUE(Logged(lines, after + "host HOST_R15 fits the chosen function"));
    EXPECT_TRUE(Logged(lines, after + "costing redone"));
}

TEST(DecisionLog, HiddenPropertiesKeepTheirValuesOutOfTheLog)
{
    TempFolder folder{"log"};
    HostRegistry hosts;
    hosts.install("R15.0", "SECRET-PATH");
    PackageBuilder builder;
    builder.table("AutoCAD", kAutoCad).table("FunctionVersion", kFunctions).table("SearchCabinet", kRules);
    builder.rows("Property", "MsiHiddenProperties\tOTHER;HOST_R15\n");
    // A command line naming a property is passed as it stands, and logged as it stands.
    builder.table("SuportPacks", "Source\tCommandLine\nS255\tS255\nSuportPacks\tSource\nmissing.exe\t[HOST_R15] {x}\n");
    std::string verbose = folder / "verbose.log";
    MsiEnableLogA(INSTALLLOGMODE_VERBOSE | INSTALLLOGMODE_INFO, verbose.c_str(), 0);
    std::vector<std::string> lines;
    {
        Session session(builder.build(folder / "log.msi"));
        session.setProperty("SourceDir", folder.path() + "\\");
        Library dll;
        UserSide user;
        dll.run("PrevInstall", session);
        dll.run("RunSuportPacks", session);
        lines = LibraryLines(user);
        EXPECT_EQ(session.property("HOST_R15"), std::optional<std::string>("Software\\Autodesk\\AutoCAD\\R15.0\\SECRET-PATH"));
    }
    MsiEnableLogA(0, nullptr, 0);
    EXPECT_TRUE(Logged(lines, "hostgate PrevInstall: host release R15.0 found under "
                              "HKEY_LOCAL_MACHINE\\Software\\Autodesk\\AutoCAD\\R15.0 (32-bit view): HOST_R15 = (hidden)"));
    // The engine's own log, as written to the file: the line shows what the program was
    // given, and no line of the library's holds the secret.
    std::string text = ReadFile(verbose).value_or("");
    EXPECT_NE(text.find("hostgate RunSuportPacks: could not start \"" + folder.path() + "\\missing.exe\" [HOST_R15] {x}: error 2"),
              std::string::npos) << text;
    for (std::size_t at = text.find("hostgate "); at != std::string::npos; at = text.find("hostgate ", at + 1))
        EXPECT_EQ(text.substr(at, text.find('\n', at) - at).find("SECRET-PATH"), std::string::npos);
    for (const std::string& line : lines) EXPECT_EQ(line.find("SECRET-PATH"), std::string::npos) << line;
}

TEST(DecisionLog, SupportPacksAndInfFiles)
{
    TempFolder folder{"log"};
    WriteFile(folder / "source\\broken.msi", "not a package");
    char system[MAX_PATH];
    GetSystemDirectoryA(system, MAX_PATH);
    std::string infFolder = std::string(system) + "\\Setup\\Aladdin\\eToken";
    WriteFile(infFolder + "\\hostgate-log.inf", "driver");
    PackageBuilder builder;
    builder.table("SuportPacks", "Source\tCommandLine\nS255\tS255\nSuportPacks\tSource\n"
                                 "missing.exe\t/x\nbroken.msi\tA=1\n");
    Session session(builder.build(folder / "log.msi"));
    session.setProperty("SourceDir", folder.path() + "\\source\\");
    Library dll;
    UserSide user;
    EXPECT_EQ(dll.run("RunSuportPacks", session), 0u);
    EXPECT_EQ(dll.run("CopyInfFiles", session), 0u);
    std::vector<std::string> lines = LibraryLines(user);
    std::string source = folder.path() + "\\source\\";
    EXPECT_TRUE(Logged(lines, "hostgate RunSuportPacks: could not start \"" + source + "missing.exe\" /x: error 2"));
    EXPECT_TRUE(Logged(lines, "hostgate RunSuportPacks: support package " + source + "broken.msi cannot be read", true));
    char windows[MAX_PATH];
    GetWindowsDirectoryA(windows, MAX_PATH);
    EXPECT_TRUE(Logged(lines, "hostgate CopyInfFiles: copied " + infFolder + "\\hostgate-log.inf to " + windows +
                                  "\\inf\\hostgate-log.inf"));
    RemoveTree(std::string(system) + "\\Setup");
    DeleteFileA((std::string(windows) + "\\inf\\hostgate-log.inf").c_str());
}
