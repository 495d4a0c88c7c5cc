// CopyInfFiles: copies the token driver's setup-information files into Windows' INF folder.
#include "actions/exports.h"
#include "session/install_session.h"

namespace {

constexpr const char* kInfSource = "\\Setup\\Aladdin\\eToken\\";
constexpr const char* kInfTarget = "\\inf\\";
constexpr const char* kInfPattern = "*.inf";

// Owns one directory search.
class FileSearch {
public:
    FileSearch(const char* pattern, WIN32_FIND_DATAA& found) : h_(FindFirstFileA(pattern, &found)) {}
    ~FileSearch()
    {
        if (h_ != INVALID_HANDLE_VALUE) FindClose(h_);
    }
    FileSearch(const FileSearch&) = delete;
    FileSearch& operator=(const FileSearch&) = delete;

    bool started() const { return h_ != INVALID_HANDLE_VALUE; }
    bool next(WIN32_FIND_DATAA& found) { return FindNextFileA(h_, &found) != FALSE; }

private:
    HANDLE h_;
};

// A folder below a system folder, or none when the system folder cannot be read or the
// result does not fit a Windows path.
using DirectoryQuery = UINT(WINAPI*)(LPSTR, UINT);
OwnedString SystemFolder(DirectoryQuery query, const char* below)
{
    char directory[kPathCapacity] = "";
    UINT length = query(directory, static_cast<UINT>(sizeof directory));
    if (length == 0 || length >= sizeof directory) return std::nullopt;
    BoundedText folder(kPathCapacity);
    folder.append(directory).append(below);
    if (!folder.ok()) return std::nullopt;
    return folder.str();
}

// True when this 32-bit library runs on 64-bit Windows, where "system32" is redirected to
// the 32-bit system folder. Looked up at run time: older systems lack the call.
bool RunsOnWow64()
{
    using Query = BOOL(WINAPI*)(HANDLE, PBOOL);
    HMODULE kernel = GetModuleHandleA("kernel32.dll");
    auto query = kernel ? reinterpret_cast<Query>(reinterpret_cast<void*>(GetProcAddress(kernel, "IsWow64Process"))) : nullptr;
    BOOL wow64 = FALSE;
    return query && query(GetCurrentProcess(), &wow64) && wow64;
}

// The folder driver setups write to: the native system folder. On 64-bit Windows a 32-bit
// process reaches it through "Sysnative" only.
OwnedString DriverFolder()
{
    if (!RunsOnWow64()) return SystemFolder(GetSystemDirectoryA, kInfSource);
    OwnedString windows = SystemFolder(GetSystemWindowsDirectoryA, "\\Sysnative");
    if (!windows) return std::nullopt;
    BoundedText folder(kPathCapacity);
    folder.append(*windows).append(kInfSource);
    return folder.ok() ? OwnedString(folder.str()) : std::nullopt;
}

void CopyInfs(const InstallSession& session)
{
    OwnedString sourceFolder = DriverFolder();
    OwnedString targetFolder = SystemFolder(GetWindowsDirectoryA, kInfTarget);
    if (!sourceFolder || !targetFolder) {
        session.Log("system folders unreadable: nothing copied");
        return;
    }

    BoundedText source(kPathCapacity);
    BoundedText target(kPathCapacity);
    source.append(*sourceFolder).append(kInfPattern);
    target.append(*targetFolder);
    if (!source.ok()) return;

    WIN32_FIND_DATAA found = {};
    FileSearch search(source.c_str(), found);
    if (!search.started()) {
        session.Log("no INF files in " + *sourceFolder);
        return;
    }
    do {
        source.truncate(sourceFolder->size());
        target.truncate(targetFolder->size());
        source.append(found.cFileName);
        target.append(found.cFileName);
        // A name too long for either path is skipped rather than cut.
        if (!source.ok() || !target.ok())
            session.Log(std::string("skipped ") + found.cFileName + ": its path is too long for Windows");
        else if (CopyFileA(source.c_str(), target.c_str(), FALSE))
            session.Log("copied " + source.str() + " to " + target.str());
        else
            session.Log("could not copy " + source.str() + ": error " + std::to_string(GetLastError()));
    } while (search.next(found));
}

}  // namespace

extern "C" UINT WINAPI CopyInfFiles(MSIHANDLE install)
{
    // Copying drivers never stops the installation, not even when memory runs out.
    GuardAction([install] {
        InstallSession session(install, "CopyInfFiles");
        CopyInfs(session);
        session.Flush();
        return static_cast<UINT>(ERROR_SUCCESS);
    });
    return ERROR_SUCCESS;
}
