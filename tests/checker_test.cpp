// The package checker on the sample package: clean, then with one ordinary mistake of a
// setup author's at a time, each named (code, severity, table, row key) and nothing else.
#include "testbed.h"

#include "checker/checks.h"

#include <gtest/gtest.h>

#include <msidefs.h>
#include <wtypes.h>

#include <cstdint>
#include <cstring>
#include <algorithm>
#include <functional>
#include <set>
#include <sstream>
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

// A table made again under the given definition, with the given rows (values in the
// definition's column order).
void Recreate(MSIHANDLE database, const std::string& table, const std::string& definition,
              const std::vector<std::string>& values)
{
    std::string columns;  // the installer's INSERT needs them named
    std::string declared = definition.substr(0, definition.find("PRIMARY KEY"));
    for (std::size_t at = declared.find('`'); at != std::string::npos; at = declared.find('`', declared.find('`', at + 1) + 1))
        columns += (columns.empty() ? "" : ", ") + declared.substr(at, declared.find('`', at + 1) - at + 1);
    Execute(database, "DROP TABLE `" + table + "`");
    Execute(database, "CREATE TABLE `" + table + "` (" + definition + ")");
    for (const std::string& row : values)
        Execute(database, "INSERT INTO `" + table + "` (" + columns + ") VALUES (" + row + ")");
}

// The sample's SearchCabinet again, its columns as `definition` declares them.
void RewriteSearchCabinet(MSIHANDLE database, const std::string& definition)
{
    std::vector<std::string> values;
    for (const Row& row : QueryRows(database, "SELECT * FROM `SearchCabinet`")) {
        values.emplace_back();
        for (std::size_t i = 0; i < 5; ++i) values.back() += std::string(i ? ", " : "") + "'" + (row[i] == "<null>" ? "" : row[i]) + "'";
    }
    Recreate(database, "SearchCabinet", definition, values);
}

// Its first column named as an author misspelt it.
void MisspellPropertyName(MSIHANDLE database)
{
    RewriteSearchCabinet(database, "`PropertyNmae` CHAR(72), `Function` CHAR(72) NOT NULL, `Cabinet` CHAR(255), "
                                   "`Feature` CHAR(38) NOT NULL, `Flags` LONG PRIMARY KEY `PropertyNmae`, `Function`, "
                                   "`Cabinet`, `Feature`");
}

// Its Flags held as text.
void FlagsAsText(MSIHANDLE database)
{
    RewriteSearchCabinet(database, "`PropertyName` CHAR(72), `Function` CHAR(72) NOT NULL, `Cabinet` CHAR(255), "
                                   "`Feature` CHAR(38) NOT NULL, `Flags` CHAR(8) PRIMARY KEY `PropertyName`, `Function`, "
                                   "`Cabinet`, `Feature`");
}

// The sample's positional columns under other names, as some authors write them.
void RenamePositionalColumns(MSIHANDLE database)
{
    Recreate(database, "AutoCAD", "`Property` CHAR(72) NOT NULL, `Spare` CHAR(0), `Key` CHAR(32) NOT NULL PRIMARY KEY `Property`",
             {"'ACAD2000', '', 'R15.0'", "'ACAD2004', '', 'R16.0'", "'ACAD2007', '', 'R17.0'"});
    Recreate(database, "FunctionVersion",
             "`Name` CHAR(72) NOT NULL, `Caption` CHAR(51), `Chosen` CHAR(51) NOT NULL PRIMARY KEY `Name`",
             {"'viewer', 'Viewer', 'viewer'", "'editor', 'Editor', 'EDITOR-PRO'", "'network', 'Network', 'network'"});
}

// The column that only keeps Release in its place, as a number.
void NumberInUnusedColumn(MSIHANDLE database)
{
    Recreate(database, "AutoCAD", "`Property` CHAR(72) NOT NULL, `Unused` SHORT, `Release` CHAR(32) NOT NULL PRIMARY KEY `Property`",
             {"'ACAD2000', 0, 'R15.0'", "'ACAD2004', 0, 'R16.0'", "'ACAD2007', 0, 'R17.0'"});
}

// Functions whose own names have no rules (their values do): none is ever offered.
void RenameFunctions(MSIHANDLE database)
{
    Recreate(database, "FunctionVersion", "`Function` CHAR(72) NOT NULL, `Text` CHAR(51), `Value` CHAR(51) NOT NULL PRIMARY KEY `Function`",
             {"'view', 'Viewer', 'viewer'", "'edit', 'Editor', 'EDITOR-PRO'"});
}

void EmptyFunctionValues(MSIHANDLE database)
{
    Recreate(database, "FunctionVersion", "`Function` CHAR(72) NOT NULL, `Text` CHAR(51), `Value` CHAR(51) PRIMARY KEY `Function`",
             {"'viewer', 'Viewer', ''", "'editor', 'Editor', ''"});
}

// A fourth function, lite, that has rules but no value.
void FunctionWithoutValue(MSIHANDLE database)
{
    Recreate(database, "FunctionVersion", "`Function` CHAR(72) NOT NULL, `Text` CHAR(51), `Value` CHAR(51) PRIMARY KEY `Function`",
             {"'viewer', 'Viewer', 'viewer'", "'editor', 'Editor', 'EDITOR-PRO'", "'network', 'Network', 'network'",
              "'lite', 'Lite', ''"});
}

void ReleaseWithoutProperty(MSIHANDLE database)
{
    Recreate(database, "AutoCAD", "`Property` CHAR(72), `Unused` CHAR(0), `Release` CHAR(32) PRIMARY KEY `Property`",
             {"'ACAD2000', '', 'R15.0'", "'ACAD2004', '', 'R16.0'", "'ACAD2007', '', 'R17.0'", "'', '', 'R18.0'"});
}

std::string Rule(const std::string& values)
{
    return "INSERT INTO `SearchCabinet` (`PropertyName`, `Function`, `Cabinet`, `Feature`, `Flags`) VALUES (" + values + ")";
}

