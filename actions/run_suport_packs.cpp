// RunSuportPacks: runs the listed support programs and installs the listed support packages.
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

// The package's product code is read, and the package file closed again, before anything
// is installed from it.
bool ProductPresent(const InstallSession& session, const std::string& packagePath)
{
    PackageDatabase package;
    package.OpenPackageFile(packagePath.c_str());
    TableView properties;
    properties.Open(package, table::Property, property::PropertyColumn,
                    Filter(property::PropertyColumn, prop::ProductCode));
    if (!properties.Fetch()) return false;
    OwnedString productCode = properties.GetString(property::Value);
    INSTALLSTATE state = MsiQueryProductStateA(productCode ? productCode->c_str() : nullptr);
    bool present = state == INSTALLSTATE_ADVERTISED || state == INSTALLSTATE_DEFAULT;
    if (present)
        session.Log("package " + packagePath + " skipped: product " + *productCode + " is present (state " +
                    std::to_string(state) + ")");
    return present;
}

// Why the installer did not install a support package, in words for the log.
std::string RefusalReason(UINT result)
{
    switch (result) {
    case ERROR_INSTALL_ALREADY_RUNNING:
        return "another installation is in progress; Windows installs no package from inside a running "
               "installation's execute sequence";
    case ERROR_INSTALL_USEREXIT: return "the user cancelled it";
    case ERROR_INSTALL_PACKAGE_OPEN_FAILED:
    case ERROR_INSTALL_PACKAGE_INVALID: return "the package could not be opened";
    default: return "the installer failed";
    }
}

void InstallPackage(const InstallSession& session, const std::string& path, const OwnedString& commandLine)
{
    if (ProductPresent(session, path)) return;
    MsiSetInternalUI(INSTALLUILEVEL_BASIC, nullptr);
    UINT result = MsiInstallProductA(path.c_str(), commandLine ? commandLine->c_str() : nullptr);
    std::string what = "package " + path + " with \"" + commandLine.value_or("") + "\"";
    if (result == ERROR_SUCCESS || result == ERROR_SUCCESS_REBOOT_REQUIRED || result == ERROR_SUCCESS_REBOOT_INITIATED)
        session.Log(what + " installed: result " + std::to_string(result));
    else
        session.Log(what + " NOT installed: error " + std::to_string(result) + ", " + RefusalReason(result));
}

struct SupportPack {
    std::string source;
    OwnedString commandLine;
};

// The rows are read, and the running installation's database closed again, before any of
// them runs: a nested installation must not find handles of this one held open (under some
// engines they stop working across it).
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
            InstallPackage(session, *path, pack.commandLine);
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
