#include "checker/checks.h"

#include "actions/phases.h"
#include "gating/gate.h"
#include "gating/installer_gate.h"
#include "gating/plan.h"
#include "package/contract.h"
#include "package/tables.h"
#include "session/database.h"
#include "session/installation.h"

#include <msiquery.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <set>
#include <sstream>

namespace {

// A column the library reads: its name and whether it holds text.
struct ColumnShape {
    const char* name;
    bool text;
};

struct TableShape {
    const char* name;
    std::vector<ColumnShape> columns;
    std::size_t keys;  // how many leading columns form the key
    bool required;
};

const std::vector<TableShape> kCustomTables = {
    {table::AutoCAD, {{"Property", true}, {"Unused", true}, {"Release", true}}, 1, false},
    {table::FunctionVersion, {{"Function", true}, {"Text", true}, {"Value", true}}, 1, false},
    {table::SearchCabinet,
     {{"PropertyName", true}, {"Function", true}, {"Cabinet", true}, {"Feature", true}, {"Flags", false}}, 4, true},
    {table::SuportPacks, {{"Source", true}, {"CommandLine", true}}, 1, false},
};

// About 40 characters fill a radio button 174 dialog units wide in the usual dialog font.
constexpr std::size_t kButtonTextLimit = 40;

std::string Join(const std::vector<OwnedString>& parts)
{
    std::string key;
    for (std::size_t i = 0; i < parts.size(); ++i) key += (i ? "/" : "") + parts[i].value_or(std::string());
    return key;
}

// The rows of a table, each field as text (none for null), as the installer returns them.
struct Table {
    std::vector<std::string> names;
    std::vector<std::string> types;
    std::vector<std::vector<OwnedString>> rows;
};

std::optional<Table> ReadTable(const PackageDatabase& db, const char* name)
{
    TableView view;
    if (!view.Open(db, name)) return std::nullopt;
    Table table{view.ColumnNames(), view.ColumnInfo(MSICOLINFO_TYPES), {}};
    while (view.Fetch()) {
        std::vector<OwnedString> row;
        for (std::size_t column = 1; column <= table.names.size(); ++column)
            row.push_back(view.GetString(static_cast<int>(column)));
        table.rows.push_back(std::move(row));
    }
    return table;
}

std::vector<std::string> PrimaryKeys(const PackageDatabase& db, const char* table)
{
    MsiHandle record;
    if (MsiDatabaseGetPrimaryKeysW(db.handle(), Wide(table).c_str(), record.put()) != ERROR_SUCCESS) return {};
    return RecordTexts(record.get());
}

// A property as the package's Property table sets it.
OwnedString PackageProperty(const PackageDatabase& db, const char* name)
{
    TableView view;
    if (!view.Open(db, table::Property, nullptr, Filter(property::PropertyColumn, name)) || !view.Fetch()) return std::nullopt;
    return view.GetString(property::Value);
}

int Integer(const OwnedString& text)
{
    return text ? std::atoi(text->c_str()) : static_cast<int>(MSI_NULL_INTEGER);
}

class Checker {
public:
    Checker(const PackageDatabase& db, OwnedString source) : db_(db), source_(std::move(source)) {}

    std::vector<Finding> Run()
    {
        CheckCustomTables();
        CheckStandardTables();
        CheckRules();
        CheckFunctions();
        CheckDialog();
        CheckMessages();
        CheckScheduling();
        if (source_) CheckSource();
        return std::move(findings_);
    }

private:
    void Add(const char* code, const char* severity, const std::string& table, const std::string& column,
             const std::string& key, const std::string& message)
    {
        findings_.push_back({code, severity, table, column, key, message});
    }

    const Table* Get(const char* name)
    {
        auto found = tables_.find(name);
        if (found == tables_.end()) found = tables_.emplace(name, ReadTable(db_, name)).first;
        return found->second ? &*found->second : nullptr;
    }

