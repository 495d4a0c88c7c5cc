// The decisions area: installations the checker imagines, one for each set of installed
// host releases and each function chosen, decided by the actions' own phases. --explain
// prints them; a package that offers no function on any machine is an error, and so is a
// function no machine is offered.
#include "checker/review.h"
#include "checker/text.h"

#include "gating/plan.h"
#include "package/contract.h"
#include "package/layout.h"
#include "session/database.h"

#include <algorithm>
#include <cstdlib>
#include <map>
#include <set>
#include <sstream>

namespace {

// Every set of up to this many releases is shown: 1,024 sets.
constexpr std::size_t kEverySetLimit = 10;

struct Imagined {
    Plan plan;

    std::string Result() const
    {
        if (plan.result == ERROR_SUCCESS) return "installs";
        return plan.messages.empty() ? std::to_string(plan.result) : "message " + std::to_string(plan.messages.back());
    }
};

// The sets of releases to imagine: every set when there are few enough, else no release,
// each alone, and all of them.
struct ReleaseSets {
    std::vector<std::vector<std::string>> sets;
    bool every = true;
};

ReleaseSets SetsOf(const std::vector<std::string>& names)
{
    ReleaseSets out;
    if (names.size() <= kEverySetLimit) {
        for (unsigned mask = 0; mask < (1u << names.size()); ++mask) {
            std::vector<std::string> set;
            for (std::size_t i = 0; i < names.size(); ++i)
                if (mask & (1u << i)) set.push_back(names[i]);
            out.sets.push_back(set);
        }
        return out;
    }
    out.every = false;
    out.sets.push_back({});
    for (const std::string& name : names) out.sets.push_back({name});
    out.sets.push_back(names);
    return out;
}

// The package's tables as the actions read them, and the plans the actions would make on
// machines imagined over them.
class Imagination {
public:
    Imagination(const PackageDatabase& db, const OwnedString& sourceFolder)
    {
        facts_.rules = ReadCabinetRules(db, &facts_.rulesProblem);
        facts_.releases = ReadHostReleases(db);
        facts_.functions = ReadFunctions(db);
        facts_.features = ReadFeatures(db);
        facts_.packageRows = ReadConditionRows(db);
        // The checker cannot evaluate the package's conditions, only one that is always true.
        if (facts_.packageRows)
            for (const ConditionRow& row : *facts_.packageRows)
                facts_.rowTruth.push_back(row.expression == std::string(kAlways) ? Truth::True : Truth::Unknown);
        std::string source = sourceFolder.value_or(std::string());
        if (!source.empty() && source.back() != '\\') source += '\\';
        // Cabinets count as present unless a source folder says otherwise; on an administrative
        // image those the package's Media table carries count as present, as the library counts them.
        std::vector<std::string> carried = IsAdministrativeImage(db) ? ReadMediaCabinets(db) : std::vector<std::string>();
        if (facts_.rules)
            for (const CabinetRule& rule : *facts_.rules)
                if (rule.cabinet) {
                    bool inImage = std::any_of(carried.begin(), carried.end(),
                                               [&](const std::string& c) { return SameCabinet(c, *rule.cabinet); });
                    facts_.cabinets[*rule.cabinet] = inImage || source.empty() || SourceFileExists(source, *rule.cabinet)
                                                         ? Cabinet::Present
                                                         : Cabinet::Absent;
                }
        TableView property;
        if (property.Open(db, table::Property, nullptr, Filter(property::PropertyColumn, prop::InstallLevel)) &&
            property.Fetch())
            if (OwnedString level = property.GetString(property::Value)) facts_.installLevel = std::atoi(level->c_str());
        if (facts_.releases)
            for (const HostRelease& row : *facts_.releases)
                if (row.release && std::find(names_.begin(), names_.end(), *row.release) == names_.end())
                    names_.push_back(*row.release);
    }

    const std::vector<std::string>& ReleaseNames() const { return names_; }
    bool HasFunctions() const { return facts_.functions.has_value(); }
    const std::vector<FunctionRow>& Functions() const
    {
        static const std::vector<FunctionRow> none;
        return facts_.functions ? *facts_.functions : none;
    }
    const std::vector<CabinetRule>& Rules() const
    {
        static const std::vector<CabinetRule> none;
        return facts_.rules ? *facts_.rules : none;
    }
    const std::vector<FeatureRow>& Features() const { return facts_.features; }

