#include "actions/plan_inputs.h"

#include "package/contract.h"
#include "session/install_session.h"

#include <algorithm>

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
    ConditionRows found = inputs.table.AsRead();
    ConditionRows actual = WriteConditions(session, inputs.table, target, planned, inputs.features);
    bool listsRule = FeatureListsRule(session);
    // The withheld features matter only where the lists rule (each evaluation asks the installer).
    NameSet withheld = listsRule ? SwitchedOff(inputs.features, actual, InstallerEvaluate(session)) : NameSet();
    if (listsRule) WithholdFromFeatureLists(session, inputs.features, withheld);
    if (settle) {
        session.Log("costing redone");
        SettleFeatureStates(session, inputs.table, inputs.features, found, actual, TouchedFeatures(inputs, planned, actual),
                            listsRule, withheld);
    }
    return actual;
}

std::vector<std::string> TouchedFeatures(const PlanInputs& inputs, const Gate& planned, const ConditionRows& rows)
{
    std::vector<std::string> named = planned.RuleFeatures();
    NameSet touched(named.begin(), named.end());
    for (const auto& entry : rows) touched.insert(entry.first);
    return WithDescendants(inputs.features, touched);
}

OwnedString InstalledFunction(const PlanInputs& inputs, const std::string& productCode, std::string& why)
{
    if (!inputs.functions || !inputs.rules) {
        why = "the package has no functions or rules";
        return std::nullopt;
    }
    auto belongs = [](const FunctionRow& function, const CabinetRule& rule) {
        return rule.function && (rule.function == function.function || rule.function == function.value);
    };
    std::vector<std::string> found;  // the values of the functions whose own features are installed
    for (const FunctionRow& function : *inputs.functions) {
        if (!function.value) continue;
        bool installed = false;
        for (const CabinetRule& rule : *inputs.rules) {
            if (!belongs(function, rule) || !rule.feature) continue;
            bool shared = false;
            for (const FunctionRow& other : *inputs.functions)
                if (&other != &function)
                    for (const CabinetRule& second : *inputs.rules)
                        shared = shared || (belongs(other, second) && second.feature == rule.feature);
            if (!shared && Installs(InstalledState(productCode, *rule.feature))) installed = true;
        }
        if (installed) found.push_back(*function.value);
    }
    if (found.size() == 1) return found.front();
    why = found.empty() ? "none of the functions' own features is installed"
                        : "the own features of " + std::to_string(found.size()) + " functions are installed";
    return std::nullopt;
}

std::vector<std::string> RelatedProducts(const InstallSession& session, const PackageDatabase& db)
{
    std::vector<std::string> products;
    TableView view;
    if (!view.Open(db, table::Upgrade)) return products;
    std::vector<std::string> names = view.ColumnNames();
    auto column = std::find(names.begin(), names.end(), upgrade::ActionPropertyColumn);
    if (column == names.end()) return products;
    int position = static_cast<int>(column - names.begin()) + 1;
    while (view.Fetch()) {
        OwnedString property = view.GetString(position);
        OwnedString codes = property ? session.GetProperty(property->c_str()) : std::nullopt;
        if (!codes) continue;
        // Several products found under one row are listed with semicolons.
        for (const std::string& product : SplitText(*codes, ';')) products.push_back(product);
    }
    return products;
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
