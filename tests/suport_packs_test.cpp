// RunSuportPacks through the DLL: real programs started; support packages checked, never installed
// from inside the installation (hostgate-setup.exe installs them before it).
#include "testbed.h"
#include "windows_rules.h"

#include <gtest/gtest.h>

#include <memory>

using namespace testbed;

namespace {

const char* const kPacksHeader =
    "Source\tCommandLine\n"
    "S255\tS255\n"
    "SuportPacks\tSource\n";

const std::string kSupportKey = "Software\\HostgateTest\\Support";

// The stand-in program, or its twin whose manifest asks for administrator rights.
std::string ProgramPath(const char* name = "record_call.exe")
{
    char exe[MAX_PATH] = "";
    GetModuleFileNameA(nullptr, exe, MAX_PATH);
    std::string path(exe);
    return path.substr(0, path.find_last_of('\\') + 1) + name;
}

void CopyProgram(const std::string& to, const char* name = "record_call.exe")
{
    MakeFolders(to.substr(0, to.find_last_of('\\')));
    CopyFileW(ToWide(ProgramPath(name)).c_str(), ToWide(to).c_str(), FALSE);
}

// A small real package: installing it writes the value "Marker" = [MARKER] under kSupportKey.
std::string BuildSupportPackage(const std::string& path, const std::string& productCode)
{
    PackageBuilder builder;
    builder.rows("Property", "MARKER\tdefault\n");
    builder.table("Property", std::string(kPropertyHeader) + "ProductCode\t" + productCode +
                                  "\nProductLanguage\t1033\nProductVersion\t1.0.0\nManufacturer\thostgate tests\n"
                                  "ProductName\thostgate support package\nMARKER\tdefault\n");
    builder.table("Feature", FeatureTable({"Support"}));
    builder.table("Component",
                  "Component\tComponentId\tDirectory_\tAttributes\tCondition\tKeyPath\n"
                  "s72\tS38\ts72\ti2\tS255\tS72\n"
                  "Component\tComponent\n"
                  "SupportReg\t" + NewGuid() + "\tTARGETDIR\t4\t\tMarkerValue\n");
    builder.table("FeatureComponents", "Feature_\tComponent_\ns38\ts72\nFeatureComponents\tFeature_\tComponent_\n"
                                       "Support\tSupportReg\n");
    builder.table("Registry", "Registry\tRoot\tKey\tName\tValue\tComponent_\n"
                              "s72\ti2\tl255\tL255\tL0\ts72\n"
                              "Registry\tRegistry\n"
                              "MarkerValue\t1\t" + kSupportKey + "\tMarker\t[MARKER]\tSupportReg\n");
    builder.table("InstallExecuteSequence", "Action\tCondition\tSequence\n"
                                            "s72\tS255\tI2\n"
                                            "InstallExecuteSequence\tAction\n"
                                            "CostInitialize\t\t800\nFileCost\t\t900\nCostFinalize\t\t1000\n"
                                            "InstallValidate\t\t1400\nInstallInitialize\t\t1500\n"
                                            "ProcessComponents\t\t1600\nUnpublishFeatures\t\t1800\n"
                                            "RemoveRegistryValues\t\t2600\nWriteRegistryValues\t\t5000\n"
                                            "RegisterProduct\t\t6100\nPublishFeatures\t\t6300\n"
                                            "PublishProduct\t\t6400\nInstallFinalize\t\t6600\n");
    return builder.build(path);
}

std::optional<std::string> Marker()
{
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, kSupportKey.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return std::nullopt;
    char value[256] = "";
    DWORD size = sizeof value;
    LONG read = RegQueryValueExA(key, "Marker", nullptr, nullptr, reinterpret_cast<BYTE*>(value), &size);
    RegCloseKey(key);
    if (read != ERROR_SUCCESS) return std::nullopt;
    return std::string(value);
}

// A session whose package lists the given support packs, its source folder `source`.
struct Packs {
    TempFolder folder;
    std::string source;
    std::string calls;
    std::vector<std::string> products;  // removed again when the test ends
    std::unique_ptr<Session> session;
    Library dll;
    int codepage = 0;  // the package's
    std::string ranBefore;  // HOSTGATE_PROGRAMS_RUN, as hostgate-setup.exe sets it

    explicit Packs(const std::string& sourceName = "source") : folder("packs"), source(folder / sourceName)
    {
        MakeFolders(source);
        calls = folder / "calls.log";
        SetEnvironmentVariableA("HOSTGATE_CALLS", calls.c_str());
        DeleteTree(HKEY_CURRENT_USER, kSupportKey);
    }
    ~Packs()
    {
        MsiSetInternalUI(INSTALLUILEVEL_NONE, nullptr);
        for (const std::string& code : products) MsiConfigureProductA(code.c_str(), 0, INSTALLSTATE_ABSENT);
        DeleteTree(HKEY_CURRENT_USER, "Software\\HostgateTest");
    }

