// PrevInstall: finds the installed host releases, then offers the available functions.
#include "actions/exports.h"
#include "actions/phases.h"
#include "gating/installer_gate.h"
#include "host/host_release.h"
#include "package/contract.h"
#include "session/database.h"
#include "session/install_session.h"

#include <set>
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
                        const HostLookup& lookup)
{
    if (!releases) return ERROR_SUCCESS;
    int found = 0;
    for (const HostRelease& row : *releases) {
        Pruning pruning;
        OwnedString key = lookup(row.release, &pruning);
        LogLookup(installation, row.property, row.release, key, pruning);
        if (key) {
            ++found;
            if (row.property) installation.SetProperty(row.property->c_str(), key->c_str());
        } else {
            gate.DisableFeaturesOfProperty(row.property);
        }
    }
    // Second pass, over the properties as they now stand: a release found above, or one
    // the package or the user set beforehand, gets back the features whose cabinet is here.
    for (const HostRelease& row : *releases)
        if (row.property && installation.GetProperty(row.property->c_str())) gate.RestoreFeaturesOfProperty(row.property);
    if (found > 0 || releases->empty()) return ERROR_SUCCESS;
    installation.Log("none of the " + std::to_string(releases->size()) + " host releases is installed: message 3000");
    installation.ReportError(message::HostMissing);
    return ERROR_INSTALL_FAILURE;
}

void WarnOfUnknownFeatures(const Installation& installation, const PackageDatabase& db, const Gate& gate)
{
    std::vector<std::string> named = gate.RuleFeatures();
    if (named.empty()) return;
    std::set<std::string> features;
    TableView view;
    if (!view.Open(db, table::Feature)) return;
    while (view.Fetch())
        if (OwnedString feature = view.GetString(feature::Feature)) features.insert(*feature);
    for (const std::string& feature : named)
        if (!features.count(feature))
            installation.Log("warning: SearchCabinet rules name feature " + feature +
                             ", which the package's Feature table does not have: they switch nothing");
}

void LogFeaturesOff(const Installation& installation, const Gate& gate)
{
    std::string off;
    for (const std::string& feature : gate.FeaturesOff()) off += (off.empty() ? "" : ", ") + feature;
    installation.Log("features switched off now: " + (off.empty() ? std::string("none") : off));
}

UINT RunPrevInstall(const InstallSession& session, ConditionRows* finalRows)
{
    PackageDatabase db(session);
    InstallerGate gate(db);
    WarnOfUnknownFeatures(session, db, *gate);
    UINT result = DetectHostReleases(session, *gate, ReadHostReleases(db), FindHostReleaseKey);
    std::optional<FunctionChoice> choice;
    if (result == ERROR_SUCCESS) {
        result = BuildFunctionChoice(session, *gate, ReadFunctions(db), choice);
        if (choice) WriteFunctionChoice(session, db, *choice);
    }
    gate.Commit();
    LogFeaturesOff(session, *gate);
    if (finalRows) *finalRows = gate->Conditions();
    return result;
}

extern "C" UINT WINAPI PrevInstall(MSIHANDLE install)
{
    return GuardAction([install] {
        InstallSession session(install, "PrevInstall");
        LoadSourceRoot(session);
        UINT result = RunPrevInstall(session);
        session.Flush();
        return result;
    });
}
