// CopyInfFiles: copies the token driver's setup-information files into Windows' INF folder.
#include "actions/exports.h"
#include "session/install_session.h"

#include <algorithm>
#include <cwchar>
#include <string>
#include <vector>

namespace {

constexpr const char* kInfSource = "\\Setup\\Aladdin\\eToken\\";
constexpr const char* kInfTarget = "\\inf\\";
constexpr const char* kInfPattern = "*.inf";

// A folder below a system folder, or none when the system folder cannot be read or the
// result does not fit a Windows path.
using DirectoryQuery = UINT(WINAPI*)(LPWSTR, UINT);
OwnedString SystemFolder(DirectoryQuery query, const char* below)
{
    wchar_t directory[kPathCapacity] = L"";
    UINT length = query(directory, kPathCapacity);
    if (length == 0 || length >= kPathCapacity) return std::nullopt;
    BoundedText folder(kPathCapacity);
    folder.append(Utf8(directory, length)).append(below);
    if (!folder.ok()) return std::nullopt;
    return folder.str();
}

// The folders driver setups write to, in the order they are read: the native system
// folder, and on 64-bit Windows also the 32-bit one, where a 32-bit driver setup writes.
// A 32-bit process reaches the native folder through "Sysnative" only.
std::vector<std::string> DriverFolders()
{
    std::vector<std::string> folders;
    OwnedString system = SystemFolder(GetSystemDirectoryW, kInfSource);
    if (RunsOnWow64()) {
        OwnedString native = SystemFolder(GetSystemWindowsDirectoryW, "\\Sysnative");
        BoundedText folder(kPathCapacity);
        if (native) folder.append(*native).append(kInfSource);
        if (native && folder.ok()) folders.push_back(folder.str());
    }
    if (system) folders.push_back(*system);
    return folders;
}

// The file name as Windows compares names: without regard to letter case.
std::string NameKey(const wchar_t* name)
{
    std::size_t length = std::wcslen(name);
    std::vector<wchar_t> upper(length + 1, L'\0');
    int mapped = LCMapStringW(LOCALE_INVARIANT, LCMAP_UPPERCASE, name, static_cast<int>(length), upper.data(),
                              static_cast<int>(length));
    return mapped > 0 ? Utf8(upper.data(), static_cast<std::size_t>(mapped)) : Utf8(name);
}

// Copies the INF files of one folder that no earlier folder had; `copied` holds the names
// seen so far.
void CopyFolder(const InstallSession& session, const std::string& sourceFolder, const std::string& targetFolder,
                std::vector<std::string>& copied)
{
    FileSearch search(sourceFolder + kInfPattern);
    if (!search.started()) {
        session.Log("no INF files in " + sourceFolder);
        return;
    }
    BoundedText source(kPathCapacity);
    BoundedText target(kPathCapacity);
    source.append(sourceFolder);
    target.append(targetFolder);
    do {
        std::string name = Utf8(search.found().cFileName);
        std::string key = NameKey(search.found().cFileName);
        if (std::find(copied.begin(), copied.end(), key) != copied.end()) {
            session.Log("skipped " + sourceFolder + name + ": a file of that name was copied from an earlier folder");
            continue;
        }
        source.truncate(sourceFolder.size());
        target.truncate(targetFolder.size());
        source.append(name);
        target.append(name);
        // A name too long for either path is skipped rather than cut.
        if (!source.ok() || !target.ok()) {
            session.Log("skipped " + name + ": its path is too long for Windows");
            continue;
        }
        copied.push_back(key);
        if (CopyFileW(Wide(source.str()).c_str(), Wide(target.str()).c_str(), FALSE))
            session.Log("copied " + source.str() + " to " + target.str());
        else
            session.Log("could not copy " + source.str() + ": error " + std::to_string(GetLastError()));
    } while (search.next());
}

void CopyInfs(const InstallSession& session)
{
    std::vector<std::string> sourceFolders = DriverFolders();
    OwnedString targetFolder = SystemFolder(GetWindowsDirectoryW, kInfTarget);
    if (sourceFolders.empty() || !targetFolder) {
        session.Log("system folders unreadable: nothing copied");
        return;
    }
    std::vector<std::string> copied;
    for (const std::string& folder : sourceFolders) CopyFolder(session, folder, *targetFolder, copied);
}

}  // namespace

extern "C" UINT WINAPI CopyInfFiles(MSIHANDLE install)
{
    // Copying drivers never stops the installation, not even when memory runs out; only the
    // user's Cancel does.
    UINT result = GuardAction([install] {
        InstallSession session(install, "CopyInfFiles");
        CopyInfs(session);
        return session.Finish(ERROR_SUCCESS);
    });
    return result == ERROR_INSTALL_USEREXIT ? result : static_cast<UINT>(ERROR_SUCCESS);
}
