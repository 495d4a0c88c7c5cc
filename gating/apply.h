// Carrying a plan out in the running installation, by the means the road allows: Condition
// rows for a costing still to come, the feature-list properties where the installer reads
// those instead (ADDLOCAL and the like given), and feature states once a costing has run.
#pragma once

#include "gating/installer_gate.h"
#include "gating/plan.h"

#include <set>
#include <string>
#include <vector>

class InstallSession;

// The Condition table of the running installation, and the package's own rows in it.
struct ConditionTable {
    explicit ConditionTable(const InstallSession& session, const PackageDatabase& db);
    InstallerConditions writer;  // the table as read, changed row by row
    std::vector<ConditionRow> packageRows;  // the table less what the library changed in this session
    // The rows as read (what the installer's last costing read), by feature.
    ConditionRows AsRead() const;
};

// Makes the table hold `target`: new rows as temporary rows, others taken away by key; a
// feature whose change the installer refuses keeps its rows. Logs the plan once per feature
// the rules touch (target, reason, what the installer did) and records the library's changes
// for the next action. Returns the rows the table holds afterwards.
ConditionRows WriteConditions(const InstallSession& session, ConditionTable& table, const ConditionRows& target,
                              const Gate& gate, const std::vector<FeatureRow>& features);

// True when the installer takes the features from the feature-list properties (ADDLOCAL,
// REMOVE and the like) instead of the Condition table.
bool FeatureListsRule(const InstallSession& session);

// Keeps the features the rules switch off out of the feature lists as they were given: they
// join REMOVE, and leave the lists the installer applies after it.
void WithholdFromFeatureLists(const InstallSession& session, const std::vector<FeatureRow>& features,
                              const NameSet& withheld);

// Costs again and sets the state of each feature in `touched` (parents first) to what the
// plan gives it, for an installer that has costed already and reads the rows no more. With
// the feature lists ruling, the lists' states stand, less the features withheld.
// `found` is the table as the action found it: what the installer's last costing read.
void SettleFeatureStates(const InstallSession& session, ConditionTable& table, const std::vector<FeatureRow>& features,
                         const ConditionRows& found, const ConditionRows& rows, const std::vector<std::string>& touched, bool listsRule,
                         const NameSet& withheld);

// The value of an expression in the running installation.
Evaluate InstallerEvaluate(const InstallSession& session);

// The road an installation is on. A product already installed is changed, repaired or removed
// through feature states and lists only: a Condition row that lowers an installed feature to
// level 0 would leave it orphaned, neither removed nor repaired.
enum class Road { FirstInstall, Change, Repair, Removal };
Road ReadRoad(const InstallSession& session);
const char* RoadName(Road road);

// The state of a feature of an installed product, as the installer has it registered.
INSTALLSTATE InstalledState(const std::string& productCode, const std::string& feature);

// On a change of the installed product: every feature in `touched` that the plan installs
// and the product lacks is added, every one it has and the plan leaves out is removed,
// through the feature lists (for a costing to come) and, with `settle`, through the
// features' states after costing again.
void ApplyChange(const InstallSession& session, const std::vector<FeatureRow>& features, const ConditionRows& rows,
                 const std::vector<std::string>& touched, bool settle);
