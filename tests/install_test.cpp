// Whole installations of the sample package by the installer engine, custom actions and all.
#include "testbed.h"

#include "checker/checks.h"

#include <gtest/gtest.h>

#include <cctype>
#include <sstream>

using namespace testbed;

namespace {

const char* const kProduct = "{6F1D4C7A-2B3E-4C59-9A61-0D7E5B8C2F11}";
const char* const kRuntime = "{9C2B7E44-1D3A-4F6B-8E2C-5A4D3B2C1E07}";
const std::vector<std::string> kFeatures = {"core", "viewer", "editor", "network", "acad2000", "acad2004", "acad2007"};

std::string InstallFolder()
{
    char programFiles[MAX_PATH] = "";
    GetEnvironmentVariableA("ProgramFiles", programFiles, MAX_PATH);
    return std::string(programFiles) + "\\Hostgate Sample";
}

std::optional<std::string> RuntimeMode()
{
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Hostgate Sample Runtime", 0, KEY_READ, &key) != ERROR_SUCCESS)
        return std::nullopt;
    char value[64] = "";
    DWORD size = sizeof value;
    LONG read = RegQueryValueExA(key, "Mode", nullptr, nullptr, reinterpret_cast<BYTE*>(value), &size);
    RegCloseKey(key);
    return read == ERROR_SUCCESS ? std::optional<std::string>(value) : std::nullopt;
}

// A silent installation of the sample with the given hosts installed. The support runtime
// is deployed first: under Wine a nested installation from inside a running one ends the
// outer installation, so the sample's RunSuportPacks must find it present.
struct SampleInstall : ::testing::Test {
    HostRegistry hosts;
    TempFolder folder{"install"};
    std::string source = SampleSource();
    std::string log = folder / "install.log";

    void SetUp() override
    {
        MsiSetInternalUI(INSTALLUILEVEL_NONE, nullptr);
        ASSERT_TRUE(FileExists(source + "\\hostgate-sample.msi")) << source;
        ASSERT_EQ(MsiInstallProductA((source + "\\support\\runtime.msi").c_str(), "RUNTIME_MODE=predeployed"), 0u);
    }
    void TearDown() override
    {
        MsiSetInternalUI(INSTALLUILEVEL_NONE, nullptr);
        MsiConfigureProductA(kProduct, 0, INSTALLSTATE_ABSENT);
        MsiConfigureProductA(kRuntime, 0, INSTALLSTATE_ABSENT);
        DeleteFileA("C:\\hostgate-sample-tool.txt");
        RemoveTree(InstallFolder());
    }
    UINT install(const std::string& commandLine = "")
    {
        MsiEnableLogA(INSTALLLOGMODE_VERBOSE | INSTALLLOGMODE_INFO | INSTALLLOGMODE_ERROR, log.c_str(), 0);
        UINT result = MsiInstallProductA((source + "\\hostgate-sample.msi").c_str(), commandLine.c_str());
        MsiEnableLogA(0, nullptr, 0);
        return result;
    }
    std::vector<std::string> installed() const
    {
        std::vector<std::string> names;
        for (const std::string& feature : kFeatures)
            if (FileExists(InstallFolder() + "\\" + feature + ".txt")) names.push_back(feature);
        return names;
    }
};

using Names = std::vector<std::string>;

}  // namespace

TEST_F(SampleInstall, OneHostAndTheDefaultFunction)
{
    hosts.install("R15.0", "ACAD-1:409");
    EXPECT_EQ(install(), 0u);
    EXPECT_EQ(installed(), (Names{"core", "viewer", "acad2000"}));
    EXPECT_EQ(MsiQueryProductStateA(kProduct), INSTALLSTATE_DEFAULT);
    // The support program ran; the support runtime was present and left alone.
    std::string record = ReadFile("C:\\hostgate-sample-tool.txt").value_or("");
    EXPECT_NE(record.find("--welcome"), std::string::npos) << record;
    EXPECT_EQ(RuntimeMode(), std::optional<std::string>("predeployed"));
}

