// PrevInstall: finds the installed host releases, then offers the available functions.
#include "actions/exports.h"
#include "actions/phases.h"
#include "gating/cabinet_rules.h"
#include "host/host_release.h"
#include "package/contract.h"
#include "session/database.h"
#include "session/install_session.h"

#include <string>
#include <vector>

namespace {

void LogLookup(const InstallSession& session, const OwnedString& property, const OwnedString& release,
               const OwnedString& key, const Pruning& pruning)
{
    std::string name = property.value_or("(no property)");
    if (!release) {
        session.Log("host release of " + name + ": none given, so not installed");
        return;
    }
    const char* root = RootName(HostReleaseRoot(*release));
    std::string where = std::string(root) + "\\" + kHostRegistryPath + "\\" + *release;
    if (key)
        session.Log("host release " + *release + " found under " + where + ": " + name + " = " +
                    session.Loggable(name.c_str(), *key));
    else
        session.Log("host release " + *release + " not installed (looked under " + where + ")");
    for (const std::string& gone : pruning.deleted)
        session.Log("empty registry key " + std::string(root) + "\\" + gone + " pruned");
    if (!pruning.refused.empty())
        session.Log("empty registry key " + std::string(root) + "\\" + pruning.refused + " left in place: deleting it was refused (error " +
                    std::to_string(pruning.error) + ")");
}

}  // namespace

UINT DetectHostReleases(const InstallSession& session)
{
    PackageDatabase db(session);
    int found = 0;
    int rows = 0;
    {
        TableView releases;
        if (!releases.Open(db, table::AutoCAD)) return ERROR_SUCCESS;
        while (releases.Fetch()) {
            ++rows;
            OwnedString property = releases.GetString(autocad::Property);
            OwnedString release = releases.GetString(autocad::Release);
            Pruning pruning;
            OwnedString key = FindHostReleaseKey(release, &pruning);
            LogLookup(session, property, release, key, pruning);
            if (key) {
                ++found;
                if (property) session.SetProperty(property->c_str(), key->c_str());
            } else {
                DisableFeaturesOfProperty(db, property);
            }
        }
    }
    // Second pass, over the properties as they now stand: a release found above, or one
    // the package or the user set beforehand, gets back the features whose cabinet is here.
    {
        TableView releases;
        if (!releases.Open(db, table::AutoCAD)) return ERROR_SUCCESS;
        while (releases.Fetch()) {
            OwnedString property = releases.GetString(autocad::Property);
            if (property && session.GetProperty(property->c_str())) RestoreFeaturesOfProperty(db, property);
        }
    }
    if (found > 0 || rows == 0) return ERROR_SUCCESS;
    session.Log("none of the " + std::to_string(rows) + " host releases is installed: message 3000");
    session.ReportError(message::HostMissing);
    return ERROR_INSTALL_FAILURE;
}

extern "C" UINT WINAPI PrevInstall(MSIHANDLE install)
{
    return GuardAction([install] {
        InstallSession session(install, "PrevInstall");
        LoadSourceRoot(session);
        UINT result = DetectHostReleases(session);
        if (result != ERROR_SUCCESS) return result;
        return BuildFunctionChoice(session);
    });
}
