// PrevInstall: finds the installed host releases, then offers the available functions.
#include "actions/exports.h"
#include "actions/phases.h"
#include "actions/plan_inputs.h"
#include "gating/installer_gate.h"
#include "gating/plan.h"
#include "host/host_release.h"
#include "package/contract.h"
#include "session/database.h"
#include "session/install_session.h"

#include <algorithm>
#include <cstdlib>
#include <string>

namespace {

void LogLookup(const Installation& installation, const OwnedString& property, const OwnedString& release,
               const OwnedString& key, const Pruning& pruning)
{
    std::string name = property.value_or("(no property)");
    if (!release) {
        installation.Log("host release of " + name + ": none given, so not installed");
        return;
    }
    const char* root = RootName(HostReleaseRoot(*release));
    std::string where = std::string(root) + "\\" + kHostRegistryPath + "\\" + *release;
    if (key)
        installation.Log("host release " + *release + " found under " + where + ": " + name + " = " +
                         installation.Loggable(name.c_str(), *key));
    else
        installation.Log("host release " + *release + " not installed (looked under " + where + ")");
    for (const std::string& gone : pruning.deleted)
        installation.Log("empty registry key " + std::string(root) + "\\" + gone + " pruned");
    if (!pruning.refused.empty())
        installation.Log("empty registry key " + std::string(root) + "\\" + pruning.refused +
                         " left in place: deleting it was refused (error " + std::to_string(pruning.error) + ")");
}

}  // namespace

UINT DetectHostReleases(const Installation& installation, Gate& gate, const Releases& releases,
                        const HostLookup& lookup, FoundReleases* found, bool installed)
{
    FoundReleases hits;
    if (releases)
        for (std::size_t i = 0; i < releases->size(); ++i) {
            const HostRelease& row = (*releases)[i];
            Pruning pruning;
            OwnedString key = lookup(row.release, &pruning);
            LogLookup(installation, row.property, row.release, key, pruning);
            if (key) {
                hits.push_back(i);
                if (row.property) installation.SetProperty(row.property->c_str(), key->c_str());
            } else if (OwnedString given = row.property ? installation.GetProperty(row.property->c_str()) : std::nullopt;
                       given && installed) {
                installation.Log("host release " + row.release.value_or("(none)") + " not found; " + *row.property +
                                 " keeps the value given: " + installation.Loggable(row.property->c_str(), *given));
            } else if (given) {
                // The library searches no other user's hive: a release named by its property
                // (a deployment under another account) is taken as the administrator gave it.
                hits.push_back(i);
                installation.Log("host release " + row.release.value_or("(none)") + " taken as given: " + *row.property +
                                 " = " + installation.Loggable(row.property->c_str(), *given));
            }
        }
    if (found) *found = hits;
    GateHostReleases(gate, releases, hits);
    if (!releases || !hits.empty() || releases->empty() || installed) return ERROR_SUCCESS;
    installation.Log("none of the " + std::to_string(releases->size()) + " host releases is installed: message 3000");
    installation.ReportError(message::HostMissing);
    return ERROR_INSTALL_FAILURE;
}

void GateHostReleases(Gate& gate, const Releases& releases, const FoundReleases& found)
{
    if (!releases) return;
    auto name = [](const HostRelease& row) { return row.release.value_or("(none)"); };
    for (std::size_t i = 0; i < releases->size(); ++i)
        if (std::find(found.begin(), found.end(), i) == found.end())
            gate.DisableFeaturesOfProperty((*releases)[i].property, "host release " + name((*releases)[i]) + " not installed");
    // Second pass: a found release gets back the features whose cabinet is here, including
    // those a missing release's rules share with it.
    for (std::size_t i = 0; i < releases->size(); ++i)
        if (std::find(found.begin(), found.end(), i) != found.end() && (*releases)[i].property)
            gate.RestoreFeaturesOfProperty((*releases)[i].property, "host release " + name((*releases)[i]) + " installed");
}

std::string EncodeFound(const FoundReleases& found)
{
    std::string text = "found:";
    for (std::size_t i : found) text += std::to_string(i) + ",";
    return text;
}

std::optional<FoundReleases> DecodeFound(const OwnedString& text)
{
    if (!text || text->rfind("found:", 0) != 0) return std::nullopt;
    FoundReleases found;
    for (const std::string& position : SplitText(text->substr(6), ','))
        found.push_back(static_cast<std::size_t>(std::strtoul(position.c_str(), nullptr, 10)));
    return found;
}