    // The custom tables hostgate reads by position: present, their columns named and typed
    // as hostgate reads them, their key columns first.
    void CheckCustomTables()
    {
        for (const TableShape& shape : kCustomTables) {
            const Table* table = Get(shape.name);
            if (!table) {
                if (shape.required)
                    Add("HG01", "error", shape.name, "", "", "the table is missing: without it no rule is met (message 3001)");
                continue;
            }
            for (std::size_t i = 0; i < shape.columns.size(); ++i) {
                const ColumnShape& column = shape.columns[i];
                std::string position = "column " + std::to_string(i + 1);
                if (i >= table->names.size()) {
                    Add("HG01", "error", shape.name, column.name, "",
                        position + " is missing: add the column " + column.name + " there");
                    continue;
                }
                if (table->names[i] != column.name)
                    Add("HG01", "error", shape.name, table->names[i], "",
                        position + " is named " + table->names[i] + "; hostgate reads it as " + column.name +
                            ": rename it to " + column.name + " (spelt exactly so)");
                char type = table->types[i].empty() ? '?' : table->types[i][0];
                bool text = std::string("sSlL").find(type) != std::string::npos;
                if (text != column.text)
                    Add("HG01", "error", shape.name, table->names[i], "",
                        position + " has type " + table->types[i] + "; it must hold " +
                            (column.text ? "text (s or S)" : "an integer (i or I)"));
            }
            std::vector<std::string> keys = PrimaryKeys(db_, shape.name);
            for (std::size_t i = 0; i < keys.size(); ++i)
                if (i >= table->names.size() || keys[i] != table->names[i]) {
                    Add("HG02", "error", shape.name, keys[i], "",
                        "the key columns must come first, in order: the installer returns them first, "
                        "and hostgate reads columns by position");
                    break;
                }
        }
    }

    void CheckStandardTables()
    {
        for (const char* name : {table::Condition, table::RadioButton, table::Control})
            if (!Get(name))
                Add("HG01", "error", name, "", "",
                    "the table is missing: hostgate creates no table, and its rows for this one would be lost; "
                    "add it, even empty");
    }

    std::set<std::string> Features()
    {
        std::set<std::string> names;
        if (const Table* features = Get(table::Feature))
            for (const auto& row : features->rows)
                if (row[0]) names.insert(*row[0]);
        return names;
    }

    // The properties of the host releases (AutoCAD column 1).
    std::set<std::string> HostProperties()
    {
        std::set<std::string> properties;
        if (const Table* releases = Get(table::AutoCAD))
            for (const auto& row : releases->rows)
                if (row[0]) properties.insert(*row[0]);
        return properties;
    }

    std::set<std::string> FunctionValues()
    {
        std::set<std::string> values;
        if (const Table* functions = Get(table::FunctionVersion))
            for (const auto& row : functions->rows)
                if (row.size() > 2 && row[2]) values.insert(*row[2]);
        return values;
    }

    bool RaisedByCondition(const std::string& feature)
    {
        if (const Table* conditions = Get(table::Condition))
            for (const auto& row : conditions->rows)
                if (row[0] == feature && Integer(row[1]) > 0) return true;
        return false;
    }