std::string Feature(const std::string& name)
{
    return "INSERT INTO `Feature` (`Feature`, `Display`, `Level`, `Attributes`) VALUES ('" + name + "', 0, 1, 0)";
}

std::string Function(const std::string& values)
{
    return "INSERT INTO `FunctionVersion` (`Function`, `Text`, `Value`) VALUES (" + values + ")";
}

// Rules of `function` for `feature` under each property given ('' for a general rule).
std::vector<std::string> RulesUnder(const std::vector<std::string>& properties, const std::string& function,
                                    const std::string& feature)
{
    std::vector<std::string> statements;
    for (const std::string& property : properties)
        statements.push_back(Rule("'" + property + "', '" + function + "', 'cabs\\editor.cab', '" + feature + "', 0"));
    return statements;
}

// `count` functions more, each with the viewer's rules (the function remembered, so that sharing
// its feature is no fault).
std::vector<std::string> MoreFunctions(int count);

const std::vector<std::string> kRemembersFunction = {
    "CREATE TABLE `AppSearch` (`Property` CHAR(72) NOT NULL, `Signature_` CHAR(72) NOT NULL PRIMARY KEY `Property`, "
    "`Signature_`)",
    "INSERT INTO `AppSearch` (`Property`, `Signature_`) VALUES ('FUNCTION_VER', 'KeptFunction')"};

std::vector<std::string> Joined(std::vector<std::string> first, const std::vector<std::string>& second)
{
    first.insert(first.end(), second.begin(), second.end());
    return first;
}

std::vector<std::string> MoreFunctions(int count)
{
    std::vector<std::string> statements = kRemembersFunction;
    for (int i = 1; i <= count; ++i) {
        std::string name = "f" + std::to_string(i);
        statements = Joined(Joined(statements, {Function("'" + name + "', 'F', '" + name + "'")}),
                            RulesUnder({"", "ACAD2000", "ACAD2004", "ACAD2007"}, name, "Viewer"));
    }
    return statements;
}

// A license dialog in the choice's place in the sequence, its Next leading to the choice.
const std::vector<std::string> kLicenseFirst = {
    "DELETE FROM `InstallUISequence` WHERE `Action`='ZizeVEZAvaziva'",
    "INSERT INTO `InstallUISequence` (`Action`, `Condition`, `Sequence`) VALUES ('License', 'NOT Installed', 1100)",
    "INSERT INTO `ControlEvent` (`Dialog_`, `Control_`, `Event`, `Argument`, `Condition`, `Ordering`) VALUES "
    "('License', 'NextButton', 'NewDialog', 'ZizeVEZAvaziva', '1', 1)"};

// The sample has no Registry table; a test gives it one.
const std::string kRegistryTable =
    "CREATE TABLE `Registry` (`Registry` CHAR(72) NOT NULL, `Root` SHORT NOT NULL, `Key` CHAR(255) NOT NULL LOCALIZABLE, "
    "`Name` CHAR(255) LOCALIZABLE, `Value` LONGCHAR LOCALIZABLE, `Component_` CHAR(72) NOT NULL PRIMARY KEY `Registry`)";

// A Registry row: its name, root, key, value and component.
std::string RegistryRow(const std::string& values)
{
    return "INSERT INTO `Registry` (`Registry`, `Root`, `Key`, `Value`, `Component_`) VALUES (" + values + ")";
}

// A component of the release feature Acad2004 (its name, attributes and condition) and its
// row of the release's registration under `root`.
std::vector<std::string> Registration(const std::string& component, int attributes, const std::string& condition,
                                      int root)
{
    return {"INSERT INTO `Component` (`Component`, `Directory_`, `Attributes`, `Condition`) VALUES ('" + component +
                "', 'INSTALLDIR', " + std::to_string(attributes) + ", '" + condition + "')",
            "INSERT INTO `FeatureComponents` (`Feature_`, `Component_`) VALUES ('Acad2004', '" + component + "')",
            RegistryRow("'" + component + "', " + std::to_string(root) + ", '[ACAD2004]\\Applications\\Sample', "
                        "'[INSTALLDIR]', '" + component + "'")};
}

// Acad2004's registration, one component per place its host can live (the guide's shape).
const std::vector<std::string> kRegistrationEverywhere =
    Joined(Joined(Joined({kRegistryTable},
                         Registration("Reg64", 324, "ACAD2004_ROOT=\"machine\" AND ACAD2004_VIEW=\"64\"", 2)),
                  Registration("Reg32", 68, "(ACAD2004_ROOT=\"machine\" AND ACAD2004_VIEW = \"32\") OR REMOVE~=\"ALL\"", 2)),
           Registration("RegUser", 68, "ACAD2004_ROOT=\"user\"", 1));
const std::string kPerUser = "DELETE FROM `Property` WHERE `Property`='ALLUSERS'";
const std::string kEitherContext = "UPDATE `Property` SET `Value`='2' WHERE `Property`='ALLUSERS'";
const std::string kAskedPerUser = "INSERT INTO `Property` (`Property`, `Value`) VALUES ('MSIINSTALLPERUSER', '1')";

// The choice dialog's `control` leading to `next` ('' for none) in the tab order.
std::string TabOrder(const std::string& control, const std::string& next)
{
    return "UPDATE `Control` SET `Control_Next`='" + next + "' WHERE `Dialog_`='ZizeVEZAvaziva' AND `Control`='" +
           control + "'";
}

using Named = std::tuple<std::string, std::string, std::string, std::string>;  // code, severity, table, key

std::vector<Finding> Findings(const std::string& package, const OwnedString& source)
{
    std::optional<std::vector<Finding>> findings = CheckPackage(package, source);
    EXPECT_TRUE(findings.has_value());
    return findings.value_or(std::vector<Finding>());
}

std::set<Named> Check(const std::string& package, const OwnedString& source)
{
    std::set<Named> named;
    for (const Finding& finding : Findings(package, source))
        named.insert({finding.code, finding.severity, finding.table, finding.key});
    return named;
}

