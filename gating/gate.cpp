#include "gating/gate.h"

#include <algorithm>

namespace {

std::string Quoted(const OwnedString& value)
{
    return value ? "'" + *value + "'" : std::string("(any)");
}

// An argument selects the rows whose column holds exactly that text; the empty text selects
// the rows where the column is empty (the installer stores it as null).
bool Selects(const OwnedString& argument, const OwnedString& column)
{
    if (!argument) return true;
    if (argument->empty()) return !column;
    return column && *column == *argument;
}

// A null Flags field is a group of its own (the installer's null integer), with no number.
std::string GroupName(int flags)
{
    return flags == static_cast<int>(0x80000000) ? std::string("the group without Flags") : "group " + std::to_string(flags);
}

}  // namespace

bool IsFeatureName(const std::string& feature)
{
    return !feature.empty() && feature.size() <= kFeatureNameLimit;
}

Gate::Gate(std::optional<std::vector<CabinetRule>> rules, CabinetCheck cabinetPresent, Log log)
    : rules_(std::move(rules)), cabinetPresent_(std::move(cabinetPresent)), log_(log)
{
    // The installer's ORDER BY keeps rows of equal Flags in the table's order.
    if (rules_)
        std::stable_sort(rules_->begin(), rules_->end(),
                         [](const CabinetRule& a, const CabinetRule& b) { return a.order < b.order; });
}

std::vector<const CabinetRule*> Gate::Select(const OwnedString& property, const OwnedString& function) const
{
    std::vector<const CabinetRule*> selected;
    for (const CabinetRule& rule : *rules_)
        if (Selects(property, rule.property) && Selects(function, rule.function)) selected.push_back(&rule);
    return selected;
}

bool Gate::FeatureIsFree(const std::string& feature) const
{
    return !IsFeatureName(feature) || !off_.count(feature);
}

bool Gate::DisableFeature(const std::string& feature, const std::string& why)
{
    if (!IsFeatureName(feature) || !off_.insert(feature)) return false;
    if (!why.empty()) Because(feature, why);
    return true;
}

bool Gate::RestoreFeature(const std::string& feature, const std::string& why)
{
    if (!IsFeatureName(feature) || !off_.erase(feature)) return false;
    if (!why.empty()) Because(feature, why);
    return true;
}

// One evaluation, as EvaluateCabinetRules logs it and WhyNotMet tells it.
struct Gate::Test {
    bool met = false;
    std::string verdict;  // "met (rows counted: N)", or "not met (why)" with the cabinets not found
    std::vector<const CabinetRule*> failed;  // the rows of the group that failed, or every row when none counted
    std::string failure;  // which: "group N has no satisfied row", "no row counted", or the table's absence
};

Gate::Test Gate::Run(const OwnedString& property, const OwnedString& function) const
{
    Test test;
    if (!rules_) {
        test.failure = noRules_;
        test.verdict = "not met (" + noRules_ + ")";
        return test;
    }
    const std::vector<const CabinetRule*> selected = Select(property, function);
    int group = 0;
    bool satisfied = false;
    int counted = 0;
    std::string missing;  // the cabinets not found, for the log
    std::vector<const CabinetRule*> ofGroup;
    auto notMet = [&](const std::string& why, std::vector<const CabinetRule*> rows) {
        test.failure = why;
        test.failed = std::move(rows);
        test.verdict = "not met (" + why + ")" + (missing.empty() ? "" : "; cabinets not found: " + missing);
        return test;
    };
    for (const CabinetRule* rule : selected) {
        if (rule->flags != group) {
            if (group != 0 && !satisfied) return notMet(GroupName(group) + " has no satisfied row", ofGroup);
            group = rule->flags;
            satisfied = false;
            ofGroup.clear();
        }
        ofGroup.push_back(rule);
        // A rule that names no possible feature is skipped: it neither satisfies nor counts.
        if (!rule->feature || !IsFeatureName(*rule->feature)) continue;
        if (rule->cabinet) {
            if (!CabinetPresent(*rule->cabinet)) {
                if (missing.find(*rule->cabinet) == std::string::npos) missing += (missing.empty() ? "" : ", ") + *rule->cabinet;
            } else if (FeatureIsFree(*rule->feature)) {
                satisfied = true;
                ++counted;
            }
        } else {
            if (FeatureIsFree(*rule->feature)) satisfied = true;
            ++counted;
        }
    }
    if (group != 0 && !satisfied) return notMet(GroupName(group) + " has no satisfied row", ofGroup);
    if (counted == 0) return notMet("no row counted", selected);
    test.met = true;
    test.verdict = "met (rows counted: " + std::to_string(counted) + ")";
    return test;
}

