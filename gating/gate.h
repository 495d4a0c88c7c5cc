// The decision core of feature gating: the package's cabinet rules, and which features
// hostgate has switched off so far, in memory. Every rule test and every switch is decided
// here; nothing here touches the installer. The plan runs it over what was detected, the
// package checker over machines it imagines.
#pragma once

#include "package/names.h"
#include "package/tables.h"
#include "session/owned.h"

#include <algorithm>
#include <cstddef>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

// Longest feature key the installer's Feature table holds; longer names are refused.
constexpr std::size_t kFeatureNameLimit = 38;

// True for a text that can be a feature key: not empty and within the limit.
bool IsFeatureName(const std::string& feature);

class Gate {
public:
    using Log = void (*)(const std::string&);
    using CabinetCheck = std::function<bool(const std::string&)>;

    // `rules` in the installer's order, none when the package has no usable table.
    // `cabinetPresent` answers for a path relative to the installation source. The package's
    // own Condition rows play no part here: they are the author's, and the costing applies
    // them to whatever the rules leave on.
    // `log`, where given, takes each line EvaluateCabinetRules logs.
    Gate(std::optional<std::vector<CabinetRule>> rules, CabinetCheck cabinetPresent, Log log = nullptr);

    // Whether every nonzero rule group of the selected rows has a satisfied row and at least
    // one row counts, with the line that says so for the log. An absent argument selects on
    // nothing; an empty text is a value.
    struct Evaluation {
        bool met = false;
        std::string line;
    };
    Evaluation Evaluated(const OwnedString& property, const OwnedString& function) const;
    // Evaluated, its line logged.
    bool EvaluateCabinetRules(const OwnedString& property, const OwnedString& function);
    // Why the rules selected are not met: the group that failed (or that no row counted), with
    // each of its rows that is not satisfied: its feature, and the cabinet not found or what
    // switched the feature off. Empty when they are met. Logs nothing.
    std::string WhyNotMet(const OwnedString& property, const OwnedString& function) const;
    // `why` is kept, per feature switched, as the reason of the last switch (see Reason).
    void DisableFeaturesOfProperty(const OwnedString& property, const std::string& why = "", const NameSet& spared = {});
    void RestoreFeaturesOfProperty(const OwnedString& property, const std::string& why = "");
    void DisableFeaturesOfFunction(const OwnedString& function, const std::string& why = "");
    void RestoreFeaturesOfFunction(const OwnedString& function, const std::string& why = "");

    // hostgate's own switch: false when it was so already (or the name is no feature key).
    bool DisableFeature(const std::string& feature, const std::string& why = "");
    bool RestoreFeature(const std::string& feature, const std::string& why = "");
    // Not switched off by hostgate.
    bool FeatureIsFree(const std::string& feature) const;
    // The features hostgate has switched off.
    const NameSet& Off() const { return off_; }

    bool CabinetPresent(const std::string& relativePath) const { return cabinetPresent_(relativePath); }
    // Why there are no rules, for the log (by default: the package has no SearchCabinet table).
    void DescribeMissingRules(std::string why) { noRules_ = std::move(why); }
    // The distinct features the rules name (possible feature keys only).
    std::vector<std::string> RuleFeatures() const;
    const std::optional<std::vector<CabinetRule>>& Rules() const { return rules_; }
    // The rules a property selects (every function's), as DisableFeaturesOfProperty takes them.
    std::vector<const CabinetRule*> RulesOf(const OwnedString& property) const;
    // Why the feature was last switched off or back on; empty when it never was.
    std::string Reason(const std::string& feature) const;

private:
    struct Test;
    Test Run(const OwnedString& property, const OwnedString& function) const;
    std::vector<const CabinetRule*> Select(const OwnedString& property, const OwnedString& function) const;
    void Because(const std::string& feature, const std::string& why);

    std::optional<std::vector<CabinetRule>> rules_;  // sorted as the installer's queries return them
    std::string noRules_ = "no SearchCabinet table";
    NameSet off_;
    CabinetCheck cabinetPresent_;
    std::vector<std::pair<std::string, std::string>> reasons_;  // feature, why
    Log log_;
};
