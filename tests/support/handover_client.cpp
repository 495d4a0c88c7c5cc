// The client's half of an installation as Windows splits it, for tests under Wine, which runs
// both sequences in one session. Scheduled in a package's InstallUISequence in place of
// ExecuteAction, RecordHandover writes down what the client holds at the moment it would
// hand over to the server, then ends the client (the installation answers 1602):
//   property TAB NAME TAB VALUE                   every property of the session
//   feature TAB NAME TAB INSTALLED TAB ACTION     every feature's INSTALLSTATE values
// to the file the property HandoverRecord names, as UTF-8, in the line format of the library's
// private properties (gating/plan.h). handover_server.exe starts the execute sequence from the
// record.
#include "actions/exports.h"
#include "gating/plan.h"
#include "session/database.h"
#include "session/install_session.h"

#include <windows.h>
#include <msi.h>
#include <msiquery.h>

#include <string>

namespace {

// Wine keeps every property of a session, the Property table's and those set since, in
// its table _Property; Windows offers no such listing, so this runs under Wine only.
bool RecordProperties(const PackageDatabase& db, std::string& record)
{
    TableView properties;
    if (!properties.Open(db, "_Property")) return false;
    while (properties.Fetch())
        if (OwnedString name = properties.GetString(1))
            record += "property\t" + *name + "\t" + Escaped(properties.GetString(2).value_or(std::string())) + "\n";
    return true;
}

bool RecordFeatures(const InstallSession& session, const PackageDatabase& db, std::string& record)
{
    TableView features;
    if (!features.Open(db, "Feature")) return false;
    while (features.Fetch()) {
        OwnedString name = features.GetString(1);
        INSTALLSTATE installed = INSTALLSTATE_UNKNOWN;
        INSTALLSTATE action = INSTALLSTATE_UNKNOWN;
        if (!name || MsiGetFeatureStateW(session.handle(), Wide(*name).c_str(), &installed, &action) != ERROR_SUCCESS)
            return false;
        record += "feature\t" + *name + "\t" + std::to_string(installed) + "\t" + std::to_string(action) + "\n";
    }
    return true;
}

// A line for the installation's log (a text without brackets, so it formats as itself).
void LogLine(MSIHANDLE install, const std::string& text)
{
    MsiHandle line(MsiCreateRecord(0));
    if (!line) return;
    MsiRecordSetStringW(line.get(), 0, Wide("RecordHandover: " + text).c_str());
    MsiProcessMessage(install, INSTALLMESSAGE_INFO, line.get());
}

bool WriteRecord(const std::string& path, const std::string& record)
{
    FileHandle file(CreateFileW(Wide(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return false;
    DWORD written = 0;
    return WriteFile(file.get(), record.data(), static_cast<DWORD>(record.size()), &written, nullptr) && written == record.size();
}

}  // namespace

extern "C" __declspec(dllexport) UINT WINAPI RecordHandover(MSIHANDLE install)
{
    return GuardAction([&] {
        InstallSession session(install);
        PackageDatabase db(session);
        OwnedString path = session.GetProperty("HandoverRecord");
        std::string record;
        if (!path || !RecordProperties(db, record) || !RecordFeatures(session, db, record) || !WriteRecord(*path, record)) {
            LogLine(install, "the client's record could not be written");
            return static_cast<UINT>(ERROR_INSTALL_FAILURE);
        }
        LogLine(install, "the client's record is in " + *path + "; the client ends here");
        return static_cast<UINT>(ERROR_INSTALL_USEREXIT);
    });
}