Gate::Evaluation Gate::Evaluated(const OwnedString& property, const OwnedString& function) const
{
    Test test = Run(property, function);
    return {test.met, "rules for property " + Quoted(property) + ", function " + Quoted(function) + ": " + test.verdict};
}

bool Gate::EvaluateCabinetRules(const OwnedString& property, const OwnedString& function)
{
    Evaluation evaluation = Evaluated(property, function);
    if (log_) log_(evaluation.line);
    return evaluation.met;
}

std::string Gate::WhyNotMet(const OwnedString& property, const OwnedString& function) const
{
    Test test = Run(property, function);
    if (test.met) return std::string();
    std::string rows;
    for (const CabinetRule* rule : test.failed) {
        if (!rule->feature || !IsFeatureName(*rule->feature)) continue;
        std::string why;
        if (rule->cabinet && !CabinetPresent(*rule->cabinet)) {
            why = "cabinet " + *rule->cabinet + " not found";
        } else if (!FeatureIsFree(*rule->feature)) {
            std::string by = Reason(*rule->feature);
            why = "switched off" + (by.empty() ? std::string() : " (" + by + ")");
        } else {
            continue;  // a row that would count: not what failed
        }
        rows += (rows.empty() ? "" : "; ") + ("feature " + *rule->feature + ": " + why);
    }
    if (test.failed.empty() && test.failure == "no row counted") rows = "no rules";
    return test.failure + (rows.empty() ? std::string() : " (" + rows + ")");
}

std::vector<std::string> Gate::RuleFeatures() const
{
    std::vector<std::string> features;
    if (rules_)
        for (const CabinetRule& rule : *rules_)
            if (rule.feature && IsFeatureName(*rule.feature) &&
                std::find(features.begin(), features.end(), *rule.feature) == features.end())
                features.push_back(*rule.feature);
    return features;
}

std::string Gate::Reason(const std::string& feature) const
{
    for (const auto& [name, why] : reasons_)
        if (name == feature) return why;
    return std::string();
}

void Gate::Because(const std::string& feature, const std::string& why)
{
    for (auto& entry : reasons_)
        if (entry.first == feature) {
            entry.second = why;
            return;
        }
    reasons_.emplace_back(feature, why);
}

void Gate::DisableFeaturesOfProperty(const OwnedString& property, const std::string& why, const NameSet& spared)
{
    if (!rules_) return;
    std::string because = why.empty() ? "DisableFeaturesOfProperty " + Quoted(property) : why;
    for (const CabinetRule* rule : Select(property, std::nullopt))
        if (rule->feature && !spared.count(*rule->feature)) DisableFeature(*rule->feature, because);
}

std::vector<const CabinetRule*> Gate::RulesOf(const OwnedString& property) const
{
    return rules_ ? Select(property, std::nullopt) : std::vector<const CabinetRule*>();
}

void Gate::RestoreFeaturesOfProperty(const OwnedString& property, const std::string& why)
{
    if (!rules_) return;
    std::string because = why.empty() ? "RestoreFeaturesOfProperty " + Quoted(property) : why;
    for (const CabinetRule* rule : Select(property, std::nullopt))
        if (rule->feature && rule->cabinet && CabinetPresent(*rule->cabinet))
            RestoreFeature(*rule->feature, because + " (cabinet " + *rule->cabinet + " present)");
}

void Gate::DisableFeaturesOfFunction(const OwnedString& function, const std::string& why)
{
    if (!rules_) return;
    std::string because = why.empty() ? "DisableFeaturesOfFunction " + Quoted(function) : why;
    for (const CabinetRule* rule : Select(std::nullopt, function))
        if (rule->feature) DisableFeature(*rule->feature, because);
}

void Gate::RestoreFeaturesOfFunction(const OwnedString& function, const std::string& why)
{
    if (!rules_) return;
    std::string because = why.empty() ? "RestoreFeaturesOfFunction " + Quoted(function) : why;
    for (const CabinetRule* rule : Select(std::nullopt, function))
        if (rule->feature && rule->cabinet && CabinetPresent(*rule->cabinet))
            RestoreFeature(*rule->feature, because + " (cabinet " + *rule->cabinet + " present)");
}
