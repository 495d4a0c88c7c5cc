// RunSuportPacks: runs the listed support programs and reports on the listed support packages,
// which hostgate-setup.exe installs before the package (no installer installs a package from
// inside a running installation).
#include "actions/exports.h"
#include "package/contract.h"
#include "session/database.h"
#include "session/install_session.h"

#include <msiquery.h>
#include <mbstring.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace {

constexpr const char* kPackageExtension = ".MSI";

// Owns one kernel handle.
class KernelHandle {
public:
    explicit KernelHandle(HANDLE h = nullptr) : h_(h) {}
    ~KernelHandle()
    {
        if (h_) CloseHandle(h_);
    }
    KernelHandle(const KernelHandle&) = delete;
    KernelHandle& operator=(const KernelHandle&) = delete;
    HANDLE get() const { return h_; }

private:
    HANDLE h_;
};

// True when the last component of the path ends in ".msi", in any letter case.
bool IsPackagePath(const std::string& path)
{
    char extension[_MAX_EXT] = "";
    _splitpath(path.c_str(), nullptr, nullptr, nullptr, extension);
    _mbsupr(reinterpret_cast<unsigned char*>(extension));
    return std::string(extension) == kPackageExtension;
}

// Starts the program at exactly `path` and waits for it to end. The path is both the
// program to run and, quoted, the head of its command line: a folder with spaces in its
// name can never make another program start in its place.
void RunProgram(const InstallSession& session, const std::string& path, const OwnedString& arguments)
{
    std::string program = ProgramPath(path);
    std::string commandLine = "\"" + program + "\"";
    if (arguments) commandLine += " " + *arguments;

    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION started = {};
    std::string logged = commandLine;  // CreateProcessA may write into the line
    if (!CreateProcessA(program.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &started)) {
        session.Log("could not start " + logged + ": error " + std::to_string(GetLastError()));
        return;
    }
    KernelHandle process(started.hProcess);
    KernelHandle thread(started.hThread);
    WaitForSingleObject(process.get(), INFINITE);
    DWORD exitCode = 0;
    GetExitCodeProcess(process.get(), &exitCode);
    session.Log("ran " + logged + ": exit code " + std::to_string(exitCode));
}

constexpr const char* kSetupProgram = "hostgate-setup.exe";

// Logs whether the support package's product is on the machine; a missing one names the
// program that installs it.
void ReportPackage(const InstallSession& session, const std::string& packagePath)
{
    OwnedString productCode;
    {
        PackageDatabase package;
        TableView properties;
        if (package.OpenPackageFile(packagePath.c_str()) &&
            properties.Open(package, table::Property, property::PropertyColumn,
                            Filter(property::PropertyColumn, prop::ProductCode)) &&
            properties.Fetch())
            productCode = properties.GetString(property::Value);
    }
    if (!productCode) {
        session.Log("support package " + packagePath + " cannot be read as a package; " + kSetupProgram +
                    " stops on it before installing anything");
        return;
    }
    INSTALLSTATE state = MsiQueryProductStateA(productCode->c_str());
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

void RunPacks(const InstallSession& session)
{
    for (const SupportPack& pack : ReadSupportPacks(session)) {
        session.Flush();  // the log is written before the wait
        // A path too long for Windows is skipped rather than cut into another one.
        OwnedString path = JoinSourcePath(SourceRoot, pack.source);
        if (!path) {
            session.Log("skipped " + pack.source + ": its path is too long for Windows");
            continue;
        }
        if (IsPackagePath(*path))
            ReportPackage(session, *path);
        else
            RunProgram(session, *path, pack.commandLine);
    }
}

}  // namespace

extern "C" UINT WINAPI RunSuportPacks(MSIHANDLE install)
{
    // Support packs never stop the installation, not even when memory runs out.
    GuardAction([install] {
        InstallSession session(install, "RunSuportPacks");
        LoadSourceRoot(session);
        RunPacks(session);
        session.Flush();
        return static_cast<UINT>(ERROR_SUCCESS);
    });
    return ERROR_SUCCESS;
}