TEST_F(SampleInstall, TwoHostsAndAFunctionChosenOnTheCommandLine)
{
    hosts.install("R15.0", "ACAD-1:409");
    hosts.install("R16.0", "ACAD-201:409");
    EXPECT_EQ(install("FUNCTION_VER=EDITOR-PRO"), 0u);
    // The editor needs AutoCAD 2004 or later: the 2000 integration goes with it.
    EXPECT_EQ(installed(), (Names{"core", "editor", "acad2004"}));
}

// A function named on the command line that this machine cannot take stops the installation:
// a deployment must not report a function as installed that is not.
TEST_F(SampleInstall, ANamedFunctionTheMachineCannotTakeStopsTheInstallation)
{
    hosts.install("R15.0", "ACAD-1:409");
    for (const char* named : {"network", "EDITOR-PRO"}) {
        EXPECT_EQ(install(std::string("FUNCTION_VER=") + named), 1603u) << named;
        EXPECT_TRUE(installed().empty()) << named;
        EXPECT_NE(MsiQueryProductStateA(kProduct), INSTALLSTATE_DEFAULT) << named;
        EXPECT_NE(ReadFile(log).value_or("").find("No supported AutoCAD release is installed"), std::string::npos) << named;
    }
}

TEST_F(SampleInstall, NoHostInstalledStopsTheInstallation)
{
    EXPECT_EQ(install(), 1603u);
    EXPECT_TRUE(installed().empty());
    EXPECT_NE(MsiQueryProductStateA(kProduct), INSTALLSTATE_DEFAULT);
    std::string text = ReadFile(log).value_or("");
    EXPECT_NE(text.find("No supported AutoCAD release is installed"), std::string::npos);
}

TEST_F(SampleInstall, UninstallLeavesNothingBehind)
{
    hosts.install("R15.0", "ACAD-1:409");
    ASSERT_EQ(install(), 0u);
    ASSERT_FALSE(installed().empty());
    EXPECT_EQ(MsiInstallProductA((source + "\\hostgate-sample.msi").c_str(), "REMOVE=ALL"), 0u);
    EXPECT_TRUE(installed().empty());
    EXPECT_FALSE(FileExists(InstallFolder()));
    EXPECT_EQ(MsiQueryProductStateA(kProduct), INSTALLSTATE_UNKNOWN);
}

// The checker's decision table says what a real installation gives, function by function.
TEST_F(SampleInstall, ExplainAgreesWithRealInstallations)
{
    hosts.install("R15.0", "ACAD-1:409");
    hosts.install("R16.0", "ACAD-201:409");
    std::optional<std::string> table = ExplainPackage(source + "\\hostgate-sample.msi", OwnedString(source));
    ASSERT_TRUE(table.has_value());
    std::istringstream lines(*table);
    int compared = 0;
    for (std::string line; std::getline(lines, line);) {
        std::vector<std::string> fields(1);
        for (char c : line) {
            if (c == '\t') fields.emplace_back();
            else fields.back().push_back(c);
        }
        if (fields.size() != 5 || fields[0] != "R15.0, R16.0" || fields[2] == "-") continue;
        Names explained;
        std::istringstream features(fields[4]);
        for (std::string name; std::getline(features, name, ',');) {
            name.erase(0, name.find_first_not_of(' '));
            for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            explained.push_back(name);
        }
        // The function chosen, by name, with its value in brackets where the two differ.
        std::size_t open = fields[2].find(" (");
        std::string value = open == std::string::npos ? fields[2] : fields[2].substr(open + 2, fields[2].size() - open - 3);
        EXPECT_EQ(install("FUNCTION_VER=" + value), 0u) << fields[2];
        EXPECT_EQ(installed(), explained) << fields[2];
        MsiConfigureProductA(kProduct, 0, INSTALLSTATE_ABSENT);
        ++compared;
    }
    EXPECT_EQ(compared, 2) << *table;
}