    void CheckRules()
    {
        const Table* rules = Get(table::SearchCabinet);
        if (!rules || rules->names.size() < 5) return;
        std::set<std::string> features = Features();
        std::set<std::string> properties = HostProperties();
        std::set<std::string> values = FunctionValues();

        std::set<std::string> ruled;            // features any rule names
        std::set<std::string> releaseFeatures;  // named by a release's rule for no function
        std::set<std::string> usedProperties;
        for (const auto& row : rules->rows) {
            std::string key = Join({row[0], row[1], row[2], row[3]});
            if (!row[3]) continue;
            const std::string& feature = *row[3];
            ruled.insert(feature);
            if (!features.count(feature))
                Add("HG03", "error", table::SearchCabinet, "Feature", key,
                    "the rule names feature " + feature + ", which the Feature table does not have: the rule "
                    "switches nothing; name the feature exactly as its Feature key");
            if (row[0]) {
                usedProperties.insert(*row[0]);
                if (!properties.count(*row[0]))
                    Add("HG04", "warning", table::SearchCabinet, "PropertyName", key,
                        "no AutoCAD row has the property " + *row[0] +
                            ": the rule belongs to no host release; use an AutoCAD Property, or leave it empty for a "
                            "general rule");
                else if (!row[1] || !values.count(*row[1]))
                    releaseFeatures.insert(feature);
            }
        }
        for (const std::string& property : properties)
            if (!usedProperties.count(property))
                Add("HG04", "warning", table::AutoCAD, "Property", property,
                    "no SearchCabinet rule has the property " + property +
                        ": the release can never be matched to a function (message 3000 when it is the only one "
                        "installed); add rules under it");
        for (const auto& row : rules->rows)
            if (row[3] && row[1] && values.count(*row[1]) && releaseFeatures.count(*row[3]))
                Add("HG12", "warning", table::SearchCabinet, "Feature", Join({row[0], row[1], row[2], row[3]}),
                    "feature " + *row[3] + " belongs to a host release, yet this rule of function " + *row[1] +
                        " names it too: choosing the function switches it back on even where its release is "
                        "missing; give the release's feature no function rule");
        // A feature that no costing installs (level 0, no Condition row raising it) stays out on
        // every road, whatever the rules and the choice say.
        if (const Table* featureTable = Get(table::Feature))
            if (featureTable->names.size() >= 6)
                for (const auto& row : featureTable->rows)
                    if (row[0] && ruled.count(*row[0]) && Integer(row[5]) <= 0 && !RaisedByCondition(*row[0]))
                        Add("HG14", "warning", table::Feature, "Level", *row[0],
                            "feature " + *row[0] + " has level 0, so no road installs it, yet rules name it: give "
                            "it the level it installs at (1, or above INSTALLLEVEL for a feature only lists add)");
        if (const Table* conditions = Get(table::Condition)) {
            std::set<std::string> reported;
            for (const auto& row : conditions->rows)
                if (row[0] && ruled.count(*row[0]) && reported.insert(*row[0]).second)
                    Add("HG09", "warning", table::Condition, "Feature_", Join({row[0], row[1]}),
                        "feature " + *row[0] + " is switched by hostgate's rules and has a Condition row of "
                        "the package: Windows lets a custom action change only temporary rows, so the feature "
                        "can be neither switched off nor back on; move the condition to a parent feature");
        }
    }

    void CheckFunctions()
    {
        const Table* functions = Get(table::FunctionVersion);
        const Table* rules = Get(table::SearchCabinet);
        if (!functions || functions->names.size() < 3) return;
        std::set<std::string> ruleFunctions;
        if (rules && rules->names.size() >= 2)
            for (const auto& row : rules->rows)
                if (row[1]) ruleFunctions.insert(*row[1]);
        // The functions with a rule under some host release's property.
        std::set<std::string> hostFunctions;
        std::set<std::string> properties = HostProperties();
        if (rules && rules->names.size() >= 2)
            for (const auto& row : rules->rows)
                if (row[0] && row[1] && properties.count(*row[0])) hostFunctions.insert(*row[1]);
        for (const auto& row : functions->rows) {
            std::string key = row[0].value_or(std::string());
            if (row[2] && ruleFunctions.count(*row[2]) && !properties.empty() && !hostFunctions.count(*row[2]))
                Add("HG13", "error", table::FunctionVersion, "Value", key,
                    "no rule of any host release (an AutoCAD property) has the Function " + *row[2] +
                        ": choosing the function fails with message 3000 on every machine; add its rules under "
                        "each release that supports it");
            if (row[2] && row[0] && *row[2] != *row[0] && !ruleFunctions.count(*row[2]))
                Add("HG05", "error", table::FunctionVersion, "Value", key,
                    "the function is offered under its name " + *row[0] + " but, once chosen, its rules are "
                    "read under its value " + *row[2] + ", and no rule has that Function: add its rules under " +
                        *row[2] + " too");
            if (row[1] && row[1]->size() > kButtonTextLimit)
                Add("HG10", "warning", table::FunctionVersion, "Text", key,
                    "the text has " + std::to_string(row[1]->size()) + " characters; a radio button shows about " +
                        std::to_string(kButtonTextLimit) + ": shorten it");
        }
    }

