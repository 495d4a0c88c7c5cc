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

bool operator==(const ConditionRow& a, const ConditionRow& b)
{
    return a.feature == b.feature && a.level == b.level && a.expression == b.expression;
}

Gate::Gate(std::optional<std::vector<CabinetRule>> rules, std::optional<std::vector<ConditionRow>> conditions,
           ConditionWriter& writer, CabinetCheck cabinetPresent, Log log)
    : rules_(std::move(rules)), hasConditions_(conditions.has_value()), writer_(writer),
      cabinetPresent_(std::move(cabinetPresent)), log_(std::move(log))
{
    // The installer's ORDER BY keeps rows of equal Flags in the table's order.
    if (rules_)
        std::stable_sort(rules_->begin(), rules_->end(),
                         [](const CabinetRule& a, const CabinetRule& b) { return a.order < b.order; });
    if (conditions)
        for (const ConditionRow& row : *conditions) Add(row);
}

void Gate::Add(const ConditionRow& row)
{
    // The table keeps rows in key order: a feature's rows by level.
    std::vector<ConditionRow>& rows = conditions_[row.feature];
    auto at = std::upper_bound(rows.begin(), rows.end(), row,
                               [](const ConditionRow& a, const ConditionRow& b) { return a.level < b.level; });
    rows.insert(at, row);
}

void Gate::Remove(const ConditionRow& row)
{
    auto found = conditions_.find(row.feature);
    if (found == conditions_.end()) return;
    std::vector<ConditionRow>& rows = found->second;
    auto at = std::find_if(rows.begin(), rows.end(), [&](const ConditionRow& r) { return r.level == row.level; });
    if (at != rows.end()) rows.erase(at);
    if (rows.empty()) conditions_.erase(found);
}

bool Gate::CabinetPresent(const std::string& relativePath)
{
    auto known = cabinets_.find(relativePath);
    if (known != cabinets_.end()) return known->second;
    return cabinets_[relativePath] = cabinetPresent_(relativePath);
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
    return !IsFeatureName(feature) || conditions_.find(feature) == conditions_.end();
}

Switch Gate::DisableFeature(const std::string& feature)
{
    if (!IsFeatureName(feature)) return Switch::AlreadySo;
    if (!hasConditions_) return Switch::Refused;
    auto found = conditions_.find(feature);
    if (found == conditions_.end()) {
        ConditionRow row{feature, 0, std::string("1")};
        if (!writer_.Insert(row)) return Switch::Refused;
        Add(row);
        return Switch::Changed;
    }
    ConditionRow first = found->second.front();
    if (first.level == 0) return Switch::AlreadySo;
    if (writer_.Lower(first)) {
        Remove(first);
        Add({feature, 0, first.expression});
        return Switch::Changed;
    }
    // The engine may refuse to replace a row in place (Wine's does). The row's level-0 twin
    // is then added first and the old row deleted after, so a failure part-way never loses
    // it. Where the old row may not be deleted either (a row the package carries), the twin
    // goes again: two rows for one feature would leave costing to choose between them.
    ConditionRow twin{feature, 0, first.expression};
    if (!writer_.Insert(twin)) return Switch::Refused;
    Add(twin);
    if (writer_.Delete(first)) {
        Remove(first);
        return Switch::Changed;
    }
    if (writer_.Delete(twin)) Remove(twin);
    return Switch::Refused;
}

Switch Gate::RestoreFeature(const std::string& feature)
{
    if (!IsFeatureName(feature)) return Switch::AlreadySo;
    auto found = conditions_.find(feature);
    if (found == conditions_.end()) return Switch::AlreadySo;
    ConditionRow first = found->second.front();
    if (!writer_.Delete(first)) return Switch::Refused;
    Remove(first);
    return Switch::Changed;
}

bool Gate::EvaluateCabinetRules(const OwnedString& property, const OwnedString& function)
{
    const std::string subject = "rules for property " + Quoted(property) + ", function " + Quoted(function);
    if (!rules_) {
        log_(subject + ": not met (" + noRules_ + ")");
        return false;
    }
    int group = 0;
    bool satisfied = false;
    int counted = 0;
    std::string missing;  // the cabinets not found, for the log
    auto notMet = [&](const std::string& why) {
        log_(subject + ": not met (" + why + ")" + (missing.empty() ? "" : "; cabinets not found: " + missing));
        return false;
    };
    for (const CabinetRule* rule : Select(property, function)) {
        if (rule->flags != group) {
            if (group != 0 && !satisfied) return notMet(GroupName(group) + " has no satisfied row");
            group = rule->flags;
            satisfied = false;
        }
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
    if (group != 0 && !satisfied) return notMet(GroupName(group) + " has no satisfied row");
    if (counted == 0) return notMet("no row counted");
    log_(subject + ": met (rows counted: " + std::to_string(counted) + ")");
    return true;
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

void Gate::DisableFeaturesOf(const std::vector<const CabinetRule*>& rules, const std::string& operation,
                             const std::string& why)
{
    for (const CabinetRule* rule : rules) {
        if (!rule->feature || !IsFeatureName(*rule->feature)) continue;
        const std::string& feature = *rule->feature;
        switch (DisableFeature(feature)) {
        case Switch::Changed: Because(feature, why.empty() ? operation : why); break;
        case Switch::AlreadySo: break;
        case Switch::Refused:
            log_("feature " + feature + " could not be switched off by " + operation +
                 (hasConditions_ ? ": the installer refused to change its Condition row (a row the package carries)"
                                 : ": the package has no Condition table"));
            break;
        }
    }
}

void Gate::RestoreFeaturesOf(const std::vector<const CabinetRule*>& rules, const std::string& operation,
                             const std::string& why)
{
    for (const CabinetRule* rule : rules) {
        if (!rule->feature || !rule->cabinet || !CabinetPresent(*rule->cabinet)) continue;
        const std::string& feature = *rule->feature;
        Switch restored = RestoreFeature(feature);
        if (restored == Switch::Changed)
            Because(feature, (why.empty() ? operation : why) + " (cabinet " + *rule->cabinet + " present)");
        else if (restored == Switch::Refused)
            log_("feature " + feature + " could not be switched back on by " + operation +
                 ": the installer refused to delete its Condition row (a row the package carries)");
    }
}

void Gate::DisableFeaturesOfProperty(const OwnedString& property, const std::string& why)
{
    if (rules_) DisableFeaturesOf(Select(property, std::nullopt), "DisableFeaturesOfProperty " + Quoted(property), why);
}

void Gate::RestoreFeaturesOfProperty(const OwnedString& property, const std::string& why)
{
    if (rules_) RestoreFeaturesOf(Select(property, std::nullopt), "RestoreFeaturesOfProperty " + Quoted(property), why);
}

void Gate::DisableFeaturesOfFunction(const OwnedString& function, const std::string& why)
{
    if (rules_) DisableFeaturesOf(Select(std::nullopt, function), "DisableFeaturesOfFunction " + Quoted(function), why);
}

void Gate::RestoreFeaturesOfFunction(const OwnedString& function, const std::string& why)
{
    if (rules_) RestoreFeaturesOf(Select(std::nullopt, function), "RestoreFeaturesOfFunction " + Quoted(function), why);
}
