// The decisions area: installations the checker imagines, one for each set of installed
// host releases and each function chosen, decided by the actions' own phases. --explain
// prints them; a package that offers no function on any machine is an error.
#include "checker/review.h"
#include "checker/text.h"

#include "gating/plan.h"
#include "package/contract.h"
#include "session/database.h"

#include <algorithm>
#include <cstdlib>
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

std::string Listed(const std::vector<std::string>& names, const char* none)
{
    std::string text;
    for (const std::string& name : names) text += (text.empty() ? "" : ", ") + name;
    return text.empty() ? none : text;
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

}  // namespace

void CheckDecisions(Review& review)
{
    // A package whose tables hostgate cannot read as they stand has its findings already.
    for (const char* name : {table::SearchCabinet, table::FunctionVersion})
        if (review.HasError("HG01", name) || review.HasError("HG02", name)) return;
    // A source folder that is not there says nothing of the cabinets (HG11 names it).
    Imagination imagination(review.db(), review.HasError("HG11", "") ? std::nullopt : review.source());
    if (!imagination.HasFunctions()) return;
    ReleaseSets sets = SetsOf(imagination.ReleaseNames());
    // Without any release installed the actions end with message 3000 before any rule is
    // read; the sets with releases tell whether the rules ever offer a function.
    std::optional<Imagined> notMet;
    for (const auto& set : sets.sets) {
        Imagined offer = imagination.Imagine(set, std::nullopt, false);
        if (offer.plan.result == ERROR_SUCCESS) return;
        if (!offer.plan.messages.empty() && offer.plan.messages.back() == message::RulesNotMet) notMet = std::move(offer);
    }
    if (notMet) AddNothingOffered(review, *notMet, sets.every);
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
    for (const auto& set : sets.sets) {
        std::string releasesText = Listed(set, "(none)");
        Imagined offer = imagination.Imagine(set, std::nullopt, false);
        std::string offeredText = Listed(offer.plan.offered, "-");
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
            out << releasesText << "\t" << offeredText << "\t" << value << "\t" << chosen.Result() << "\t"
                << (chosen.plan.result == ERROR_SUCCESS ? imagination.InstalledFeatures(chosen.plan) : "-") << "\n";
        }
    }
    out << "(features marked ? are decided by Condition rows of the package, whose conditions are not evaluated here)\n";
    return out.str();
}

std::optional<std::string> ExplainPackage(const std::string& package, const OwnedString& sourceFolder)
{
    PackageDatabase db;
    std::string problem;
    if (!OpenWholePackage(package, db, problem)) return std::nullopt;
    return ExplainPackage(db, sourceFolder);
}