    void CheckDialog()
    {
        const std::string dialog = choice::Dialog;
        bool found = false;
        if (const Table* dialogs = Get(table::Dialog))
            for (const auto& row : dialogs->rows) found = found || row[0] == dialog;
        if (!found) {
            Add("HG06", "error", table::Dialog, "Dialog", dialog,
                "the dialog " + dialog + " is missing: hostgate builds the choice of functions on it, so no "
                "choice is ever shown; add the dialog under exactly this name");
            return;
        }
        bool cancel = false;
        if (const Table* controls = Get(table::Control))
            for (const auto& row : controls->rows) {
                if (row[0] != dialog) continue;
                cancel = cancel || row[1] == std::string(choice::NextControl);
                if (row[1] == std::string(choice::ControlName))
                    Add("HG06", "error", table::Control, "Control", dialog + "/" + choice::ControlName,
                        std::string("the dialog has a control named ") + choice::ControlName +
                            ": hostgate adds its own under this name, and the installer refuses the second; "
                            "remove or rename it");
            }
        if (!cancel)
            Add("HG06", "error", table::Control, "Control", dialog + "/" + choice::NextControl,
                std::string("the dialog has no control named ") + choice::NextControl +
                    ": the choice hostgate adds leads the tab order to it; add the Cancel button under this name");
        bool wired = false;
        if (const Table* events = Get(table::ControlEvent))
            for (const auto& row : events->rows)
                wired = wired || (row[0] == dialog && row.size() > 3 && row[2] == std::string("DoAction") &&
                                  row[3] == std::string(action::AfterSelectFunction));
        if (!wired)
            Add("HG06", "error", table::ControlEvent, "Argument", dialog,
                "no control of the dialog runs AfterSelectFunction: the user's choice never decides the "
                "features; add a DoAction event with argument AfterSelectFunction to its Next button");
    }

    void CheckMessages()
    {
        std::set<int> present;
        if (const Table* errors = Get(table::Error))
            for (const auto& row : errors->rows) present.insert(Integer(row[0]));
        for (int number : {message::HostMissing, message::RulesNotMet})
            if (!present.count(number))
                Add("HG07", "error", table::Error, "Error", std::to_string(number),
                    "there is no text for message " + std::to_string(number) +
                        ": the user reads an unexpected error instead; add the row (see the guide's texts)");
    }

    std::map<std::string, int> Sequence(const char* name)
    {
        std::map<std::string, int> order;
        if (const Table* sequence = Get(name))
            for (const auto& row : sequence->rows)
                if (row[0] && row.size() > 2 && Integer(row[2]) > 0) order[*row[0]] = Integer(row[2]);
        return order;
    }