    // A function as the decision table names it: by its name, with the value it is chosen
    // by beside it where the two differ.
    std::string Named(const std::string& value) const
    {
        for (const FunctionRow& function : Functions())
            if (function.value == value && function.function)
                return *function.function == value ? value : *function.function + " (" + value + ")";
        return value;
    }
    std::string Named(const std::vector<std::string>& values) const
    {
        std::string text;
        for (const std::string& value : values) text += (text.empty() ? "" : ", ") + Named(value);
        return text.empty() ? "-" : text;
    }

    // The plan on a machine with the given releases: before the choice, or, with `choose`,
    // after the user's choice (none: FUNCTION_VER left unset).
    Imagined Imagine(const std::vector<std::string>& installed, const OwnedString& chosen, bool choose) const
    {
        Facts facts = facts_;
        if (facts.releases)
            for (const HostRelease& row : *facts.releases) {
                ReleaseFact fact;
                if (row.release && std::find(installed.begin(), installed.end(), *row.release) != installed.end()) {
                    fact.how = Found::Registry;
                    fact.key = "Software\\Autodesk\\AutoCAD\\" + *row.release + "\\(installed)";
                } else {
                    fact.note = "not on this machine";
                }
                facts.found.push_back(fact);
            }
        facts.chosen = chosen;
        Imagined outcome;
        outcome.plan = MakePlan(facts, choose ? Stage::Chosen : Stage::BeforeChoice);
        return outcome;
    }

