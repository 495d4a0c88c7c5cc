#include "gating/apply.h"

#include "package/contract.h"
#include "session/install_session.h"

#include <msiquery.h>

#include <algorithm>
#include <cstdlib>

ConditionTable::ConditionTable(const InstallSession& session, const PackageDatabase& db) : writer(db)
{
    ConditionChanges changes = DecodeChanges(session.GetProperty(prop::ConditionChanges).value_or(std::string()));
    if (writer.Rows()) packageRows = PackageRows(*writer.Rows(), changes);
}

ConditionRows ConditionTable::AsRead() const
{
    return ByFeature(writer.Rows().value_or(std::vector<ConditionRow>()));
}

namespace {

// What a first costing of `rows` gives each feature, at the installation's INSTALLLEVEL.
Costings PlannedCostings(const InstallSession& session, const std::vector<FeatureRow>& features, const ConditionRows& rows)
{
    OwnedString levelText = session.GetProperty(prop::InstallLevel);
    int installLevel = levelText ? std::atoi(levelText->c_str()) : 1;
    return FirstCosting(features, rows, installLevel, InstallerEvaluate(session));
}

}  // namespace

Evaluate InstallerEvaluate(const InstallSession& session)
{
    return [&session](const std::string& expression) {
        // An empty expression is no condition; the installer applies a row only when true.
        return MsiEvaluateConditionW(session.handle(), Wide(expression).c_str()) == MSICONDITION_TRUE ? Truth::True
                                                                                                     : Truth::False;
    };
}

namespace {

bool Contains(const std::vector<ConditionRow>& rows, const ConditionRow& row)
{
    return std::find(rows.begin(), rows.end(), row) != rows.end();
}

}  // namespace

ConditionRows WriteConditions(const InstallSession& session, ConditionTable& table, const ConditionRows& target,
                              const Gate& gate, const std::vector<FeatureRow>& features)
{
    ConditionRows current = table.AsRead();
    ConditionRows package = ByFeature(table.packageRows);
    ConditionRows actual = current;
    NameSet names;
    for (const auto& entry : current) names.insert(entry.first);
    for (const auto& entry : target) names.insert(entry.first);
    std::vector<std::string> named = gate.RuleFeatures();
    NameSet ruled(named.begin(), named.end());
    for (const std::string& feature : named) names.insert(feature);
    Evaluate any = [](const std::string&) { return Truth::Unknown; };
    NameSet off = SwitchedOff(features, target, any);

    for (const std::string& feature : names) {
        const std::vector<ConditionRow>& now = RowsOf(current, feature);
        const std::vector<ConditionRow>& wanted = RowsOf(target, feature);
        std::vector<ConditionRow> added, removed;
        for (const ConditionRow& row : wanted)
            if (!Contains(now, row)) added.push_back(row);
        for (const ConditionRow& row : now)
            if (!Contains(wanted, row)) removed.push_back(row);

        std::string answer = "as it is";
        if (!added.empty() || !removed.empty()) {
            // A row whose key a new one takes goes first; the others only once the new rows
            // are in, so that a refusal part-way never leaves the feature with fewer rows.
            bool refused = false;
            std::vector<ConditionRow> gone;
            for (const ConditionRow& row : removed)
                if (std::any_of(added.begin(), added.end(), [&](const ConditionRow& a) { return a.level == row.level; })) {
                    if (!table.writer.Delete(row)) refused = true;
                    else gone.push_back(row);
                }
            std::vector<ConditionRow> put;
            for (const ConditionRow& row : added) {
                if (refused) break;
                if (!table.writer.Insert(row)) refused = true;
                else put.push_back(row);
            }
            if (!refused && !table.writer.Commit()) refused = true;
            for (const ConditionRow& row : removed) {
                if (refused || Contains(gone, row)) continue;
                if (!table.writer.Delete(row)) refused = true;
                else gone.push_back(row);
            }
            if (refused) {
                for (const ConditionRow& row : put) table.writer.Delete(row);
                table.writer.Commit();
                // What could not be taken back stays; the record below says what the table holds.
                std::vector<ConditionRow> held;
                for (const ConditionRow& row : now)
                    if (!Contains(gone, row)) held.push_back(row);
                actual[feature] = held;
                answer = "refused by the installer (a row the package carries may not be changed)";
            } else {
                actual[feature] = wanted;
                answer = "written";
            }
            if (actual[feature].empty()) actual.erase(feature);
        }
        if (!ruled.count(feature) && answer == "as it is") continue;
        std::string reason = gate.Reason(feature);
        if (reason.empty()) reason = RowsOf(package, feature) == wanted ? "the rules leave it" : "the package's rows";
        session.Log("plan: feature " + feature + (off.count(feature) ? " off" : " on") + " (" + reason + "): " + answer);
    }
    session.SetProperty(prop::ConditionChanges, EncodeChanges(ChangesBetween(package, actual)).c_str());
    return actual;
}