namespace {

// A package whose functions, texts and cabinets are named in Cyrillic (its code page 1251),
// installed from source folders named in other scripts on a Western (1252) machine.
const char* const kIntlProduct = "{7A3C5E91-4B2D-4F6A-8C1E-2D9B7F4A6C05}";
const std::vector<std::string> kIntlFeatures = {"Core", "Viewer", "Editor"};

std::string IntlInstallFolder()
{
    wchar_t programFiles[MAX_PATH] = L"";
    GetEnvironmentVariableW(L"ProgramFiles", programFiles, MAX_PATH);
    return ToUtf8(programFiles) + "\\Hostgate Intl";
}

std::string BuildIntlPackage(const std::string& source)
{
    std::string bin = SampleSource();
    bin = bin.substr(0, bin.rfind("\\sample\\source")) + "\\bin";
    PackageBuilder builder;
    builder.codepage(1251)
        .table("Property", std::string(kPropertyHeader) + "ProductCode\t" + kIntlProduct +
                               "\nProductLanguage\t1049\nProductVersion\t1.0.0\nManufacturer\tХостгейт\n"
                               "ProductName\tХостгейт: проверка письменностей\n")
        .table("Directory", "Directory\tDirectory_Parent\tDefaultDir\ns72\tS72\tl255\nDirectory\tDirectory\n"
                            "TARGETDIR\t\tSourceDir\nProgramFilesFolder\tTARGETDIR\t.\n"
                            "INSTALLDIR\tProgramFilesFolder\tHGINTL|Hostgate Intl:.\n")
        .table("Feature", FeatureTable({"Core", "Viewer", "Editor"}))
        .rows("Component", "CoreFiles\t{7A3C5E91-0000-4000-8000-000000000001}\tINSTALLDIR\t0\t\tCoreFile\n"
                           "ViewerFiles\t{7A3C5E91-0000-4000-8000-000000000002}\tINSTALLDIR\t0\t\tViewerFile\n"
                           "EditorFiles\t{7A3C5E91-0000-4000-8000-000000000003}\tINSTALLDIR\t0\t\tEditorFile\n")
        .rows("FeatureComponents", "Core\tCoreFiles\nViewer\tViewerFiles\nEditor\tEditorFiles\n")
        // Uncompressed (8192): read from the source folder itself (the directory's source is ".").
        .table("File", "File\tComponent_\tFileName\tFileSize\tVersion\tLanguage\tAttributes\tSequence\n"
                       "s72\ts72\tl255\ti4\tS72\tS20\tI2\ti2\nFile\tFile\n"
                       "CoreFile\tCoreFiles\tcore.txt\t4\t\t\t8192\t1\n"
                       "ViewerFile\tViewerFiles\tviewer.txt\t6\t\t\t8192\t2\n"
                       "EditorFile\tEditorFiles\teditor.txt\t6\t\t\t8192\t3\n")
        .table("Media", "DiskId\tLastSequence\tDiskPrompt\tCabinet\tVolumeLabel\tSource\n"
                        "i2\ti2\tL64\tS255\tS32\tS72\nMedia\tDiskId\n1\t3\t\t\t\t\n")
        .table("Binary", "Name\tData\ns72\tv0\nBinary\tName\nhostgate\thostgate.dll\n")
        .stream("Binary", "hostgate.dll", bin + "\\hostgate.dll")
        .table("CustomAction", "Action\tType\tSource\tTarget\ns72\ti2\tS72\tS255\nCustomAction\tAction\n"
                               "PrevInstall\t1\thostgate\tPrevInstall\n"
                               "AfterSelectFunction\t1\thostgate\tAfterSelectFunction\n")
        .table("InstallExecuteSequence",
               "Action\tCondition\tSequence\ns72\tS255\tI2\nInstallExecuteSequence\tAction\n"
               "CostInitialize\t\t800\nFileCost\t\t900\nPrevInstall\tNOT Installed\t950\n"
               "AfterSelectFunction\tNOT Installed\t960\nCostFinalize\t\t1000\nInstallValidate\t\t1400\n"
               "InstallInitialize\t\t1500\nProcessComponents\t\t1600\nUnpublishFeatures\t\t1800\n"
               "RemoveFiles\t\t3500\nInstallFiles\t\t4000\nRegisterProduct\t\t6100\nPublishFeatures\t\t6300\n"
               "PublishProduct\t\t6400\nInstallFinalize\t\t6600\n")
        .table("FunctionVersion", std::string(kFunctionVersionHeader) +
                                      "просмотр\tПросмотр чертежей\tПРОСМОТР\n"
                                      "редактор\tРедактор чертежей\tРЕДАКТОР\n")
        .table("SearchCabinet", std::string(kSearchCabinetHeader) +
                                    "\tsetup\tкабинеты\\основа.cab\tCore\t0\n"
                                    "\tпросмотр\tкабинеты\\просмотр.cab\tViewer\t0\n"
                                    "\tредактор\tкабинеты\\редактор.cab\tEditor\t0\n");
    for (const char* cabinet : {"основа", "просмотр", "редактор"})
        WriteFile(source + "\\кабинеты\\" + cabinet + ".cab", "cabinet");
    for (const char* file : {"core", "viewer", "editor"}) WriteFile(source + "\\" + file + ".txt", file);
    return builder.build(source + "\\пакет.msi");
}

struct IntlInstall : ::testing::Test {
    void TearDown() override
    {
        MsiSetInternalUI(INSTALLUILEVEL_NONE, nullptr);
        MsiConfigureProductW(ToWide(kIntlProduct).c_str(), 0, INSTALLSTATE_ABSENT);
        RemoveTree(IntlInstallFolder());
    }
};

}  // namespace