    // The features the plan installs: those the rules decide as planned, the others as the
    // package decides them; "?" marks a feature a Condition row of the package decides.
    std::string InstalledFeatures(const Plan& plan) const
    {
        std::string list;
        for (const FeatureRow& feature : facts_.features) {
            const FeaturePlan* planned = PlanOf(plan, feature.name);
            const Costing* costing = CostingOf(plan.costings, feature.name);
            bool unknown = planned ? planned->target == Target::Package : costing && costing->unknown;
            bool installs = planned ? Installs(planned->target) : costing && Installs(costing->state);
            if (installs || unknown) list += (list.empty() ? "" : ", ") + feature.name + (unknown ? "?" : "");
        }
        return list.empty() ? std::string("-") : list;
    }

private:
    Facts facts_;
    std::vector<std::string> names_;  // the distinct releases the package lists
};

std::string Listed(const std::vector<std::string>& names, const char* none, const char* separator = ", ")
{
    std::string text;
    for (const std::string& name : names) text += (text.empty() ? "" : separator) + name;
    return text.empty() ? none : text;
}

// How the choice's log ends a function it does not offer, and the start of the reason
// given for one whose own rules are met.
const std::string kNotMet = "its rules are not met";
const std::string kMetBut = "its rules are met, but ";

// What one imagined choice said of a function: offered, or why not.
struct Verdict {
    bool offered = false;
    std::string why;  // empty when offered, or when the choice never came to the function
};

// Each function's verdict (FunctionVersion's order), read from the plan's log.
std::vector<Verdict> Verdicts(const Plan& plan, const std::vector<FunctionRow>& functions)
{
    std::vector<Verdict> verdicts(functions.size());
    for (std::size_t i = 0; i < functions.size(); ++i) {
        const std::string name = functions[i].function.value_or("(unnamed)");
        const std::string offered = "offered function " + name + ": ";
        const std::string notOffered = "function " + name + " not offered: ";
        for (std::size_t at = 0; at < plan.log.size(); ++at) {
            const std::string& line = plan.log[at];
            if (line.rfind(offered, 0) == 0) {
                verdicts[i].offered = true;
            } else if (line.rfind(notOffered, 0) == 0) {
                verdicts[i].why = line.substr(notOffered.size());
                // The rules' evaluation, logged just before, says what failed.
                std::size_t failed = at > 0 ? plan.log[at - 1].find(": not met (") : std::string::npos;
                if (verdicts[i].why == kNotMet && failed != std::string::npos)
                    verdicts[i].why = "its rules are " + plan.log[at - 1].substr(failed + 2);
            }
        }
    }
    return verdicts;
}

bool MetButNotInstallable(const Verdict& verdict)
{
    return !verdict.offered && verdict.why.rfind(kMetBut, 0) == 0;
}

// Sets of releases named briefly: how many, the first few, then how many more.
std::string SetsNamed(const std::vector<std::string>& sets)
{
    constexpr std::size_t kNamed = 4;
    std::string text = std::to_string(sets.size()) + (sets.size() == 1 ? " set" : " sets") + " of installed releases (";
    for (std::size_t i = 0; i < sets.size() && i < kNamed; ++i) text += (i ? "; " : "") + sets[i];
    if (sets.size() > kNamed) text += "; " + std::to_string(sets.size() - kNamed) + " more";
    return text + ")";
}

// Why the imagined installation offered nothing: the gate's reason for the general rules,
// or each function's.
void AddNothingOffered(Review& review, const Imagined& outcome, bool every)
{
    const std::string where = every ? "on every set of installed releases" : "on every set of releases tried";
    auto general = std::find(outcome.plan.log.begin(), outcome.plan.log.end(), "general rules not met: message 3001");
    if (general != outcome.plan.log.end()) {
        std::string why;
        for (auto line = outcome.plan.log.begin(); line != general; ++line)
            if (line->find(": not met (") != std::string::npos) why = line->substr(line->find(": not met (") + 2);
        review.Add("HG15", "error", table::SearchCabinet, "", "",
                   "the general rules (empty PropertyName) are never met " + where + " (" + Shown(why) +
                       "): every installation fails with message 3001; see --explain");
        return;
    }
    std::string why;
    for (const std::string& line : outcome.plan.log)
        if (line.rfind("function ", 0) == 0 && line.find(" not offered: ") != std::string::npos)
            why += (why.empty() ? "" : "; ") + line;
    review.Add("HG15", "error", table::FunctionVersion, "", "",
               "no function is offered " + where + " (" + (why.empty() ? std::string("no rows") : Shown(why)) +
                   "): every installation fails with message 3001; see --explain");
}

// HG15: no set of releases is offered any function. True when it is so (and said).
bool FindsNothingOffered(Review& review, const Imagination& imagination, const ReleaseSets& sets)
{
    // Without any release installed the actions end with message 3000 before any rule is
    // read; the sets with releases tell whether the rules ever offer a function.
    std::optional<Imagined> notMet;
    for (const auto& set : sets.sets) {
        Imagined offer = imagination.Imagine(set, std::nullopt, false);
        if (offer.plan.result == ERROR_SUCCESS) return false;
        if (!offer.plan.messages.empty() && offer.plan.messages.back() == message::RulesNotMet) notMet = std::move(offer);
    }
    if (notMet) AddNothingOffered(review, *notMet, sets.every);
    return notMet.has_value();
}

bool HasErrorFor(Review& review, const char* code, const std::string& key)
{
    for (const Finding& finding : review.findings())
        if (finding.code == code && finding.severity == "error" && finding.table == table::FunctionVersion &&
            finding.key == key)
            return true;
    return false;
}

// For each function (FunctionVersion's order), the features its rules name (under its name
// or its value) that the Feature table has.
std::vector<std::set<std::string>> FeaturesOfFunctions(const Imagination& imagination)
{
    std::set<std::string> known;
    for (const FeatureRow& row : imagination.Features()) known.insert(row.name);
    std::vector<std::set<std::string>> features;
    for (const FunctionRow& function : imagination.Functions()) {
        features.emplace_back();
        for (const CabinetRule& rule : imagination.Rules())
            if (rule.function && rule.feature && known.count(*rule.feature) &&
                (rule.function == function.function || rule.function == function.value))
                features.back().insert(*rule.feature);
    }
    return features;
}

// HG22, HG23, HG24: each function as the choice on every set of releases treats it.
void CheckEachFunction(Review& review, const Imagination& imagination, const ReleaseSets& sets)
{
    const std::vector<FunctionRow>& functions = imagination.Functions();
    std::vector<std::string> setNames;
    std::vector<std::vector<Verdict>> verdicts;  // by set, then by function
    for (const auto& set : sets.sets) {
        setNames.push_back(Listed(set, "no release", " + "));
        verdicts.push_back(Verdicts(imagination.Imagine(set, std::nullopt, false).plan, functions));
    }
    // A function never offered is never installed, so never taken for another on a change.
    std::vector<bool> offeredSomewhere(functions.size());
    for (const auto& ofSet : verdicts)
        for (std::size_t i = 0; i < functions.size(); ++i) offeredSomewhere[i] = offeredSomewhere[i] || ofSet[i].offered;
    std::vector<std::set<std::string>> features = FeaturesOfFunctions(imagination);
    std::map<std::string, int> namedBy;  // feature, how many functions offered somewhere name it
    for (std::size_t i = 0; i < functions.size(); ++i)
        if (offeredSomewhere[i])
            for (const std::string& feature : features[i]) ++namedBy[feature];
    std::vector<std::string> searched = ReadSearchedProperties(review.db());
    bool remembered = std::find(searched.begin(), searched.end(), prop::FunctionVer) != searched.end();
    const std::string where = sets.every ? "on any set of installed releases" : "on any set of releases tried";
    const char* nameColumn = layout::ColumnName(table::FunctionVersion, functionversion::Function);

    for (std::size_t i = 0; i < functions.size(); ++i) {
        const FunctionRow& function = functions[i];
        const std::string name = function.function.value_or("(unnamed)");
        const std::string value = function.value.value_or("");
        bool hasRules = std::any_of(imagination.Rules().begin(), imagination.Rules().end(), [&](const CabinetRule& rule) {
            return rule.function && (rule.function == function.function || rule.function == function.value);
        });
        const bool offered = offeredSomewhere[i];
        std::vector<std::string> reasons;  // distinct, in the order first met
        std::vector<std::string> metSets;
        std::string metWhy;
        for (std::size_t s = 0; s < verdicts.size(); ++s) {
            const Verdict& verdict = verdicts[s][i];
            if (!verdict.why.empty() && std::find(reasons.begin(), reasons.end(), verdict.why) == reasons.end())
                reasons.push_back(verdict.why);
            if (MetButNotInstallable(verdict)) {
                metSets.push_back(setNames[s]);
                metWhy = verdict.why.substr(kMetBut.size());
            }
        }
        if (!offered) {
            // A function without rules is never offered by design; HG05 and HG13 name the rules
            // a never offered function lacks more exactly.
            if (!hasRules || reasons.empty() || HasErrorFor(review, "HG05", name) || HasErrorFor(review, "HG13", name))
                continue;
            constexpr std::size_t kShownReasons = 3;
            std::string why;
            for (std::size_t r = 0; r < reasons.size() && r < kShownReasons; ++r) why += (r ? "; " : "") + reasons[r];
            if (reasons.size() > kShownReasons) why += "; ...";
            bool noValue = std::find(reasons.begin(), reasons.end(), "it has no value") != reasons.end();
            std::string mend = noValue ? "give it a Value"
                               : !metSets.empty()
                                   ? "give rules of its Value (" + Shown(value) + ") under each release that supports it"
                                   : "mend its rules so that they can be met (see --explain)";
            review.Add("HG22", "error", table::FunctionVersion, nameColumn, name,
                       "function " + name + " is never offered, " + where + " (" + why +
                           "): no installation can choose it; " + mend);
            continue;
        }
        if (!metSets.empty())
            review.Add("HG23", "warning", table::FunctionVersion, nameColumn, name,
                       "function " + name + " is not offered on " + SetsNamed(metSets) +
                           ", though its own rules are met there: " + metWhy + "; if it should install there, give "
                           "rules of its Value (" + Shown(value) + ") under those releases' properties; if not, put "
                           "its own rules (Function " + Shown(name) + ") under the releases it needs instead of the "
                           "general rules, so that they say so");
        bool own = std::any_of(features[i].begin(), features[i].end(),
                               [&](const std::string& feature) { return namedBy[feature] == 1; });
        if (!remembered && !own && !features[i].empty())
            review.Add("HG24", "warning", table::FunctionVersion, nameColumn, name,
                       "function " + name + " has no feature of its own (each feature its rules name is another "
                       "function's too: " + Listed(std::vector<std::string>(features[i].begin(), features[i].end()), "") +
                           "), and the package does not remember the function (no AppSearch "
                           "row sets " + prop::FunctionVer + "): on a change, where the installed features fit several "
                           "functions, the first of them is taken; give each function a feature of its own, or "
                           "remember the function (the guide's recipe)");
    }
}

}  // namespace

