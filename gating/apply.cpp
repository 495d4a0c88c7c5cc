#include "gating/apply.h"

#include "host/host_release.h"
#include "package/contract.h"
#include "session/database.h"
#include "session/install_session.h"

#include <msiquery.h>

#include <algorithm>

bool FeatureListsRule(const InstallSession& session)
{
    // The lists as given tell, or as the library kept them. Preselected alone is no list: a
    // dialog's AddLocal or Remove sets it too, and then the person's states are checked
    // against the plan like any others.
    if (session.GetProperty(prop::ListsGiven)) return true;
    for (const char* list : {prop::AddLocal, prop::Remove, prop::AddSource, prop::AddDefault, prop::Reinstall, prop::Advertise})
        if (session.GetProperty(list)) return true;
    return false;
}

bool CostingStillToCome(const InstallSession& session)
{
    return session.GetProperty(prop::CostingComplete) != std::string("1");
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

// The lists as given before the library first withheld anything from them.
using Lists = NamedValues;  // name, value

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
    if (stored) return DecodeLists(*stored);
    for (const char* name : kEditedLists) lists.emplace_back(name, session.GetProperty(name).value_or(std::string()));
    session.SetProperty(prop::ListsGiven, EncodeLists(lists).c_str());
    return lists;
}

}  // namespace

namespace {

using Changes = std::vector<std::pair<std::string, INSTALLSTATE>>;  // feature, its new state

bool Belongs(const std::string& list, INSTALLSTATE state)
{
    return list == prop::Remove      ? state == INSTALLSTATE_ABSENT
           : list == prop::AddLocal  ? state == INSTALLSTATE_LOCAL
           : list == prop::AddSource ? state == INSTALLSTATE_SOURCE
           : list == prop::Advertise ? state == INSTALLSTATE_ADVERTISED
                                     : false;
}

// The one way the lists are edited, on every road: the lists as given, each planned change
// joined to the list of its state, and every withheld feature joined to REMOVE (which comes
// after ADDLOCAL: what it names is not installed, whatever ADDLOCAL said) and taken out of
// ADDSOURCE, ADDDEFAULT and ADVERTISE (ALL there spelled out).
void HoldFeatureLists(const InstallSession& session, const std::vector<FeatureRow>& features, const NameSet& withheld,
                      const Changes& changes)
{
    Lists given = GivenLists(session);
    // Without a list given nothing is held: the plan's states rule.
    bool anyGiven = std::any_of(given.begin(), given.end(), [](const auto& list) { return !list.second.empty(); });
    const NameSet none;
    const NameSet& held = anyGiven ? withheld : none;
    for (const char* name : kEditedLists) {
        const std::string value = ValueOf(given, name);
        const bool remove = name == std::string(prop::Remove);
        std::vector<std::string> names;
        if (IsAll(value) && (remove || name == std::string(prop::AddLocal))) {
            names = {value};
        } else if (IsAll(value)) {
            for (const FeatureRow& feature : features) names.push_back(feature.name);
        } else {
            names = Split(value);
        }
        bool all = names.size() == 1 && IsAll(names.front());
        auto has = [&](const std::string& feature) { return std::find(names.begin(), names.end(), feature) != names.end(); };
        for (const auto& [feature, state] : changes)
            if (!all && Belongs(name, state) && !has(feature)) names.push_back(feature);
        if (remove && !all) {
            for (const std::string& feature : held)
                if (!has(feature)) names.push_back(feature);
        } else if (!remove && name != std::string(prop::AddLocal)) {
            names.erase(std::remove_if(names.begin(), names.end(), [&](const std::string& n) { return held.count(n) > 0; }),
                        names.end());
        }
        std::string list = Join(names);
        if (list == session.GetProperty(name).value_or(std::string())) continue;
        session.SetProperty(name, list.c_str());
        session.Log(std::string("feature lists: ") + name + " = " + (list.empty() ? "(none)" : list) +
                    " (as given, with the plan's changes; the features the rules switch off withheld)");
    }
}

}  // namespace