// A fenced block of the guide in IDT form: column names, their types, the table and its keys.
bool IsIdt(const std::vector<std::string>& block)
{
    auto fields = [](const std::string& line) { return std::count(line.begin(), line.end(), '\t') + 1; };
    if (block.size() < 3 || fields(block[0]) < 2 || fields(block[0]) != fields(block[1])) return false;
    std::istringstream types(block[1]);
    for (std::string type; std::getline(types, type, '\t');)
        if (type.size() < 2 || std::string("sSlLiI").find(type[0]) == std::string::npos ||
            type.find_first_not_of("0123456789", 1) != std::string::npos)
            return false;
    return true;
}

// The guide's example tables in place of the sample's own.
void GuideExamples(MSIHANDLE database)
{
    // The build folder lies in the source tree (scripts/build.sh): build\sample\source.
    std::string root = SampleSource();
    for (int up = 0; up < 3; ++up) root = root.substr(0, root.find_last_of('\\'));
    std::optional<std::string> guide = ReadFile(root + "\\docs\\authoring.md");
    ASSERT_TRUE(guide.has_value()) << root;
    TempFolder folder{"guide"};
    std::istringstream lines(*guide);
    std::optional<std::vector<std::string>> block;  // inside a fence without a language
    bool fenced = false;
    int imported = 0;
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind("```", 0) != 0) {
            if (block) block->push_back(line);
        } else if ((fenced = !fenced)) {
            if (line == "```") block.emplace();
        } else if (block && IsIdt(*block)) {
            std::string file = (*block)[2].substr(0, (*block)[2].find('\t')) + ".idt";
            std::string text;
            for (const std::string& row : *block) text += row + "\r\n";
            WriteFile(folder / file, text);
            EXPECT_EQ(MsiDatabaseImportA(database, folder.path().c_str(), file.c_str()), 0u) << text;
            ++imported;
            block.reset();
        } else {
            block.reset();
        }
    }
    EXPECT_GE(imported, 4);  // AutoCAD, FunctionVersion, SearchCabinet, SuportPacks at least
}

// The sample copied to `package`, with the statements run on it and `change` made.
void Mistaken(const std::string& package, const std::vector<std::string>& statements,
              const std::function<void(MSIHANDLE)>& change = nullptr)
{
    ASSERT_TRUE(CopyFileA((SampleSource() + "\\hostgate-sample.msi").c_str(), package.c_str(), FALSE));
    MSIHANDLE database = 0;
    ASSERT_EQ(MsiOpenDatabaseA(package.c_str(), MSIDBOPEN_TRANSACT, &database), 0u);
    for (const std::string& statement : statements) Execute(database, statement);
    if (change) change(database);
    EXPECT_EQ(MsiDatabaseCommit(database), 0u);
    MsiCloseHandle(database);
}

// An administrative sequence with the actions given, one a line ("Action Sequence").
std::vector<std::string> AdminSequence(const std::string& sequence, const std::vector<std::string>& actions)
{
    std::vector<std::string> statements = {"CREATE TABLE `" + sequence + "` (`Action` CHAR(72) NOT NULL, `Condition` "
                                           "CHAR(255), `Sequence` SHORT PRIMARY KEY `Action`)"};
    for (const std::string& action : actions)
        statements.push_back("INSERT INTO `" + sequence + "` (`Action`, `Sequence`) VALUES ('" +
                             action.substr(0, action.find(' ')) + "', " + action.substr(action.find(' ') + 1) + ")");
    return statements;
}

}  // namespace