void CheckDecisions(Review& review)
{
    // A package whose tables hostgate cannot read as they stand has its findings already.
    for (const char* name : {table::SearchCabinet, table::FunctionVersion})
        if (review.HasError("HG01", name) || review.HasError("HG02", name)) return;
    // A source folder that is not there says nothing of the cabinets (HG11 names it).
    const OwnedString source = review.HasError("HG11", "") ? std::nullopt : review.source();
    Imagination imagination(review.db(), source);
    if (!imagination.HasFunctions()) return;
    ReleaseSets sets = SetsOf(imagination.ReleaseNames());
    if (FindsNothingOffered(review, imagination, sets)) return;
    // Each function is judged by the package's rules with every cabinet present: a cabinet
    // the source folder lacks is HG11's (HG20's on an administrative image).
    if (source)
        CheckEachFunction(review, Imagination(review.db(), std::nullopt), sets);
    else
        CheckEachFunction(review, imagination, sets);
}

std::string ExplainPackage(const PackageDatabase& db, const OwnedString& sourceFolder)
{
    Imagination imagination(db, sourceFolder);
    const std::vector<std::string>& names = imagination.ReleaseNames();
    ReleaseSets sets = SetsOf(names);
    std::ostringstream out;
    if (!sets.every)
        out << "The package lists " << names.size() << " releases, " << (1ull << names.size())
            << " sets of them: too many to show each. Shown are no release, each release alone, and all of them.\n";
    out << "installed releases\tfunctions offered\tchosen\tresult\tfeatures installed\n";
    // Why a function whose own rules are met is not offered: said below the table, so that
    // its columns stay as they are.
    std::string notOffered;
    for (const auto& set : sets.sets) {
        std::string releasesText = Listed(set, "(none)");
        Imagined offer = imagination.Imagine(set, std::nullopt, false);
        std::string offeredText = imagination.Named(offer.plan.offered);
        std::vector<Verdict> verdicts = Verdicts(offer.plan, imagination.Functions());
        for (std::size_t i = 0; i < verdicts.size(); ++i)
            if (MetButNotInstallable(verdicts[i]))
                notOffered += releasesText + ": " + imagination.Functions()[i].function.value_or("(unnamed)") + ": " +
                              verdicts[i].why.substr(kMetBut.size()) + "\n";
        if (offer.plan.result != ERROR_SUCCESS) {
            out << releasesText << "\t" << offeredText << "\t-\t" << offer.Result() << "\t-\n";
            continue;
        }
        if (offer.plan.offered.empty()) {
            // No choice to build (no FunctionVersion table): the installation goes on without one.
            Imagined unchosen = imagination.Imagine(set, std::nullopt, true);
            out << releasesText << "\t-\t(none)\t" << unchosen.Result() << "\t"
                << (unchosen.plan.result == ERROR_SUCCESS ? imagination.InstalledFeatures(unchosen.plan) : "-") << "\n";
            continue;
        }
        for (const std::string& value : offer.plan.offered) {
            Imagined chosen = imagination.Imagine(set, value, true);
            out << releasesText << "\t" << offeredText << "\t" << imagination.Named(value) << "\t" << chosen.Result() << "\t"
                << (chosen.plan.result == ERROR_SUCCESS ? imagination.InstalledFeatures(chosen.plan) : "-") << "\n";
        }
    }
    out << "(features marked ? are decided by Condition rows of the package, whose conditions are not evaluated here)\n";
    if (!notOffered.empty())
        out << "Not offered, though their own rules are met (installed releases: function: why):\n" << notOffered;
    return out.str();
}

std::optional<std::string> ExplainPackage(const std::string& package, const OwnedString& sourceFolder)
{
    PackageDatabase db;
    std::string problem;
    if (!OpenWholePackage(package, db, problem)) return std::nullopt;
    return ExplainPackage(db, sourceFolder);
}
