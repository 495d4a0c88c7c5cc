// The decisions area: installations the checker imagines, one for each set of installed
// host releases and each function chosen, decided by the actions' own phases. --explain
// prints them; a package that offers no function on any machine is an error.
#include "checker/review.h"
#include "checker/text.h"

#include "actions/phases.h"
#include "gating/gate.h"
#include "gating/installer_gate.h"
#include "gating/plan.h"
#include "package/contract.h"
#include "session/installation.h"

#include <algorithm>
#include <cstdlib>
#include <sstream>

namespace {

// Every set of up to this many releases is shown: 1,024 sets.
constexpr std::size_t kEverySetLimit = 10;

// An installation the checker imagines: properties in memory, messages and log kept.
class ImaginedInstallation : public Installation {
public:
    explicit ImaginedInstallation(std::vector<std::string>& log) : log_(log) {}
    OwnedString GetProperty(const char* name) const override
    {
        auto found = properties_.find(name);
        return found == properties_.end() || found->second.empty() ? std::nullopt : OwnedString(found->second);
    }
    void SetProperty(const char* name, const char* value) const override { properties_[name] = value; }
    UINT ReportError(int number) const override
    {
        messages_.push_back(number);
        return ERROR_SUCCESS;
    }
    void Log(const std::string& text) const override { log_.push_back(text); }
    std::string Loggable(const char*, const std::string& value) const override { return value; }
    const std::vector<int>& messages() const { return messages_; }

private:
    mutable std::map<std::string, std::string> properties_;
    mutable std::vector<int> messages_;
    std::vector<std::string>& log_;
};

struct Imagined {
    UINT result = ERROR_SUCCESS;
    std::vector<int> messages;
    std::vector<std::string> offered;
    ConditionRows conditions;
    std::vector<std::string> log;  // the actions' and the gate's, in order