    std::string package(const std::string& relative)
    {
        std::string code = NewGuid();
        products.push_back(code);
        return BuildSupportPackage(source + "\\" + relative, code);
    }
    UINT run(const std::string& rows, bool withTable = true)
    {
        PackageBuilder builder;
        builder.codepage(codepage);
        if (withTable) builder.table("SuportPacks", kPacksHeader + rows);
        session = std::make_unique<Session>(builder.build(folder / "main.msi"));
        session->setProperty("SourceDir", source + "\\");
        if (!ranBefore.empty()) session->setProperty("HOSTGATE_PROGRAMS_RUN", ranBefore.c_str());
        return dll.run("RunSuportPacks", *session);
    }
    std::vector<std::string> log() const
    {
        std::vector<std::string> lines;
        std::string text = ReadFile(calls).value_or("");
        for (std::size_t at = 0; at < text.size();) {
            std::size_t end = text.find('\n', at);
            lines.push_back(text.substr(at, end - at));
            at = end + 1;
        }
        return lines;
    }
    INSTALLSTATE state(std::size_t product) const { return MsiQueryProductStateA(products[product].c_str()); }
};

}  // namespace

TEST(SupportPrograms, RunInOrderEachToItsEnd)
{
    Packs packs;
    CopyProgram(packs.source + "\\tools\\first.exe");
    CopyProgram(packs.source + "\\second.exe");
    EXPECT_EQ(packs.run("tools\\first.exe\t/quiet /log \"x y\"\nmissing.exe\t/never\nsecond.exe\t\n"), 0u);
    std::string first = packs.source + "\\tools\\first.exe";
    std::string second = packs.source + "\\second.exe";
    EXPECT_EQ(packs.log(), (std::vector<std::string>{"start \"" + first + "\" /quiet /log \"x y\"", "end " + first,
                                                     "start \"" + second + "\"", "end " + second}));
}

// A restart a program needs (3010) or started (1641) is asked of the installer for the end of the
// installation, whose result is then 3010; the action itself still succeeds. Programs the
// setup program ran before the package are not run again.
TEST(SupportPrograms, RestartsAreAskedForAtTheEnd)
{
    const struct {
        const char* rows;
        const char* ranBefore;
        bool restart;
        std::size_t started;
    } cases[] = {
        {"tool.exe\t/exit 3010\n", "", true, 1},
        {"tool.exe\t/exit 1641\n", "", true, 1},
        {"tool.exe\t/exit 0\n", "", false, 1},
        {"tool.exe\t/exit 740\n", "", false, 1},
        {"tool.exe\t/exit 1618\nother.exe\t/exit 5\n", "", false, 2},
        // Under Windows' rules an immediate action's program runs with the user's filtered
        // token: one whose manifest asks for administrator rights does not start (740).
        {"admin.exe\t/exit 3010\n", "", !testbed::WindowsRules(), testbed::WindowsRules() ? 0u : 1u},
        {"tool.exe\t/exit 3010\nother.exe\t\n", "tool.exe", false, 1},
        {"tool.exe\t\nother.exe\t/exit 1641\n", "x.exe;other.exe", false, 1},
    };
    for (const auto& c : cases) {
        Packs packs;
        packs.ranBefore = c.ranBefore;
        CopyProgram(packs.source + "\\tool.exe");
        CopyProgram(packs.source + "\\other.exe");
        CopyProgram(packs.source + "\\admin.exe", "record_call_admin.exe");
        EXPECT_EQ(packs.run(c.rows), 0u) << c.rows;
        EXPECT_EQ(MsiGetMode(packs.session->handle(), MSIRUNMODE_REBOOTATEND) != FALSE, c.restart) << c.rows << c.ranBefore;
        EXPECT_EQ(packs.log().size(), 2 * c.started) << c.rows << c.ranBefore;
    }
}

TEST(SupportPrograms, StartFromFoldersNamedInAnyScript)
{
    // Each package in the code page of its text; the machine's is Western.
    const struct {
        const char* name;
        int codepage;
    } cases[] = {{"Łódź", 1250}, {"Студия", 1251}, {"日本", 932}};
    for (const auto& c : cases) {
        Packs packs(std::string("source ") + c.name);
        packs.codepage = c.codepage;
        std::string program = packs.source + "\\" + c.name + "\\tool.exe";
        CopyProgram(program);
        EXPECT_EQ(packs.run(std::string(c.name) + "\\tool\t/name " + c.name + "\n"), 0u);
        EXPECT_EQ(packs.log(), (std::vector<std::string>{"start \"" + program + "\" /name " + c.name, "end " + program}))
            << c.name;
    }
}