    void CheckScheduling()
    {
        std::map<std::string, OwnedString> binaries;
        std::map<std::string, std::vector<OwnedString>> customActions;
        if (const Table* actions = Get(table::CustomAction))
            for (const auto& row : actions->rows)
                if (row[0]) customActions[*row[0]] = row;
        const std::map<std::string, int> ui = Sequence(table::InstallUISequence);
        const std::map<std::string, int> execute = Sequence(table::InstallExecuteSequence);
        for (const char* name : {action::PrevInstall, action::AfterSelectFunction, action::RunSuportPacks, action::CopyInfFiles}) {
            bool scheduled = ui.count(name) || execute.count(name);
            auto found = customActions.find(name);
            if (found == customActions.end()) {
                if (scheduled)
                    Add("HG08", "error", table::CustomAction, "Action", name,
                        "the action is scheduled but not declared: add it (type 1, Source the Binary row of "
                        "hostgate.dll, Target " + std::string(name) + ")");
                continue;
            }
            const auto& row = found->second;
            int type = Integer(row[1]);
            bool deferred = type != static_cast<int>(MSI_NULL_INTEGER) && (type & 0x400);
            if (type == static_cast<int>(MSI_NULL_INTEGER) || (type & 0x3F) != 1 || row[3] != std::string(name))
                Add("HG08", "error", table::CustomAction, "Type", name,
                    "the action must be a DLL action from the Binary table (type 1, plus 256 or 3072 as the "
                    "guide says) with Target " + std::string(name));
            if (deferred && std::string(name) != action::CopyInfFiles)
                Add("HG08", "error", table::CustomAction, "Type", name,
                    "the action is deferred, but it reads the package's tables, which only immediate actions "
                    "can: drop 1024 from its type");
            if (!deferred && std::string(name) == action::CopyInfFiles)
                Add("HG08", "warning", table::CustomAction, "Type", name,
                    "the action runs immediately, as the user: writing to the Windows INF folder needs it deferred "
                    "without impersonation (type 3073), between InstallInitialize and InstallFinalize");
            bool planning = std::string(name) == action::PrevInstall || std::string(name) == action::AfterSelectFunction;
            // The planning actions run in both sequences on purpose: the execute sequence's run is
            // what gates when the user interface sequence ran without them (reduced UI), and it
            // plans the same features again where the dialog already did.
            if (planning && execute.count(name) && (type & 0x300))
                Add("HG08", "warning", table::CustomAction, "Type", name,
                    "with 256 or 512 in its type the execute sequence skips the action whenever the user interface "
                    "sequence ran; under reduced UI Windows may not run that sequence's actions at all, and then "
                    "nothing applies the rules: use type 1");
            if (!planning && ui.count(name) && execute.count(name) && !(type & 0x100) && !(type & 0x200))
                Add("HG08", "warning", table::CustomAction, "Type", name,
                    "the action is in both sequences and runs twice: add 256 to its type to run it once");
        }
        CheckOrder(table::InstallUISequence, ui);
        CheckOrder(table::InstallExecuteSequence, execute);
        if (!execute.count(action::AfterSelectFunction))
            Add("HG08", "error", table::InstallExecuteSequence, "Action", action::AfterSelectFunction,
                "AfterSelectFunction is not in InstallExecuteSequence: a silent installation never applies the "
                "function (FUNCTION_VER); schedule it after PrevInstall and before CostFinalize");
        if (!execute.count(action::PrevInstall))
            Add("HG08", "error", table::InstallExecuteSequence, "Action", action::PrevInstall,
                "PrevInstall is not in InstallExecuteSequence: a silent installation finds no host and applies "
                "no rule; schedule it after FileCost and before AfterSelectFunction and CostFinalize");
        if (ui.count(action::CostFinalize) && !ui.count(choice::Dialog))
            Add("HG08", "warning", table::InstallUISequence, "Action", choice::Dialog,
                std::string("the dialog ") + choice::Dialog + " is in no sequence: no user ever sees the choice");
    }

    // Before costing for the hostgate actions that switch features; before the dialog for
    // the one that builds the choice.
    void CheckOrder(const char* sequence, const std::map<std::string, int>& order)
    {
        auto at = [&](const char* name) {
            auto found = order.find(name);
            return found == order.end() ? -1 : found->second;
        };
        int prev = at(action::PrevInstall), after = at(action::AfterSelectFunction);
        int fileCost = at(action::FileCost), costFinalize = at(action::CostFinalize), dialog = at(choice::Dialog);
        if (prev >= 0 && fileCost >= 0 && prev < fileCost)
            Add("HG08", "error", sequence, "Sequence", action::PrevInstall,
                "PrevInstall runs before FileCost: schedule it after FileCost and before CostFinalize");
        if (prev >= 0 && costFinalize >= 0 && prev > costFinalize)
            Add("HG08", "error", sequence, "Sequence", action::PrevInstall,
                "PrevInstall runs after CostFinalize: the features it switches off keep the states costing gave "
                "them; schedule it between FileCost and CostFinalize");
        if (prev >= 0 && dialog >= 0 && prev > dialog)
            Add("HG08", "error", sequence, "Sequence", action::PrevInstall,
                std::string("PrevInstall runs after the dialog ") + choice::Dialog + ": the choice is not there yet "
                "when the dialog shows; schedule it before the dialog");
        if (sequence == std::string(table::InstallExecuteSequence) && after >= 0 &&
            ((costFinalize >= 0 && after > costFinalize) || (prev >= 0 && after < prev)))
            Add("HG08", "error", sequence, "Sequence", action::AfterSelectFunction,
                "AfterSelectFunction must run after PrevInstall and before CostFinalize here");
    }

