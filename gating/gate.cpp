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

bool NameSet::count(const std::string& name) const
{
    return std::binary_search(names_.begin(), names_.end(), name);
}

bool NameSet::insert(const std::string& name)
{
    auto at = std::lower_bound(names_.begin(), names_.end(), name);
    if (at != names_.end() && *at == name) return false;
    names_.insert(at, name);
    return true;
}

bool NameSet::erase(const std::string& name)
{
    auto at = std::lower_bound(names_.begin(), names_.end(), name);
    if (at == names_.end() || *at != name) return false;
    names_.erase(at);
    return true;
}

Gate::Gate(std::optional<std::vector<CabinetRule>> rules, CabinetCheck cabinetPresent, Log log)
    : rules_(std::move(rules)), cabinetPresent_(std::move(cabinetPresent)), log_(std::move(log))
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

void Gate::DisableFeaturesOfProperty(const OwnedString& property, const std::string& why)
{
    if (!rules_) return;
    std::string because = why.empty() ? "DisableFeaturesOfProperty " + Quoted(property) : why;
    for (const CabinetRule* rule : Select(property, std::nullopt))
        if (rule->feature) DisableFeature(*rule->feature, because);
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
