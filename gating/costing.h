// The installer's first costing as a model: what each feature gets from its level, the
// Condition rows, INSTALLLEVEL, its parent and its attributes. The plan and the package
// checker decide over it; nothing here touches an installer.
#pragma once

#include "gating/gate.h"
#include "package/tables.h"

#include <msi.h>

#include <functional>
#include <string>
#include <vector>

// A condition expression's value as far as it can be known: the checker cannot evaluate
// the package's own expressions, only "1".
enum class Truth { False, True, Unknown };
using Evaluate = std::function<Truth(const std::string& expression)>;

// What a first costing gives a feature: its own level, replaced by the level of each true
// Condition row (the last one wins, in the table's order), selected within INSTALLLEVEL
// when its parent is selected too; a selected feature is installed local, from source or
// advertised as its attributes favour, and a follow-parent child takes its parent's state.
struct Costing {
    std::string feature;
    INSTALLSTATE state = INSTALLSTATE_ABSENT;  // local, source, advertised or absent
    int level = 0;
    bool unknown = false;  // a row's expression could not be evaluated
    std::string reason;
};
using Costings = std::vector<Costing>;  // one for each Feature row, in its order
Costings FirstCosting(const std::vector<FeatureRow>& features, const ConditionRows& rows, int installLevel,
                      const Evaluate& evaluate);
const Costing* CostingOf(const Costings& costings, const std::string& feature);
bool Installs(INSTALLSTATE state);
const char* StateName(INSTALLSTATE state);