    // Where the installer will look: the source folder followed by the path as written.
    void CheckSource()
    {
        if (const Table* rules = Get(table::SearchCabinet))
            if (rules->names.size() >= 4)
                for (const auto& row : rules->rows)
                    if (row[2] && !SourceFileExists(*source_, *row[2]))
                        Add("HG11", "warning", table::SearchCabinet, "Cabinet", Join({row[0], row[1], row[2], row[3]}),
                            "cabinet " + *row[2] + " is not in the source folder: the rule is not met there; put "
                            "the file there, or correct its path (relative to the folder of the package)");
        if (const Table* packs = Get(table::SuportPacks))
            for (const auto& row : packs->rows) {
                if (!row[0]) continue;
                std::string program = ProgramPath(*row[0]);
                if (!SourceFileExists(*source_, program))
                    Add("HG11", "warning", table::SuportPacks, "Source", *row[0],
                        program + " is not in the source folder: it will not run; put it there or correct the path");
            }
    }

    const PackageDatabase& db_;
    OwnedString source_;
    std::map<std::string, std::optional<Table>> tables_;
    std::vector<Finding> findings_;
};

// An installation the checker imagines: properties in memory, messages and log kept.
class ImaginedInstallation : public Installation {
public:
    OwnedString GetProperty(const char* name) const override
    {
        auto found = properties_.find(name);
        return found == properties_.end() || found->second.empty() ? std::nullopt : OwnedString(found->second);
    }
    void SetProperty(const char* name, const char* value) const override { properties_[name] = value; }
    UINT ReportError(int number) const override
    {
        messages_.push_back(number);
        return ERROR_SUCCESS;
    }
    void Log(const std::string&) const override {}
    std::string Loggable(const char*, const std::string& value) const override { return value; }
    const std::vector<int>& messages() const { return messages_; }

private:
    mutable std::map<std::string, std::string> properties_;
    mutable std::vector<int> messages_;
};

struct Imagined {
    UINT result = ERROR_SUCCESS;
    std::vector<int> messages;
    std::vector<std::string> offered;
    ConditionRows conditions;
};


}  // namespace

std::string FormatFinding(const Finding& finding)
{
    return finding.code + "\t" + finding.severity + "\t" + finding.table + "\t" + finding.column + "\t" + finding.key +
           "\t" + finding.message;
}

std::optional<std::vector<Finding>> CheckPackage(const std::string& package, const OwnedString& sourceFolder)
{
    PackageDatabase db;
    if (!db.OpenPackageFile(package.c_str())) return std::nullopt;
    OwnedString source = sourceFolder;
    if (source && !source->empty() && source->back() != '\\') *source += '\\';
    return Checker(db, source).Run();
}