TEST(SupportPrograms, LongCommandLinesAreBuiltWhole)
{
    Packs packs;
    CopyProgram(packs.source + "\\long.exe");
    std::string arguments(600, 'a');
    EXPECT_EQ(packs.run("long.exe\t" + arguments + "\n"), 0u);
    std::string program = packs.source + "\\long.exe";
    EXPECT_EQ(packs.log(), (std::vector<std::string>{"start \"" + program + "\" " + arguments, "end " + program}));
}

TEST(SupportPrograms, FolderWithSpacesNeverRunsADecoy)
{
    Packs packs("Setup Files");
    CopyProgram(packs.source + "\\tools\\prog.exe");
    CopyProgram(packs.folder / "Setup.exe");  // where an unquoted line would land first
    // Named without its extension, as Windows completes a program on a command line.
    EXPECT_EQ(packs.run("tools\\prog\targ\n"), 0u);
    std::string prog = packs.source + "\\tools\\prog.exe";
    EXPECT_EQ(packs.log(), (std::vector<std::string>{"start \"" + prog + "\" arg", "end " + prog}));
}

TEST(SupportPrograms, OnlyTheLastComponentsExtensionMakesAPackage)
{
    Packs packs;
    for (const char* name : {"tool.msi.exe", "tool.exe", "x.msi\\prog.exe"}) CopyProgram(packs.source + "\\" + name);
    EXPECT_EQ(packs.run("tool.msi.exe\t\ntool\t\nx.msi\\prog\t\n"), 0u);
    std::vector<std::string> log = packs.log();
    ASSERT_EQ(log.size(), 6u);
    EXPECT_EQ(log[0], "start \"" + packs.source + "\\tool.msi.exe\"");
    EXPECT_EQ(log[2], "start \"" + packs.source + "\\tool.exe\"");
    EXPECT_EQ(log[4], "start \"" + packs.source + "\\x.msi\\prog.exe\"");
}

TEST(SupportPrograms, EmptyOrOverlongSourcesAreSkipped)
{
    Packs packs;
    CopyProgram(packs.source + "\\after.exe");
    std::string overlong(MAX_PATH, 'p');
    EXPECT_EQ(packs.run("\t/x\n" + overlong + ".exe\t\nafter.exe\t\n"), 0u);
    EXPECT_EQ(packs.log().size(), 2u);
}

TEST(SupportPackages, MissingPackagesOfEveryLetterCaseAreNotInstalledAndProgramsStillRun)
{
    Packs packs;
    packs.package("lower.msi");
    packs.package("upper.MSI");
    packs.package("mixed.Msi");
    CopyProgram(packs.source + "\\after.exe");
    EXPECT_EQ(packs.run("lower.msi\tMARKER=lower\nupper.MSI\tMARKER=upper\nmixed.Msi\t\nafter.exe\t\n"), 0u);
    for (std::size_t i = 0; i < 3; ++i) EXPECT_EQ(packs.state(i), INSTALLSTATE_UNKNOWN) << i;
    EXPECT_EQ(Marker(), std::nullopt);
    // Packages are never started as programs: only after.exe ran.
    EXPECT_EQ(packs.log().size(), 2u);
}

TEST(SupportPackages, PresentProductIsNotInstalledAgain)
{
    Packs packs;
    std::string path = packs.package("support.msi");
    MsiSetInternalUI(INSTALLUILEVEL_NONE, nullptr);
    {
        Elevated administrator;  // installed beforehand, not from inside an installation
        ASSERT_EQ(MsiInstallProductA(path.c_str(), "MARKER=first"), 0u);
    }
    EXPECT_EQ(packs.run("support.msi\tMARKER=second\n"), 0u);
    EXPECT_EQ(Marker(), std::optional<std::string>("first"));
    EXPECT_EQ(MsiSetInternalUI(INSTALLUILEVEL_NONE, nullptr), INSTALLUILEVEL_NONE);
    EXPECT_EQ(packs.state(0), INSTALLSTATE_DEFAULT);
}

TEST(SupportPackages, UnreadablePackageDoesNotStopThePrograms)
{
    Packs packs;
    WriteFile(packs.source + "\\broken.msi", "not a package");
    CopyProgram(packs.source + "\\after.exe");
    MsiSetInternalUI(INSTALLUILEVEL_NONE, nullptr);
    EXPECT_EQ(packs.run("broken.msi\tMARKER=x\nafter.exe\t\n"), 0u);
    // No installation was prepared: the user-interface level is untouched.
    EXPECT_EQ(MsiSetInternalUI(INSTALLUILEVEL_NONE, nullptr), INSTALLUILEVEL_NONE);
    EXPECT_EQ(packs.log().size(), 2u);
}

TEST(SupportPackages, NoTableOrNoRowsDoNothing)
{
    Packs packs;
    EXPECT_EQ(packs.run("", false), 0u);
    EXPECT_EQ(packs.run(""), 0u);
    EXPECT_FALSE(FileExists(packs.calls));
}