bool FeatureListsRule(const InstallSession& session)
{
    if (session.GetProperty(prop::Preselected) == std::string("1")) return true;
    // Before the first costing the installer has not said so yet: the lists as given tell.
    if (session.GetProperty(prop::ListsGiven)) return true;
    for (const char* list : {prop::AddLocal, prop::Remove, prop::AddSource, prop::AddDefault, prop::Reinstall, prop::Advertise})
        if (session.GetProperty(list)) return true;
    return false;
}

namespace {

// The lists the library may change, kept as given before it first did.
constexpr const char* kEditedLists[] = {prop::AddLocal, prop::Remove, prop::AddSource, prop::AddDefault, prop::Advertise};

std::vector<std::string> Split(const std::string& list)
{
    return SplitText(list, ',');
}

std::string Join(const std::vector<std::string>& names)
{
    std::string list;
    for (const std::string& name : names) list += (list.empty() ? "" : ",") + name;
    return list;
}

bool IsAll(const std::string& list)
{
    return _stricmp(list.c_str(), "ALL") == 0;
}

// The lists as given before the library first withheld anything from them: "NAME=value" lines.
using Lists = std::vector<std::pair<std::string, std::string>>;  // name, value

std::string ValueOf(const Lists& lists, const std::string& name)
{
    for (const auto& [list, value] : lists)
        if (list == name) return value;
    return std::string();
}

Lists GivenLists(const InstallSession& session)
{
    Lists lists;
    OwnedString stored = session.GetProperty(prop::ListsGiven);
    if (!stored) {
        std::string text;
        for (const char* name : kEditedLists) {
            std::string value = session.GetProperty(name).value_or(std::string());
            lists.emplace_back(name, value);
            text += std::string(name) + "=" + value + "\n";
        }
        session.SetProperty(prop::ListsGiven, text.c_str());
        return lists;
    }
    for (const std::string& line : SplitText(*stored, '\n')) {
        std::size_t equals = line.find('=');
        if (equals != std::string::npos) lists.emplace_back(line.substr(0, equals), line.substr(equals + 1));
    }
    return lists;
}

}  // namespace

void WithholdFromFeatureLists(const InstallSession& session, const std::vector<FeatureRow>& features,
                              const NameSet& withheld)
{
    Lists given = GivenLists(session);
    for (const char* name : kEditedLists) {
        // ADDLOCAL stands: REMOVE, applied after it, takes the withheld features out.
        if (name == std::string(prop::AddLocal)) continue;
        const std::string value = ValueOf(given, name);
        std::vector<std::string> names;
        if (name == std::string(prop::Remove)) {
            // REMOVE comes after ADDLOCAL: what it names is not installed, whatever ADDLOCAL said.
            if (IsAll(value)) continue;
            names = Split(value);
            for (const std::string& feature : withheld)
                if (std::find(names.begin(), names.end(), feature) == names.end()) names.push_back(feature);
        } else {
            if (value.empty()) continue;
            if (IsAll(value))
                for (const FeatureRow& feature : features) names.push_back(feature.name);
            else
                names = Split(value);
            names.erase(std::remove_if(names.begin(), names.end(), [&](const std::string& n) { return withheld.count(n) > 0; }),
                        names.end());
        }
        std::string list = Join(names);
        if (list == value) continue;
        session.SetProperty(name, list.c_str());
        session.Log(std::string("feature lists given: ") + name + " = " + (list.empty() ? "(none)" : list) +
                    " (the features the rules switch off are withheld)");
    }
}

