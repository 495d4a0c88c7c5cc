#include "gating/installer_gate.h"

#include "package/contract.h"
#include "session/install_session.h"

#include <algorithm>

std::optional<std::vector<CabinetRule>> ReadCabinetRules(const PackageDatabase& db, std::string* problem)
{
    TableView view;
    if (!view.Open(db, table::SearchCabinet)) {
        if (problem) *problem = "no SearchCabinet table";
        return std::nullopt;
    }
    // The columns the installer's queries would select and sort by, found by name.
    std::vector<std::string> names = view.ColumnNames();
    auto position = [&](const char* name) {
        auto found = std::find(names.begin(), names.end(), name);
        return found == names.end() ? 0 : static_cast<int>(found - names.begin()) + 1;
    };
    int property = position(searchcabinet::PropertyNameColumn);
    int function = position(searchcabinet::FunctionColumn);
    int order = position(searchcabinet::FlagsColumn);
    if (!property || !function || !order) {
        if (problem) {
            *problem = "warning: the SearchCabinet table has no column named";
            for (const char* name : {searchcabinet::PropertyNameColumn, searchcabinet::FunctionColumn, searchcabinet::FlagsColumn})
                if (!position(name)) *problem += std::string(" ") + name;
            *problem += "; its columns are";
            for (const std::string& name : names) *problem += " " + name;
        }
        return std::nullopt;
    }

    std::vector<CabinetRule> rules;
    while (view.Fetch())
        rules.push_back({view.GetString(property), view.GetString(function), view.GetInteger(order),
                         view.GetString(searchcabinet::Cabinet), view.GetString(searchcabinet::Feature),
                         view.GetInteger(searchcabinet::Flags)});
    return rules;
}

bool CabinetPresent(const std::string& relativePath)
{
    return SourceFileExists(SourceRoot, relativePath);
}

namespace {

ConditionRow CurrentConditionRow(const TableView& view)
{
    return {view.GetString(condition::Feature).value_or(std::string()), view.GetInteger(condition::Level),
            view.GetString(condition::Expression)};
}

}  // namespace

std::optional<std::vector<ConditionRow>> ReadConditionRows(const PackageDatabase& db)
{
    TableView view;
    if (!view.Open(db, table::Condition)) return std::nullopt;
    std::vector<ConditionRow> rows;
    while (view.Fetch()) rows.push_back(CurrentConditionRow(view));
    return rows;
}

InstallerConditions::InstallerConditions(const PackageDatabase& db) : db_(db)
{
    if (!view_.Open(db, table::Condition)) return;
    rows_.emplace();
    while (view_.Fetch()) {
        ConditionRow row = CurrentConditionRow(view_);
        keys_.insert({row.feature, row.level});
        records_[{row.feature, row.level}] = view_.TakeRecord();
        rows_->push_back(std::move(row));
    }
}

bool InstallerConditions::Insert(const ConditionRow& row)
{
    if (!rows_ || !keys_.insert({row.feature, row.level}).second) return false;
    waiting_.push_back(row);
    return true;
}

bool InstallerConditions::Lower(const ConditionRow& row)
{
    auto found = records_.find({row.feature, row.level});
    if (found == records_.end() || keys_.count({row.feature, 0})) return false;
    MSIHANDLE record = found->second.get();
    MsiRecordSetInteger(record, condition::Level, 0);
    if (!view_.Modify(MSIMODIFY_REPLACE, record)) {
        MsiRecordSetInteger(record, condition::Level, row.level);  // the row is as it was
        return false;
    }
    keys_.erase({row.feature, row.level});
    keys_.insert({row.feature, 0});
    MsiHandle moved = std::move(found->second);
    records_.erase(found);
    records_[{row.feature, 0}] = std::move(moved);
    return true;
}

bool InstallerConditions::Delete(const ConditionRow& row)
{
    Key key{row.feature, row.level};
    auto waiting = std::find_if(waiting_.begin(), waiting_.end(),
                                [&](const ConditionRow& r) { return r.feature == row.feature && r.level == row.level; });
    if (waiting != waiting_.end()) {
        waiting_.erase(waiting);
        keys_.erase(key);
        return true;
    }
    // A row is deleted by its key. (A record kept from reading is no way to name the row:
    // some engines delete the row under the view's cursor instead.)
    if (!deleteView_) {
        BoundedText query(kQueryCapacity);
        query.append("DELETE FROM `").append(table::Condition).append("` WHERE `").append(condition::FeatureColumn)
            .append("`=? AND `").append(condition::LevelColumn).append("`=?");
        if (MsiDatabaseOpenViewW(db_.handle(), Wide(query.str()).c_str(), deleteView_.put()) != ERROR_SUCCESS) {
            deleteView_.reset();
            return false;
        }
    }
    MsiHandle params(MsiCreateRecord(2));
    if (!params || MsiRecordSetStringW(params.get(), 1, Wide(row.feature).c_str()) != ERROR_SUCCESS ||
        MsiRecordSetInteger(params.get(), 2, row.level) != ERROR_SUCCESS)
        return false;
    if (deleteExecuted_) MsiViewClose(deleteView_.get());
    deleteExecuted_ = MsiViewExecute(deleteView_.get(), params.get()) == ERROR_SUCCESS;
    if (!deleteExecuted_) return false;
    keys_.erase(key);
    records_.erase(key);
    return true;
}

bool InstallerConditions::Commit()
{
    bool all = true;
    for (const ConditionRow& row : waiting_) {
        MsiHandle record(MsiCreateRecord(3));
        all = record && MsiRecordSetStringW(record.get(), condition::Feature, Wide(row.feature).c_str()) == ERROR_SUCCESS &&
              MsiRecordSetInteger(record.get(), condition::Level, row.level) == ERROR_SUCCESS &&
              MsiRecordSetStringW(record.get(), condition::Expression, Wide(row.expression.value_or(std::string())).c_str()) ==
                  ERROR_SUCCESS &&
              view_.Modify(MSIMODIFY_INSERT_TEMPORARY, record.get()) && all;
    }
    waiting_.clear();
    if (!all) db_.Log("the installer refused a new Condition row: a feature decided off above may stay on");
    return all;
}

InstallerGate::InstallerGate(const PackageDatabase& db)
    : conditions_(db),
      gate_(ReadCabinetRules(db, &rulesProblem_), conditions_.Rows(), conditions_, CabinetPresent,
            [&db](const std::string& text) { db.Log(text); })
{
    if (!rulesProblem_.empty()) gate_.DescribeMissingRules(rulesProblem_);
}