TEST(Checker, NamesEachMistakeOfTheSampleAndNothingElse)
{
    const std::string sample = SampleSource() + "\\hostgate-sample.msi";
    // The sample leaves network.cab out on purpose: with its source folder, that is all.
    const std::set<Named> unsecured;
    EXPECT_EQ(Check(sample, std::nullopt), unsecured);
    std::set<Named> network;
    for (const char* property : {"", "ACAD2000", "ACAD2004", "ACAD2007"})
        network.insert({"HG11", "warning", "SearchCabinet", std::string(property) + "/network/cabs\\network.cab/Network"});
    std::set<Named> sampleWithSource = network;
    sampleWithSource.insert(unsecured.begin(), unsecured.end());
    EXPECT_EQ(Check(sample, SampleSource()), sampleWithSource);
    const std::string missingFolder = SampleSource() + "\\missing";
    const std::string longName(39, 'L');
    const std::string hugeName(10000, 'H');

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
        // The tab order once PrevInstall has added RadioButtonGroup -> CancelButton.
        {"the tab order the packages had: Next and the choice both lead to Cancel", {TabOrder("NextButton", "CancelButton"),
         TabOrder("CancelButton", "")}, nullptr, false, {{"HG06", "error", "Control", "ZizeVEZAvaziva/NextButton"}}},
        {"a tab order that stops at Cancel", {TabOrder("CancelButton", "")}, nullptr, false,
         {{"HG06", "error", "Control", "ZizeVEZAvaziva/CancelButton"}}},
        {"a tab order naming a control of another dialog", {TabOrder("CancelButton", "BackButton")}, nullptr, false,
         {{"HG06", "error", "Control", "ZizeVEZAvaziva/CancelButton"}}},
        {"a tab order that leaves the choice out",
         {TabOrder("NextButton", "Title"), TabOrder("Title", "NextButton"), TabOrder("CancelButton", "")}, nullptr, false,
         {{"HG06", "error", "Dialog", "ZizeVEZAvaziva"}}},
        {"a tab order through the title too", {TabOrder("CancelButton", "Title"), TabOrder("Title", "NextButton")},
         nullptr, false, {}},
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
        {"the INF files' rollback impersonated", {"UPDATE `CustomAction` SET `Type`=1281 WHERE `Action`='RollbackInfFiles'"},
         nullptr, false, {{"HG08", "warning", "CustomAction", "RollbackInfFiles"}}},
        {"the INF files' rollback after the copy",
         {"UPDATE `InstallExecuteSequence` SET `Sequence`=4150 WHERE `Action`='RollbackInfFiles'"}, nullptr, false,
         {{"HG08", "warning", "InstallExecuteSequence", "RollbackInfFiles"}}},
        {"a chosen value without rules", {"UPDATE `FunctionVersion` SET `Value`='EDITOR-X' WHERE `Function`='editor'"},
         nullptr, false, {{"HG05", "error", "FunctionVersion", "editor"}}},
        {"a function text too long for its button",
         {"UPDATE `FunctionVersion` SET `Text`='" + std::string(60, 'x') + "' WHERE `Function`='viewer'"}, nullptr,
         false, {{"HG10", "warning", "FunctionVersion", "viewer"}}},
        // Measured on the dialog as Wine draws it: the first wraps, the second (41 characters) fits.
        {"a function text with capitals and wide letters that wraps",
         {"UPDATE `FunctionVersion` SET `Text`='Komplett mit allen Exportformaten CAD' WHERE `Function`='viewer'"}, nullptr,
         false, {{"HG10", "warning", "FunctionVersion", "viewer"}}},
        {"seventeen functions, in three columns: the sample's longer texts wrap", MoreFunctions(14), nullptr, false,
         {{"HG10", "warning", "FunctionVersion", "viewer"}, {"HG10", "warning", "FunctionVersion", "editor"}}},
        {"a function text of narrow letters that fits",
         {"UPDATE `FunctionVersion` SET `Text`='Viewer: list, print, plot and tile it all' WHERE `Function`='viewer'"},
         nullptr, false, {}},
        {"a gated feature with a Condition row of the package above level 0",
         {"INSERT INTO `Condition` (`Feature_`, `Level`, `Condition`) VALUES ('Viewer', 3, 'VersionNT > 500')"}, nullptr,
         false, {{"HG09", "warning", "Condition", "Viewer/3"}}},
        {"a gated feature with a Condition row of the package at level 0",
         {"INSERT INTO `Condition` (`Feature_`, `Level`, `Condition`) VALUES ('Viewer', 0, 'VersionNT < 500')"}, nullptr,
         false, {{"HG09", "warning", "Condition", "Viewer/0"}}},
        {"a function rule for a feature whose rules all stand under one release",
         {Rule("'ACAD2007', 'viewer', 'cabs\\r17.cab', 'Acad2007', 0")}, nullptr, false,
         {{"HG12", "warning", "SearchCabinet", "ACAD2007/viewer/cabs\\r17.cab/Acad2007"}}},
        {"a general function rule for a release's feature", {Rule("'', 'viewer', 'cabs\\r17.cab', 'Acad2007', 0")},
         nullptr, false, {}},
        {"a function's feature under the one release the function fits, under its name and its value",
         Joined({Function("'pro', 'Pro', 'PRO-X'"), Feature("ProTools")},
                Joined(RulesUnder({"ACAD2004"}, "pro", "ProTools"), RulesUnder({"ACAD2004"}, "PRO-X", "ProTools"))),
         nullptr, false, {}},
        {"the same, the function also fitting another release",
         Joined({Function("'pro', 'Pro', 'PRO-X'"), Feature("ProTools"), Feature("ProExtras")},
                Joined(Joined(RulesUnder({"ACAD2004"}, "pro", "ProTools"), RulesUnder({"ACAD2004"}, "PRO-X", "ProTools")),
                       RulesUnder({"ACAD2004", "ACAD2007"}, "PRO-X", "ProExtras"))),
         nullptr, false, {{"HG12", "warning", "SearchCabinet", "ACAD2004/pro/cabs\\editor.cab/ProTools"}}},
        {"a function with rules but no value", {Rule("'', 'lite', 'cabs\\viewer.cab', 'Viewer', 0")},
         FunctionWithoutValue, false, {{"HG22", "error", "FunctionVersion", "lite"}}},
        {"a function with rules under a release and a value",
         Joined({Function("'lite', 'Lite', 'lite'"), Feature("Lite")}, RulesUnder({"", "ACAD2000"}, "lite", "Lite")),
         nullptr, false, {}},
        // R15.0's rules can never be met (Editor, without a cabinet, is editor's), and they name
        // Trace, which R16.0's need: R16.0 still fits; where no release fits, HG23 says why.
        // Trace offered names Editor too, so editor has no feature of its own.
        {"a function whose rules under one release fail, under another are met",
         {Function("'trace', 'Trace', 'trace'"), Feature("Trace"), Rule("'ACAD2000', 'trace', '', 'Editor', 1"),
          Rule("'ACAD2000', 'trace', 'cabs\\editor.cab', 'Trace', 0"), Rule("'ACAD2004', 'trace', 'cabs\\editor.cab', 'Trace', 1")},
         nullptr, false, {{"HG23", "warning", "FunctionVersion", "trace"}, {"HG24", "warning", "FunctionVersion", "editor"}}},
        {"a function's general feature, its releases' rules left out",
         Joined({Feature("Templates")}, Joined(RulesUnder({""}, "editor", "Templates"), RulesUnder({""}, "EDITOR-PRO", "Templates"))),
         nullptr, false, {{"HG23", "warning", "FunctionVersion", "editor"}}},
        {"a function's feature under the releases it fits",
         Joined({Feature("Templates")},
                Joined(RulesUnder({"ACAD2004", "ACAD2007"}, "editor", "Templates"),
                       RulesUnder({"ACAD2004", "ACAD2007"}, "EDITOR-PRO", "Templates"))),
         nullptr, false, {}},
        {"two functions with the same features, not remembered",
         Joined({Function("'lite', 'Lite', 'lite'")}, RulesUnder({"", "ACAD2000", "ACAD2004", "ACAD2007"}, "lite", "Viewer")),
         nullptr, false, {{"HG24", "warning", "FunctionVersion", "viewer"}, {"HG24", "warning", "FunctionVersion", "lite"}}},
        {"two functions with the same features, remembered",
         Joined(Joined({Function("'lite', 'Lite', 'lite'")}, RulesUnder({"", "ACAD2000", "ACAD2004", "ACAD2007"}, "lite", "Viewer")),
                kRemembersFunction),
         nullptr, false, {}},
        {"release registry rows in the release's own component",
         {kRegistryTable, RegistryRow("'Loader', 1, '[ACAD2000]\\Applications\\Sample', '[INSTALLDIR]', 'Acad2000Files'")}, nullptr,
         false, {}},
        {"release registry rows in a function's component",
         {kRegistryTable, RegistryRow("'Loader', 1, '[ACAD2000]\\Applications\\Sample', '[INSTALLDIR]', 'ViewerFiles'")}, nullptr,
         false, {{"HG19", "warning", "FeatureComponents", "Viewer/ViewerFiles"}}},
        {"a release's component shared with a feature no rule names",
         {kRegistryTable, RegistryRow("'Loader', 1, 'Software\\Sample', '[ACAD2000]', 'Acad2000Files'"),
          "INSERT INTO `Feature` (`Feature`, `Display`, `Level`, `Attributes`) VALUES ('Extras', 0, 1, 0)",
          "INSERT INTO `FeatureComponents` (`Feature_`, `Component_`) VALUES ('Extras', 'Acad2000Files')"},
         nullptr, false, {{"HG19", "warning", "FeatureComponents", "Extras/Acad2000Files"}}},
        {"a release's registration from a 32-bit component per machine",
         Joined({kRegistryTable}, Registration("Reg", 4, "", 2)), nullptr, false, {{"HG25", "warning", "Registry", "Reg"}}},
        {"the same with root -1 in a package installed per machine",
         Joined({kRegistryTable}, Registration("Reg", 4, "", -1)), nullptr, false,
         {{"HG25", "warning", "Registry", "Reg"}}},
        {"the same where ALLUSERS=2 installs per machine",
         Joined({kRegistryTable, kEitherContext}, Registration("Reg", 4, "", -1)), nullptr, false,
         {{"HG25", "warning", "Registry", "Reg"}}},
        {"a 32-bit component conditioned on the 64-bit view",
         Joined({kRegistryTable}, Registration("Reg", 68, "ACAD2004_VIEW=\"64\"", 2)), nullptr, false,
         {{"HG25", "warning", "Registry", "Reg"}}},
        {"root -1 in a package installed per user",
         Joined({kRegistryTable, kPerUser}, Registration("Reg", 4, "", -1)), nullptr, false,
         {{"HG26", "warning", "Registry", "Reg"}}},
        {"root -1 in a package that asks for a per-user installation",
         Joined({kRegistryTable, kEitherContext, kAskedPerUser}, Registration("Reg", 4, "", -1)), nullptr, false,
         {{"HG26", "warning", "Registry", "Reg"}}},
        {"a release's registration for every place, per machine", kRegistrationEverywhere, nullptr, false, {}},
        {"a release's registration for every place, per user", Joined({kPerUser}, kRegistrationEverywhere), nullptr,
         false, {}},
        {"a cabinet in the wrong folder",
         {"DELETE " + viewerRule,
          "INSERT INTO `SearchCabinet` (`PropertyName`, `Function`, `Cabinet`, `Feature`, `Flags`) "
          "VALUES ('ACAD2000', 'viewer', 'viewer.cab', 'Viewer', 0)"},
         nullptr, true, {{"HG11", "warning", "SearchCabinet", "ACAD2000/viewer/viewer.cab/Viewer"}}},
        {"a support program misspelt",
         {"DELETE FROM `SuportPacks` WHERE `Source`='support\\sample_tool.exe'",
          "INSERT INTO `SuportPacks` (`Source`, `CommandLine`) VALUES ('support\\sample_tol.exe', '--welcome')"},
         nullptr, true, {{"HG11", "warning", "SuportPacks", "support\\sample_tol.exe"}}},
        {"the guide's example tables", {}, GuideExamples, false, {}},
        {"the choice reached only from a license dialog", kLicenseFirst, nullptr, false, {}},
        {"a license dialog leading to the choice before PrevInstall runs",
         Joined(kLicenseFirst, {"UPDATE `InstallUISequence` SET `Sequence`=850 WHERE `Action`='License'"}), nullptr, false,
         {{"HG08", "error", "InstallUISequence", "PrevInstall"}}},
        {"positional columns under other names", {}, RenamePositionalColumns, false, {}},
        {"AutoCAD's unused column of another type", {}, NumberInUnusedColumn, false, {}},
        {"SearchCabinet's Flags as text", {}, FlagsAsText, false, {{"HG01", "error", "SearchCabinet", ""}}},
        {"no FunctionVersion table", {"DROP TABLE `FunctionVersion`"}, nullptr, false,
         {{"HG01", "error", "FunctionVersion", ""}}},
        {"no function's own name has rules", {}, RenameFunctions, false, {{"HG15", "error", "FunctionVersion", ""}}},
        {"every function value empty", {}, EmptyFunctionValues, false, {{"HG15", "error", "FunctionVersion", ""}}},
        {"a rule group no source can meet", {Rule("'', 'setup', '', '" + longName + "', 4")}, nullptr, false,
         {{"HG16", "error", "SearchCabinet", "/setup//" + longName}, {"HG15", "error", "SearchCabinet", ""}}},
        {"rule features longer than a feature key",
         {Rule("'', 'viewer', '', '" + longName + "', 0"), Rule("'', 'viewer', '', '" + hugeName + "', 0")}, nullptr,
         false, {{"HG16", "error", "SearchCabinet", "/viewer//" + longName}, {"HG16", "error", "SearchCabinet", "/viewer//" + hugeName}}},
        {"a feature key that is no identifier",
         {"INSERT INTO `Feature` (`Feature`, `Display`, `Level`, `Attributes`) VALUES ('Viewer-Extra', 0, 1, 0)"},
         nullptr, false, {{"HG16", "error", "Feature", "Viewer-Extra"}}},
        {"a release without a property", {}, ReleaseWithoutProperty, false, {{"HG04", "error", "AutoCAD", ""}}},
        {"one release under two properties", {"INSERT INTO `AutoCAD` (`Property`, `Unused`, `Release`) VALUES ('ACAD2008', '', 'R17.0')"}, nullptr, false,
         {{"HG04", "error", "AutoCAD", "ACAD2008"}, {"HG04", "warning", "AutoCAD", "ACAD2008"},
          {"HG17", "warning", "Property", "SecureCustomProperties"}}},
        {"a private release property",
         {"INSERT INTO `AutoCAD` (`Property`, `Unused`, `Release`) VALUES ('Acad2010', '', 'R18.0')", Rule("'Acad2010', 'viewer', '', 'Viewer', 0")},
         nullptr, false, {{"HG17", "warning", "AutoCAD", "Acad2010"}}},
        {"the choice and the releases not secured", {"DELETE FROM `Property` WHERE `Property`='SecureCustomProperties'"},
         nullptr, false, {{"HG17", "warning", "Property", "SecureCustomProperties"}}},
        {"the releases hostgate set not secured",
         {"UPDATE `Property` SET `Value`='FUNCTION_VER;ACAD2000;ACAD2004;ACAD2007' WHERE `Property`='SecureCustomProperties'"},
         nullptr, false, {{"HG17", "warning", "Property", "SecureCustomProperties"}}},
        {"a release's root not secured",
         {"UPDATE `Property` SET `Value`='FUNCTION_VER;ACAD2000;ACAD2000_VIEW;ACAD2004;ACAD2004_ROOT;ACAD2004_VIEW;ACAD2007;"
          "ACAD2007_ROOT;ACAD2007_VIEW;HOSTGATE_SET' WHERE `Property`='SecureCustomProperties'"},
         nullptr, false, {{"HG17", "warning", "Property", "SecureCustomProperties"}}},
        {"a release's view not secured",
         {"UPDATE `Property` SET `Value`='FUNCTION_VER;ACAD2000;ACAD2000_ROOT;ACAD2000_VIEW;ACAD2004;ACAD2004_ROOT;"
          "ACAD2004_VIEW;ACAD2007;ACAD2007_ROOT;HOSTGATE_SET' WHERE `Property`='SecureCustomProperties'"},
         nullptr, false, {{"HG17", "warning", "Property", "SecureCustomProperties"}}},
        {"PrevInstall only on a first installation",
         {"UPDATE `InstallExecuteSequence` SET `Condition`='NOT Installed' WHERE `Action`='PrevInstall'"}, nullptr, false,
         {{"HG18", "warning", "InstallExecuteSequence", "PrevInstall"}}},
        {"a release property that is no identifier",
         {"INSERT INTO `AutoCAD` (`Property`, `Unused`, `Release`) VALUES ('ACAD 2010', '', 'R18.0')", Rule("'ACAD 2010', 'viewer', '', 'Viewer', 0")},
         nullptr, false, {{"HG16", "error", "AutoCAD", "ACAD 2010"}, {"HG17", "warning", "Property", "SecureCustomProperties"}}},
        {"no Binary row for the library", {"DELETE FROM `Binary`"}, nullptr, false, {{"HG08", "error", "Binary", "hostgate"}}},
        {"an action at CostFinalize's number",
         {"UPDATE `InstallExecuteSequence` SET `Sequence`=1000 WHERE `Action`='AfterSelectFunction'"}, nullptr, false,
         {{"HG08", "error", "InstallExecuteSequence", "AfterSelectFunction"}}},
        {"an action at a negative number",
         {"UPDATE `InstallExecuteSequence` SET `Sequence`=-1 WHERE `Action`='PrevInstall'"}, nullptr, false,
         {{"HG08", "error", "InstallExecuteSequence", "PrevInstall"}}},
        {"PrevInstall in the administrative installation's user interface",
         AdminSequence("AdminUISequence", {"CostInitialize 800", "FileCost 900", "PrevInstall 950", "CostFinalize 1000"}),
         nullptr, false, {{"HG21", "warning", "AdminUISequence", "PrevInstall"}}},
        {"AfterSelectFunction under a name of the package's own in the administrative execution",
         Joined({"INSERT INTO `CustomAction` (`Action`, `Type`, `Source`, `Target`) VALUES ('PlanAgain', 1, 'hostgate', "
                 "'AfterSelectFunction')"},
                AdminSequence("AdminExecuteSequence", {"CostInitialize 800", "FileCost 900", "PlanAgain 950",
                                                       "CostFinalize 1000", "InstallAdminPackage 3900"})),
         nullptr, false, {{"HG21", "warning", "AdminExecuteSequence", "PlanAgain"}}},
        {"administrative sequences without hostgate's planning (another library's entry of the same name)",
         Joined(Joined({"INSERT INTO `CustomAction` (`Action`, `Type`, `Source`, `Target`) VALUES ('OtherPlan', 1, "
                        "'otherlib', 'PrevInstall')"},
                       AdminSequence("AdminUISequence", {"CostInitialize 800", "FileCost 900", "CostFinalize 1000"})),
                AdminSequence("AdminExecuteSequence", {"CostInitialize 800", "FileCost 900", "OtherPlan 950",
                                                       "CostFinalize 1000", "InstallAdminPackage 3900"})),
         nullptr, false, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.mistake);
        TempFolder folder{"checker"};
        std::string package = folder / "mistake.msi";
        Mistaken(package, c.statements, c.change);

        std::set<Named> expected = c.expected;
        if (c.withSource) expected.insert(network.begin(), network.end());
        EXPECT_EQ(Check(package, c.withSource ? OwnedString(SampleSource()) : std::nullopt), expected) << c.mistake;
    }
    // A source folder that is not there: one finding, not one for each file.
    std::set<Named> missing = unsecured;
    missing.insert({"HG11", "error", "", missingFolder + "\\"});
    EXPECT_EQ(Check(sample, missingFolder), missing);
}

