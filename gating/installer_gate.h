// The gate over the running installation: its SearchCabinet and Condition rows read once,
// each change written to its Condition table, cabinets looked for under the source folder.
#pragma once

#include "gating/gate.h"
#include "session/database.h"

#include <map>
#include <set>
#include <optional>
#include <utility>
#include <vector>

// The rules, or none when the package has no SearchCabinet table with the columns that
// select and sort them (PropertyName, Function, Flags); `problem` then says which.
std::optional<std::vector<CabinetRule>> ReadCabinetRules(const PackageDatabase& db, std::string* problem = nullptr);

// The Condition rows in the table's order, or none when the package has no Condition table.
std::optional<std::vector<ConditionRow>> ReadConditionRows(const PackageDatabase& db);

// True when a file or folder exists at SourceRoot followed directly by the relative path.
bool CabinetPresent(const std::string& relativePath);

// The installer's Condition table: read once, then changed row by row. A new row waits
// until Commit, so that a row added and taken away again within one action never reaches
// the installer; the table's keys are tracked here, so an insert is answered as the
// installer would answer it (a key already there is refused).
class InstallerConditions : public ConditionWriter {
public:
    explicit InstallerConditions(const PackageDatabase& db);
    // The rows as read, in the table's order; none when the package has no Condition table.
    const std::optional<std::vector<ConditionRow>>& Rows() const { return rows_; }

    bool Insert(const ConditionRow& row) override;
    bool Lower(const ConditionRow& row) override;
    bool Delete(const ConditionRow& row) override;
    // Sends the rows still waiting; false when the installer refused one of them.
    bool Commit();

private:
    using Key = std::pair<std::string, int>;  // feature, level

    const PackageDatabase& db_;
    TableView view_;
    std::optional<std::vector<ConditionRow>> rows_;
    std::set<Key> keys_;                 // the table's keys as it stands, waiting rows included
    std::map<Key, MsiHandle> records_;   // rows as read, for a change in place
    std::vector<ConditionRow> waiting_;  // new rows not sent yet
    MsiHandle deleteView_;               // DELETE of one row by its key, prepared once
    bool deleteExecuted_ = false;
};

class InstallerGate {
public:
    explicit InstallerGate(const PackageDatabase& db);
    InstallerGate(const InstallerGate&) = delete;
    InstallerGate& operator=(const InstallerGate&) = delete;
    Gate& operator*() { return gate_; }
    ConditionWriter& Writer() { return conditions_; }
    // Sends the changes still waiting; done before costing and at the end of each action.
    bool Commit() { return conditions_.Commit(); }
    Gate* operator->() { return &gate_; }

private:
    InstallerConditions conditions_;
    std::string rulesProblem_;  // filled while gate_ is made
    Gate gate_;
};
