#include "gating/installer_gate.h"

#include "package/contract.h"
#include "session/install_session.h"

#include <shlwapi.h>

#include <algorithm>

std::optional<std::vector<CabinetRule>> ReadCabinetRules(const PackageDatabase& db)
{
    TableView view;
    if (!view.Open(db, table::SearchCabinet)) return std::nullopt;
    // The columns the installer's queries would select and sort by, found by name.
    std::vector<std::string> names = view.ColumnNames();
    auto position = [&](const char* name) {
        auto found = std::find(names.begin(), names.end(), name);
        return found == names.end() ? 0 : static_cast<int>(found - names.begin()) + 1;
    };
    int property = position(searchcabinet::PropertyNameColumn);
    int function = position(searchcabinet::FunctionColumn);
    int order = position(searchcabinet::FlagsColumn);
    if (!property || !function || !order) return std::nullopt;

    std::vector<CabinetRule> rules;
    while (view.Fetch())
        rules.push_back({view.GetString(property), view.GetString(function), view.GetInteger(order),
                         view.GetString(searchcabinet::Cabinet), view.GetString(searchcabinet::Feature),
                         view.GetInteger(searchcabinet::Flags)});
    return rules;
}

bool CabinetPresent(const std::string& relativePath)
{
    OwnedString path = JoinSourcePath(SourceRoot, relativePath);
    return path && PathFileExistsA(path->c_str());
}

InstallerConditions::InstallerConditions(const PackageDatabase& db) : db_(db)
{
    if (!view_.Open(db, table::Condition)) return;
    rows_.emplace();
    while (view_.Fetch()) {
        ConditionRow row{view_.GetString(condition::Feature).value_or(std::string()), view_.GetInteger(condition::Level),
                         view_.GetString(condition::Expression)};
        records_[{row.feature, row.level}] = view_.TakeRecord();
        rows_->push_back(std::move(row));
    }
}

bool InstallerConditions::Insert(const ConditionRow& row)
{
    MsiHandle record(MsiCreateRecord(3));
    if (!record || MsiRecordSetStringA(record.get(), condition::Feature, row.feature.c_str()) != ERROR_SUCCESS ||
        MsiRecordSetInteger(record.get(), condition::Level, row.level) != ERROR_SUCCESS ||
        MsiRecordSetStringA(record.get(), condition::Expression, row.expression.value_or(std::string()).c_str()) !=
            ERROR_SUCCESS ||
        !view_.Modify(MSIMODIFY_INSERT_TEMPORARY, record.get()))
        return false;
    records_[{row.feature, row.level}] = std::move(record);
    return true;
}

bool InstallerConditions::Lower(const ConditionRow& row)
{
    auto found = records_.find({row.feature, row.level});
    if (found == records_.end()) return false;
    MSIHANDLE record = found->second.get();
    MsiRecordSetInteger(record, condition::Level, 0);
    if (!view_.Modify(MSIMODIFY_REPLACE, record)) {
        MsiRecordSetInteger(record, condition::Level, row.level);  // the row is as it was
        return false;
    }
    MsiHandle moved = std::move(found->second);
    records_.erase(found);
    records_[{row.feature, 0}] = std::move(moved);
    return true;
}

bool InstallerConditions::Delete(const ConditionRow& row)
{
    auto found = records_.find({row.feature, row.level});
    if (found != records_.end() && view_.Modify(MSIMODIFY_DELETE, found->second.get())) {
        records_.erase(found);
        return true;
    }
    // Some engines delete only with a record fetched for the row: fetch it.
    TableView lookup;
    Filter key(condition::FeatureColumn, row.feature);
    key.And(condition::LevelColumn, row.level);
    if (!lookup.Open(db_, table::Condition, nullptr, key) || !lookup.Fetch() || !lookup.MarkDelete() || !lookup.Commit())
        return false;
    if (found != records_.end()) records_.erase(found);
    return true;
}

InstallerGate::InstallerGate(const PackageDatabase& db)
    : conditions_(db),
      gate_(ReadCabinetRules(db), conditions_.Rows(), conditions_, CabinetPresent,
            [&db](const std::string& text) { db.Log(text); })
{
}
