// The rules and functions area: what the SearchCabinet rules name, and how the functions
// offered meet them.
#include "checker/review.h"
#include "checker/text.h"

#include "gating/gate.h"
#include "package/contract.h"

namespace {

// About 40 characters fill a radio button 174 dialog units wide in the usual dialog font.
constexpr std::size_t kButtonTextLimit = 40;

// A rule as hostgate reads it: property and function by name, cabinet and feature by position.
struct Rule {
    OwnedString property;
    OwnedString function;
    OwnedString feature;
    std::string key;
};

std::vector<Rule> Rules(Review& review)
{
    std::vector<Rule> rules;
    const Table* table = review.Get(table::SearchCabinet);
    if (!table || table->names.size() < 4 || !table->Column(searchcabinet::PropertyNameColumn) ||
        !table->Column(searchcabinet::FunctionColumn))
        return rules;
    for (const auto& row : table->rows)
        rules.push_back({table->Field(row, searchcabinet::PropertyNameColumn), table->Field(row, searchcabinet::FunctionColumn),
                         row[searchcabinet::Feature - 1], RuleKey(row)});
    return rules;
}

bool RaisedByCondition(Review& review, const std::string& feature)
{
    if (const Table* conditions = review.Get(table::Condition))
        for (const auto& row : conditions->rows)
            if (row.size() > 1 && row[0] == feature && Integer(row[1]) > 0) return true;
    return false;
}

}  // namespace

void CheckRules(Review& review)
{
    std::vector<Rule> rules = Rules(review);
    if (rules.empty()) return;
    std::set<std::string> features = review.Features();
    std::set<std::string> properties = review.HostProperties();
    std::set<std::string> values = review.FunctionValues();

    std::set<std::string> ruled;            // features any rule names
    std::set<std::string> releaseFeatures;  // named by a release's rule for no function
    std::set<std::string> usedProperties;
    for (const Rule& rule : rules) {
        // A name no feature key can hold is the names area's (HG16).
        if (!rule.feature || !IsFeatureName(*rule.feature)) continue;
        const std::string& feature = *rule.feature;
        ruled.insert(feature);
        if (!features.count(feature))
            review.Add("HG03", "error", table::SearchCabinet, "Feature", rule.key,
                       "the rule names feature " + feature + ", which the Feature table does not have: the rule "
                       "switches nothing; name the feature exactly as its Feature key");
        if (!rule.property) continue;
        usedProperties.insert(*rule.property);
        if (!properties.count(*rule.property))
            review.Add("HG04", "warning", table::SearchCabinet, "PropertyName", rule.key,
                       "no AutoCAD row has the property " + Shown(*rule.property) +
                           ": the rule belongs to no host release; use an AutoCAD Property, or leave it empty for a "
                           "general rule");
        else if (!rule.function || !values.count(*rule.function))
            releaseFeatures.insert(feature);
    }
    for (const std::string& property : properties)
        if (!usedProperties.count(property))
            review.Add("HG04", "warning", table::AutoCAD, "Property", property,
                       "no SearchCabinet rule has the property " + Shown(property) +
                           ": the release can never be matched to a function (message 3000 when it is the only one "
                           "installed); add rules under it");
    for (const Rule& rule : rules)
        if (rule.feature && rule.function && values.count(*rule.function) && releaseFeatures.count(*rule.feature))
            review.Add("HG12", "warning", table::SearchCabinet, "Feature", rule.key,
                       "feature " + *rule.feature + " belongs to a host release, yet this rule of function " +
                           Shown(*rule.function) + " names it too: choosing the function switches it back on even "
                           "where its release is missing; give the release's feature no function rule");
    // A feature that no costing installs (level 0, no Condition row raising it) stays out on
    // every road, whatever the rules and the choice say.
    if (const Table* featureTable = review.Get(table::Feature))
        if (featureTable->names.size() >= 6)
            for (const auto& row : featureTable->rows)
                if (row[0] && ruled.count(*row[0]) && Integer(row[5]) <= 0 && !RaisedByCondition(review, *row[0]))
                    review.Add("HG14", "warning", table::Feature, "Level", *row[0],
                               "feature " + *row[0] + " has level 0, so no road installs it, yet rules name it: give "
                               "it the level it installs at (1, or above INSTALLLEVEL for a feature only lists add)");
    if (const Table* conditions = review.Get(table::Condition)) {
        std::set<std::string> reported;
        for (const auto& row : conditions->rows)
            if (row.size() > 1 && row[0] && ruled.count(*row[0]) && reported.insert(*row[0]).second)
                review.Add("HG09", "warning", table::Condition, "Feature_", Join({row[0], row[1]}),
                           "feature " + *row[0] + " is switched by hostgate's rules and has a Condition row of "
                           "the package: Windows lets a custom action change only temporary rows, so the feature "
                           "can be neither switched off nor back on; move the condition to a parent feature");
    }
}

void CheckFunctions(Review& review)
{
    const Table* functions = review.Get(table::FunctionVersion);
    if (!functions || functions->names.size() < 3) return;
    std::vector<Rule> rules = Rules(review);
    std::set<std::string> ruleFunctions;
    std::set<std::string> hostFunctions;  // with a rule under some host release's property
    std::set<std::string> properties = review.HostProperties();
    for (const Rule& rule : rules) {
        if (!rule.function) continue;
        ruleFunctions.insert(*rule.function);
        if (rule.property && properties.count(*rule.property)) hostFunctions.insert(*rule.function);
    }
    // Rules hostgate cannot read (HG01) say nothing of the functions they would name.
    bool rulesRead = !review.HasError("HG01", table::SearchCabinet);
    for (const auto& row : functions->rows) {
        std::string key = row[0].value_or(std::string());
        if (rulesRead && row[2] && ruleFunctions.count(*row[2]) && !properties.empty() && !hostFunctions.count(*row[2]))
            review.Add("HG13", "error", table::FunctionVersion, "Value", key,
                       "no rule of any host release (an AutoCAD property) has the Function " + Shown(*row[2]) +
                           ": choosing the function fails with message 3000 on every machine; add its rules under "
                           "each release that supports it");
        if (rulesRead && row[2] && row[0] && *row[2] != *row[0] && !ruleFunctions.count(*row[2]))
            review.Add("HG05", "error", table::FunctionVersion, "Value", key,
                       "the function is offered under its name " + Shown(*row[0]) + " but, once chosen, its rules are "
                       "read under its value " + Shown(*row[2]) + ", and no rule has that Function: add its rules "
                       "under " + Shown(*row[2]) + " too");
        if (row[1] && row[1]->size() > kButtonTextLimit)
            review.Add("HG10", "warning", table::FunctionVersion, "Text", key,
                       "the text has " + std::to_string(row[1]->size()) + " characters; a radio button shows about " +
                           std::to_string(kButtonTextLimit) + ": shorten it");
    }
}