    std::string Result() const
    {
        if (result == ERROR_SUCCESS) return "installs";
        return messages.empty() ? std::to_string(result) : "message " + std::to_string(messages.back());
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

// The package's tables as the actions read them, and installations imagined over them.
class Imagination {
public:
    Imagination(const PackageDatabase& db, const OwnedString& sourceFolder)
        : releases_(ReadHostReleases(db)), functions_(ReadFunctions(db)), rules_(ReadCabinetRules(db)),
          conditions_(ReadConditionRows(db)), features_(ReadFeatures(db))
    {
        source_ = sourceFolder.value_or(std::string());
        if (!source_.empty() && source_.back() != '\\') source_ += '\\';
        TableView property;
        if (property.Open(db, table::Property, nullptr, Filter(property::PropertyColumn, prop::InstallLevel)) &&
            property.Fetch())
            if (OwnedString level = property.GetString(property::Value)) installLevel_ = std::atoi(level->c_str());
        if (releases_)
            for (const HostRelease& row : *releases_)
                if (row.release && std::find(names_.begin(), names_.end(), *row.release) == names_.end())
                    names_.push_back(*row.release);
    }

    const std::vector<std::string>& ReleaseNames() const { return names_; }
    bool HasFunctions() const { return functions_.has_value(); }

    // One installation on a machine with the given releases; with `choose`, the user's
    // choice follows (none: FUNCTION_VER left unset).
    Imagined Imagine(const std::vector<std::string>& installed, const OwnedString& chosen, bool choose) const
    {
        Imagined outcome;
        ImaginedInstallation installation(outcome.log);
        MemoryConditions table(conditions_.value_or(std::vector<ConditionRow>()));
        auto cabinetPresent = [this](const std::string& relative) {
            return source_.empty() || SourceFileExists(source_, relative);
        };
        Gate gate(rules_, conditions_, table, cabinetPresent, [&](const std::string& text) { outcome.log.push_back(text); });
        HostLookup lookup = [&](const OwnedString& release, Pruning*) -> OwnedString {
            if (!release || std::find(installed.begin(), installed.end(), *release) == installed.end()) return std::nullopt;
            return "Software\\Autodesk\\AutoCAD\\" + *release + "\\(installed)";
        };
        outcome.result = DetectHostReleases(installation, gate, releases_, lookup);
        std::optional<FunctionChoice> choice;
        if (outcome.result == ERROR_SUCCESS) outcome.result = BuildFunctionChoice(installation, gate, functions_, choice);
        if (choice)
            for (const ChoiceButton& button : choice->buttons) outcome.offered.push_back(button.value);
        if (outcome.result == ERROR_SUCCESS && choose) {
            if (chosen) installation.SetProperty(prop::FunctionVer, chosen->c_str());
            ApplyFunctionChoice(installation, gate, functions_);
            outcome.result = MatchHostsToFunction(installation, gate, releases_);
        }
        outcome.messages = installation.messages();
        outcome.conditions = gate.Conditions();
        return outcome;
    }

    // The features a first costing of the planned rows installs, as the actions' own model
    // decides it; the package's conditions other than "1" cannot be evaluated here.
    std::string InstalledFeatures(const ConditionRows& rows) const
    {
        Evaluate evaluate = [](const std::string& expression) { return expression == "1" ? Truth::True : Truth::Unknown; };
        std::string list;
        Costings costings = FirstCosting(features_, rows, installLevel_, evaluate);
        for (const FeatureRow& feature : features_) {
            const Costing* costing = CostingOf(costings, feature.name);
            if (costing && Installs(costing->state))
                list += (list.empty() ? "" : ", ") + feature.name + (costing->unknown ? "?" : "");
        }
        return list.empty() ? std::string("-") : list;
    }

private:
    Releases releases_;
    Functions functions_;
    std::optional<std::vector<CabinetRule>> rules_;
    std::optional<std::vector<ConditionRow>> conditions_;
    std::vector<FeatureRow> features_;
    std::string source_;
    int installLevel_ = 1;
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
    auto general = std::find(outcome.log.begin(), outcome.log.end(), "general rules not met: message 3001");
    if (general != outcome.log.end()) {
        std::string why;
        for (auto line = outcome.log.begin(); line != general; ++line)
            if (line->find(": not met (") != std::string::npos) why = line->substr(line->find(": not met (") + 2);
        review.Add("HG15", "error", table::SearchCabinet, "", "",
                   "the general rules (empty PropertyName) are never met " + where + " (" + Shown(why) +
                       "): every installation fails with message 3001; see --explain");
        return;
    }
    std::string why;
    for (const std::string& line : outcome.log)
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
        if (offer.result == ERROR_SUCCESS) return;
        if (!offer.messages.empty() && offer.messages.back() == message::RulesNotMet) notMet = std::move(offer);
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
        std::string offeredText = Listed(offer.offered, "-");
        if (offer.result != ERROR_SUCCESS) {
            out << releasesText << "\t" << offeredText << "\t-\t" << offer.Result() << "\t-\n";
            continue;
        }
        if (offer.offered.empty()) {
            // No choice to build (no FunctionVersion table): the installation goes on without one.
            Imagined unchosen = imagination.Imagine(set, std::nullopt, true);
            out << releasesText << "\t-\t(none)\t" << unchosen.Result() << "\t"
                << (unchosen.result == ERROR_SUCCESS ? imagination.InstalledFeatures(unchosen.conditions) : "-") << "\n";
            continue;
        }
        for (const std::string& value : offer.offered) {
            Imagined chosen = imagination.Imagine(set, value, true);
            out << releasesText << "\t" << offeredText << "\t" << value << "\t" << chosen.Result() << "\t"
                << (chosen.result == ERROR_SUCCESS ? imagination.InstalledFeatures(chosen.conditions) : "-") << "\n";
        }
    }
    out << "(features marked ? depend on Condition rows of the package, whose conditions are not evaluated here)\n";
    return out.str();
}

std::optional<std::string> ExplainPackage(const std::string& package, const OwnedString& sourceFolder)
{
    PackageDatabase db;
    std::string problem;
    if (!OpenWholePackage(package, db, problem)) return std::nullopt;
    return ExplainPackage(db, sourceFolder);
}