TEST_F(IntlInstall, CyrillicPackageFromFoldersInAnyScriptInstallsTheChosenFunction)
{
    const struct {
        const char* folder;
        const char* commandLine;
        Names installed;
    } cases[] = {{"Łódź", "", {"Core", "Viewer"}},
                 {"Студия", "FUNCTION_VER=РЕДАКТОР", {"Core", "Editor"}},
                 {"日本", "FUNCTION_VER=ПРОСМОТР", {"Core", "Viewer"}}};
    for (const auto& c : cases) {
        TempFolder folder{std::string("intl ") + c.folder};
        std::string package = BuildIntlPackage(folder.path());
        MsiSetInternalUI(INSTALLUILEVEL_NONE, nullptr);
        std::string log = folder / "install.log";
        MsiEnableLogW(INSTALLLOGMODE_VERBOSE | INSTALLLOGMODE_INFO | INSTALLLOGMODE_ERROR, ToWide(log).c_str(), 0);
        UINT result = MsiInstallProductW(ToWide(package).c_str(), ToWide(c.commandLine).c_str());
        MsiEnableLogW(0, nullptr, 0);
        EXPECT_EQ(result, 0u) << c.folder << "\n" << ReadFile(log).value_or("(no log)");
        Names installed;
        for (const std::string& feature : kIntlFeatures) {
            std::string file = feature;
            for (char& letter : file) letter = static_cast<char>(std::tolower(static_cast<unsigned char>(letter)));
            if (FileExists(IntlInstallFolder() + "\\" + file + ".txt")) installed.push_back(feature);
        }
        EXPECT_EQ(installed, c.installed) << c.folder << " " << c.commandLine;
        TearDown();
        // The checker names a mistake in such a package exactly: one cabinet gone. (The test
        // package has no dialog and simpler scheduling, which the checker names too.)
        DeleteFileW(ToWide(folder.path() + "\\кабинеты\\редактор.cab").c_str());
        std::optional<std::vector<Finding>> findings = CheckPackage(package, OwnedString(folder.path()));
        ASSERT_TRUE(findings.has_value()) << c.folder;
        std::vector<std::string> keys;
        for (const Finding& finding : *findings)
            if (finding.code == "HG11") keys.push_back(finding.code + " " + finding.key);
        EXPECT_EQ(keys, std::vector<std::string>{"HG11 /редактор/кабинеты\\редактор.cab/Editor"}) << c.folder;
    }
}
