// The package checker on the sample package: clean, then with one ordinary mistake of a
// setup author's at a time, each named (code, severity, table, row key) and nothing else.
#include "testbed.h"

#include "checker/checks.h"

#include <gtest/gtest.h>

#include <functional>
#include <set>
#include <tuple>

using namespace testbed;

namespace {

void Execute(MSIHANDLE database, const std::string& statement)
{
    MSIHANDLE view = 0;
    ASSERT_EQ(MsiDatabaseOpenViewA(database, statement.c_str(), &view), 0u) << statement;
    EXPECT_EQ(MsiViewExecute(view, 0), 0u) << statement;
    MsiCloseHandle(view);
}

// The sample's SearchCabinet again, with its first column named as an author misspelt it.
void MisspellPropertyName(MSIHANDLE database)
{
    std::vector<Row> rows = QueryRows(database, "SELECT * FROM `SearchCabinet`");
    Execute(database, "DROP TABLE `SearchCabinet`");
    Execute(database, "CREATE TABLE `SearchCabinet` (`PropertyNmae` CHAR(72), `Function` CHAR(72) NOT NULL, "
                      "`Cabinet` CHAR(255), `Feature` CHAR(38) NOT NULL, `Flags` LONG "
                      "PRIMARY KEY `PropertyNmae`, `Function`, `Cabinet`, `Feature`)");
    for (const Row& row : rows) {
        std::string values;
        for (std::size_t i = 0; i < 4; ++i) values += "'" + (row[i] == "<null>" ? "" : row[i]) + "', ";
        Execute(database, "INSERT INTO `SearchCabinet` (`PropertyNmae`, `Function`, `Cabinet`, `Feature`, `Flags`) "
                          "VALUES (" + values + row[4] + ")");
    }
}

using Named = std::tuple<std::string, std::string, std::string, std::string>;  // code, severity, table, key

std::set<Named> Check(const std::string& package, bool withSource)
{
    std::optional<std::vector<Finding>> findings = CheckPackage(package, withSource ? OwnedString(SampleSource()) : std::nullopt);
    EXPECT_TRUE(findings.has_value());
    std::set<Named> named;
    for (const Finding& finding : findings.value_or(std::vector<Finding>()))
        named.insert({finding.code, finding.severity, finding.table, finding.key});
    return named;
}

}  // namespace

