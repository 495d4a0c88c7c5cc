#include "gating/apply.h"

#include "host/host_release.h"
#include "package/contract.h"
#include "session/database.h"
#include "session/install_session.h"

#include <msiquery.h>

#include <algorithm>

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

namespace {

INSTALLSTATE StateOf(Target target)
{
    switch (target) {
    case Target::Local: return INSTALLSTATE_LOCAL;
    case Target::Source: return INSTALLSTATE_SOURCE;
    case Target::Advertised: return INSTALLSTATE_ADVERTISED;
    default: return INSTALLSTATE_ABSENT;
    }
}

bool Contains(const std::vector<ConditionRow>& rows, const ConditionRow& row)
{
    return std::find(rows.begin(), rows.end(), row) != rows.end();
}

bool PackageHasKey(const Facts& facts, const std::string& feature, int level)
{
    if (!facts.packageRows) return false;
    return std::any_of(facts.packageRows->begin(), facts.packageRows->end(),
                       [&](const ConditionRow& row) { return row.feature == feature && row.level == level; });
}

// The library's own rows in the Condition table: inserted as temporary rows, deleted by key.
class OwnRows {
public:
    explicit OwnRows(const PackageDatabase& db) : db_(db) { open_ = view_.Open(db, table::Condition); }
    bool open() const { return open_; }
    bool Insert(const ConditionRow& row)
    {
        MsiHandle record(MsiCreateRecord(3));
        return open_ && record &&
               MsiRecordSetStringW(record.get(), condition::Feature, Wide(row.feature).c_str()) == ERROR_SUCCESS &&
               MsiRecordSetInteger(record.get(), condition::Level, row.level) == ERROR_SUCCESS &&
               MsiRecordSetStringW(record.get(), condition::Expression, Wide(row.expression.value_or(std::string())).c_str()) ==
                   ERROR_SUCCESS &&
               view_.Modify(MSIMODIFY_INSERT_TEMPORARY, record.get());
    }
    // A row is deleted by its key. (A record kept from reading is no way to name the row:
    // some engines delete the row under the view's cursor instead.)
    bool Delete(const ConditionRow& row)
    {
        if (!open_) return false;
        if (!delete_) {
            BoundedText query(kQueryCapacity);
            query.append("DELETE FROM `").append(table::Condition).append("` WHERE `").append(condition::FeatureColumn)
                .append("`=? AND `").append(condition::LevelColumn).append("`=?");
            if (MsiDatabaseOpenViewW(db_.handle(), Wide(query.str()).c_str(), delete_.put()) != ERROR_SUCCESS) {
                delete_.reset();
                return false;
            }
        }
        MsiHandle params(MsiCreateRecord(2));
        if (!params || MsiRecordSetStringW(params.get(), 1, Wide(row.feature).c_str()) != ERROR_SUCCESS ||
            MsiRecordSetInteger(params.get(), 2, row.level) != ERROR_SUCCESS)
            return false;
        if (executed_) MsiViewClose(delete_.get());
        executed_ = MsiViewExecute(delete_.get(), params.get()) == ERROR_SUCCESS;
        return executed_;
    }

private:
    const PackageDatabase& db_;
    TableView view_;
    bool open_ = false;
    MsiHandle delete_;
    bool executed_ = false;
};

// The one line the log gets for each feature the plan decides: what it is to be, why, and
// what became of it (the installer's answer, or on a change whether it is added or removed).
void LogPlan(const InstallSession& session, const FeaturePlan& entry, const std::string& outcome)
{
    const char* target = entry.target == Target::Package ? " as the package decides" : Installs(entry.target) ? " on" : " off";
    session.Log("plan: feature " + entry.feature + target + " (" + entry.reason + "): " + outcome);
}

// Makes the library's rows in the table the plan's: a level-0 row for each feature it
// switches off, none for the others. The package's own rows are never touched. Logs the
// plan once per feature it decides. Returns the library's rows as they were before.
std::vector<ConditionRow> WriteRows(const InstallSession& session, const PackageDatabase& db, const Facts& facts,
                                    const Plan& plan)
{
    std::vector<ConditionRow> held = DecodeRows(session.GetProperty(prop::LibraryRows).value_or(std::string()));
    std::vector<ConditionRow> now;
    OwnRows table(db);
    for (const FeaturePlan& entry : plan.features) {
        ConditionRow own{entry.feature, 0, std::string(kAlways)};
        bool had = Contains(held, own);
        std::string answer = "as it is";
        if (entry.off && !had) {
            if (!table.open()) {
                answer = "not written: the package has no Condition table";
            } else if (PackageHasKey(facts, entry.feature, 0)) {
                answer = "not written: the package's own level-0 row holds the key";
            } else if (table.Insert(own)) {
                now.push_back(own);
                answer = "written";
            } else {
                answer = "refused by the installer";
            }
        } else if (entry.off) {
            now.push_back(own);
        } else if (had) {
            if (table.Delete(own)) {
                answer = "written";
            } else {
                now.push_back(own);
                answer = "refused by the installer";
            }
        }
        if (entry.ruled || answer != "as it is") LogPlan(session, entry, answer);
    }
    // Rows of features the plan no longer names (a package changed under the session) go too.
    for (const ConditionRow& row : held)
        if (!PlanOf(plan, row.feature) && !table.Delete(row)) now.push_back(row);
    session.SetProperty(prop::LibraryRows, EncodeRows(now).c_str());
    return held;
}

// Costs again and sets each planned feature's state, for an installer that has costed and
// reads the rows no more. With the feature lists ruling, the lists' states stand, less the
// features withheld.
void SettleFeatureStates(const InstallSession& session, const PackageDatabase& db, const Facts& facts, const Plan& plan,
                         const std::vector<ConditionRow>& held)
{
    // A costing keeps the level of the last true row it saw, and a feature at level 0 stays
    // unregistered even once its state is set: a temporary row gives each feature that comes
    // back its planned level while costing runs again.
    std::vector<ConditionRow> levelRows;
    OwnRows table(db);
    NameSet wasOff;
    for (const ConditionRow& row : held) wasOff.insert(row.feature);
    std::vector<std::string> below = WithDescendants(facts.features, wasOff);
    NameSet seenOff(below.begin(), below.end());  // off at the last costing, or below one that was
    if (!facts.listsRule)
        for (const FeaturePlan& entry : plan.features) {
            if (entry.off || !Installs(entry.target) || !seenOff.count(entry.feature)) continue;
            ConditionRow levelRow{entry.feature, entry.level, std::string(kAlways)};
            if (!PackageHasKey(facts, entry.feature, entry.level) && table.Insert(levelRow)) levelRows.push_back(levelRow);
        }
    session.Log("costing redone");
    session.DoAction(action::CostFinalize);
    for (const ConditionRow& row : levelRows) table.Delete(row);

    NameSet withheld = Withheld(plan);
    std::string given = facts.listsRule ? session.GetProperty(prop::AddLocal).value_or(std::string()) : std::string();
    std::vector<std::string> addLocal = Split(given);
    std::string removeGiven = facts.listsRule ? ValueOf(GivenLists(session), prop::Remove) : std::string();
    std::vector<std::string> removed = Split(removeGiven);
    for (const FeaturePlan& entry : plan.features) {
        INSTALLSTATE state = StateOf(entry.target);
        bool keepInstalled = false;  // a feature being installed in any way is left as it is
        if (entry.target == Target::Package) continue;
        if (facts.listsRule && !withheld.count(entry.feature)) {
            // A feature an earlier choice withheld comes back when the given lists ask for it.
            bool asked = (IsAll(given) || std::find(addLocal.begin(), addLocal.end(), entry.feature) != addLocal.end()) &&
                         !IsAll(removeGiven) && std::find(removed.begin(), removed.end(), entry.feature) == removed.end();
            if (!asked) continue;
            state = INSTALLSTATE_LOCAL;
            keepInstalled = true;
        } else if (facts.listsRule) {
            state = INSTALLSTATE_ABSENT;
        }
        // A state already as planned is left alone: under some engines a request set once
        // keeps a later costing from fixing the feature's level and registration.
        INSTALLSTATE installed = INSTALLSTATE_UNKNOWN, action = INSTALLSTATE_UNKNOWN;
        UINT read = MsiGetFeatureStateW(session.handle(), Wide(entry.feature).c_str(), &installed, &action);
        if (keepInstalled && (read != ERROR_SUCCESS || Installs(action))) continue;
        if (read == ERROR_SUCCESS && (action == state || (!Installs(state) && !Installs(action) && !Installs(installed))))
            continue;
        UINT result = MsiSetFeatureStateW(session.handle(), Wide(entry.feature).c_str(), state);
        if (result == ERROR_SUCCESS)
            session.Log("feature " + entry.feature + " set " + StateName(state) + " after costing");
        else
            session.Log("feature " + entry.feature + " could not be set " + StateName(state) + " after costing: error " +
                        std::to_string(result));
    }
}

// A change of the installed product: each planned feature the product lacks is added, each
// it has and the plan leaves out is removed, through the feature lists (for a costing to
// come) and, once chosen, through the features' states after costing again.
void ApplyChange(const InstallSession& session, const Plan& plan, Stage stage)
{
    std::vector<std::pair<std::string, INSTALLSTATE>> changes;  // feature, its new state
    for (const FeaturePlan& entry : plan.features) {
        if (entry.target == Target::Package) continue;
        bool planned = Installs(entry.target);
        if (entry.has == planned) {
            LogPlan(session, entry, entry.has ? "stays installed" : "stays out");
            continue;
        }
        LogPlan(session, entry, planned ? "added" : "removed");
        changes.emplace_back(entry.feature, StateOf(entry.target));
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
    if (stage != Stage::Chosen) return;
    session.Log("costing redone");
    session.DoAction(action::CostFinalize);
    for (const auto& [feature, state] : changes) {
        UINT result = MsiSetFeatureStateW(session.handle(), Wide(feature).c_str(), state);
        session.Log("feature " + feature + (result == ERROR_SUCCESS ? " set " : " could not be set ") + StateName(state) +
                    (result == ERROR_SUCCESS ? std::string() : ": error " + std::to_string(result)));
    }
}

void PruneMissingReleases(const InstallSession& session, const Facts& facts)
{
    if (!facts.releases) return;
    for (std::size_t i = 0; i < facts.releases->size() && i < facts.found.size(); ++i) {
        const OwnedString& release = (*facts.releases)[i].release;
        if (facts.found[i].how != Found::Missing || !release) continue;
        for (const HostPruning& done : PruneHostReleaseKeys(release)) {
            for (const std::string& gone : done.pruning.deleted)
                session.Log("empty registry key " + RegistryKeyName(done.place, gone) + " pruned");
            if (!done.pruning.refused.empty())
                session.Log("empty registry key " + RegistryKeyName(done.place, done.pruning.refused) +
                            " left in place: deleting it was refused (error " + std::to_string(done.pruning.error) + ")");
        }
    }
}

}  // namespace

UINT ApplyPlan(const InstallSession& session, const PackageDatabase& db, const Facts& facts, const Plan& plan, Stage stage)
{
    for (const std::string& line : plan.log) session.Log(line);
    for (const auto& [name, value] : plan.properties) session.SetProperty(name.c_str(), value.c_str());
    // The registry pruning is the one write to the machine, made once, on a first installation.
    if (facts.road == Road::FirstInstall && stage == Stage::BeforeChoice) PruneMissingReleases(session, facts);
    for (int number : plan.messages) session.ReportError(number);
    if (!plan.decides) return plan.result;
    if (facts.road == Road::Change) {
        ApplyChange(session, plan, stage);
        return plan.result;
    }
    std::vector<ConditionRow> held = WriteRows(session, db, facts, plan);
    if (facts.listsRule) WithholdFromFeatureLists(session, facts.features, Withheld(plan));
    if (stage == Stage::Chosen) SettleFeatureStates(session, db, facts, plan, held);
    std::string off;
    for (const FeaturePlan& entry : plan.features)
        if (entry.off) off += (off.empty() ? "" : ", ") + entry.feature;
    session.Log("features switched off now: " + (off.empty() ? std::string("none") : off));
    return plan.result;
}

INSTALLSTATE InstalledState(const std::string& productCode, const std::string& feature)
{
    return MsiQueryFeatureStateW(Wide(productCode).c_str(), Wide(feature).c_str());
}
