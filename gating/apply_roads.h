// What the roads of apply share, each road in its file: apply_rows.cpp the library's own
// Condition rows, apply_lists.cpp the feature lists, apply_states.cpp the features' states
// after costing, apply_change.cpp the change of an installed product. apply.cpp sends a plan
// down its road and keeps what the next action is handed. Private to gating/apply*.cpp.
#pragma once

#include "gating/apply.h"
#include "gating/costing.h"
#include "gating/record.h"
#include "package/contract.h"
#include "session/database.h"
#include "session/statement.h"

#include <string>
#include <utility>
#include <vector>

class InstallSession;

INSTALLSTATE StateOf(Target target);

// The one line the log gets for each feature the plan decides: what it is to be, why, and
// what became of it (the installer's answer, or on a change whether it is added or removed).
void LogPlan(const InstallSession& session, const FeaturePlan& entry, const std::string& outcome);

// --- The feature lists (apply_lists.cpp; the lists as given are kept by apply.cpp) ---

// The lists the library may change, kept as given before it first did.
constexpr const char* kEditedLists[] = {prop::AddLocal, prop::Remove, prop::AddSource, prop::AddDefault, prop::Advertise};

// The lists as given before the library first withheld anything from them: "NAME=value" lines.
using Lists = NamedValues;
Lists GivenLists(const InstallSession& session);
std::string ValueOf(const Lists& lists, const std::string& name);

std::vector<std::string> Split(const std::string& list);
bool IsAll(const std::string& list);

using Changes = std::vector<std::pair<std::string, INSTALLSTATE>>;  // feature, its new state
void HoldFeatureLists(const InstallSession& session, const std::vector<FeatureRow>& features, const NameSet& withheld,
                      const Changes& changes);
void WithholdFromFeatureLists(const InstallSession& session, const std::vector<FeatureRow>& features,
                              const NameSet& withheld);

// --- The library's own rows (apply_rows.cpp) ---

// The library's rows as a record: each row's key and whether it is awake.
class RowRecord {
public:
    explicit RowRecord(std::vector<ConditionRow> rows) : rows_(std::move(rows)) {}
    const std::vector<ConditionRow>& rows() const { return rows_; }
    // The row of the key, or none.
    const ConditionRow* Find(const std::string& feature, int level) const;
    bool Awake(const std::string& feature, int level) const;
    void Erase(const ConditionRow& row);
    void Put(const ConditionRow& row);

private:
    std::vector<ConditionRow> rows_;
};

// The library's own rows in the Condition table, all temporary, and the record of them the
// next action is handed. A row is never deleted: a row the library no longer wants is left
// dormant, its condition false ("0"), which a costing skips, and woken ("1") when wanted
// again. That is one query for many rows, where a deletion is two calls a row (a multi-row
// DELETE is no choice: some engines delete the wrong rows when one query removes several).
// Each view is opened when first needed.
class OwnRows {
public:
    OwnRows(const PackageDatabase& db, RowRecord& record) : db_(db), record_(record) {}
    RowRecord& record() { return record_; }
    bool Insert(const ConditionRow& row);
    // Gives the rows (by key) the condition, in batches of one level and up to kBatch
    // features, one query execution each. Adds the features of the rows left as they were.
    void Set(std::vector<ConditionRow> rows, const char* expression, NameSet& refused);
    // Deletes one row by its key (a kept record is no way to name a row: some engines delete
    // the row under the view's cursor instead).
    bool Delete(const ConditionRow& row);

private:
    static constexpr std::size_t kBatch = 48;
    bool SetBatch(int level, const std::vector<ConditionRow>& batch, const char* expression);

    const PackageDatabase& db_;
    RowRecord& record_;
    TableView view_;
    bool opened_ = false;
    bool open_ = false;
    Statement update_;
    Statement delete_;
};

// Gives every row of `rows` (keys the record holds) the condition, and the record with it;
// the rows refused keep theirs, and their features are added to `refused`.
void SetRows(OwnRows& table, const std::vector<ConditionRow>& rows, const char* expression, NameSet& refused);

// What writing the plan's rows left: the features off before, and the plan's line of each
// feature it decides (an empty text where there is nothing to say).
struct Written {
    NameSet wasOff;
    std::vector<std::string> lines;
};
Written WriteRows(OwnRows& table, const Facts& facts, const Plan& plan);

// Costs again, each feature that comes back from off given its planned level while it runs.
void RecostWithLevels(const InstallSession& session, OwnRows& table, const Facts& facts, const Plan& plan,
                      const NameSet& wasOff);

// The log's line of the features the rows switch off.
void LogSwitchedOff(const InstallSession& session, const Plan& plan);

// --- States after costing (apply_states.cpp) ---

// Runs CostFinalize again, for an installer that has costed and reads the rows no more.
void RedoCosting(const InstallSession& session);
// Sets each planned feature's state after a costing, leaving what stands already.
void SettleFeatureStates(const InstallSession& session, const Facts& facts, const Plan& plan, Known& known);
// Before the choice, the states a first costing that reads the rows gives: the guess the next
// action checks first.
void GuessFirstCosting(const Facts& facts, const Plan& plan, Stage stage, Known& known);

// --- The change of an installed product (apply_change.cpp) ---

void ApplyChange(const InstallSession& session, const Facts& facts, const Plan& plan, Stage stage);
