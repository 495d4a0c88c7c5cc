// What the two table-driven actions plan from, and how they carry a plan out: the package's
// tables read once, a gate over the package's own Condition rows in memory, and the one
// apply both actions share.
#pragma once

#include "actions/phases.h"
#include "gating/apply.h"

#include <memory>

// A gate deciding in memory over the package's own Condition rows.
struct MemoryGate {
    MemoryGate(const std::optional<std::vector<CabinetRule>>& rules, const ConditionTable& table,
               const std::string& rulesProblem, Gate::Log log);
    MemoryConditions conditions;
    Gate gate;
};

struct PlanInputs {
    PlanInputs(const InstallSession& session, const PackageDatabase& db);
    ConditionTable table;
    std::string rulesProblem;
    std::optional<std::vector<CabinetRule>> rules;
    std::vector<FeatureRow> features;
    Releases releases;
    Functions functions;
    std::unique_ptr<MemoryGate> memory;
    Gate* gate;  // the memory gate's
};

// The plan for the function FUNCTION_VER names, made afresh from the releases found: the host
// gating replayed, every other function's features off, the chosen one's back, then the
// releases that do not fit it lose theirs. `report` posts message 3000 when none fits.
struct PlannedChoice {
    PlannedChoice(const InstallSession& session, const PlanInputs& inputs, const std::optional<FoundReleases>& found,
                  bool report = false);
    PlannedChoice(const PlannedChoice&) = delete;
    PlannedChoice& operator=(const PlannedChoice&) = delete;
    std::unique_ptr<MemoryGate> memory;
    Gate* gate;
    UINT result;

private:
    bool quiet_ = true;  // the replayed host gating was logged when the releases were looked up
};

// Writes the planned rows and keeps the features they switch off out of the feature lists
// where those rule; with `settle`, costs again and sets the features' states (see
// SettleFeatureStates). Returns the Condition rows the table holds afterwards.
ConditionRows CarryOut(const InstallSession& session, PlanInputs& inputs, const ConditionRows& target,
                       const Gate& planned, bool settle);

// The function an installed product has: the one whose own features (named by its rules and
// by no other function's) are installed. None when that names no single function; `why` then
// says so.
OwnedString InstalledFunction(const PlanInputs& inputs, const std::string& productCode, std::string& why);

// The earlier versions FindRelatedProducts found: the product codes in the properties the
// Upgrade table names.
std::vector<std::string> RelatedProducts(const InstallSession& session, const PackageDatabase& db);

// The features the plan decides: those the rules name, and every feature below them.
std::vector<std::string> TouchedFeatures(const PlanInputs& inputs, const Gate& planned, const ConditionRows& rows);

// Logs the features left switched off at the end of an action.
void LogFeaturesOff(const Installation& installation, const ConditionRows& rows);
