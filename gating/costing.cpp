#include "gating/costing.h"

#include "gating/plan.h"

#include <msidefs.h>

bool Installs(INSTALLSTATE state)
{
    return state == INSTALLSTATE_LOCAL || state == INSTALLSTATE_SOURCE || state == INSTALLSTATE_ADVERTISED;
}

const char* StateName(INSTALLSTATE state)
{
    switch (state) {
    case INSTALLSTATE_LOCAL: return "local";
    case INSTALLSTATE_SOURCE: return "run from source";
    case INSTALLSTATE_ADVERTISED: return "advertised";
    default: return "absent";
    }
}

const Costing* CostingOf(const Costings& costings, const std::string& feature)
{
    for (const Costing& costing : costings)
        if (costing.feature == feature) return &costing;
    return nullptr;
}

namespace {

std::size_t IndexOf(const std::vector<FeatureRow>& features, const std::string& name)
{
    for (std::size_t i = 0; i < features.size(); ++i)
        if (features[i].name == name) return i;
    return features.size();
}

// The feature's level after the Condition rows: the last true row's, in key order.
Costing Level(const FeatureRow& feature, const ConditionRows& rows, const Evaluate& evaluate)
{
    Costing costing;
    costing.feature = feature.name;
    costing.level = feature.level;
    costing.reason = "level " + std::to_string(feature.level);
    for (const ConditionRow& row : RowsOf(rows, feature.name)) {
        Truth truth = evaluate(row.expression.value_or(std::string()));
        if (truth == Truth::False) continue;
        if (truth == Truth::Unknown) costing.unknown = true;
        costing.level = row.level;
        costing.reason = "Condition level " + std::to_string(row.level);
    }
    return costing;
}

struct CostingRun {
    const std::vector<FeatureRow>& features;
    const ConditionRows& rows;
    int installLevel;
    const Evaluate& evaluate;
    Costings costings;
    std::vector<char> done;
};

// Parents are costed before their children, whatever order the table holds them in; a
// parent chain deeper than any real tree (a cycle) is cut.
const Costing& Cost(CostingRun& run, std::size_t index, int depth)
{
    Costing& costing = run.costings[index];
    if (run.done[index]) return costing;
    const FeatureRow& feature = run.features[index];
    costing = Level(feature, run.rows, run.evaluate);
    std::size_t parentIndex = feature.parent ? IndexOf(run.features, *feature.parent) : run.features.size();
    const Costing* parent = parentIndex < run.features.size() && parentIndex != index && depth < 64
                                ? &Cost(run, parentIndex, depth + 1)
                                : nullptr;
    const std::string within = " within INSTALLLEVEL " + std::to_string(run.installLevel);
    bool selected = costing.level > 0 && costing.level <= run.installLevel;
    if (parent && !Installs(parent->state)) {
        costing.state = INSTALLSTATE_ABSENT;
        costing.unknown = costing.unknown || parent->unknown;
        costing.reason = "its parent " + parent->feature + " is not installed";
    } else if (!selected) {
        costing.state = INSTALLSTATE_ABSENT;
        costing.reason += " not" + within;
    } else if (parent && (feature.attributes & msidbFeatureAttributesFollowParent)) {
        costing.state = parent->state;
        costing.reason += within + ", following its parent " + parent->feature;
    } else {
        costing.state = (feature.attributes & msidbFeatureAttributesFavorSource)      ? INSTALLSTATE_SOURCE
                        : (feature.attributes & msidbFeatureAttributesFavorAdvertise) ? INSTALLSTATE_ADVERTISED
                                                                                      : INSTALLSTATE_LOCAL;
        costing.reason += within;
    }
    run.done[index] = 1;
    return costing;
}

}  // namespace

Costings FirstCosting(const std::vector<FeatureRow>& features, const ConditionRows& rows, int installLevel,
                      const Evaluate& evaluate)
{
    CostingRun run{features, rows, installLevel, evaluate, Costings(features.size()), std::vector<char>(features.size(), 0)};
    for (std::size_t i = 0; i < features.size(); ++i) Cost(run, i, 0);
    return run.costings;
}

