// RunSuportPacks: runs the listed support programs and reports on the listed support packages,
// which hostgate-setup.exe installs before the package (no installer installs a package from
// inside a running installation).
#include "actions/exports.h"
#include "package/contract.h"
#include "package/package_file.h"
#include "session/database.h"
#include "session/install_session.h"

#include <msiquery.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

// True when the last component of the path ends in ".msi", in any letter case.
bool IsPackagePath(const std::string& path)
{
    std::size_t name = path.rfind('\\');
    std::size_t dot = path.rfind('.');
    if (dot == std::string::npos || (name != std::string::npos && dot < name)) return false;
    std::string extension = path.substr(dot);
    for (char& c : extension)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return extension == ".MSI";
}

constexpr const char* kSetupProgram = "hostgate-setup.exe";
constexpr DWORD kElevationRequired = 740;  // ERROR_ELEVATION_REQUIRED, which the cross-compiler's headers lack

// What a program's start or exit code tells the package's author to do (empty: nothing). A
// custom action runs with the user's token (under UAC the filtered one, even for an
// administrator), and while the installation runs no other one can.
const char* Advice(DWORD code)
{
    if (code == kElevationRequired)
        return "it needs administrator rights: run it from hostgate-setup.exe before the package (name it in "
               "HOSTGATE_SETUP_PROGRAMS)";
    if (code == ERROR_INSTALL_ALREADY_RUNNING)
        return "it is an installer, and none can run while this installation does: run it from hostgate-setup.exe "
               "before the package (name it in HOSTGATE_SETUP_PROGRAMS), or list its package as a support package";
    return "";
}

// Starts the program at exactly `path` and waits for it to end. The path is both the
// program to run and, quoted, the head of its command line: a folder with spaces in its
// name can never make another program start in its place.
void RunProgram(const InstallSession& session, const std::string& path, const OwnedString& arguments)
{
    std::string program = ProgramPath(path);
    std::string commandLine = "\"" + program + "\"";
    if (arguments) commandLine += " " + *arguments;

    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION started = {};
    // Said and sent before the wait: a program that hangs leaves a trace of what is running.
    session.Log("starting " + commandLine + " and waiting for it to end");
    session.Flush();
    Wide line(commandLine);  // CreateProcessW may write into the line
    if (!CreateProcessW(Wide(program).c_str(), line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &started)) {
        DWORD error = GetLastError();
        const char* advice = Advice(error);
        session.Log("could not start " + commandLine + ": error " + std::to_string(error) + (*advice ? "; " : "") + advice);
        return;
    }
    KernelHandle process(started.hProcess);
    KernelHandle thread(started.hThread);
    WaitForSingleObject(process.get(), INFINITE);
    DWORD exitCode = 0;
    GetExitCodeProcess(process.get(), &exitCode);
    std::string said = "ran " + commandLine + ": exit code " + std::to_string(exitCode);
    // The library never restarts the machine: a restart the program started or asked for is
    // asked of the installer for its end, where REBOOT=ReallySuppress still rules.
    if (exitCode == ERROR_SUCCESS_REBOOT_REQUIRED || exitCode == ERROR_SUCCESS_REBOOT_INITIATED)
        said += session.RestartAtEnd() ? "; it needs a restart, which the installation asks for at its end"
                                       : "; it needs a restart, which the installer refused to ask for";
    else if (*Advice(exitCode))
        said += std::string("; ") + Advice(exitCode);
    session.Log(said);
}

// Logs whether the support package's product is on the machine; a missing one names the
// program that installs it. Read from the file's bytes: a custom action may not open
// another package through the installer.
void ReportPackage(const InstallSession& session, const std::string& packagePath)
{
    OwnedString productCode = ReadPackageProperty(packagePath, prop::ProductCode);
    if (!productCode) {
        session.Log("support package " + packagePath + " cannot be read as a package; " + kSetupProgram +
                    " stops on it before installing anything");
        return;
    }
    INSTALLSTATE state = MsiQueryProductStateW(Wide(*productCode).c_str());
    if (state == INSTALLSTATE_ADVERTISED || state == INSTALLSTATE_DEFAULT)
        session.Log("support package " + packagePath + " present: product " + *productCode + " (state " +
                    std::to_string(state) + ")");
    else
        session.Log("support package " + packagePath + " missing: product " + *productCode + " (state " +
                    std::to_string(state) + "); install it with " + kSetupProgram +
                    ", which installs the support packages before this package");
}

struct SupportPack {
    std::string source;
    OwnedString commandLine;
};

// The rows are read, and the running installation's database closed again, before any
// program runs and waits.
std::vector<SupportPack> ReadSupportPacks(const InstallSession& session)
{
    std::vector<SupportPack> packs;
    PackageDatabase db(session);
    TableView rows;
    if (!rows.Open(db, table::SuportPacks)) return packs;
    while (rows.Fetch()) {
        OwnedString source = rows.GetString(suportpacks::Source);
        if (source) packs.push_back({*source, rows.GetString(suportpacks::CommandLine)});
    }
    return packs;
}

void RunPacks(const InstallSession& session, const std::string& source)
{
    // What hostgate-setup.exe ran before the package, with its own rights.
    std::vector<std::string> ranBefore = SplitText(session.GetProperty(prop::ProgramsRun).value_or(""), ';');
    for (const SupportPack& pack : ReadSupportPacks(session)) {
        session.Flush();  // the log is written before the wait
        if (session.Cancelled()) return;  // the user's Cancel starts no further program
        // A path too long for Windows is skipped rather than cut into another one.
        OwnedString path = JoinSourcePath(source, pack.source);
        if (!path) {
            session.Log("skipped " + pack.source + ": its path is too long for Windows");
            continue;
        }
        if (IsPackagePath(*path))
            ReportPackage(session, *path);
        else if (std::find(ranBefore.begin(), ranBefore.end(), pack.source) != ranBefore.end())
            session.Log("skipped " + pack.source + ": " + kSetupProgram + " ran it before the package");
        else
            RunProgram(session, *path, pack.commandLine);
    }
}

}  // namespace

extern "C" UINT WINAPI RunSuportPacks(MSIHANDLE install)
{
    // Support packs never stop the installation, not even when memory runs out; only the
    // user's Cancel does.
    UINT result = GuardAction([install] {
        InstallSession session(install, "RunSuportPacks");
        RunPacks(session, session.GetSourceDir().value_or(std::string()));
        return session.Finish(ERROR_SUCCESS);
    });
    return result == ERROR_INSTALL_USEREXIT ? result : static_cast<UINT>(ERROR_SUCCESS);
}
