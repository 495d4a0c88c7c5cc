// The library's own rows in the Condition table, for a costing still to come (or run again):
// an awake level-0 row for each feature the plan switches off, the others' rows dormant.
#include "gating/apply_roads.h"

#include "session/install_session.h"

#include <algorithm>

namespace {

bool PackageHasKey(const Facts& facts, const std::string& feature, int level)
{
    if (!facts.packageRows) return false;
    return std::any_of(facts.packageRows->begin(), facts.packageRows->end(),
                       [&](const ConditionRow& row) { return row.feature == feature && row.level == level; });
}

}  // namespace

const ConditionRow* RowRecord::Find(const std::string& feature, int level) const
{
    for (const ConditionRow& row : rows_)
        if (row.feature == feature && row.level == level) return &row;
    return nullptr;
}

bool RowRecord::Awake(const std::string& feature, int level) const
{
    const ConditionRow* row = Find(feature, level);
    return row && row->expression == std::string(kAlways);
}

void RowRecord::Erase(const ConditionRow& row)
{
    for (auto at = rows_.begin(); at != rows_.end(); ++at)
        if (at->feature == row.feature && at->level == row.level) {
            rows_.erase(at);
            return;
        }
}

void RowRecord::Put(const ConditionRow& row)
{
    for (ConditionRow& held : rows_)
        if (held.feature == row.feature && held.level == row.level) {
            held = row;
            return;
        }
    rows_.push_back(row);
}

bool OwnRows::Insert(const ConditionRow& row)
{
    if (!opened_) {
        opened_ = true;
        open_ = view_.Open(db_, table::Condition);
    }
    return open_ && view_.BeginInsert() && view_.SetString(condition::Feature, row.feature.c_str()) &&
           view_.SetInteger(condition::Level, row.level) &&
           view_.SetString(condition::Expression, row.expression.value_or(std::string()).c_str()) && view_.Commit();
}

void OwnRows::Set(std::vector<ConditionRow> rows, const char* expression, NameSet& refused)
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

bool OwnRows::Delete(const ConditionRow& row)
{
    if (!delete_.opened()) {
        BoundedText query(kQueryCapacity);
        query.append("DELETE FROM `").append(table::Condition).append("` WHERE `").append(condition::FeatureColumn)
            .append("`=? AND `").append(condition::LevelColumn).append("`=?");
        if (!delete_.Open(db_, query)) return false;
    }
    return delete_.Begin(2) && delete_.SetString(1, row.feature) && delete_.SetInteger(2, row.level) && delete_.Run();
}

bool OwnRows::SetBatch(int level, const std::vector<ConditionRow>& batch, const char* expression)
{
    if (!update_.opened()) {
        BoundedText query(2 * kQueryCapacity);
        query.append("UPDATE `").append(table::Condition).append("` SET `").append(condition::ExpressionColumn)
            .append("`=? WHERE `").append(condition::LevelColumn).append("`=? AND (");
        for (std::size_t i = 0; i < kBatch; ++i)
            query.append(i ? " OR `" : "`").append(condition::FeatureColumn).append("`=?");
        query.append(")");
        if (!update_.Open(db_, query)) return false;
    }
    // A batch short of kBatch names its last feature again.
    if (!update_.Begin(2 + kBatch) || !update_.SetString(1, expression) || !update_.SetInteger(2, level)) return false;
    for (std::size_t i = 0; i < kBatch; ++i)
        if (!update_.SetString(static_cast<UINT>(3 + i), batch[std::min(i, batch.size() - 1)].feature)) return false;
    return update_.Run();
}

void SetRows(OwnRows& table, const std::vector<ConditionRow>& rows, const char* expression, NameSet& refused)
{
    RowRecord& record = table.record();
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

// Makes the library's rows in the table the plan's: an awake level-0 row for each feature it
// switches off, none awake for the others. The package's own rows are never touched. Gives
// what became of each feature's row, for the plan's line, and the features that were off
// before.
Written WriteRows(OwnRows& table, const Facts& facts, const Plan& plan)
{
    RowRecord& record = table.record();
    Written written;
    for (const ConditionRow& row : record.rows())
        if (row.level == 0 && record.Awake(row.feature, 0)) written.wasOff.insert(row.feature);
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
    SetRows(table, wake, kAlways, refused);
    SetRows(table, sleep, kDormant, refused);
    written.lines.assign(plan.features.size(), std::string());
    for (std::size_t i = 0; i < plan.features.size(); ++i) {
        if (refused.count(plan.features[i].feature)) answers[i] = "refused by the installer";
        if (plan.features[i].ruled || answers[i] != unchanged) written.lines[i] = answers[i];
    }
    return written;
}

void RecostWithLevels(const InstallSession& session, OwnRows& table, const Facts& facts, const Plan& plan,
                      const NameSet& wasOff)
{
    // A costing keeps the level of the last true row it saw, and a feature at level 0 stays
    // unregistered even once its state is set: a row of the library gives each feature that
    // comes back its planned level while costing runs again, and sleeps after.
    RowRecord& record = table.record();
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
    // A refusal here is not reported apart: the states are set and read back after this
    // costing, and each feature's line says what it ends as.
    NameSet refused;
    SetRows(table, wake, kAlways, refused);
    RedoCosting(session);
    SetRows(table, levelRows, kDormant, refused);
}

void LogSwitchedOff(const InstallSession& session, const Plan& plan)
{
    std::string off;
    for (const FeaturePlan& entry : plan.features)
        if (entry.off) off += (off.empty() ? "" : ", ") + entry.feature;
    session.Log("features switched off now: " + (off.empty() ? std::string("none") : off));
}