TEST(Checker, NamesEachMistakeOfTheSampleAndNothingElse)
{
    const std::string sample = SampleSource() + "\\hostgate-sample.msi";
    // The sample leaves network.cab out on purpose: with its source folder, that is all.
    EXPECT_EQ(Check(sample, false), std::set<Named>());
    std::set<Named> network;
    for (const char* property : {"", "ACAD2000", "ACAD2004", "ACAD2007"})
        network.insert({"HG11", "warning", "SearchCabinet", std::string(property) + "/network/cabs\\network.cab/Network"});
    EXPECT_EQ(Check(sample, true), network);

    const std::string viewerRule = "FROM `SearchCabinet` WHERE `PropertyName`='ACAD2000' AND `Function`='viewer'";
    const struct {
        const char* mistake;
        std::vector<std::string> statements;
        std::function<void(MSIHANDLE)> change;
        bool withSource;
        std::set<Named> expected;
    } cases[] = {
        {"a rule names a feature the package lacks",
         {"DELETE " + viewerRule,
          "INSERT INTO `SearchCabinet` (`PropertyName`, `Function`, `Cabinet`, `Feature`, `Flags`) "
          "VALUES ('ACAD2000', 'viewer', 'cabs\\viewer.cab', 'Viewr', 0)"},
         nullptr, false, {{"HG03", "error", "SearchCabinet", "ACAD2000/viewer/cabs\\viewer.cab/Viewr"}}},
        {"a misspelt SearchCabinet column", {}, MisspellPropertyName, false, {{"HG01", "error", "SearchCabinet", ""}}},
        {"the dialog under another name", {"DELETE FROM `Dialog` WHERE `Dialog`='ZizeVEZAvaziva'"}, nullptr, false,
         {{"HG06", "error", "Dialog", "ZizeVEZAvaziva"}}},
        {"no CancelButton", {"DELETE FROM `Control` WHERE `Dialog_`='ZizeVEZAvaziva' AND `Control`='CancelButton'"},
         nullptr, false, {{"HG06", "error", "Control", "ZizeVEZAvaziva/CancelButton"}}},
        {"a RadioButtonGroup of the dialog's own",
         {"INSERT INTO `Control` (`Dialog_`, `Control`, `Type`, `X`, `Y`, `Width`, `Height`, `Attributes`) "
          "VALUES ('ZizeVEZAvaziva', 'RadioButtonGroup', 'Text', 1, 1, 10, 10, 3)"},
         nullptr, false, {{"HG06", "error", "Control", "ZizeVEZAvaziva/RadioButtonGroup"}}},
        {"Next not wired to AfterSelectFunction", {"DELETE FROM `ControlEvent` WHERE `Event`='DoAction'"}, nullptr, false,
         {{"HG06", "error", "ControlEvent", "ZizeVEZAvaziva"}}},
        {"message 3000 missing", {"DELETE FROM `Error` WHERE `Error`=3000"}, nullptr, false,
         {{"HG07", "error", "Error", "3000"}}},
        {"PrevInstall after costing", {"UPDATE `InstallUISequence` SET `Sequence`=1050 WHERE `Action`='PrevInstall'"},
         nullptr, false, {{"HG08", "error", "InstallUISequence", "PrevInstall"}}},
        {"the planning actions skipped whenever the user interface ran",
         {"UPDATE `CustomAction` SET `Type`=257 WHERE `Action`='AfterSelectFunction'"}, nullptr, false,
         {{"HG08", "warning", "CustomAction", "AfterSelectFunction"}}},
        {"a ruled feature no costing installs", {"UPDATE `Feature` SET `Level`=0 WHERE `Feature`='Editor'"}, nullptr,
         false, {{"HG14", "warning", "Feature", "Editor"}}},
        {"PrevInstall deferred", {"UPDATE `CustomAction` SET `Type`=1025 WHERE `Action`='PrevInstall'"}, nullptr, false,
         {{"HG08", "error", "CustomAction", "PrevInstall"}}},
        {"a chosen value without rules", {"UPDATE `FunctionVersion` SET `Value`='EDITOR-X' WHERE `Function`='editor'"},
         nullptr, false, {{"HG05", "error", "FunctionVersion", "editor"}}},
        {"a function text too long for its button",
         {"UPDATE `FunctionVersion` SET `Text`='" + std::string(60, 'x') + "' WHERE `Function`='viewer'"}, nullptr,
         false, {{"HG10", "warning", "FunctionVersion", "viewer"}}},
        {"a gated feature with a Condition row of the package",
         {"INSERT INTO `Condition` (`Feature_`, `Level`, `Condition`) VALUES ('Viewer', 3, 'VersionNT > 500')"}, nullptr,
         false, {{"HG09", "warning", "Condition", "Viewer/3"}}},
        {"a release's own feature under a function rule",
         {"INSERT INTO `SearchCabinet` (`PropertyName`, `Function`, `Cabinet`, `Feature`, `Flags`) "
          "VALUES ('', 'viewer', 'cabs\\r17.cab', 'Acad2007', 0)"},
         nullptr, false, {{"HG12", "warning", "SearchCabinet", "/viewer/cabs\\r17.cab/Acad2007"}}},
        {"a cabinet in the wrong folder",
         {"DELETE " + viewerRule,
          "INSERT INTO `SearchCabinet` (`PropertyName`, `Function`, `Cabinet`, `Feature`, `Flags`) "
          "VALUES ('ACAD2000', 'viewer', 'viewer.cab', 'Viewer', 0)"},
         nullptr, true, {{"HG11", "warning", "SearchCabinet", "ACAD2000/viewer/viewer.cab/Viewer"}}},
        {"a support program misspelt",
         {"DELETE FROM `SuportPacks` WHERE `Source`='support\\sample_tool.exe'",
          "INSERT INTO `SuportPacks` (`Source`, `CommandLine`) VALUES ('support\\sample_tol.exe', '--welcome')"},
         nullptr, true, {{"HG11", "warning", "SuportPacks", "support\\sample_tol.exe"}}},
    };
    for (const auto& c : cases) {
        TempFolder folder{"checker"};
        std::string package = folder / "mistake.msi";
        ASSERT_TRUE(CopyFileA(sample.c_str(), package.c_str(), FALSE));
        MSIHANDLE database = 0;
        ASSERT_EQ(MsiOpenDatabaseA(package.c_str(), MSIDBOPEN_TRANSACT, &database), 0u);
        for (const std::string& statement : c.statements) Execute(database, statement);
        if (c.change) c.change(database);
        ASSERT_EQ(MsiDatabaseCommit(database), 0u) << c.mistake;
        MsiCloseHandle(database);

        std::set<Named> expected = c.expected;
        if (c.withSource) expected.insert(network.begin(), network.end());
        EXPECT_EQ(Check(package, c.withSource), expected) << c.mistake;
    }
}