void SettleFeatureStates(const InstallSession& session, ConditionTable& table, const std::vector<FeatureRow>& features,
                         const ConditionRows& found, const ConditionRows& rows, const std::vector<std::string>& touched, bool listsRule,
                         const NameSet& withheld)
{
    Costings costings = PlannedCostings(session, features, rows);

    // A costing keeps the level of the last true row it saw, and a feature at level 0 stays
    // unregistered even once its state is set: a temporary row gives each feature that comes
    // back (one the last costing may have seen switched off, or below one) its level while
    // costing runs again.
    std::vector<ConditionRow> levelRows;
    if (!listsRule) {
        NameSet seenOff = SwitchedOff(features, found, [](const std::string&) { return Truth::Unknown; });
        for (const std::string& feature : touched) {
            if (!seenOff.count(feature)) continue;
            const Costing* costing = CostingOf(costings, feature);
            if (!costing || !Installs(costing->state)) continue;
            ConditionRow levelRow{feature, costing->level, std::string("1")};
            const std::vector<ConditionRow>& own = RowsOf(rows, feature);
            bool clash = std::any_of(own.begin(), own.end(), [&](const ConditionRow& r) { return r.level == levelRow.level; });
            if (!clash && table.writer.Insert(levelRow)) levelRows.push_back(levelRow);
        }
        table.writer.Commit();
    }
    session.DoAction(action::CostFinalize);
    for (const ConditionRow& row : levelRows) table.writer.Delete(row);

    std::string given = listsRule ? session.GetProperty(prop::AddLocal).value_or(std::string()) : std::string();
    std::vector<std::string> addLocal = Split(given);
    std::string removeGiven = listsRule ? ValueOf(GivenLists(session), prop::Remove) : std::string();
    std::vector<std::string> removed = Split(removeGiven);
    for (const std::string& feature : touched) {
        INSTALLSTATE state;
        std::string reason;
        bool keepInstalled = false;  // a feature being installed in any way is left as it is
        if (listsRule) {
            if (withheld.count(feature)) {
                state = INSTALLSTATE_ABSENT;
                reason = "the rules switch it off";
            } else {
                // A feature an earlier choice withheld comes back when the given lists ask for it.
                bool asked = (IsAll(given) || std::find(addLocal.begin(), addLocal.end(), feature) != addLocal.end()) &&
                             !IsAll(removeGiven) && std::find(removed.begin(), removed.end(), feature) == removed.end();
                if (!asked) continue;
                state = INSTALLSTATE_LOCAL;
                reason = "ADDLOCAL names it";
                keepInstalled = true;
            }
        } else {
            const Costing* costing = CostingOf(costings, feature);
            if (!costing) {
                session.Log("feature " + feature + " state not set after costing: the Feature table has no such feature");
                continue;
            }
            state = costing->state;
            reason = costing->reason;
        }
        // A state already as planned is left alone: under some engines a request set once
        // keeps a later costing from fixing the feature's level and registration.
        INSTALLSTATE installed = INSTALLSTATE_UNKNOWN, action = INSTALLSTATE_UNKNOWN;
        UINT read = MsiGetFeatureStateW(session.handle(), Wide(feature).c_str(), &installed, &action);
        if (keepInstalled && (read != ERROR_SUCCESS || Installs(action))) continue;
        if (read == ERROR_SUCCESS && (action == state || (!Installs(state) && !Installs(action) && !Installs(installed))))
            continue;
        UINT result = MsiSetFeatureStateW(session.handle(), Wide(feature).c_str(), state);
        if (result == ERROR_SUCCESS)
            session.Log("feature " + feature + " set " + StateName(state) + " after costing (" + reason + ")");
        else
            session.Log("feature " + feature + " could not be set " + StateName(state) + " after costing: error " +
                        std::to_string(result));
    }
}