void WarnOfUnknownFeatures(const Installation& installation, const std::vector<FeatureRow>& features, const Gate& gate)
{
    NameSet known;
    for (const FeatureRow& row : features) known.insert(row.name);
    for (const std::string& feature : gate.RuleFeatures())
        if (!known.count(feature))
            installation.Log("warning: SearchCabinet rules name feature " + feature +
                             ", which the package's Feature table does not have: they switch nothing");
}

namespace {

// The function to start from when none is given: on a change, the one the product has; on a
// first installation that upgrades an earlier version, the one that version has.
void PresetInstalledFunction(const InstallSession& session, const PackageDatabase& db, const PlanInputs& inputs, Road road)
{
    if (session.GetProperty(prop::FunctionVer)) return;
    std::vector<std::string> products;
    if (road == Road::Change)
        products.push_back(session.GetProperty(prop::ProductCode).value_or(std::string()));
    else
        products = RelatedProducts(session, db);
    for (const std::string& product : products) {
        std::string why;
        OwnedString installed = InstalledFunction(inputs, product, why);
        if (installed) {
            session.SetProperty(prop::FunctionVer, installed->c_str());
            session.Log("FUNCTION_VER = " + *installed + ": the function product " + product + " has installed");
            return;
        }
        session.Log("the function product " + product + " has installed is not known (" + why +
                    "): the first offered function is taken");
    }
}

}  // namespace

UINT RunPrevInstall(const InstallSession& session, ConditionRows* finalRows)
{
    PackageDatabase db(session);
    PlanInputs inputs(session, db);
    Road road = ReadRoad(session);
    bool installed = road != Road::FirstInstall;
    if (installed) session.Log(std::string("road: ") + RoadName(road));
    WarnOfUnknownFeatures(session, inputs.features, *inputs.gate);
    FoundReleases found;
    // The release properties are set on every road, so that package rows using them name the
    // keys and folders they named when the features were installed.
    UINT result = DetectHostReleases(session, *inputs.gate, inputs.releases, FindHostReleaseKey, &found, installed);
    session.SetProperty(prop::ReleasesFound, EncodeFound(found).c_str());
    // A repair restores what is installed and adds nothing; a removal takes everything: the
    // rules decide neither.
    if (road == Road::Repair || road == Road::Removal) {
        if (finalRows) *finalRows = inputs.table.AsRead();
        return ERROR_SUCCESS;
    }
    PresetInstalledFunction(session, db, inputs, road);
    std::optional<FunctionChoice> choice;
    if (result == ERROR_SUCCESS) result = BuildFunctionChoice(session, *inputs.gate, inputs.functions, choice, !installed);
    if (installed) result = ERROR_SUCCESS;

    // The function the choice starts from is planned at once, so that a road on which nothing
    // runs after this action (reduced UI, a dialog never shown) still gets its features.
    ConditionRows target = inputs.gate->Conditions();
    const Gate* planned = &*inputs.gate;
    std::optional<PlannedChoice> chosen;
    if (result == ERROR_SUCCESS && session.GetProperty(prop::FunctionVer) && inputs.functions) {
        chosen.emplace(session, inputs, found);
        if (chosen->result == ERROR_SUCCESS || installed) {
            target = chosen->gate->Conditions();
            planned = &*chosen->gate;
        } else {
            session.Log("the function chosen so far fits no installed host release: the features of the host "
                        "releases alone are planned, and the choice is left to AfterSelectFunction");
        }
    }
    ConditionRows actual;
    if (installed)
        ApplyChange(session, inputs.features, target, TouchedFeatures(inputs, *planned, target), false);
    else
        actual = CarryOut(session, inputs, target, *planned, false);
    if (choice) WriteFunctionChoice(session, db, *choice);
    if (!installed) LogFeaturesOff(session, actual);
    if (finalRows) *finalRows = installed ? inputs.table.AsRead() : actual;
    return result;
}

extern "C" UINT WINAPI PrevInstall(MSIHANDLE install)
{
    return GuardAction([install] {
        InstallSession session(install, "PrevInstall");
        LoadSourceRoot(session);
        UINT result = RunPrevInstall(session);
        return session.Finish(result);
    });
}
