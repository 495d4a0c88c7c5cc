// Carrying a plan out in the running installation, by the means the road allows: the
// library's own Condition rows for a costing still to come, the feature-list properties
// where the installer reads those instead (ADDLOCAL and the like given), and feature states
// once a costing has run. Nothing is decided here: every state, level and reason is the
// plan's.
#pragma once

#include "gating/plan.h"

class InstallSession;
class PackageDatabase;

// What an action knows of the installation beside the facts, and leaves for the next one: the
// library's Condition rows (none: read them from the installation) and the action states of
// planned features, where known.
struct Known {
    std::optional<std::vector<ConditionRow>> rows;
    NameMap<INSTALLSTATE> states;
    // No costing has run in this installation yet: the one this action runs is the first.
    bool firstCosting = false;
};

// Whether no costing has completed yet. Windows sets CostingComplete to "0" at CostInitialize
// and to "1" only when its background costing ends (Wine sets "1" inside CostFinalize), so only
// "1" says a costing ran; the answer orders the guesses of feature states, never decides them.
bool CostingStillToCome(const InstallSession& session);

// Sends the plan's log lines, properties and messages, prunes the empty keys of releases not
// found (first installation, before the choice), and writes the features' plan. `stage`
// Chosen also costs again and sets the features' states, for an installer that has costed
// already and reads the rows no more. Returns the plan's result.
UINT ApplyPlan(const InstallSession& session, const PackageDatabase& db, const Facts& facts, const Plan& plan,
               Stage stage, Known& known);