std::optional<std::string> ExplainPackage(const std::string& package, const OwnedString& sourceFolder)
{
    PackageDatabase db;
    if (!db.OpenPackageFile(package.c_str())) return std::nullopt;
    std::string source = sourceFolder.value_or(std::string());
    if (!source.empty() && source.back() != '\\') source += '\\';
    auto cabinetPresent = [&](const std::string& relative) { return source.empty() || SourceFileExists(source, relative); };
    Releases releases = ReadHostReleases(db);
    Functions functions = ReadFunctions(db);
    std::optional<std::vector<CabinetRule>> rules = ReadCabinetRules(db);
    std::optional<std::vector<ConditionRow>> conditions = ReadConditionRows(db);
    std::vector<FeatureRow> features = ReadFeatures(db);
    OwnedString installLevelText = PackageProperty(db, prop::InstallLevel);
    int installLevel = installLevelText ? std::atoi(installLevelText->c_str()) : 1;

    std::vector<std::string> names;  // the distinct releases the package lists
    if (releases)
        for (const HostRelease& row : *releases)
            if (row.release && std::find(names.begin(), names.end(), *row.release) == names.end())
                names.push_back(*row.release);
    if (names.size() > 8) names.resize(8);

    // One installation on a machine with the given releases; with a choice, the user's.
    auto imagine = [&](const std::set<std::string>& installed, const OwnedString& chosen) {
        Imagined outcome;
        ImaginedInstallation installation;
        MemoryConditions table(conditions.value_or(std::vector<ConditionRow>()));
        Gate gate(rules, conditions, table, cabinetPresent, [](const std::string&) {});
        HostLookup lookup = [&](const OwnedString& release, Pruning*) -> OwnedString {
            if (!release || !installed.count(*release)) return std::nullopt;
            return "Software\\Autodesk\\AutoCAD\\" + *release + "\\(installed)";
        };
        outcome.result = DetectHostReleases(installation, gate, releases, lookup);
        std::optional<FunctionChoice> choice;
        if (outcome.result == ERROR_SUCCESS) outcome.result = BuildFunctionChoice(installation, gate, functions, choice);
        if (choice)
            for (const ChoiceButton& button : choice->buttons) outcome.offered.push_back(button.value);
        if (outcome.result == ERROR_SUCCESS && chosen) {
            installation.SetProperty(prop::FunctionVer, chosen->c_str());
            ApplyFunctionChoice(installation, gate, functions);
            outcome.result = MatchHostsToFunction(installation, gate, releases);
        }
        outcome.messages = installation.messages();
        outcome.conditions = gate.Conditions();
        return outcome;
    };
    // The features a first costing of the planned rows installs, as the actions' own model
    // decides it; the package's conditions other than "1" cannot be evaluated here.
    Evaluate evaluate = [](const std::string& expression) { return expression == "1" ? Truth::True : Truth::Unknown; };
    auto installedFeatures = [&](const ConditionRows& rows) {
        std::string list;
        Costings costings = FirstCosting(features, rows, installLevel, evaluate);
        for (const FeatureRow& feature : features) {
            const Costing* costing = CostingOf(costings, feature.name);
            if (costing && Installs(costing->state)) list += (list.empty() ? "" : ", ") + feature.name + (costing->unknown ? "?" : "");
        }
        return list.empty() ? std::string("-") : list;
    };

    std::ostringstream out;
    out << "installed releases\tfunctions offered\tchosen\tresult\tfeatures installed\n";
    for (unsigned mask = 0; mask < (1u << names.size()); ++mask) {
        std::set<std::string> installed;
        std::string releasesText;
        for (std::size_t i = 0; i < names.size(); ++i)
            if (mask & (1u << i)) {
                installed.insert(names[i]);
                releasesText += (releasesText.empty() ? "" : ", ") + names[i];
            }
        if (releasesText.empty()) releasesText = "(none)";
        Imagined offer = imagine(installed, std::nullopt);
        std::string offeredText;
        for (const std::string& value : offer.offered) offeredText += (offeredText.empty() ? "" : ", ") + value;
        if (offer.result != ERROR_SUCCESS || offer.offered.empty()) {
            std::string result = offer.messages.empty() ? std::to_string(offer.result)
                                                        : "message " + std::to_string(offer.messages.back());
            out << releasesText << "\t" << (offeredText.empty() ? "-" : offeredText) << "\t-\t" << result << "\t"
                << (offer.result == ERROR_SUCCESS ? installedFeatures(offer.conditions) : "-") << "\n";
            continue;
        }
        for (const std::string& value : offer.offered) {
            Imagined chosen = imagine(installed, value);
            std::string result = chosen.result == ERROR_SUCCESS ? "installs"
                                                                : "message " + std::to_string(chosen.messages.back());
            out << releasesText << "\t" << offeredText << "\t" << value << "\t" << result << "\t"
                << (chosen.result == ERROR_SUCCESS ? installedFeatures(chosen.conditions) : "-") << "\n";
        }
    }
    out << "(features marked ? depend on Condition rows of the package, whose conditions are not evaluated here)\n";
    return out.str();
}
