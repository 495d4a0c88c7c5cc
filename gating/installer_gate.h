// The gate over the running installation: its SearchCabinet and Condition rows read once,
// each change written to its Condition table, cabinets looked for under the source folder.
#pragma once

#include "gating/gate.h"
#include "session/database.h"

#include <map>
#include <optional>
#include <utility>
#include <vector>

// The rules, or none when the package has no SearchCabinet table with the columns that
// select and sort them (PropertyName, Function, Flags).
std::optional<std::vector<CabinetRule>> ReadCabinetRules(const PackageDatabase& db);

// True when a file or folder exists at SourceRoot followed directly by the relative path.
bool CabinetPresent(const std::string& relativePath);

// The installer's Condition table: read once through one view, changed through the same
// view. A row keeps the record it was read or inserted with, so most changes are one call.
class InstallerConditions : public ConditionWriter {
public:
    explicit InstallerConditions(const PackageDatabase& db);
    // The rows as read, in the table's order; none when the package has no Condition table.
    const std::optional<std::vector<ConditionRow>>& Rows() const { return rows_; }

    bool Insert(const ConditionRow& row) override;
    bool Lower(const ConditionRow& row) override;
    bool Delete(const ConditionRow& row) override;

private:
    using Key = std::pair<std::string, int>;  // feature, level

    const PackageDatabase& db_;
    TableView view_;
    std::optional<std::vector<ConditionRow>> rows_;
    std::map<Key, MsiHandle> records_;
};

class InstallerGate {
public:
    explicit InstallerGate(const PackageDatabase& db);
    InstallerGate(const InstallerGate&) = delete;
    InstallerGate& operator=(const InstallerGate&) = delete;
    Gate& operator*() { return gate_; }
    ConditionWriter& Writer() { return conditions_; }
    Gate* operator->() { return &gate_; }

private:
    InstallerConditions conditions_;
    Gate gate_;
};