void WithholdFromFeatureLists(const InstallSession& session, const std::vector<FeatureRow>& features,
                              const NameSet& withheld)
{
    HoldFeatureLists(session, features, withheld, {});
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

bool PackageHasKey(const Facts& facts, const std::string& feature, int level)
{
    if (!facts.packageRows) return false;
    return std::any_of(facts.packageRows->begin(), facts.packageRows->end(),
                       [&](const ConditionRow& row) { return row.feature == feature && row.level == level; });
}

// The library's own rows in the Condition table, all temporary. A row is never deleted: a row
// the library no longer wants is left dormant, its condition false ("0"), which a costing
// skips, and woken ("1") when wanted again. That is one query for many rows, where a
// deletion is two calls a row (a multi-row DELETE is no choice: some engines delete the
// wrong rows when one query removes several). Each view is opened when first needed.
class OwnRows {
public:
    explicit OwnRows(const PackageDatabase& db) : db_(db) {}
    bool Insert(const ConditionRow& row)
    {
        if (!opened_) {
            opened_ = true;
            open_ = view_.Open(db_, table::Condition);
        }
        MsiHandle record(MsiCreateRecord(3));
        return open_ && record &&
               MsiRecordSetStringW(record.get(), condition::Feature, Wide(row.feature).c_str()) == ERROR_SUCCESS &&
               MsiRecordSetInteger(record.get(), condition::Level, row.level) == ERROR_SUCCESS &&
               MsiRecordSetStringW(record.get(), condition::Expression, Wide(row.expression.value_or(std::string())).c_str()) ==
                   ERROR_SUCCESS &&
               view_.Modify(MSIMODIFY_INSERT_TEMPORARY, record.get());
    }
    // Gives the rows (by key) the condition, in batches of one level and up to kBatch
    // features, one query execution each. Adds the features of the rows left as they were.
    void Set(std::vector<ConditionRow> rows, const char* expression, NameSet& refused)
    {
        while (!rows.empty()) {
            int level = rows.front().level;
            std::vector<ConditionRow> batch;
            for (auto at = rows.begin(); at != rows.end() && batch.size() < kBatch;) {
                if (at->level == level) {
                    batch.push_back(*at);
                    at = rows.erase(at);
                } else {
                    ++at;
                }
            }
            if (!SetBatch(level, batch, expression))
                for (const ConditionRow& row : batch) refused.insert(row.feature);
        }
    }

    // Deletes one row by its key (a kept record is no way to name a row: some engines delete
    // the row under the view's cursor instead).
    bool Delete(const ConditionRow& row)
    {
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
        if (deleted_) MsiViewClose(delete_.get());
        deleted_ = MsiViewExecute(delete_.get(), params.get()) == ERROR_SUCCESS;
        return deleted_;
    }

private:
    static constexpr std::size_t kBatch = 48;

    bool SetBatch(int level, const std::vector<ConditionRow>& batch, const char* expression)
    {
        if (!update_) {
            BoundedText query(2 * kQueryCapacity);
            query.append("UPDATE `").append(table::Condition).append("` SET `").append(condition::ExpressionColumn)
                .append("`=? WHERE `").append(condition::LevelColumn).append("`=? AND (");
            for (std::size_t i = 0; i < kBatch; ++i)
                query.append(i ? " OR `" : "`").append(condition::FeatureColumn).append("`=?");
            query.append(")");
            if (!query.ok() || MsiDatabaseOpenViewW(db_.handle(), Wide(query.str()).c_str(), update_.put()) != ERROR_SUCCESS) {
                update_.reset();
                return false;
            }
        }
        // A batch short of kBatch names its last feature again.
        MsiHandle params(MsiCreateRecord(2 + kBatch));
        if (!params || MsiRecordSetStringW(params.get(), 1, Wide(expression).c_str()) != ERROR_SUCCESS ||
            MsiRecordSetInteger(params.get(), 2, level) != ERROR_SUCCESS)
            return false;
        for (std::size_t i = 0; i < kBatch; ++i)
            if (MsiRecordSetStringW(params.get(), static_cast<UINT>(3 + i),
                                    Wide(batch[std::min(i, batch.size() - 1)].feature).c_str()) != ERROR_SUCCESS)
                return false;
        if (executed_) MsiViewClose(update_.get());
        executed_ = MsiViewExecute(update_.get(), params.get()) == ERROR_SUCCESS;
        return executed_;
    }

    const PackageDatabase& db_;
    TableView view_;
    bool opened_ = false;
    bool open_ = false;
    MsiHandle update_;
    bool executed_ = false;
    MsiHandle delete_;
    bool deleted_ = false;
};

// The library's rows as a record: each row's key and whether it is awake.
class RowRecord {
public:
    explicit RowRecord(std::vector<ConditionRow> rows) : rows_(std::move(rows)) {}
    const std::vector<ConditionRow>& rows() const { return rows_; }
    // The row of the key, or none.
    const ConditionRow* Find(const std::string& feature, int level) const
    {
        for (const ConditionRow& row : rows_)
            if (row.feature == feature && row.level == level) return &row;
        return nullptr;
    }
    bool Awake(const std::string& feature, int level) const
    {
        const ConditionRow* row = Find(feature, level);
        return row && row->expression == std::string(kAlways);
    }
    void Erase(const ConditionRow& row)
    {
        for (auto at = rows_.begin(); at != rows_.end(); ++at)
            if (at->feature == row.feature && at->level == row.level) {
                rows_.erase(at);
                return;
            }
    }
    void Put(const ConditionRow& row)
    {
        for (ConditionRow& held : rows_)
            if (held.feature == row.feature && held.level == row.level) {
                held = row;
                return;
            }
        rows_.push_back(row);
    }

private:
    std::vector<ConditionRow> rows_;
};

// Gives every row of `rows` (keys the record holds) the condition, and the record with it;
// the rows refused keep theirs, and their features are added to `refused`.
void SetRows(OwnRows& table, RowRecord& record, const std::vector<ConditionRow>& rows, const char* expression,
             NameSet& refused)
{
    NameSet failed;
    table.Set(rows, expression, failed);
    for (const ConditionRow& row : rows) {
        if (!failed.count(row.feature)) {
            record.Put(ConditionRow{row.feature, row.level, std::string(expression)});
        } else if (expression == std::string(kDormant) && table.Delete(row)) {
            // An engine that refuses the update may still let the row go.
            record.Erase(row);
        } else {
            refused.insert(row.feature);
        }
    }
}

// The one line the log gets for each feature the plan decides: what it is to be, why, and
// what became of it (the installer's answer, or on a change whether it is added or removed).
void LogPlan(const InstallSession& session, const FeaturePlan& entry, const std::string& outcome)
{
    const char* target = entry.target == Target::Package ? " as the package decides" : Installs(entry.target) ? " on" : " off";
    session.Log("plan: feature " + entry.feature + target + " (" + entry.reason + "): " + outcome);
}

// The plan's line of each feature it decides, or an empty text where there is nothing to say.
using PlanLines = std::vector<std::string>;

// Makes the library's rows in the table the plan's: an awake level-0 row for each feature it
// switches off, none awake for the others. The package's own rows are never touched. Gives
// what became of each feature's row, for the plan's line. Returns the features that were off
// before.
NameSet WriteRows(OwnRows& table, const Facts& facts, const Plan& plan, RowRecord& record, PlanLines& lines)
{
    NameSet wasOff;
    for (const ConditionRow& row : record.rows())
        if (row.level == 0 && record.Awake(row.feature, 0)) wasOff.insert(row.feature);
    const std::string unchanged = "as it is";
    std::vector<std::string> answers(plan.features.size(), unchanged);
    std::vector<ConditionRow> wake, sleep;
    for (std::size_t i = 0; i < plan.features.size(); ++i) {
        const FeaturePlan& entry = plan.features[i];
        const ConditionRow* held = record.Find(entry.feature, 0);
        bool awake = record.Awake(entry.feature, 0);
        if (entry.off && held && !awake) {
            wake.push_back(*held);
            answers[i] = "written";
        } else if (entry.off && !held) {
            ConditionRow own{entry.feature, 0, std::string(kAlways)};
            if (!facts.packageRows) {
                answers[i] = "not written: the package has no Condition table";
            } else if (PackageHasKey(facts, entry.feature, 0)) {
                answers[i] = "not written: the package's own level-0 row holds the key";
            } else if (table.Insert(own)) {
                record.Put(own);
                answers[i] = "written";
            } else {
                answers[i] = "refused by the installer";
            }
        } else if (!entry.off && awake) {
            sleep.push_back(*held);
            answers[i] = "written";
        }
    }
    // Rows of features the plan no longer names (a package changed under the session) sleep too.
    for (const ConditionRow& row : record.rows())
        if (row.level == 0 && !PlanOf(plan, row.feature) && record.Awake(row.feature, 0)) sleep.push_back(row);
    NameSet refused;
    SetRows(table, record, wake, kAlways, refused);
    SetRows(table, record, sleep, kDormant, refused);
    lines.assign(plan.features.size(), std::string());
    for (std::size_t i = 0; i < plan.features.size(); ++i) {
        if (refused.count(plan.features[i].feature)) answers[i] = "refused by the installer";
        if (plan.features[i].ruled || answers[i] != unchanged) lines[i] = answers[i];
    }
    return wasOff;
}

// Whether a feature's state stands as planned. Under some engines a request set once keeps a
// later costing from fixing the feature's level and registration: a state already as
// planned is left alone. `keep`: a feature the given lists install stays as it is installed.
bool Stands(INSTALLSTATE planned, bool keep, INSTALLSTATE action, INSTALLSTATE installed)
{
    if (keep) return Installs(action);
    return action == planned || (!Installs(planned) && !Installs(action) && !Installs(installed));
}

// The same question as a condition over the feature's action (&) and installed (!) states,
// which the installer answers for many features in one call.
std::string StandsCondition(const std::string& feature, INSTALLSTATE planned, bool keep)
{
    // One term for each state the question tells apart: "&F=1" and the like.
    std::string text = "(";
    auto term = [&](const char* sign, int state, const char* joint) {
        text.append(sign).append(feature).append("=").append(std::to_string(state)).append(joint);
    };
    if (keep) {
        term("&", 1, " OR ");
        term("&", 3, " OR ");
        term("&", 4, ")");
    } else if (Installs(planned)) {
        term("&", planned, ")");
    } else {
        term("&", 2, " OR NOT (");
        for (const char* sign : {"&", "!"})
            for (int state : {1, 3, 4}) term(sign, state, *sign == '!' && state == 4 ? "))" : " OR ");
    }
    return text;
}

// A feature name the condition syntax reads as one name.
bool ConditionName(const std::string& name)
{
    auto letter = [](char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_'; };
    if (name.empty() || !letter(name[0])) return false;
    return std::all_of(name.begin(), name.end(), [&](char c) { return letter(c) || (c >= '0' && c <= '9') || c == '.'; });
}

struct Setting {
    std::string feature;
    INSTALLSTATE state;
    bool keep;  // installed as the lists give it: left as it is when it installs
    bool stands = false;
    INSTALLSTATE action = INSTALLSTATE_UNKNOWN;  // as read, when read
    bool read = false;
};

void ReadStanding(const InstallSession& session, Setting& s)
{
    INSTALLSTATE installed = INSTALLSTATE_UNKNOWN;
    UINT result = MsiGetFeatureStateW(session.handle(), Wide(s.feature).c_str(), &installed, &s.action);
    s.read = result == ERROR_SUCCESS;
    s.stands = s.read ? Stands(s.state, s.keep, s.action, installed) : s.keep;
}

// Which settings stand already. The states the library knows (from the last action) and the
// plan's own states are guesses: the installer checks each guess for a batch of features in
// one condition, and a batch no guess explains is read feature by feature, as are names the
// condition syntax cannot hold. A person who changed a state on the dialog fails the guess.
void FindStanding(const InstallSession& session, const Known& known, std::vector<Setting>& settings)
{
    constexpr std::size_t kConditionBytes = 8 * 1024;
    std::size_t next = 0;
    while (next < settings.size()) {
        std::vector<std::size_t> batch;
        for (std::size_t bytes = 0; next < settings.size() && bytes < kConditionBytes; ++next) {
            if (!ConditionName(settings[next].feature)) {
                ReadStanding(session, settings[next]);
                continue;
            }
            batch.push_back(next);
            bytes += 6 * settings[next].feature.size() + 60;
        }
        if (batch.empty()) continue;
        std::vector<bool> tried;
        bool settled = false;
        for (int guess = 0; guess < 2 && !settled; ++guess) {
            // The first costing gives the plan's states; a later one leaves the known ones.
            bool fromKnown = (guess == 0) != known.firstCosting;
            std::vector<bool> expect;
            std::string condition;
            for (std::size_t i : batch) {
                const Setting& s = settings[i];
                const INSTALLSTATE* state = fromKnown ? known.states.find(s.feature) : nullptr;
                bool stands = !state || Stands(s.state, s.keep, *state, INSTALLSTATE_ABSENT);
                expect.push_back(stands);
                condition += (condition.empty() ? "" : " AND ") + std::string(stands ? "" : "NOT ") +
                             StandsCondition(s.feature, s.state, s.keep);
            }
            if (expect == tried) continue;
            tried = expect;
            if (MsiEvaluateConditionW(session.handle(), Wide(condition).c_str()) != MSICONDITION_TRUE) continue;
            for (std::size_t k = 0; k < batch.size(); ++k) settings[batch[k]].stands = expect[k];
            settled = true;
        }
        if (!settled)
            for (std::size_t i : batch) ReadStanding(session, settings[i]);
    }
}

// Costs again and sets each planned feature's state, for an installer that has costed and
// reads the rows no more. With the feature lists ruling, the lists' states stand, less the
// features withheld.
void SettleFeatureStates(const InstallSession& session, OwnRows& table, const Facts& facts, const Plan& plan,
                         const NameSet& wasOff, RowRecord& record, Known& known)
{
    // A costing keeps the level of the last true row it saw, and a feature at level 0 stays
    // unregistered even once its state is set: a row of the library gives each feature that
    // comes back its planned level while costing runs again, and sleeps after.
    std::vector<ConditionRow> levelRows, wake;
    std::vector<std::string> below = WithDescendants(facts.features, wasOff);
    NameSet seenOff(below.begin(), below.end());  // off at the last costing, or below one that was
    if (!facts.listsRule)
        for (const FeaturePlan& entry : plan.features) {
            if (entry.off || !Installs(entry.target) || !seenOff.count(entry.feature) || entry.level == 0) continue;
            ConditionRow levelRow{entry.feature, entry.level, std::string(kAlways)};
            if (const ConditionRow* held = record.Find(entry.feature, entry.level)) {
                wake.push_back(*held);
                levelRows.push_back(levelRow);
            } else if (!PackageHasKey(facts, entry.feature, entry.level) && table.Insert(levelRow)) {
                record.Put(levelRow);
                levelRows.push_back(levelRow);
            }
        }
    NameSet refused;
    SetRows(table, record, wake, kAlways, refused);
    session.Log("costing redone");
    session.DoAction(action::CostFinalize);
    SetRows(table, record, levelRows, kDormant, refused);

    NameSet withheld = Withheld(plan);
    std::string given = facts.listsRule ? session.GetProperty(prop::AddLocal).value_or(std::string()) : std::string();
    std::vector<std::string> addLocal = Split(given);
    std::string removeGiven = facts.listsRule ? ValueOf(GivenLists(session), prop::Remove) : std::string();
    std::vector<std::string> removed = Split(removeGiven);
    std::vector<Setting> settings;
    for (const FeaturePlan& entry : plan.features) {
        if (entry.target == Target::Package) continue;
        Setting s{entry.feature, StateOf(entry.target), false};
        if (facts.listsRule && !withheld.count(entry.feature)) {
            // A feature an earlier choice withheld comes back when the given lists ask for it.
            bool asked = (IsAll(given) || std::find(addLocal.begin(), addLocal.end(), entry.feature) != addLocal.end()) &&
                         !IsAll(removeGiven) && std::find(removed.begin(), removed.end(), entry.feature) == removed.end();
            // Not asked for, it is as the lists give it, except that it never installs where the
            // plan leaves it out (a dialog's AddLocal on its parent takes it along).
            if (!asked && Installs(s.state)) continue;
            if (asked) {
                s.state = INSTALLSTATE_LOCAL;
                s.keep = true;
            }
        } else if (facts.listsRule) {
            s.state = INSTALLSTATE_ABSENT;
        }
        settings.push_back(s);
    }
    FindStanding(session, known, settings);
    for (const Setting& s : settings) {
        if (s.stands) {
            // What stands is as planned; a kept feature installs in a way not known unless read.
            if (s.read) known.states[s.feature] = s.action;
            else if (s.keep) known.states.erase(s.feature);
            else known.states[s.feature] = s.state;
            continue;
        }
        UINT result = MsiSetFeatureStateW(session.handle(), Wide(s.feature).c_str(), s.state);
        if (result == ERROR_SUCCESS) {
            known.states[s.feature] = s.state;
            session.Log("feature " + s.feature + " set " + StateName(s.state) + " after costing");
        } else {
            known.states.erase(s.feature);
            session.Log("feature " + s.feature + " could not be set " + StateName(s.state) + " after costing: error " +
                        std::to_string(result));
        }
    }
}

// A change of the installed product: each planned feature the product lacks is added, each
// it has and the plan leaves out is removed, through the feature lists (for a costing to
// come) and, once chosen, through the features' states after costing again.
void ApplyChange(const InstallSession& session, const std::vector<FeatureRow>& features, const Plan& plan, Stage stage)
{
    NameSet withheld = Withheld(plan);
    Changes changes;
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

    HoldFeatureLists(session, features, withheld, changes);
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

UINT ApplyPlan(const InstallSession& session, const PackageDatabase& db, const Facts& facts, const Plan& plan, Stage stage,
               Known& known)
{
    for (const std::string& line : plan.log) session.Log(line);
    for (const auto& [name, value] : plan.properties) session.SetProperty(name.c_str(), value.c_str());
    // The registry pruning is the one write to the machine, made once, on a first installation.
    if (facts.road == Road::FirstInstall && stage == Stage::BeforeChoice) PruneMissingReleases(session, facts);
    for (int number : plan.messages) session.ReportError(number);
    if (!plan.decides) return plan.result;
    if (facts.road == Road::Change) {
        ApplyChange(session, facts.features, plan, stage);
        return plan.result;
    }
    std::vector<ConditionRow> held =
        known.rows ? *known.rows : DecodeRows(session.GetProperty(prop::LibraryRows).value_or(std::string()));
    RowRecord record(held);
    OwnRows table(db);
    PlanLines lines;
    NameSet wasOff = WriteRows(table, facts, plan, record, lines);
    if (facts.listsRule) WithholdFromFeatureLists(session, facts.features, Withheld(plan));
    if (stage == Stage::Chosen) SettleFeatureStates(session, table, facts, plan, wasOff, record, known);
    // Once the states are settled, each line says what the feature ends as, checked (a person
    // may have changed it on a dialog), not assumed.
    for (std::size_t i = 0; i < plan.features.size(); ++i) {
        if (lines[i].empty()) continue;
        const INSTALLSTATE* ends = stage == Stage::Chosen ? known.states.find(plan.features[i].feature) : nullptr;
        LogPlan(session, plan.features[i], lines[i] + (ends ? std::string("; ends ") + StateName(*ends) : std::string()));
    }
    if (!known.rows || record.rows() != held) session.SetProperty(prop::LibraryRows, EncodeRows(record.rows()).c_str());
    known.rows = record.rows();
    // Before the choice, a first costing that reads these rows gives each feature the plan's
    // state: the guess the next action checks first.
    if (stage == Stage::BeforeChoice && !facts.listsRule && known.firstCosting)
        for (const FeaturePlan& entry : plan.features)
            if (entry.target != Target::Package) known.states[entry.feature] = StateOf(entry.target);
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
