// The plan, decided: the host releases, the choice of functions, the chosen function's rules
// and the costing that follows, all over what detect found. Nothing here reads or writes an
// installation: what the phases would set, post or log is kept in the plan.
#include "gating/plan.h"

#include "package/contract.h"
#include "session/installation.h"

#include <algorithm>

namespace {

// The installation as the phases see it while the plan is made: properties in memory,
// starting from what detect read; what they set, post and log goes into the plan.
class Record : public Installation {
public:
    Record(const Facts& facts, Plan& plan) : facts_(facts), plan_(plan)
    {
        if (facts.chosen) values_.emplace_back(prop::FunctionVer, *facts.chosen);
        if (facts.choiceBuilt) values_.emplace_back(prop::FunctionRb, "1");
    }
    OwnedString GetProperty(const char* name) const override
    {
        for (const auto& [property, value] : values_)
            if (property == name) return value.empty() ? OwnedString() : OwnedString(value);
        return std::nullopt;
    }
    void SetProperty(const char* name, const char* value) const override
    {
        Put(values_, name, value);
        Put(plan_.properties, name, value);
    }
    // The release properties and FUNCTION_VER as the library set them, recorded for the
    // next action and the other sequence.
    void RecordWhatWasSet() const
    {
        std::vector<std::pair<std::string, std::string>> set;
        for (const auto& [name, value] : plan_.properties)
            if (name == prop::FunctionVer || IsReleaseProperty(name)) set.emplace_back(name, value);
        if (!set.empty()) SetProperty(prop::LibrarySet, EncodeLibrarySet(set).c_str());
    }
    UINT ReportError(int number) const override
    {
        plan_.messages.push_back(number);
        return ERROR_SUCCESS;
    }
    void Log(const std::string& text) const override { plan_.log.push_back(text); }
    std::string Loggable(const char* name, const std::string& value) const override
    {
        return (";" + facts_.hidden + ";").find(";" + std::string(name) + ";") == std::string::npos ? value : "(hidden)";
    }

private:
    using Values = std::vector<std::pair<std::string, std::string>>;
    static void Put(Values& values, const char* name, const char* value)
    {
        for (auto& entry : values)
            if (entry.first == name) {
                entry.second = value;
                return;
            }
        values.emplace_back(name, value);
    }
    bool IsReleaseProperty(const std::string& name) const
    {
        return facts_.releases && std::any_of(facts_.releases->begin(), facts_.releases->end(), [&](const HostRelease& row) {
                   return row.property && (name == *row.property || name == *row.property + kRootSuffix ||
                                           name == *row.property + kViewSuffix);
               });
    }
    const Facts& facts_;
    Plan& plan_;
    mutable Values values_;
};

std::string ReleaseName(const HostRelease& row)
{
    return row.release.value_or("(none)");
}

bool IsFound(const std::vector<std::size_t>& found, std::size_t i)
{
    return std::find(found.begin(), found.end(), i) != found.end();
}

// The releases as detect found them: logged, counted, and their properties set. A property
// listed by several rows holds the key of the found release whose name sorts highest,
// whatever the order of the rows.
void DecideReleases(const Facts& facts, const Record& record, Plan& plan)
{
    if (!facts.releases) return;
    std::vector<std::pair<std::string, std::size_t>> best;  // property, the row of the release it holds
    for (std::size_t i = 0; i < facts.releases->size() && i < facts.found.size(); ++i) {
        const HostRelease& row = (*facts.releases)[i];
        const ReleaseFact& fact = facts.found[i];
        std::string name = row.property.value_or("(no property)");
        std::string shown = row.property ? record.Loggable(row.property->c_str(), fact.key) : fact.key;
        switch (fact.how) {
        case Found::Registry:
            record.Log("host release " + ReleaseName(row) + " found under " + fact.where + ": " + name + " = " + shown);
            plan.found.push_back(i);
            if (row.property) {
                auto at = std::find_if(best.begin(), best.end(), [&](const auto& entry) { return entry.first == *row.property; });
                if (at == best.end())
                    best.emplace_back(*row.property, i);
                else if (ReleaseName(row) > ReleaseName((*facts.releases)[at->second]))
                    at->second = i;
            }
            break;
        case Found::Given:
            record.Log("host release " + ReleaseName(row) + " taken as given: " + name + " = " + shown);
            plan.found.push_back(i);
            break;
        case Found::Kept:
            record.Log("host release " + ReleaseName(row) + " not found (" + fact.note + "); " + name +
                       " keeps the value it has: " + shown);
            break;
        case Found::Missing:
            if (!row.release)
                record.Log("host release of " + name + ": none given, so not installed");
            else
                record.Log("host release " + ReleaseName(row) + " not installed (" + fact.note + ")");
            break;
        }
    }
    // Beside the key path, where the release lives, for the package's conditions: the root
    // and the registry view (a per-user or a 64-bit registration component).
    for (const auto& [property, row] : best) {
        const ReleaseFact& fact = facts.found[row];
        record.SetProperty(property.c_str(), fact.key.c_str());
        record.SetProperty((property + kRootSuffix).c_str(), fact.root.c_str());
        record.SetProperty((property + kViewSuffix).c_str(), fact.view.c_str());
    }
}

// The features of the releases not found go off, then those of the found ones whose cabinet
// is present come back, including those a missing release's rules share with them.
void GateHostReleases(Gate& gate, const Facts& facts, const std::vector<std::size_t>& found)
{
    if (!facts.releases) return;
    const std::vector<HostRelease>& rows = *facts.releases;
    for (std::size_t i = 0; i < rows.size(); ++i)
        if (!IsFound(found, i))
            gate.DisableFeaturesOfProperty(rows[i].property, "host release " + ReleaseName(rows[i]) + " not installed");
    for (std::size_t i = 0; i < rows.size(); ++i)
        if (IsFound(found, i) && rows[i].property)
            gate.RestoreFeaturesOfProperty(rows[i].property, "host release " + ReleaseName(rows[i]) + " installed");
}

// The features whose rules all stand under the properties of releases that are not found:
// no function brings them back, since they would install for a host that is not there.
NameSet Stranded(const Facts& facts, const std::vector<std::size_t>& found)
{
    NameSet stranded;
    if (!facts.releases || !facts.rules) return stranded;
    std::vector<std::pair<std::string, bool>> properties;  // release property, any of its releases found
    for (std::size_t i = 0; i < facts.releases->size(); ++i) {
        const OwnedString& property = (*facts.releases)[i].property;
        if (!property) continue;
        auto at = std::find_if(properties.begin(), properties.end(), [&](const auto& p) { return p.first == *property; });
        if (at == properties.end()) properties.emplace_back(*property, IsFound(found, i));
        else at->second = at->second || IsFound(found, i);
    }
    std::vector<std::pair<std::string, bool>> features;  // feature, every rule under a missing release
    for (const CabinetRule& rule : *facts.rules) {
        if (!rule.feature || !IsFeatureName(*rule.feature)) continue;
        auto release = rule.property ? std::find_if(properties.begin(), properties.end(),
                                                    [&](const auto& p) { return p.first == *rule.property; })
                                     : properties.end();
        bool missing = release != properties.end() && !release->second;
        auto at = std::find_if(features.begin(), features.end(), [&](const auto& f) { return f.first == *rule.feature; });
        if (at == features.end()) features.emplace_back(*rule.feature, missing);
        else at->second = at->second && missing;
    }
    for (const auto& [feature, missing] : features)
        if (missing) stranded.insert(feature);
    return stranded;
}

void PinStranded(Gate& gate, const NameSet& stranded)
{
    for (const std::string& feature : stranded)
        gate.DisableFeature(feature, "its rules belong only to host releases not installed");
}

// Why a function whose rules are met cannot be installed here; empty when it can.
using Installable = std::function<std::string(const std::string& value)>;

// `keepPreset`: a preset that is not offered stays (the installed product's own function).
UINT BuildFunctionChoice(const Installation& installation, Gate& gate, const std::optional<std::vector<FunctionRow>>& functions,
                         std::optional<FunctionChoice>& choice, bool report, const Installable& installable,
                         bool keepPreset = false)
{
    // The general rules are those that belong to no host release (an empty PropertyName).
    if (!gate.EvaluateCabinetRules(std::string(), std::nullopt)) {
        installation.Log(report ? "general rules not met: message 3001" : "general rules not met: no choice built");
        if (report) installation.ReportError(message::RulesNotMet);
        return ERROR_INSTALL_FAILURE;
    }
    if (installation.GetProperty(prop::FunctionRb)) {
        installation.Log("choice built before (FUNCTION_RB set): left as it is");
        return ERROR_SUCCESS;
    }
    OwnedString preset = installation.GetProperty(prop::FunctionVer);
    if (!functions) {
        installation.Log("no FunctionVersion table: no choice built");
        return ERROR_SUCCESS;
    }

    FunctionChoice built;
    std::string firstValue;
    std::string firstText;
    bool presetOffered = false;
    for (const FunctionRow& function : *functions) {
        std::string name = function.function.value_or("(unnamed)");
        if (!gate.EvaluateCabinetRules(std::nullopt, function.function)) {
            installation.Log("function " + name + " not offered: its rules are not met");
            continue;
        }
        // A function without a value cannot be chosen: an empty FUNCTION_VER reads as unset.
        if (!function.value) {
            installation.Log("function " + name + " not offered: it has no value");
            continue;
        }
        const std::string& value = *function.value;
        // Offered means installable: a function whose choice would end in message 3000 is not.
        std::string why = installable(value);
        if (!why.empty()) {
            installation.Log("function " + name + " not offered: its rules are met, but " + why);
            continue;
        }
        std::string text = function.text.value_or(std::string());
        installation.Log("offered function " + name + ": \"" + text + "\" (FUNCTION_VER = " + value + ")");

        if (built.buttons.empty()) {
            firstValue = value;
            firstText = text;
            if (!preset) installation.SetProperty(prop::FunctionVer, value.c_str());
        }
        if (preset && value == *preset) {
            built.chosenText = text;
            presetOffered = true;
        }
        built.buttons.push_back({static_cast<int>(built.buttons.size()) + 1, value, 0, 0, text});
    }
    LayOutChoice(built.buttons);

    if (built.buttons.empty()) {
        installation.Log(report ? "no function available: message 3001" : "no function available: no choice built");
        if (report) installation.ReportError(message::RulesNotMet);
        return ERROR_INSTALL_FAILURE;
    }
    if (presetOffered) {
        installation.Log("preset FUNCTION_VER = " + installation.Loggable(prop::FunctionVer, *preset) + " kept");
    } else {
        built.chosenText = firstText;
        if (preset && keepPreset) {
            installation.Log("preset FUNCTION_VER = " + installation.Loggable(prop::FunctionVer, *preset) +
                             " is not offered now: kept, as the installed product's function");
        } else if (preset) {
            installation.SetProperty(prop::FunctionVer, firstValue.c_str());
            installation.Log("preset FUNCTION_VER = " + installation.Loggable(prop::FunctionVer, *preset) +
                             " is not offered: replaced by " + firstValue);
        } else {
            installation.Log("FUNCTION_VER set to the first offered function, " + firstValue);
        }
    }
    installation.SetProperty(prop::FunctionRb, "1");
    choice = std::move(built);
    return ERROR_SUCCESS;
}

void ApplyFunctionChoice(const Installation& installation, Gate& gate, const std::optional<std::vector<FunctionRow>>& functions,
                         const OwnedString& chosen)
{
    if (!chosen) return;
    installation.Log("chosen function: FUNCTION_VER = " + installation.Loggable(prop::FunctionVer, *chosen));
    if (!functions) return;
    // Every other function goes first, so that features shared with the chosen one come
    // back on below wherever its cabinet is present.
    for (const FunctionRow& function : *functions) {
        if (function.value && *function.value == *chosen) continue;
        gate.DisableFeaturesOfFunction(function.function,
                                       "function " + function.function.value_or("(unnamed)") + " not chosen");
    }
    // The chosen function's rules stand under its value.
    gate.RestoreFeaturesOfFunction(chosen, "function " + installation.Loggable(prop::FunctionVer, *chosen) + " chosen");
}

// One release's test for the chosen function, made before any release's features go.
struct ReleaseTest {
    std::size_t row = 0;  // in the AutoCAD table
    bool installed = false;
    std::string why;      // why its rules for the function are not met; empty when they are
    bool Fits() const { return installed && why.empty(); }
};

// The one writer of why a release does not fit a function: the log, the choice's reasons, the
// named function's message 3000 and the checker's findings all say it in these words.
std::string DoesNotFit(const Facts& facts, const ReleaseTest& test, const std::string& function)
{
    const HostRelease& row = (*facts.releases)[test.row];
    std::string release = "host release " + ReleaseName(row) + " (" + row.property.value_or("no property") + ")";
    if (test.why.empty()) return release + " is not installed";
    return release + (test.installed ? "" : " is not installed, and") + " does not fit function " + function + ": " + test.why;
}

// Why no installed release fits a function, release by release: those whose rules name it.
std::string NoneFits(const Facts& facts, const std::vector<ReleaseTest>& tests, const std::string& function)
{
    std::string text;
    for (const ReleaseTest& test : tests) {
        const HostRelease& row = (*facts.releases)[test.row];
        bool named = facts.rules && std::any_of(facts.rules->begin(), facts.rules->end(), [&](const CabinetRule& rule) {
                         return row.property && rule.property == row.property && rule.function == function;
                     });
        if (named) text += (text.empty() ? "" : "; ") + DoesNotFit(facts, test, function);
    }
    return text.empty() ? "no release's rules name it" : text;
}

// The functions of the package other than `chosen` (their names and values): their rules under
// a release that fits belong to them, not to the release.
NameSet OtherFunctions(const Facts& facts, const std::string& chosen)
{
    NameSet own{&chosen, &chosen + 1};
    NameSet others;
    if (!facts.functions) return others;
    for (const FunctionRow& function : *facts.functions)
        if (function.value == chosen && function.function) own.insert(*function.function);
    for (const FunctionRow& function : *facts.functions)
        for (const OwnedString& name : {function.function, function.value})
            if (function.value != chosen && name && !own.count(*name)) others.insert(*name);
    return others;
}

// Every release is tested for the chosen function on the same footing: all before any release's
// features go, so that neither the AutoCAD nor the SearchCabinet rows' order counts. A release
// that fails then takes the features of its rows that no fitting release's rows (its own, or the
// chosen function's) name: a failed release never takes what a fitting one needs. A release that
// is not installed never fits: its features would install for no host.
UINT MatchHostsToFunction(const Installation& installation, Gate& gate, const Facts& facts,
                          const std::vector<std::size_t>& found, const OwnedString& chosen, bool report,
                          std::string* whyNone = nullptr)
{
    if (!chosen) {
        if (!report) return ERROR_INSTALL_FAILURE;
        installation.Log("no function chosen (FUNCTION_VER unset): message 3000");
        installation.ReportError(message::HostMissing);
        return ERROR_INSTALL_FAILURE;
    }
    if (!facts.releases) return ERROR_SUCCESS;
    std::vector<ReleaseTest> tests;
    for (std::size_t i = 0; i < facts.releases->size(); ++i) {
        const OwnedString& property = (*facts.releases)[i].property;
        ReleaseTest test{i, IsFound(found, i), std::string()};
        if (!gate.EvaluateCabinetRules(property, chosen)) test.why = gate.WhyNotMet(property, chosen);
        tests.push_back(std::move(test));
    }
    const NameSet others = OtherFunctions(facts, *chosen);
    NameSet needed;
    for (const ReleaseTest& test : tests)
        if (test.Fits())
            for (const CabinetRule* rule : gate.RulesOf((*facts.releases)[test.row].property))
                if (rule->feature && !(rule->function && others.count(*rule->function))) needed.insert(*rule->feature);
    int matched = 0;
    for (const ReleaseTest& test : tests) {
        const HostRelease& row = (*facts.releases)[test.row];
        if (test.Fits()) {
            ++matched;
            installation.Log("host " + row.property.value_or("(no property)") + " fits the chosen function");
        } else if (test.why.empty()) {
            installation.Log(DoesNotFit(facts, test, *chosen) + ": it fits no function");
        } else {
            std::string why = DoesNotFit(facts, test, *chosen);
            installation.Log(why + ": its features go, but those a fitting release's rules name");
            gate.DisableFeaturesOfProperty(row.property, why, needed);
        }
    }
    if (matched > 0 || facts.releases->empty()) return ERROR_SUCCESS;
    if (whyNone) *whyNone = NoneFits(facts, tests, *chosen);
    if (!report) return ERROR_INSTALL_FAILURE;
    installation.Log("no host release fits the chosen function (" + NoneFits(facts, tests, *chosen) + "): message 3000");
    installation.ReportError(message::HostMissing);
    return ERROR_INSTALL_FAILURE;
}

Target TargetOf(const Costing& costing)
{
    if (costing.unknown) return Target::Package;
    switch (costing.state) {
    case INSTALLSTATE_LOCAL: return Target::Local;
    case INSTALLSTATE_SOURCE: return Target::Source;
    case INSTALLSTATE_ADVERTISED: return Target::Advertised;
    default: return Target::Absent;
    }
}

// Each feature's target: the costing the package's own rows give, with hostgate's level-0
// row in place of them for the features it switches off (its switch wins).
void DecideFeatures(const Facts& facts, const Gate& gate, Plan& plan)
{
    ConditionRows model;
    std::vector<std::pair<std::string, Truth>> truths;
    if (facts.packageRows)
        for (std::size_t i = 0; i < facts.packageRows->size(); ++i) {
            const ConditionRow& row = (*facts.packageRows)[i];
            truths.emplace_back(row.expression.value_or(std::string()), i < facts.rowTruth.size() ? facts.rowTruth[i] : Truth::Unknown);
            if (gate.Off().count(row.feature)) continue;
            std::vector<ConditionRow>& list = model[row.feature];
            auto at = std::upper_bound(list.begin(), list.end(), row,
                                       [](const ConditionRow& a, const ConditionRow& b) { return a.level < b.level; });
            list.insert(at, row);
        }
    for (const std::string& feature : gate.Off()) model[feature] = {ConditionRow{feature, 0, std::string(kAlways)}};
    Evaluate evaluate = [&truths](const std::string& expression) {
        for (const auto& [text, truth] : truths)
            if (text == expression) return truth;
        return expression == kAlways ? Truth::True : Truth::Unknown;
    };
    plan.costings = FirstCosting(facts.features, model, facts.installLevel, evaluate);

    std::vector<std::string> named = gate.RuleFeatures();
    NameSet ruled(named.begin(), named.end());
    NameSet withheld;
    for (const std::string& feature : RuledFeatures(facts)) {
        const Costing* costing = CostingOf(plan.costings, feature);
        if (!costing) continue;
        FeaturePlan entry;
        entry.feature = feature;
        entry.ruled = ruled.count(feature) > 0;
        entry.off = gate.Off().count(feature) > 0;
        const FeatureRow* row = nullptr;
        for (const FeatureRow& candidate : facts.features)
            if (candidate.name == feature) row = &candidate;
        entry.withheld = entry.off || (row && row->parent && withheld.count(*row->parent));
        if (entry.withheld) withheld.insert(feature);
        entry.target = TargetOf(*costing);
        entry.level = costing->level;
        std::string why = gate.Reason(feature);
        if (entry.off)
            entry.reason = why;
        else if (!why.empty() && entry.ruled)
            entry.reason = why + "; " + costing->reason;
        else
            entry.reason = costing->reason;
        const INSTALLSTATE* installed = facts.installed.find(feature);
        entry.has = installed && Installs(*installed);
        plan.features.push_back(entry);
    }
}

// The releases whose rules name the function, for the log.
std::string ReleasesOf(const Facts& facts, const std::string& function)
{
    std::string list;
    if (facts.rules && facts.releases)
        for (const HostRelease& row : *facts.releases) {
            if (!row.property) continue;
            bool named = std::any_of(facts.rules->begin(), facts.rules->end(), [&](const CabinetRule& rule) {
                return rule.property == row.property && rule.function == function;
            });
            if (named && list.find(ReleaseName(row)) == std::string::npos) list += (list.empty() ? "" : ", ") + ReleaseName(row);
        }
    return list.empty() ? std::string("none") : list;
}

// A function named for an installation nobody is asked about (no dialog) must be one this
// machine can take: else message 3000, and nothing of the package is installed or changed.
// With the dialog the person decides among what is offered.
bool TakesNamedFunction(const Facts& facts, const Gate& gate, Plan& plan, const Record& record)
{
    if (!facts.functionNamed || facts.dialog || !facts.chosen) return true;
    const std::string& named = *facts.chosen;
    Gate trial = gate;
    trial.SetLog([](const std::string&) {});
    // Offered as the choice offers it, whether or not the choice was built before.
    bool offered = facts.functions && std::any_of(facts.functions->begin(), facts.functions->end(), [&](const FunctionRow& row) {
                       return row.value == named && trial.EvaluateCabinetRules(std::nullopt, row.function);
                   });
    bool fits = false;
    std::string whyNone;
    if (offered) {
        Plan scratch;
        Record quiet(facts, scratch);
        ApplyFunctionChoice(quiet, trial, facts.functions, named);
        fits = MatchHostsToFunction(quiet, trial, facts, plan.found, named, false, &whyNone) == ERROR_SUCCESS;
    }
    if (offered && fits) return true;
    std::string found;
    for (std::size_t i : plan.found) found += (found.empty() ? "" : ", ") + ReleaseName((*facts.releases)[i]);
    record.Log("FUNCTION_VER = " + record.Loggable(prop::FunctionVer, named) +
               " was named for this installation, but this machine cannot take it (" +
               (offered ? "no installed release fits it: " + whyNone : std::string("it is not offered")) + "): it needs " +
               ReleasesOf(facts, named) + "; installed: " + (found.empty() ? std::string("none") : found) + "; message 3000");
    record.ReportError(message::HostMissing);
    plan.result = ERROR_INSTALL_FAILURE;
    // Nothing of the choice is built or set: the installation stops as it was named.
    plan.choice.reset();
    plan.offered.clear();
    plan.properties.erase(std::remove_if(plan.properties.begin(), plan.properties.end(),
                                         [](const auto& p) { return p.first == prop::FunctionVer || p.first == prop::FunctionRb; }),
                          plan.properties.end());
    return false;
}

// The features the functions' rules name (a rule whose Function is a function's name or
// value); a release's own features, under rules of no function, are not among them.
NameSet FunctionFeatures(const Facts& facts)
{
    NameSet features;
    if (!facts.rules || !facts.functions) return features;
    for (const CabinetRule& rule : *facts.rules)
        if (rule.feature && rule.function &&
            std::any_of(facts.functions->begin(), facts.functions->end(), [&](const FunctionRow& function) {
                return rule.function == function.function || rule.function == function.value;
            }))
            features.insert(*rule.feature);
    return features;
}

// The function the installed product has: the function whose plan, with the releases found
// now, gives exactly the function features installed (the first such). Where none does, the
// one that covers the most of them with the fewest others, not exact.
struct Recognition {
    OwnedString function;
    bool exact = false;
    std::vector<std::string> dropped;  // installed function features a choice of it would drop
};

Recognition Recognize(const Facts& facts)
{
    Recognition best;
    if (!facts.functions) return best;
    NameSet own = FunctionFeatures(facts);
    NameSet has;
    for (const std::string& feature : own)
        if (const INSTALLSTATE* state = facts.installed.find(feature))
            if (Installs(*state)) has.insert(feature);
    Facts trial = facts;
    trial.road = Road::FirstInstall;
    trial.installed = NameMap<INSTALLSTATE>();
    trial.functionNamed = false;
    // What a function installs, whatever the source shows now (a repair or a removal never
    // looks at it).
    if (trial.rules)
        for (const CabinetRule& rule : *trial.rules)
            if (rule.cabinet) trial.cabinets[*rule.cabinet] = Cabinet::Present;
    int bestCovered = -1, bestOthers = 0;
    for (const FunctionRow& function : *facts.functions) {
        if (!function.value) continue;
        trial.chosen = function.value;
        Plan plan = MakePlan(trial, Stage::Chosen);
        if (plan.result != ERROR_SUCCESS || !plan.decides) continue;
        int covered = 0, others = 0;
        std::vector<std::string> dropped;
        for (const std::string& feature : own) {
            const FeaturePlan* entry = PlanOf(plan, feature);
            bool planned = entry && Installs(entry->target);
            if (planned && has.count(feature)) ++covered;
            else if (planned) ++others;
            else if (has.count(feature)) dropped.push_back(feature);
        }
        if (others == 0 && dropped.empty()) return {function.value, true, {}};
        if (covered > bestCovered || (covered == bestCovered && others < bestOthers)) {
            best = {function.value, false, dropped};
            bestCovered = covered;
            bestOthers = others;
        }
    }
    return best;
}

void WarnOfUnknownFeatures(const Record& record, const Facts& facts, const Gate& gate)
{
    NameSet known;
    for (const FeatureRow& row : facts.features) known.insert(row.name);
    for (const std::string& feature : gate.RuleFeatures())
        if (!known.count(feature))
            record.Log("warning: SearchCabinet rules name feature " + feature +
                       ", which the package's Feature table does not have: they switch nothing");
}


void Decide(const Facts& facts, Stage stage, Plan& plan, const Record& record)
{
    bool installed = facts.road != Road::FirstInstall;
    if (installed) record.Log(std::string("road: ") + RoadName(facts.road));
    if (facts.staleFunction && stage == Stage::BeforeChoice)
        record.Log("FUNCTION_VER = " + record.Loggable(prop::FunctionVer, *facts.staleFunction) +
                   ", remembered by the package, is no function of this package now: ignored");
    // The release properties are set on every road, so that package rows using them name the
    // keys and folders they named when the features were installed.
    DecideReleases(facts, record, plan);
    // A repair restores what is installed and adds nothing; a removal takes everything: the
    // rules decide neither.
    // FUNCTION_VER too keeps the value the package's rows were installed with.
    if (facts.road == Road::Repair || facts.road == Road::Removal) {
        OwnedString function = !facts.chosen && stage == Stage::BeforeChoice ? Recognize(facts).function : std::nullopt;
        if (function) {
            record.SetProperty(prop::FunctionVer, function->c_str());
            record.Log("FUNCTION_VER = " + *function + ": the function the product has installed");
        }
        if (stage == Stage::Chosen) record.Log(std::string("road: ") + RoadName(facts.road) + ": the rules change nothing");
        return;
    }

    // A cabinet the source cannot show (the source not reached) is unknown, never absent: on
    // a change it counts as present for the features the product has, which the source
    // missing must not remove, and as absent for the others, which it could not install.
    NameSet serving;
    if (!facts.sourceReached && stage == Stage::BeforeChoice)
        record.Log("the installation source could not be reached (" +
                   (facts.source.empty() ? std::string("no source folder resolved") : "looked for in " + facts.source) +
                   "): its cabinets are unknown; " +
                   (installed ? "the installed features keep theirs" : "no rule that needs one is met"));
    if (facts.rules && facts.road == Road::Change)
        for (const CabinetRule& rule : *facts.rules) {
            if (!rule.cabinet || !rule.feature) continue;
            const Cabinet* cabinet = facts.cabinets.find(*rule.cabinet);
            const INSTALLSTATE* state = facts.installed.find(*rule.feature);
            if (cabinet && *cabinet == Cabinet::Unknown && state && Installs(*state)) serving.insert(*rule.cabinet);
        }
    Gate gate(facts.rules,
              [&facts, serving](const std::string& path) {
                  const Cabinet* known = facts.cabinets.find(path);
                  return (known && *known == Cabinet::Present) || serving.count(path) > 0;
              },
              [&record](const std::string& text) { record.Log(text); });
    if (!facts.rulesProblem.empty()) gate.DescribeMissingRules(facts.rulesProblem);
    if (stage == Stage::BeforeChoice) WarnOfUnknownFeatures(record, facts, gate);
    GateHostReleases(gate, facts, plan.found);
    NameSet stranded = Stranded(facts, plan.found);

    bool hostsMissing = facts.releases && !facts.releases->empty() && plan.found.empty();
    // What the releases alone switch off: a host added or removed rules the features it holds,
    // whatever the function.
    NameSet hostOff = gate.Off();
    for (const std::string& feature : stranded) hostOff.insert(feature);
    Plan scratch;
    Record quiet(facts, scratch);
    Installable installable = [&](const std::string& value) {
        Gate trial = gate;
        trial.SetLog([](const std::string&) {});
        ApplyFunctionChoice(quiet, trial, facts.functions, value);
        PinStranded(trial, stranded);
        std::string whyNone;
        return MatchHostsToFunction(quiet, trial, facts, plan.found, value, false, &whyNone) == ERROR_SUCCESS
                   ? std::string()
                   : "no installed host release fits it (it needs " + ReleasesOf(facts, value) + "): " + whyNone;
    };

    // The installed product's function, recognised from its features (a change, or the earlier
    // version an upgrade replaces), unless one was named. When no function gives exactly what
    // is installed, the plan keeps the installed function features: nothing is lost that
    // nobody chose to remove.
    bool keep = false;
    // The package's own function (its default, or the one it remembers) that the releases
    // found now cannot take, on the installed product: it stays the function, and the
    // installed function features stay with it, so that nothing is written back that would
    // cost the user features on a later run.
    bool packageOwn = facts.chosen && !facts.functionNamed && !facts.functionFromLibrary;
    bool stuck = !facts.installed.empty() && packageOwn && !installable(*facts.chosen).empty();
    if (stuck && stage == Stage::BeforeChoice)
        record.Log("FUNCTION_VER = " + record.Loggable(prop::FunctionVer, *facts.chosen) +
                   ", the package's own, cannot be installed with the releases found now: it is kept, and so are "
                   "the installed function features");
    bool recognise = !facts.installed.empty() && !facts.functionNamed && (!facts.chosen || facts.functionFromLibrary);
    if (recognise) {
        Recognition recognised = Recognize(facts);
        if (recognised.function && stage == Stage::BeforeChoice)
            record.Log("FUNCTION_VER = " + *recognised.function + ": " +
                       (recognised.exact ? std::string("the function product ")
                                         : std::string("the function closest to what product ")) +
                       facts.installedFrom + " has installed");
        keep = !recognised.exact;
        if (keep && stage == Stage::BeforeChoice) {
            std::string dropped;
            for (const std::string& feature : recognised.dropped) dropped += (dropped.empty() ? "" : ", ") + feature;
            record.Log("no function gives exactly what product " + facts.installedFrom +
                       " has installed: its function features are kept unless a function is chosen" +
                       (dropped.empty() ? std::string() : "; choosing " + recognised.function.value_or("one") +
                                                              " would drop " + dropped));
        }
        if (recognised.function && stage == Stage::BeforeChoice && recognised.function != facts.chosen)
            record.SetProperty(prop::FunctionVer, recognised.function->c_str());
    }

    if (stage == Stage::BeforeChoice) {
        if (hostsMissing && !installed) {
            record.Log("none of the " + std::to_string(facts.releases->size()) + " host releases is installed: message 3000");
            record.ReportError(message::HostMissing);
            plan.result = ERROR_INSTALL_FAILURE;
        } else {
            plan.result = BuildFunctionChoice(record, gate, facts.functions, plan.choice, !installed, installable,
                                              stuck && !facts.dialog);
            if (plan.choice)
                for (const ChoiceButton& button : plan.choice->buttons) plan.offered.push_back(button.value);
            if (installed) plan.result = ERROR_SUCCESS;
            if (plan.result == ERROR_SUCCESS && !TakesNamedFunction(facts, gate, plan, record)) return;
        }
        // The function the choice starts from is planned at once, so that a road on which
        // nothing runs after this action (reduced UI, a dialog never shown) still gets it.
        OwnedString chosen = record.GetProperty(prop::FunctionVer);
        if (plan.result == ERROR_SUCCESS && chosen && facts.functions) {
            Gate trial = gate;
            ApplyFunctionChoice(record, trial, facts.functions, chosen);
            PinStranded(trial, stranded);
            if (MatchHostsToFunction(record, trial, facts, plan.found, chosen, false) == ERROR_SUCCESS || installed)
                gate = trial;
            else
                record.Log("the function chosen so far fits no installed host release: the features of the host "
                           "releases alone are planned, and the choice is left to AfterSelectFunction");
        }
    } else {
        OwnedString chosen = record.GetProperty(prop::FunctionVer);
        if (installed && !chosen) {
            record.Log("road: change of the installed product, without a function chosen: nothing changed");
            return;
        }
        // The installed product is not stopped by its own function, one the library set or the
        // dialog offered: a choice that fits no release leaves the releases' features out, as
        // the rules say. A function named for a change without the dialog is held to them.
        bool held = !installed || (facts.functionNamed && !facts.dialog);
        ApplyFunctionChoice(record, gate, facts.functions, chosen);
        PinStranded(gate, stranded);
        plan.result = MatchHostsToFunction(record, gate, facts, plan.found, chosen, held);
        if (!held) plan.result = ERROR_SUCCESS;
        if (plan.result != ERROR_SUCCESS) return;
    }
    if (keep || stuck)
        for (const std::string& feature : FunctionFeatures(facts))
            if (const INSTALLSTATE* state = facts.installed.find(feature))
                if (Installs(*state) && !hostOff.count(feature))
                    gate.RestoreFeature(feature, "installed, and no function gives exactly what is installed: kept");
    plan.function = record.GetProperty(prop::FunctionVer);
    DecideFeatures(facts, gate, plan);
    plan.decides = true;
}

}  // namespace

Plan MakePlan(const Facts& facts, Stage stage)
{
    Plan plan;
    Record record(facts, plan);
    Decide(facts, stage, plan, record);
    record.RecordWhatWasSet();
    return plan;
}
