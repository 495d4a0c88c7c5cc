#include "actions/plan_inputs.h"

#include "package/contract.h"
#include "session/install_session.h"

MemoryGate::MemoryGate(const std::optional<std::vector<CabinetRule>>& rules, const ConditionTable& table,
                       const std::string& rulesProblem, Gate::Log log)
    : conditions(table.packageRows),
      gate(rules, table.writer.Rows() ? std::optional<std::vector<ConditionRow>>(table.packageRows) : std::nullopt,
           conditions, CabinetPresent, std::move(log))
{
    if (!rulesProblem.empty()) gate.DescribeMissingRules(rulesProblem);
}

PlanInputs::PlanInputs(const InstallSession& session, const PackageDatabase& db)
    : table(session, db), rules(ReadCabinetRules(db, &rulesProblem)), features(ReadFeatures(db)),
      releases(ReadHostReleases(db)), functions(ReadFunctions(db)),
      memory(std::make_unique<MemoryGate>(rules, table, rulesProblem, [&session](const std::string& text) { session.Log(text); })),
      gate(&memory->gate)
{
}

PlannedChoice::PlannedChoice(const InstallSession& session, const PlanInputs& inputs,
                             const std::optional<FoundReleases>& found, bool report)
{
    memory = std::make_unique<MemoryGate>(inputs.rules, inputs.table, inputs.rulesProblem,
                                          [&session, this](const std::string& text) {
                                              if (!quiet_) session.Log(text);
                                          });
    gate = &memory->gate;
    if (found) GateHostReleases(*gate, inputs.releases, *found);
    quiet_ = false;
    ApplyFunctionChoice(session, *gate, inputs.functions);
    result = MatchHostsToFunction(session, *gate, inputs.releases, report);
}

ConditionRows CarryOut(const InstallSession& session, PlanInputs& inputs, const ConditionRows& target,
                       const Gate& planned, bool settle)
{
    ConditionRows actual = WriteConditions(session, inputs.table, target, planned, inputs.features);
    bool listsRule = FeatureListsRule(session);
    NameSet withheld = SwitchedOff(inputs.features, actual, InstallerEvaluate(session));
    if (listsRule) WithholdFromFeatureLists(session, inputs.features, withheld);
    if (settle) {
        std::vector<std::string> named = planned.RuleFeatures();
        NameSet touched(named.begin(), named.end());
        for (const auto& entry : actual) touched.insert(entry.first);
        session.Log("costing redone");
        SettleFeatureStates(session, inputs.table, inputs.features, actual, WithDescendants(inputs.features, touched),
                            listsRule, withheld);
    }
    return actual;
}

void LogFeaturesOff(const Installation& installation, const ConditionRows& rows)
{
    std::string off;
    for (const auto& [feature, list] : rows)
        for (const ConditionRow& row : list)
            if (row.level == 0) {
                off += (off.empty() ? "" : ", ") + feature;
                break;
            }
    installation.Log("features switched off now: " + (off.empty() ? std::string("none") : off));
}