// --explain says, below its table, why a function whose own rules are met is not offered on a
// set of releases; the table keeps its five columns.
TEST(Checker, ExplainSaysWhyAFunctionWhoseRulesAreMetIsNotOffered)
{
    using Footnote = std::pair<std::string, std::string>;  // installed releases, function
    const struct {
        const char* package;
        std::vector<std::string> statements;
        std::set<Footnote> expected;
    } cases[] = {
        {"the sample", {}, {}},
        {"a function whose rules under one release fail, under another are met",
         {Function("'trace', 'Trace', 'trace'"), Feature("Trace"), Rule("'ACAD2000', 'trace', '', 'Editor', 1"),
          Rule("'ACAD2000', 'trace', 'cabs\\editor.cab', 'Trace', 0"), Rule("'ACAD2004', 'trace', 'cabs\\editor.cab', 'Trace', 1")},
         {{"R15.0", "trace"}, {"R17.0", "trace"}, {"R15.0, R17.0", "trace"}}},
        {"a function's general feature, its releases' rules left out",
         Joined({Feature("Templates")}, Joined(RulesUnder({""}, "editor", "Templates"), RulesUnder({""}, "EDITOR-PRO", "Templates"))),
         {{"R15.0", "editor"}}},
        {"a function's feature under the releases it fits",
         Joined({Feature("Templates")},
                Joined(RulesUnder({"ACAD2004", "ACAD2007"}, "editor", "Templates"),
                       RulesUnder({"ACAD2004", "ACAD2007"}, "EDITOR-PRO", "Templates"))),
         {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.package);
        TempFolder folder{"explain"};
        std::string package = folder / "explained.msi";
        Mistaken(package, c.statements);
        std::optional<std::string> table = ExplainPackage(package, std::nullopt);
        ASSERT_TRUE(table.has_value());
        std::set<std::string> sets;  // the table's first column
        std::vector<std::string> notes;
        std::istringstream lines(*table);
        for (std::string line; std::getline(lines, line);) {
            std::size_t tabs = std::count(line.begin(), line.end(), '\t');
            if (tabs == 0) notes.push_back(line);
            else sets.insert(line.substr(0, line.find('\t')));
            EXPECT_TRUE(tabs == 0 || tabs == 4) << line;
        }
        std::set<Footnote> footnotes;
        for (const std::string& note : notes) {
            std::size_t end = note.find(": ");
            if (end == std::string::npos || !sets.count(note.substr(0, end))) continue;
            std::size_t function = end + 2;
            footnotes.insert({note.substr(0, end), note.substr(function, note.find(": ", function) - function)});
        }
        EXPECT_EQ(footnotes, c.expected) << *table;
        // Chosen by name, its value beside it where the two differ.
        EXPECT_NE(table->find("\nR16.0\tviewer, editor (EDITOR-PRO), network"), std::string::npos) << *table;
        EXPECT_NE(table->find("\teditor (EDITOR-PRO)\tinstalls\t"), std::string::npos)
            << *table;
    }
}

namespace {

void SetWordCount(MSIHANDLE database, int wordCount)
{
    MSIHANDLE summary = 0;
    ASSERT_EQ(MsiGetSummaryInformationW(database, nullptr, 1, &summary), 0u);
    EXPECT_EQ(MsiSummaryInfoSetPropertyW(summary, PID_WORDCOUNT, VT_I4, wordCount, nullptr, nullptr), 0u);
    EXPECT_EQ(MsiSummaryInfoPersist(summary), 0u);
    MsiCloseHandle(summary);
}

}  // namespace

// The sample laid out as an administrative image (the package, its support programs and the
// cabinets it does not carry copied beside it), or as an ordinary source, by the word count.
TEST(Checker, NamesTheCabinetsAnAdministrativeImageLacks)
{
    constexpr int kCompressedSource = 2;  // the word count of the packages the tests build
    constexpr int kImage = 4;
    constexpr int kImageMarkedCompressed = 6;
    const std::vector<std::string> mediaCabinet = {"UPDATE `Media` SET `Cabinet`='#PRODUCT.CAB'",
                                                   Rule("'', 'viewer', 'product.cab', 'Viewer', 0")};
    const std::vector<std::string> twoOutsideAndMedia = {
        "UPDATE `Media` SET `Cabinet`='product.cab'", Rule("'', 'viewer', 'product.cab', 'Viewer', 0"),
        Rule("'ACAD2004', 'network', 'cabs\\extra.cab', 'Network', 0"),
        Rule("'ACAD2007', 'network', 'cabs\\extra.cab', 'Network', 0")};
    const char* const candidates[] = {"cabs\\network.cab", "cabs\\extra.cab", "product.cab"};
    std::set<Named> network;
    for (const char* property : {"", "ACAD2000", "ACAD2004", "ACAD2007"})
        network.insert({"HG11", "warning", "SearchCabinet", std::string(property) + "/network/cabs\\network.cab/Network"});
    const Named lacks = {"HG20", "warning", "SearchCabinet", ""};
    const struct {
        const char* layout;
        int wordCount;
        std::vector<std::string> statements;
        bool networkCopied;
        std::multiset<Named> expected;
        std::set<std::string> listed;  // the cabinets the HG20 finding names, each once
    } cases[] = {
        {"an image without the cabinet the package never carried", kImage, {}, false, {lacks}, {"cabs\\network.cab"}},
        {"a source without it", kCompressedSource, {}, false, {network.begin(), network.end()}, {}},
        {"an image with it copied in", kImage, {}, true, {}, {}},
        {"an image whose rule names a cabinet of its Media table", kImageMarkedCompressed, mediaCabinet, true, {}, {}},
        {"a source whose rule names a cabinet of its Media table", kCompressedSource, mediaCabinet, true,
         {{"HG11", "warning", "SearchCabinet", "/viewer/product.cab/Viewer"}}, {}},
        {"an image without two cabinets the package never carried, one named twice", kImage, twoOutsideAndMedia, false,
         {lacks}, {"cabs\\network.cab", "cabs\\extra.cab"}},
    };
    const std::string source = SampleSource() + "\\";
    for (const auto& c : cases) {
        SCOPED_TRACE(c.layout);
        TempFolder image{"image"};
        std::string package = image / "hostgate-sample.msi";
        Mistaken(package, c.statements, [&](MSIHANDLE database) { SetWordCount(database, c.wordCount); });
        MakeFolders(image / "cabs");
        MakeFolders(image / "support");
        for (const char* file : {"cabs\\core.cab", "cabs\\viewer.cab", "cabs\\editor.cab", "cabs\\r15.cab",
                                 "cabs\\r16.cab", "cabs\\r17.cab", "support\\sample_tool.exe", "support\\runtime.msi"})
            ASSERT_TRUE(CopyFileA((source + file).c_str(), (image / file).c_str(), FALSE)) << file;
        if (c.networkCopied) WriteFile(image / "cabs\\network.cab", "cabinet");

        std::vector<Finding> findings = Findings(package, image.path());
        std::multiset<Named> named;
        for (const Finding& finding : findings) named.insert({finding.code, finding.severity, finding.table, finding.key});
        EXPECT_EQ(named, c.expected);
        for (const Finding& finding : findings) {
            if (finding.code != "HG20") continue;
            for (const char* cabinet : candidates) {
                std::size_t times = 0;
                for (std::size_t at = finding.message.find(image / cabinet); at != std::string::npos;
                     at = finding.message.find(image / cabinet, at + 1))
                    ++times;
                EXPECT_EQ(times, c.listed.count(cabinet)) << cabinet << " in " << finding.message;
            }
        }
    }
}

namespace {

struct Ran {
    DWORD exitCode = 0;
    std::string output;  // standard output and error together
};

// Runs hostgate-check.exe (beside this program) with `arguments`, its output to a file.
Ran RunChecker(const std::vector<std::string>& arguments, const TempFolder& folder)
{
    char self[MAX_PATH];
    GetModuleFileNameA(nullptr, self, MAX_PATH);
    std::string program = self;
    program = program.substr(0, program.rfind('\\')) + "\\hostgate-check.exe";
    std::string commandLine = "\"" + program + "\"";
    for (const std::string& argument : arguments) commandLine += " \"" + argument + "\"";
    std::string outputPath = folder / "output.txt";
    SECURITY_ATTRIBUTES inherited = {sizeof inherited, nullptr, TRUE};
    HANDLE output = CreateFileA(outputPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherited, CREATE_ALWAYS, 0, nullptr);
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = output;
    startup.hStdError = output;
    PROCESS_INFORMATION process = {};
    Ran ran;
    ran.exitCode = 9999;
    if (CreateProcessA(program.c_str(), &commandLine[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process)) {
        WaitForSingleObject(process.hProcess, 180000);
        GetExitCodeProcess(process.hProcess, &ran.exitCode);
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    }
    CloseHandle(output);
    ran.output = ReadFile(outputPath).value_or("");
    return ran;
}

// Flips one bit in the allocation chain of the file's small streams (the compound file's
// FAT entry a few sectors into the root's mini stream), where the tables' strings live.
void DamageChain(const std::string& path)
{
    std::string bytes = ReadFile(path).value_or("");
    auto word = [&](std::size_t at) {
        uint32_t value = 0;
        std::memcpy(&value, bytes.data() + at, 4);
        return value;
    };
    auto sector = [&](uint32_t number) { return (static_cast<std::size_t>(number) + 1) * 512; };
    auto fatEntry = [&](uint32_t number) { return sector(word(0x4C + 4 * (number / 128))) + 4 * (number % 128); };
    uint32_t chain = word(sector(word(0x30)) + 116);  // the root entry's first sector
    for (int step = 0; step < 6; ++step) chain = word(fatEntry(chain));
    bytes[fatEntry(chain)] ^= 1;
    WriteFile(path, bytes);
}

}  // namespace

// The program's answers: its exit code for the command line, options in any position, and
// whether the decision table came with it.
TEST(Checker, AnswersEveryCommandLine)
{
    TempFolder folder{"checkexe"};
    const std::string sample = SampleSource() + "\\hostgate-sample.msi";
    std::string broken = folder / "broken.msi";
    CopyFileA(sample.c_str(), broken.c_str(), FALSE);
    MSIHANDLE database = 0;
    ASSERT_EQ(MsiOpenDatabaseA(broken.c_str(), MSIDBOPEN_TRANSACT, &database), 0u);
    Execute(database, "DELETE FROM `Error` WHERE `Error`=3000");
    ASSERT_EQ(MsiDatabaseCommit(database), 0u);
    MsiCloseHandle(database);
    std::string damaged = folder / "damaged.msi";
    CopyFileA(sample.c_str(), damaged.c_str(), FALSE);
    DamageChain(damaged);
    // The installer's engine under Wine crashes on a path this long; the answer must not.
    std::string deep = folder.path();
    while (deep.size() < 300) deep += "\\" + std::string(60, 'd');
    MakeFolders(deep);
    std::string farAway = deep + "\\sample.msi";
    CopyFileA(sample.c_str(), farAway.c_str(), FALSE);

    const std::string explained = "R15.0, R16.0\t";  // a row of the decision table
    const struct {
        std::vector<std::string> arguments;
        std::set<DWORD> exitCodes;
        bool explains;
    } cases[] = {
        {{"--help"}, {0}, false},
        {{}, {2}, false},
        {{"--explian", sample}, {2}, false},
        {{sample}, {0}, false},
        {{sample, "--explain"}, {0}, true},
        {{sample, "--explain", SampleSource()}, {0}, true},
        {{"--", sample}, {0}, false},
        {{sample, SampleSource(), "extra"}, {2}, false},
        {{broken}, {1}, false},
        {{folder / "absent.msi"}, {2}, false},
        {{damaged}, {2}, false},
        {{farAway}, {0, 2}, false},  // 0 where the engine reads it, 2 where it fails
    };
    for (const auto& c : cases) {
        std::string shown;
        for (const std::string& argument : c.arguments) shown += " " + argument.substr(0, 80);
        Ran ran = RunChecker(c.arguments, folder);
        EXPECT_TRUE(c.exitCodes.count(ran.exitCode)) << shown << ": exit code " << ran.exitCode << "\n" << ran.output;
        EXPECT_EQ(ran.output.find(explained) != std::string::npos, c.explains) << shown << "\n" << ran.output;
        EXPECT_FALSE(ran.output.empty()) << shown;
    }
}
