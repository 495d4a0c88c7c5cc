// The plan: what the rules and the choice decide for each feature, computed in memory from
// what was read, before anything is written. The actions carry it out (see apply.h); the
// package checker prints it for machines it imagines.
#pragma once

#include "gating/costing.h"
#include "gating/gate.h"
#include "package/tables.h"

#include <msi.h>

#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

// A set of names, kept sorted in a vector (the library holds every name list in vectors,
// which keeps the DLL small).
class NameSet {
public:
    NameSet() = default;
    template <typename It>
    NameSet(It first, It last)
    {
        for (; first != last; ++first) insert(*first);
    }
    bool count(const std::string& name) const;
    bool insert(const std::string& name);  // false when it was there
    std::vector<std::string>::const_iterator begin() const { return names_.begin(); }
    std::vector<std::string>::const_iterator end() const { return names_.end(); }
    bool empty() const { return names_.empty(); }

private:
    std::vector<std::string> names_;
};

// A Condition table in memory that takes what the installer would: a new row only under a
// key not yet there. The plan is decided over one, starting from the package's own rows.
class MemoryConditions : public ConditionWriter {
public:
    explicit MemoryConditions(const std::vector<ConditionRow>& rows);
    bool Insert(const ConditionRow& row) override;
    bool Lower(const ConditionRow& row) override;
    bool Delete(const ConditionRow& row) override;

private:
    std::set<std::pair<std::string, int>> keys_;
};

// The Condition rows the library added to the package's own rows in this session, and the
// package's rows it took away. The package's rows are the table less these changes, so every
// action plans from them, never from the rows an earlier action or choice left.
struct ConditionChanges {
    std::vector<ConditionRow> added;
    std::vector<ConditionRow> removed;
};
std::string EncodeChanges(const ConditionChanges& changes);
ConditionChanges DecodeChanges(const std::string& text);
std::vector<ConditionRow> PackageRows(const std::vector<ConditionRow>& table, const ConditionChanges& changes);
// What turns the package's rows into `table`.
ConditionChanges ChangesBetween(const ConditionRows& package, const ConditionRows& table);
ConditionRows ByFeature(const std::vector<ConditionRow>& rows);
const std::vector<ConditionRow>& RowsOf(const ConditionRows& rows, const std::string& feature);

// The named features and every feature below them, parents before their children, in the
// Feature table's order.
std::vector<std::string> WithDescendants(const std::vector<FeatureRow>& features, const NameSet& names);

// The features the rows switch off (a true level-0 row), with every feature below them: a
// child is never installed without its parent.
NameSet SwitchedOff(const std::vector<FeatureRow>& features, const ConditionRows& rows,
                                  const Evaluate& evaluate);
