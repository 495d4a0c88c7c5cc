// The plan, decided: the host releases, the choice of functions, the chosen function's rules
// and the costing that follows, all over what detect found. Each step is a function of what
// the steps before it decided and returns its own decision, with the lines it logs and the
// messages it posts; MakePlan puts them into the plan in order. Nothing here reads or writes
// an installation.
#include "gating/plan.h"

#include "package/contract.h"

#include <algorithm>

namespace {

using Lines = std::vector<std::string>;
using Properties = std::vector<std::pair<std::string, std::string>>;

template <typename T>
void Append(std::vector<T>& lines, const std::vector<T>& more)
{
    lines.insert(lines.end(), more.begin(), more.end());
}

// A property set again keeps its place.
void Put(Properties& properties, const std::string& name, const std::string& value)
{
    for (auto& entry : properties)
        if (entry.first == name) {
            entry.second = value;
            return;
        }
    properties.emplace_back(name, value);
}

// An empty property reads as unset.
OwnedString Value(const OwnedString& value)
{
    return value && !value->empty() ? value : std::nullopt;
}

// What a property reads as once `set` is applied over the value it had.
OwnedString Reads(const Properties& set, const char* name, const OwnedString& before)
{
    for (const auto& [property, value] : set)
        if (property == name) return Value(value);
    return Value(before);
}

// A property's value as the log may show it: "(hidden)" for the properties the package lists
// in MsiHiddenProperties.
std::string Shown(const Facts& facts, const std::string& name, const std::string& value)
{
    return (";" + facts.hidden + ";").find(";" + name + ";") == std::string::npos ? value : "(hidden)";
}

std::string ReleaseName(const HostRelease& row)
{
    return row.release.value_or("(none)");
}

bool IsFound(const std::vector<std::size_t>& found, std::size_t i)
{
    return std::find(found.begin(), found.end(), i) != found.end();
}

// The road, and a remembered function that is no function of this package now.
Lines Opening(const Facts& facts, Stage stage)
{
    Lines log;
    if (facts.road != Road::FirstInstall) log.push_back(std::string("road: ") + RoadName(facts.road));
    if (facts.staleFunction && stage == Stage::BeforeChoice)
        log.push_back("FUNCTION_VER = " + Shown(facts, prop::FunctionVer, *facts.staleFunction) +
                      ", remembered by the package, is no function of this package now: ignored");
    return log;
}

// What detect found of one AutoCAD row, for the log.
std::string ReleaseLine(const Facts& facts, std::size_t i)
{
    const HostRelease& row = (*facts.releases)[i];
    const ReleaseFact& fact = facts.found[i];
    std::string name = row.property.value_or("(no property)");
    std::string shown = row.property ? Shown(facts, *row.property, fact.key) : fact.key;
    switch (fact.how) {
    case Found::Registry:
        return "host release " + ReleaseName(row) + " found under " + fact.where + ": " + name + " = " + shown;
    case Found::Given:
        return "host release " + ReleaseName(row) + " taken as given: " + name + " = " + shown;
    case Found::Kept:
        return "host release " + ReleaseName(row) + " not found (" + fact.note + "); " + name +
               " keeps the value it has: " + shown;
    case Found::Missing:
        if (!row.release) return "host release of " + name + ": none given, so not installed";
        return "host release " + ReleaseName(row) + " not installed (" + fact.note + ")";
    }
    return std::string();
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

// The host releases as detect found them, and what they decide before any function.
struct Hosts {
    Lines log;
    std::vector<std::size_t> found;  // rows of the AutoCAD table
    Properties properties;           // the release properties the library sets
    NameSet stranded;
    bool missing = false;            // releases listed, none found
};

// A property listed by several rows holds the key of the found release whose name sorts
// highest, whatever the order of the rows. Beside the key path, where the release lives, for
// the package's conditions: the root and the registry view (a per-user or a 64-bit
// registration component).
Hosts FindHosts(const Facts& facts)
{
    Hosts hosts;
    if (!facts.releases) return hosts;
    std::vector<std::pair<std::string, std::size_t>> best;  // property, the row of the release it holds
    for (std::size_t i = 0; i < facts.releases->size() && i < facts.found.size(); ++i) {
        const HostRelease& row = (*facts.releases)[i];
        Found how = facts.found[i].how;
        std::string line = ReleaseLine(facts, i);
        if (!line.empty()) hosts.log.push_back(line);
        if (how == Found::Registry || how == Found::Given) hosts.found.push_back(i);
        if (how != Found::Registry || !row.property) continue;
        auto at = std::find_if(best.begin(), best.end(), [&](const auto& entry) { return entry.first == *row.property; });
        if (at == best.end())
            best.emplace_back(*row.property, i);
        else if (ReleaseName(row) > ReleaseName((*facts.releases)[at->second]))
            at->second = i;
    }
    for (const auto& [property, row] : best) {
        const ReleaseFact& fact = facts.found[row];
        Put(hosts.properties, property, fact.key);
        Put(hosts.properties, property + kRootSuffix, fact.root);
        Put(hosts.properties, property + kViewSuffix, fact.view);
    }
    hosts.stranded = Stranded(facts, hosts.found);
    hosts.missing = !facts.releases->empty() && hosts.found.empty();
    return hosts;
}

// A cabinet the source cannot show (the source not reached) is unknown, never absent: on a
// change it counts as present for the features the product has, which the source missing
// must not remove, and as absent for the others, which it could not install.
NameSet Serving(const Facts& facts)
{
    NameSet serving;
    if (facts.rules && facts.road == Road::Change)
        for (const CabinetRule& rule : *facts.rules) {
            if (!rule.cabinet || !rule.feature) continue;
            const Cabinet* cabinet = facts.cabinets.find(*rule.cabinet);
            const INSTALLSTATE* state = facts.installed.find(*rule.feature);
            if (cabinet && *cabinet == Cabinet::Unknown && state && Installs(*state)) serving.insert(*rule.cabinet);
        }
    return serving;
}

// The rules with the hosts' features switched, before any function: the features of the
// releases not found go off, then those of the found ones whose cabinet is present come back,
// including those a missing release's rules share with them. The gate answers for cabinets
// from `facts`, which must outlive it.
Gate HostGate(const Facts& facts, const Hosts& hosts)
{
    Gate gate(facts.rules, [&facts, serving = Serving(facts)](const std::string& path) {
        const Cabinet* known = facts.cabinets.find(path);
        return (known && *known == Cabinet::Present) || serving.count(path) > 0;
    });
    if (!facts.rulesProblem.empty()) gate.DescribeMissingRules(facts.rulesProblem);
    if (!facts.releases) return gate;
    const std::vector<HostRelease>& rows = *facts.releases;
    for (std::size_t i = 0; i < rows.size(); ++i)
        if (!IsFound(hosts.found, i))
            gate.DisableFeaturesOfProperty(rows[i].property, "host release " + ReleaseName(rows[i]) + " not installed");
    for (std::size_t i = 0; i < rows.size(); ++i)
        if (IsFound(hosts.found, i) && rows[i].property)
            gate.RestoreFeaturesOfProperty(rows[i].property, "host release " + ReleaseName(rows[i]) + " installed");
    return gate;
}

// Before the choice: the source out of reach, and rules naming features the package lacks.
Lines Warnings(const Facts& facts, const Gate& gate)
{
    Lines log;
    bool installed = facts.road != Road::FirstInstall;
    if (!facts.sourceReached)
        log.push_back("the installation source could not be reached (" +
                      (facts.source.empty() ? std::string("no source folder resolved") : "looked for in " + facts.source) +
                      "): its cabinets are unknown; " +
                      (installed ? "the installed features keep theirs" : "no rule that needs one is met"));
    NameSet known;
    for (const FeatureRow& row : facts.features) known.insert(row.name);
    for (const std::string& feature : gate.RuleFeatures())
        if (!known.count(feature))
            log.push_back("warning: SearchCabinet rules name feature " + feature +
                          ", which the package's Feature table does not have: they switch nothing");
    return log;
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

// The rules with a function chosen, and whether an installed release fits it.
struct Fit {
    Fit(std::string function, Gate rules, Lines lines) : value(std::move(function)), gate(std::move(rules)), log(std::move(lines)) {}
    std::string value;  // of the function chosen
    Gate gate;
    Lines log;
    bool fits = true;
    std::string whyNone;  // why no installed release fits it, when none does
};

// Every release is tested for the chosen function on the same footing: all before any release's
// features go, so that neither the AutoCAD nor the SearchCabinet rows' order counts. A release
// that fails then takes the features of its rows that no fitting release's rows (its own, or the
// chosen function's) name: a failed release never takes what a fitting one needs. A release that
// is not installed never fits: its features would install for no host.
Fit MatchHosts(Fit fit, const Facts& facts, const std::vector<std::size_t>& found, const std::string& chosen)
{
    if (!facts.releases) return fit;
    std::vector<ReleaseTest> tests;
    for (std::size_t i = 0; i < facts.releases->size(); ++i) {
        const OwnedString& property = (*facts.releases)[i].property;
        Gate::Evaluation rules = fit.gate.Evaluated(property, chosen);
        fit.log.push_back(rules.line);
        tests.push_back({i, IsFound(found, i), rules.met ? std::string() : fit.gate.WhyNotMet(property, chosen)});
    }
    const NameSet others = OtherFunctions(facts, chosen);
    NameSet needed;
    for (const ReleaseTest& test : tests)
        if (test.Fits())
            for (const CabinetRule* rule : fit.gate.RulesOf((*facts.releases)[test.row].property))
                if (rule->feature && !(rule->function && others.count(*rule->function))) needed.insert(*rule->feature);
    int matched = 0;
    for (const ReleaseTest& test : tests) {
        const HostRelease& row = (*facts.releases)[test.row];
        if (test.Fits()) {
            ++matched;
            fit.log.push_back("host " + row.property.value_or("(no property)") + " fits the chosen function");
        } else if (test.why.empty()) {
            fit.log.push_back(DoesNotFit(facts, test, chosen) + ": it fits no function");
        } else {
            std::string why = DoesNotFit(facts, test, chosen);
            fit.log.push_back(why + ": its features go, but those a fitting release's rules name");
            fit.gate.DisableFeaturesOfProperty(row.property, why, needed);
        }
    }
    fit.fits = matched > 0 || facts.releases->empty();
    if (!fit.fits) fit.whyNone = NoneFits(facts, tests, chosen);
    return fit;
}

// Every other function goes first, so that features shared with the chosen one come back on
// below wherever its cabinet is present; the chosen function's rules stand under its value.
// `pinStranded`: the features only missing releases' rules name stay off whatever the function.
Fit FitFunction(const Facts& facts, const Gate& hostGate, const Hosts& hosts, const std::string& chosen, bool pinStranded)
{
    Fit fit(chosen, hostGate, {"chosen function: FUNCTION_VER = " + Shown(facts, prop::FunctionVer, chosen)});
    if (facts.functions) {
        for (const FunctionRow& function : *facts.functions) {
            if (function.value && *function.value == chosen) continue;
            fit.gate.DisableFeaturesOfFunction(function.function,
                                               "function " + function.function.value_or("(unnamed)") + " not chosen");
        }
        fit.gate.RestoreFeaturesOfFunction(chosen, "function " + Shown(facts, prop::FunctionVer, chosen) + " chosen");
    }
    if (pinStranded)
        for (const std::string& feature : hosts.stranded)
            fit.gate.DisableFeature(feature, "its rules belong only to host releases not installed");
    return MatchHosts(std::move(fit), facts, hosts.found, chosen);
}

// What every step after the hosts stands on, with each function's fit made once: the choice,
// the installed product's own function and the plan for the function chosen all ask it.
struct Footing {
    const Facts& facts;
    Stage stage;
    const Hosts& hosts;
    const Gate& hostGate;
    std::vector<Fit> fits;
};

std::vector<Fit> FitEach(const Facts& facts, Stage stage, const Gate& hostGate, const Hosts& hosts)
{
    std::vector<std::string> values;
    if (facts.chosen) values.push_back(*facts.chosen);
    if (facts.functions && stage == Stage::BeforeChoice)
        for (const FunctionRow& function : *facts.functions)
            if (function.value) values.push_back(*function.value);
    std::vector<Fit> fits;
    for (const std::string& value : values)
        if (std::none_of(fits.begin(), fits.end(), [&](const Fit& fit) { return fit.value == value; }))
            fits.push_back(FitFunction(facts, hostGate, hosts, value, true));
    return fits;
}

const Fit* Made(const Footing& on, const std::string& value)
{
    for (const Fit& fit : on.fits)
        if (fit.value == value) return &fit;
    return nullptr;
}

Fit FitOf(const Footing& on, const std::string& value)
{
    const Fit* made = Made(on, value);
    return made ? *made : FitFunction(on.facts, on.hostGate, on.hosts, value, true);
}

// Why a function whose rules are met cannot be installed here; empty when it can.
std::string WhyNotInstallable(const Footing& on, const std::string& value)
{
    const Fit* made = Made(on, value);
    std::string whyNone = made ? made->whyNone : FitFunction(on.facts, on.hostGate, on.hosts, value, true).whyNone;
    return whyNone.empty() ? std::string()
                           : "no installed host release fits it (it needs " + ReleasesOf(on.facts, value) + "): " + whyNone;
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

// The costing the package's own rows give, with hostgate's level-0 row in place of them for
// the features it switches off (its switch wins).
Costings PlannedCosting(const Facts& facts, const Gate& gate)
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
    return FirstCosting(facts.features, model, facts.installLevel, evaluate);
}

// Each feature the rules decide, its target as the planned costing gives it, and why.
struct FeatureStates {
    std::vector<FeaturePlan> features;
    Costings costings;
};

FeatureStates PlanFeatures(const Facts& facts, const Gate& gate)
{
    FeatureStates states{{}, PlannedCosting(facts, gate)};
    std::vector<std::string> named = gate.RuleFeatures();
    NameSet ruled(named.begin(), named.end());
    NameSet withheld;
    for (const std::string& feature : RuledFeatures(facts)) {
        const Costing* costing = CostingOf(states.costings, feature);
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
        states.features.push_back(entry);
    }
    return states;
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

// The installation as a first one with every cabinet present: what choosing a function gives,
// whatever the source shows now (a repair or a removal never looks at it).
Facts AsFirstInstallation(const Facts& facts)
{
    Facts trial = facts;
    trial.road = Road::FirstInstall;
    trial.installed = NameMap<INSTALLSTATE>();
    trial.functionNamed = false;
    if (trial.rules)
        for (const CabinetRule& rule : *trial.rules)
            if (rule.cabinet) trial.cabinets[*rule.cabinet] = Cabinet::Present;
    return trial;
}

Recognition Recognize(const Facts& facts, const Hosts& hosts)
{
    Recognition best;
    if (!facts.functions) return best;
    NameSet own = FunctionFeatures(facts);
    NameSet has;
    for (const std::string& feature : own)
        if (const INSTALLSTATE* state = facts.installed.find(feature))
            if (Installs(*state)) has.insert(feature);
    const Facts trial = AsFirstInstallation(facts);
    const Gate hostGate = HostGate(trial, hosts);
    int bestCovered = -1, bestOthers = 0;
    for (const FunctionRow& function : *facts.functions) {
        // FUNCTION_VER as the function's own plan reads it: an empty value is none.
        OwnedString value = Reads(hosts.properties, prop::FunctionVer, function.value);
        if (!value) continue;
        Fit fit = FitFunction(trial, hostGate, hosts, *value, true);
        if (!fit.fits) continue;
        std::vector<FeaturePlan> planned = PlanFeatures(trial, fit.gate).features;
        int covered = 0, others = 0;
        std::vector<std::string> dropped;
        for (const std::string& feature : own) {
            auto entry = std::find_if(planned.begin(), planned.end(), [&](const FeaturePlan& p) { return p.feature == feature; });
            bool installs = entry != planned.end() && Installs(entry->target);
            if (installs && has.count(feature)) ++covered;
            else if (installs) ++others;
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

// What the installed product keeps (a change, or the earlier version an upgrade replaces).
struct Keeping {
    Lines log;
    OwnedString function;  // FUNCTION_VER set to the function recognised
    // The package's own function (its default, or the one it remembers) that the releases
    // found now cannot take: it stays the function, and the installed function features stay
    // with it, so that nothing is written back that would cost the user features on a later run.
    bool stuck = false;
    // No function gives exactly what is installed: the installed function features stay,
    // so that nothing is lost that nobody chose to remove.
    bool keep = false;
};

// The installed product's function is recognised from its features, unless one was named.
Keeping KeepInstalled(const Footing& on)
{
    const Facts& facts = on.facts;
    bool before = on.stage == Stage::BeforeChoice;
    Keeping kept;
    bool packageOwn = facts.chosen && !facts.functionNamed && !facts.functionFromLibrary;
    kept.stuck = !facts.installed.empty() && packageOwn && !WhyNotInstallable(on, *facts.chosen).empty();
    if (kept.stuck && before)
        kept.log.push_back("FUNCTION_VER = " + Shown(facts, prop::FunctionVer, *facts.chosen) +
                           ", the package's own, cannot be installed with the releases found now: it is kept, and so "
                           "are the installed function features");
    bool recognise = !facts.installed.empty() && !facts.functionNamed && (!facts.chosen || facts.functionFromLibrary);
    if (!recognise) return kept;
    Recognition recognised = Recognize(facts, on.hosts);
    kept.keep = !recognised.exact;
    if (!before) return kept;
    if (recognised.function)
        kept.log.push_back("FUNCTION_VER = " + *recognised.function + ": " +
                           (recognised.exact ? std::string("the function product ")
                                             : std::string("the function closest to what product ")) +
                           facts.installedFrom + " has installed");
    if (kept.keep) {
        std::string dropped;
        for (const std::string& feature : recognised.dropped) dropped += (dropped.empty() ? "" : ", ") + feature;
        kept.log.push_back("no function gives exactly what product " + facts.installedFrom +
                           " has installed: its function features are kept unless a function is chosen" +
                           (dropped.empty() ? std::string()
                                            : "; choosing " + recognised.function.value_or("one") + " would drop " + dropped));
    }
    if (recognised.function && recognised.function != facts.chosen) kept.function = recognised.function;
    return kept;
}

// The function chosen before the user's choice: the choice built for the dialog, and what
// FUNCTION_VER and FUNCTION_RB are set to with it.
struct Choosing {
    UINT result = ERROR_SUCCESS;
    bool refused = false;  // a function named that this machine cannot take: nothing of the choice is set
    Lines log;
    std::vector<int> messages;
    std::optional<FunctionChoice> choice;
    Properties set;
};

Choosing NothingOffered(Choosing offer, const std::string& why, bool report)
{
    offer.log.push_back(why + (report ? ": message 3001" : ": no choice built"));
    if (report) offer.messages.push_back(message::RulesNotMet);
    offer.result = ERROR_INSTALL_FAILURE;
    return offer;
}

// The functions offered, one button each: those whose rules are met, that have a value, and
// that an installed release fits (offered means installable: a function whose choice would
// end in message 3000 is not).
struct Offered {
    std::vector<ChoiceButton> buttons;
    Lines log;
};

Offered OfferedButtons(const Footing& on)
{
    Offered offered;
    Lines& log = offered.log;
    std::vector<ChoiceButton>& buttons = offered.buttons;
    for (const FunctionRow& function : *on.facts.functions) {
        std::string name = function.function.value_or("(unnamed)");
        Gate::Evaluation rules = on.hostGate.Evaluated(std::nullopt, function.function);
        log.push_back(rules.line);
        if (!rules.met) {
            log.push_back("function " + name + " not offered: its rules are not met");
            continue;
        }
        // A function without a value cannot be chosen: an empty FUNCTION_VER reads as unset.
        if (!function.value) {
            log.push_back("function " + name + " not offered: it has no value");
            continue;
        }
        std::string why = WhyNotInstallable(on, *function.value);
        if (!why.empty()) {
            log.push_back("function " + name + " not offered: its rules are met, but " + why);
            continue;
        }
        std::string text = function.text.value_or(std::string());
        log.push_back("offered function " + name + ": \"" + text + "\" (FUNCTION_VER = " + *function.value + ")");
        buttons.push_back({static_cast<int>(buttons.size()) + 1, *function.value, 0, 0, text});
    }
    LayOutChoice(buttons);
    return offered;
}

// `report`: message 3001 when nothing can be offered. `keepPreset`: a preset that is not
// offered stays (the installed product's own function).
Choosing OfferFunctions(const Footing& on, const OwnedString& preset, bool report, bool keepPreset)
{
    Choosing offer;
    // The general rules are those that belong to no host release (an empty PropertyName).
    Gate::Evaluation general = on.hostGate.Evaluated(std::string(), std::nullopt);
    offer.log.push_back(general.line);
    if (!general.met) return NothingOffered(offer, "general rules not met", report);
    if (Reads(on.hosts.properties, prop::FunctionRb, on.facts.choiceBuilt ? OwnedString("1") : std::nullopt)) {
        offer.log.push_back("choice built before (FUNCTION_RB set): left as it is");
        return offer;
    }
    if (!on.facts.functions) {
        offer.log.push_back("no FunctionVersion table: no choice built");
        return offer;
    }
    Offered offered = OfferedButtons(on);
    Append(offer.log, offered.log);
    FunctionChoice choice{offered.buttons, std::string()};
    if (choice.buttons.empty()) return NothingOffered(offer, "no function available", report);
    const ChoiceButton& first = choice.buttons.front();
    choice.chosenText = first.text;
    bool presetOffered = false;
    for (const ChoiceButton& button : choice.buttons)
        if (preset && button.value == *preset) {
            choice.chosenText = button.text;
            presetOffered = true;
        }
    std::string shown = "preset FUNCTION_VER = " + (preset ? Shown(on.facts, prop::FunctionVer, *preset) : std::string());
    if (presetOffered) {
        offer.log.push_back(shown + " kept");
    } else if (preset && keepPreset) {
        offer.log.push_back(shown + " is not offered now: kept, as the installed product's function");
    } else {
        Put(offer.set, prop::FunctionVer, first.value);
        offer.log.push_back(preset ? shown + " is not offered: replaced by " + first.value
                                   : "FUNCTION_VER set to the first offered function, " + first.value);
    }
    Put(offer.set, prop::FunctionRb, "1");
    offer.choice = std::move(choice);
    return offer;
}

// A function named for an installation nobody is asked about (no dialog) must be one this
// machine can take: else message 3000, and nothing of the package is installed or changed.
// With the dialog the person decides among what is offered. Why it cannot; empty when it can.
std::string NamedRefusal(const Footing& on)
{
    const Facts& facts = on.facts;
    if (!facts.functionNamed || facts.dialog || !facts.chosen) return std::string();
    const std::string& named = *facts.chosen;
    // Offered as the choice offers it, whether or not the choice was built before.
    bool offered = facts.functions && std::any_of(facts.functions->begin(), facts.functions->end(), [&](const FunctionRow& row) {
                       return row.value == named && on.hostGate.Evaluated(std::nullopt, row.function).met;
                   });
    std::string whyNone;
    if (offered) {
        Fit fit = FitFunction(facts, on.hostGate, on.hosts, named, false);
        if (fit.fits) return std::string();
        whyNone = fit.whyNone;
    }
    std::string found;
    for (std::size_t i : on.hosts.found) found += (found.empty() ? "" : ", ") + ReleaseName((*facts.releases)[i]);
    return "FUNCTION_VER = " + Shown(facts, prop::FunctionVer, named) +
           " was named for this installation, but this machine cannot take it (" +
           (offered ? "no installed release fits it: " + whyNone : std::string("it is not offered")) + "): it needs " +
           ReleasesOf(facts, named) + "; installed: " + (found.empty() ? std::string("none") : found) + "; message 3000";
}

// Before the choice: message 3000 where no host release is installed at all; else the choice,
// unless the function named for the installation cannot be taken. `preset`: FUNCTION_VER as
// it stands, `stuck`: the installed product's own function, not installable now.
Choosing ChooseFunction(const Footing& on, const OwnedString& preset, bool stuck)
{
    const Facts& facts = on.facts;
    bool installed = facts.road != Road::FirstInstall;
    if (on.hosts.missing && !installed)
        return {ERROR_INSTALL_FAILURE, false,
                {"none of the " + std::to_string(facts.releases->size()) + " host releases is installed: message 3000"},
                {message::HostMissing}, std::nullopt, {}};
    Choosing chosen = OfferFunctions(on, preset, !installed, stuck && !facts.dialog);
    if (installed) chosen.result = ERROR_SUCCESS;
    if (chosen.result != ERROR_SUCCESS) return chosen;
    std::string refusal = NamedRefusal(on);
    if (refusal.empty()) return chosen;
    // Nothing of the choice is built or set: the installation stops as it was named.
    chosen.log.push_back(refusal);
    chosen.messages.push_back(message::HostMissing);
    chosen.result = ERROR_INSTALL_FAILURE;
    chosen.refused = true;
    chosen.choice.reset();
    chosen.set.clear();
    return chosen;
}

// The rules for the function chosen.
struct Gated {
    Gated(Gate rules, Lines lines) : gate(std::move(rules)), log(std::move(lines)) {}
    Gate gate;
    Lines log;
    UINT result = ERROR_SUCCESS;
    std::vector<int> messages;
    bool stops = false;  // nothing is planned
};

Gated Stopped(Gated gated, const std::string& why)
{
    gated.log.push_back(why + ": message 3000");
    gated.messages.push_back(message::HostMissing);
    gated.result = ERROR_INSTALL_FAILURE;
    gated.stops = true;
    return gated;
}

// The function the choice starts from is planned at once, so that a road on which nothing
// runs after this action (reduced UI, a dialog never shown) still gets it.
Gated GateBeforeChoice(const Footing& on, const OwnedString& function, UINT result)
{
    if (result != ERROR_SUCCESS || !function || !on.facts.functions) return Gated(on.hostGate, {});
    Fit fit = FitOf(on, *function);
    if (fit.fits || on.facts.road != Road::FirstInstall) return Gated(std::move(fit.gate), std::move(fit.log));
    fit.log.push_back("the function chosen so far fits no installed host release: the features of the host "
                      "releases alone are planned, and the choice is left to AfterSelectFunction");
    return Gated(on.hostGate, std::move(fit.log));
}

// After the choice. The installed product is not stopped by its own function, one the library
// set or the dialog offered: a choice that fits no release leaves the releases' features out,
// as the rules say. A function named for a change without the dialog is held to them.
Gated GateChosen(const Footing& on, const OwnedString& function)
{
    bool installed = on.facts.road != Road::FirstInstall;
    if (installed && !function) {
        Gated gated(on.hostGate, {"road: change of the installed product, without a function chosen: nothing changed"});
        gated.stops = true;
        return gated;
    }
    if (!function) return Stopped(Gated(on.hostGate, {}), "no function chosen (FUNCTION_VER unset)");
    bool held = !installed || (on.facts.functionNamed && !on.facts.dialog);
    Fit fit = FitOf(on, *function);
    Gated gated(std::move(fit.gate), std::move(fit.log));
    if (fit.fits || !held) return gated;
    return Stopped(std::move(gated), "no host release fits the chosen function (" + fit.whyNone + ")");
}

// The installed function features that stay with the installed product's function, but those
// the releases alone switch off: a host added or removed rules the features it holds, whatever
// the function.
Gate WithInstalledKept(Gate gate, const Footing& on)
{
    NameSet hostOff = on.hostGate.Off();
    for (const std::string& feature : on.hosts.stranded) hostOff.insert(feature);
    for (const std::string& feature : FunctionFeatures(on.facts))
        if (const INSTALLSTATE* state = on.facts.installed.find(feature))
            if (Installs(*state) && !hostOff.count(feature))
                gate.RestoreFeature(feature, "installed, and no function gives exactly what is installed: kept");
    return gate;
}

// What the chain decides after the hosts, for MakePlan to put into the plan.
struct Decision {
    UINT result = ERROR_SUCCESS;
    bool decides = false;  // false on a repair or removal, and when the choice cannot be planned
    Lines log;
    std::vector<int> messages;
    Properties properties;  // every property set, in order
    std::optional<FunctionChoice> choice;
    OwnedString function;
    FeatureStates states;
};

// A repair restores what is installed and adds nothing; a removal takes everything: the rules
// decide neither. FUNCTION_VER too keeps the value the package's rows were installed with.
Decision Unchanged(const Facts& facts, Stage stage, const Hosts& hosts)
{
    Decision decision;
    decision.properties = hosts.properties;
    OwnedString function = !facts.chosen && stage == Stage::BeforeChoice ? Recognize(facts, hosts).function : std::nullopt;
    if (function) {
        Put(decision.properties, prop::FunctionVer, *function);
        decision.log.push_back("FUNCTION_VER = " + *function + ": the function the product has installed");
    }
    if (stage == Stage::Chosen) decision.log.push_back(std::string("road: ") + RoadName(facts.road) + ": the rules change nothing");
    return decision;
}

// The function's rules decide the features, with what the installed product keeps.
Decision Planned(Decision decision, const Footing& on, const Keeping& kept, const OwnedString& function, Gated gated)
{
    Append(decision.log, gated.log);
    Append(decision.messages, gated.messages);
    if (gated.result != ERROR_SUCCESS) decision.result = gated.result;
    if (gated.stops) return decision;
    decision.function = function;
    decision.states = PlanFeatures(on.facts, kept.keep || kept.stuck ? WithInstalledKept(std::move(gated.gate), on) : std::move(gated.gate));
    decision.decides = true;
    return decision;
}

// The release properties are set on every road, so that package rows using them name the keys
// and folders they named when the features were installed.
Decision Decide(const Facts& facts, Stage stage, const Hosts& hosts)
{
    if (facts.road == Road::Repair || facts.road == Road::Removal) return Unchanged(facts, stage, hosts);
    Decision decision;
    decision.properties = hosts.properties;
    const Gate hostGate = HostGate(facts, hosts);
    if (stage == Stage::BeforeChoice) decision.log = Warnings(facts, hostGate);
    const Footing on{facts, stage, hosts, hostGate, FitEach(facts, stage, hostGate, hosts)};
    Keeping kept = KeepInstalled(on);
    Append(decision.log, kept.log);
    if (kept.function) Put(decision.properties, prop::FunctionVer, *kept.function);
    OwnedString function = Reads(decision.properties, prop::FunctionVer, facts.chosen);
    if (stage == Stage::Chosen) {
        Gated gated = GateChosen(on, function);
        return Planned(std::move(decision), on, kept, function, std::move(gated));
    }
    Choosing chosen = ChooseFunction(on, function, kept.stuck);
    Append(decision.log, chosen.log);
    decision.messages = std::move(chosen.messages);
    decision.result = chosen.result;
    decision.choice = std::move(chosen.choice);
    if (chosen.refused) {
        decision.properties.erase(std::remove_if(decision.properties.begin(), decision.properties.end(), [](const auto& p) {
                                      return p.first == prop::FunctionVer || p.first == prop::FunctionRb;
                                  }),
                                  decision.properties.end());
        return decision;
    }
    for (const auto& [name, value] : chosen.set) Put(decision.properties, name, value);
    function = Reads(decision.properties, prop::FunctionVer, facts.chosen);
    Gated gated = GateBeforeChoice(on, function, decision.result);
    return Planned(std::move(decision), on, kept, function, std::move(gated));
}

// The release properties and FUNCTION_VER as the library set them, recorded for the next
// action and the other sequence.
Properties WithLibrarySet(const Facts& facts, Properties properties)
{
    auto isRelease = [&facts](const std::string& name) {
        return facts.releases && std::any_of(facts.releases->begin(), facts.releases->end(), [&](const HostRelease& row) {
                   return row.property && (name == *row.property || name == *row.property + kRootSuffix ||
                                           name == *row.property + kViewSuffix);
               });
    };
    Properties set;
    for (const auto& [name, value] : properties)
        if (name == prop::FunctionVer || isRelease(name)) set.emplace_back(name, value);
    if (!set.empty()) Put(properties, prop::LibrarySet, EncodeLibrarySet(set));
    return properties;
}

}  // namespace

Plan MakePlan(const Facts& facts, Stage stage)
{
    Hosts hosts = FindHosts(facts);
    Decision decision = Decide(facts, stage, hosts);
    Plan plan;
    plan.result = decision.result;
    plan.decides = decision.decides;
    plan.log = Opening(facts, stage);
    Append(plan.log, hosts.log);
    Append(plan.log, decision.log);
    plan.messages = std::move(decision.messages);
    plan.properties = WithLibrarySet(facts, std::move(decision.properties));
    plan.choice = std::move(decision.choice);
    if (plan.choice)
        for (const ChoiceButton& button : plan.choice->buttons) plan.offered.push_back(button.value);
    plan.function = std::move(decision.function);
    plan.features = std::move(decision.states.features);
    plan.costings = std::move(decision.states.costings);
    plan.found = std::move(hosts.found);
    return plan;
}