Road ReadRoad(const InstallSession& session)
{
    if (!session.GetProperty(prop::Installed)) return Road::FirstInstall;
    OwnedString remove = session.GetProperty(prop::Remove);
    if (session.GetProperty(prop::UpgradingProductCode) || (remove && IsAll(*remove))) return Road::Removal;
    if (session.GetProperty(prop::Reinstall)) return Road::Repair;
    return Road::Change;
}

const char* RoadName(Road road)
{
    switch (road) {
    case Road::FirstInstall: return "first installation";
    case Road::Change: return "change of the installed product";
    case Road::Repair: return "repair";
    default: return "removal";
    }
}

INSTALLSTATE InstalledState(const std::string& productCode, const std::string& feature)
{
    return MsiQueryFeatureStateW(Wide(productCode).c_str(), Wide(feature).c_str());
}

void ApplyChange(const InstallSession& session, const std::vector<FeatureRow>& features, const ConditionRows& rows,
                 const std::vector<std::string>& touched, bool settle)
{
    Costings costings = PlannedCostings(session, features, rows);
    std::string product = session.GetProperty(prop::ProductCode).value_or(std::string());

    std::vector<std::pair<std::string, INSTALLSTATE>> changes;  // feature, its new state
    for (const std::string& feature : touched) {
        const Costing* costing = CostingOf(costings, feature);
        if (!costing) continue;
        bool has = Installs(InstalledState(product, feature));
        bool planned = Installs(costing->state);
        if (has == planned) {
            session.Log("plan: feature " + feature + (has ? " stays installed" : " stays out") + " (" + costing->reason + ")");
            continue;
        }
        session.Log("plan: feature " + feature + (planned ? " added" : " removed") + " (" + costing->reason + ")");
        changes.emplace_back(feature, planned ? costing->state : INSTALLSTATE_ABSENT);
    }

    // The lists as given, with the planned changes: REMOVE comes after the lists that add.
    Lists given = GivenLists(session);
    for (const char* name : kEditedLists) {
        std::string value = ValueOf(given, name);
        std::vector<std::string> names = Split(value);
        for (const auto& [feature, state] : changes) {
            bool belongs = name == std::string(prop::Remove)      ? state == INSTALLSTATE_ABSENT
                           : name == std::string(prop::AddLocal)  ? state == INSTALLSTATE_LOCAL
                           : name == std::string(prop::AddSource) ? state == INSTALLSTATE_SOURCE
                           : name == std::string(prop::Advertise) ? state == INSTALLSTATE_ADVERTISED
                                                                  : false;
            if (belongs && !IsAll(value) && std::find(names.begin(), names.end(), feature) == names.end())
                names.push_back(feature);
        }
        std::string list = Join(names);
        if (list == session.GetProperty(name).value_or(std::string())) continue;
        session.SetProperty(name, list.c_str());
        session.Log(std::string("feature lists: ") + name + " = " + (list.empty() ? "(none)" : list));
    }
    if (!settle) return;
    session.Log("costing redone");
    session.DoAction(action::CostFinalize);
    for (const auto& [feature, state] : changes) {
        UINT result = MsiSetFeatureStateW(session.handle(), Wide(feature).c_str(), state);
        session.Log("feature " + feature + (result == ERROR_SUCCESS ? " set " : " could not be set ") + StateName(state) +
                    (result == ERROR_SUCCESS ? std::string() : ": error " + std::to_string(result)));
    }
}
