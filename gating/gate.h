// The decision core of feature gating: the package's cabinet rules and its Condition rows,
// read once and held here, and every rule test and every switch decided over them. Each
// change goes through a ConditionWriter, which answers whether the table took it; the rows
// held here follow those answers, so they are always what a fresh query of the table would
// return. Nothing here touches the installer: the package checker runs the same core over
// a package file with a writer of its own and machines it imagines.
#pragma once

#include "session/owned.h"

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

// One SearchCabinet row. Rules are selected and sorted by the columns named PropertyName,
// Function and Flags, as the installer's queries do; the rest is read by position.
struct CabinetRule {
    OwnedString property;  // the column named PropertyName
    OwnedString function;  // the column named Function
    int order = 0;         // the column named Flags, null first, as the installer sorts
    OwnedString cabinet;   // column 3
    OwnedString feature;   // column 4
    int flags = 0;         // column 5
};

// One Condition row: feature, level, condition expression.
struct ConditionRow {
    std::string feature;
    int level = 0;
    OwnedString expression;
};
bool operator==(const ConditionRow& a, const ConditionRow& b);

// Condition rows by feature, each feature's rows in the table's order (by level).
using ConditionRows = std::map<std::string, std::vector<ConditionRow>>;

// Applies the changes the core decides to a Condition table; each answers whether it was taken.
class ConditionWriter {
public:
    virtual ~ConditionWriter() = default;
    virtual bool Insert(const ConditionRow& row) = 0;  // as a temporary row
    virtual bool Lower(const ConditionRow& row) = 0;   // the row's level to 0, in place
    virtual bool Delete(const ConditionRow& row) = 0;
};

// What a switch did to the table. Refused leaves the table as it was: the installer lets a
// custom action change only temporary rows, never the rows the package carries.
enum class Switch { Changed, AlreadySo, Refused };

class Gate {
public:
    using Log = std::function<void(const std::string&)>;
    using CabinetCheck = std::function<bool(const std::string&)>;

    // `rules` and `conditions` in the installer's order; none when the package has no usable
    // table. `cabinetPresent` answers for a path relative to the installation source.
    Gate(std::optional<std::vector<CabinetRule>> rules, std::optional<std::vector<ConditionRow>> conditions,
         ConditionWriter& writer, CabinetCheck cabinetPresent, Log log);

    // True when every nonzero rule group of the selected rows has a satisfied row and at
    // least one row counts. An absent argument selects on nothing; an empty text is a value.
    bool EvaluateCabinetRules(const OwnedString& property, const OwnedString& function);
    // `why` is kept, per feature switched, as the reason of the last switch (see Reason).
    void DisableFeaturesOfProperty(const OwnedString& property, const std::string& why = "");
    void RestoreFeaturesOfProperty(const OwnedString& property, const std::string& why = "");
    void DisableFeaturesOfFunction(const OwnedString& function, const std::string& why = "");
    void RestoreFeaturesOfFunction(const OwnedString& function, const std::string& why = "");

    Switch DisableFeature(const std::string& feature);
    // Changed when a row was removed; AlreadySo when there was none.
    Switch RestoreFeature(const std::string& feature);
    bool FeatureIsFree(const std::string& feature) const;

    // Asked of the machine once per path.
    bool CabinetPresent(const std::string& relativePath);
    // Why there are no rules, for the log (by default: the package has no SearchCabinet table).
    void DescribeMissingRules(std::string why) { noRules_ = std::move(why); }
    // The distinct features the rules name (possible feature keys only).
    std::vector<std::string> RuleFeatures() const;
    const ConditionRows& Conditions() const { return conditions_; }
    // Why the feature was last switched off or back on; empty when it never was.
    std::string Reason(const std::string& feature) const;

private:
    std::vector<const CabinetRule*> Select(const OwnedString& property, const OwnedString& function) const;
    void DisableFeaturesOf(const std::vector<const CabinetRule*>& rules, const std::string& operation,
                           const std::string& why);
    void RestoreFeaturesOf(const std::vector<const CabinetRule*>& rules, const std::string& operation,
                           const std::string& why);
    void Because(const std::string& feature, const std::string& why);
    void Add(const ConditionRow& row);
    void Remove(const ConditionRow& row);

    std::optional<std::vector<CabinetRule>> rules_;  // sorted as the installer's queries return them
    std::string noRules_ = "no SearchCabinet table";
    bool hasConditions_;
    ConditionRows conditions_;
    ConditionWriter& writer_;
    CabinetCheck cabinetPresent_;
    std::map<std::string, bool> cabinets_;
    std::vector<std::pair<std::string, std::string>> reasons_;  // feature, why
    Log log_;
};
