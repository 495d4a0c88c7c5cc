#include "gating/cabinet_rules.h"

#include "gating/feature_conditions.h"
#include "package/contract.h"
#include "session/database.h"
#include "session/install_session.h"

#include <shlwapi.h>

#include <map>

namespace {

Filter RuleFilter(const OwnedString& property, const OwnedString& function)
{
    Filter filter;
    if (property) filter.And(searchcabinet::PropertyNameColumn, *property);
    if (function) filter.And(searchcabinet::FunctionColumn, *function);
    return filter;
}

bool OpenRules(TableView& view, const PackageDatabase& db, const Filter& filter)
{
    return view.Open(db, table::SearchCabinet, searchcabinet::FlagsColumn, filter);
}

std::string Quoted(const OwnedString& value)
{
    return value ? "'" + *value + "'" : std::string("(any)");
}

// Switches off the feature of every selected rule. `operation` names the caller in the log.
void DisableFeaturesOf(const PackageDatabase& db, const Filter& filter, const std::string& operation)
{
    TableView rules;
    if (!OpenRules(rules, db, filter)) return;
    while (rules.Fetch()) {
        OwnedString feature = rules.GetString(searchcabinet::Feature);
        if (!feature || !IsFeatureName(*feature)) continue;
        switch (DisableFeature(db, *feature)) {
        case Switch::Changed: db.Log("feature " + *feature + " switched off by " + operation); break;
        case Switch::AlreadySo: db.Log("feature " + *feature + " already switched off (" + operation + ")"); break;
        case Switch::Refused:
            db.Log("feature " + *feature + " could not be switched off by " + operation +
                   ": the installer refused to change its Condition row (a row the package carries)");
            break;
        }
    }
}

// Switches back on the feature of every selected rule whose cabinet is present.
void RestoreFeaturesOf(const PackageDatabase& db, const Filter& filter, const std::string& operation)
{
    TableView rules;
    if (!OpenRules(rules, db, filter)) return;
    while (rules.Fetch()) {
        OwnedString cabinet = rules.GetString(searchcabinet::Cabinet);
        OwnedString feature = rules.GetString(searchcabinet::Feature);
        if (!feature || !cabinet || !CabinetPresent(*cabinet)) continue;
        Switch restored = RestoreFeature(db, *feature);
        if (restored == Switch::Changed)
            db.Log("feature " + *feature + (FeatureIsFree(db, *feature) ? " switched back on by " : " lost one condition row to ") +
                   operation + " (cabinet " + *cabinet + " present)");
        else if (restored == Switch::Refused)
            db.Log("feature " + *feature + " could not be switched back on by " + operation +
                   ": the installer refused to delete its Condition row (a row the package carries)");
    }
}

}  // namespace

bool CabinetPresent(const std::string& relativePath)
{
    OwnedString path = JoinSourcePath(SourceRoot, relativePath);
    return path && PathFileExistsA(path->c_str());
}

bool EvaluateCabinetRules(const PackageDatabase& db, const OwnedString& property, const OwnedString& function)
{
    const std::string subject = "rules for property " + Quoted(property) + ", function " + Quoted(function);
    TableView rules;
    if (!OpenRules(rules, db, RuleFilter(property, function))) {
        db.Log(subject + ": not met (no SearchCabinet table)");
        return false;
    }

    int group = 0;
    bool satisfied = false;
    int counted = 0;
    // Nothing changes the Condition table during an evaluation, so a feature named by
    // several rows is looked up once.
    std::map<std::string, bool> freeFeatures;
    auto isFree = [&](const std::string& feature) {
        auto known = freeFeatures.find(feature);
        if (known != freeFeatures.end()) return known->second;
        return freeFeatures[feature] = FeatureIsFree(db, feature);
    };
    while (rules.Fetch()) {
        int flags = rules.GetInteger(searchcabinet::Flags);
        if (flags != group) {
            if (group != 0 && !satisfied) {
                db.Log(subject + ": not met (group " + std::to_string(group) + " has no satisfied row)");
                return false;
            }
            group = flags;
            satisfied = false;
        }
        OwnedString cabinet = rules.GetString(searchcabinet::Cabinet);
        OwnedString feature = rules.GetString(searchcabinet::Feature);
        // A rule that names no possible feature is skipped: it neither satisfies nor counts.
        if (!feature || !IsFeatureName(*feature)) continue;
        if (cabinet) {
            // The feature is asked about only once the cabinet is known to be there.
            if (CabinetPresent(*cabinet) && isFree(*feature)) {
                satisfied = true;
                ++counted;
            }
        } else {
            if (isFree(*feature)) satisfied = true;
            ++counted;
        }
    }
    if (group != 0 && !satisfied) {
        db.Log(subject + ": not met (group " + std::to_string(group) + " has no satisfied row)");
        return false;
    }
    db.Log(subject + (counted > 0 ? ": met (rows counted: " + std::to_string(counted) + ")" : ": not met (no row counted)"));
    return counted > 0;
}

void DisableFeaturesOfProperty(const PackageDatabase& db, const OwnedString& property)
{
    DisableFeaturesOf(db, RuleFilter(property, std::nullopt),
                      "DisableFeaturesOfProperty " + Quoted(property));
}

void RestoreFeaturesOfProperty(const PackageDatabase& db, const OwnedString& property)
{
    RestoreFeaturesOf(db, RuleFilter(property, std::nullopt),
                      "RestoreFeaturesOfProperty " + Quoted(property));
}

void DisableFeaturesOfFunction(const PackageDatabase& db, const OwnedString& function)
{
    DisableFeaturesOf(db, RuleFilter(std::nullopt, function),
                      "DisableFeaturesOfFunction " + Quoted(function));
}

void RestoreFeaturesOfFunction(const PackageDatabase& db, const OwnedString& function)
{
    RestoreFeaturesOf(db, RuleFilter(std::nullopt, function),
                      "RestoreFeaturesOfFunction " + Quoted(function));
}
