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

TEST_F(SampleInstall, AFunctionThatCannotBeOfferedIsReplaced)
{
    hosts.install("R16.0", "ACAD-201:409");
    EXPECT_EQ(install("FUNCTION_VER=network"), 0u);
    EXPECT_EQ(installed(), (Names{"core", "viewer", "acad2004"}));
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
        EXPECT_EQ(install("FUNCTION_VER=" + fields[2]), 0u) << fields[2];
        EXPECT_EQ(installed(), explained) << fields[2];
        MsiConfigureProductA(kProduct, 0, INSTALLSTATE_ABSENT);
        ++compared;
    }
    EXPECT_EQ(compared, 2) << *table;
}
