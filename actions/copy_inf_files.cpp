// CopyInfFiles: copies the token driver's setup-information files into Windows' INF folder.
// RollbackInfFiles: removes the ones it added when the installation rolls back.
#include "actions/exports.h"
#include "package/contract.h"
#include "session/install_session.h"

#include <algorithm>
#include <cwchar>
#include <string>
#include <vector>

namespace {

constexpr const char* kInfSource = "\\Setup\\Aladdin\\eToken\\";
constexpr const char* kInfTarget = "\\inf\\";
constexpr const char* kInfPattern = "*.inf";
constexpr const char* kInfExtension = ".INF";  // as NameKey gives it
// A record larger than this holds no list CopyInfFiles wrote.
constexpr LONGLONG kJournalLimit = 1 << 20;

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

// The record of the INF files that one installation of the product added to the INF folder,
// for its rollback: one name a line, in UTF-8. It lies beside the files, where only
// administrators write, and is named after the product, so that no other product's rollback
// reads it. None without a product code of the installer's form.
OwnedString JournalPath(const InstallSession& session, const std::string& infFolder)
{
    OwnedString product = session.GetProperty(prop::ProductCode);
    if (!product || product->size() != 38 || product->find_first_not_of("{}-0123456789ABCDEFabcdef") != std::string::npos)
        return std::nullopt;
    BoundedText path(kPathCapacity);
    path.append(infFolder).append("hostgate-").append(*product).append(".copied");
    if (!path.ok()) return std::nullopt;
    return path.str();
}

bool Record(const FileHandle& journal, const std::string& name)
{
    std::string line = name + "\r\n";
    DWORD written = 0;
    return WriteFile(journal.get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr) &&
           written == line.size();
}

// Copies the INF files of one folder that no earlier folder had; `copied` holds the names
// seen so far. A file the INF folder did not hold yet is recorded in `journal`, before the
// copy, so that a copy the installation stops in is undone too.
void CopyFolder(const InstallSession& session, const std::string& sourceFolder, const std::string& targetFolder,
                std::vector<std::string>& copied, const FileHandle& journal)
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
        Wide targetPath(target.str());
        bool added = GetFileAttributesW(targetPath.c_str()) == INVALID_FILE_ATTRIBUTES;
        if (added && journal && !Record(journal, name))
            session.Log("could not record " + name + ": error " + std::to_string(GetLastError()) + "; a rollback leaves it");
        if (CopyFileW(Wide(source.str()).c_str(), targetPath.c_str(), FALSE))
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
    // Each run starts its record afresh: an earlier installation's list never reaches this
    // one's rollback. A record that cannot be written must not stay behind either.
    OwnedString journalPath = JournalPath(session, *targetFolder);
    FileHandle journal;
    if (journalPath)
        journal.reset(CreateFileW(Wide(*journalPath).c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!journal) {
        std::string why = journalPath ? "error " + std::to_string(GetLastError()) : std::string("no product code");
        session.Log("the copied files are not recorded (" + why + "): a rollback leaves them");
        if (journalPath) DeleteFileW(Wide(*journalPath).c_str());
    }
    std::vector<std::string> copied;
    for (const std::string& folder : sourceFolders) CopyFolder(session, folder, *targetFolder, copied, journal);
}

// The record's text; none, logged, when it cannot be read.
OwnedString ReadJournal(const InstallSession& session, const std::string& path)
{
    FileHandle file(CreateFileW(Wide(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
    LARGE_INTEGER size = {};
    if (!file && GetLastError() == ERROR_FILE_NOT_FOUND) {
        session.Log("no copied file recorded: nothing removed");
        return std::nullopt;
    }
    if (!file || !GetFileSizeEx(file.get(), &size) || size.QuadPart > kJournalLimit) {
        session.Log("could not read " + path + " (error " + std::to_string(GetLastError()) + "): nothing removed");
        return std::nullopt;
    }
    std::string text(static_cast<std::size_t>(size.QuadPart), '\0');
    DWORD read = 0;
    if (!text.empty() && (!ReadFile(file.get(), &text[0], static_cast<DWORD>(text.size()), &read, nullptr) ||
                          read != text.size())) {
        session.Log("could not read " + path + " (error " + std::to_string(GetLastError()) + "): nothing removed");
        return std::nullopt;
    }
    return text;
}

// Removes one recorded file from the INF folder. The record is read by a process with the
// system's rights: only a plain name of an INF file is taken.
void RemoveCopy(const InstallSession& session, const std::string& infFolder, std::string name)
{
    if (!name.empty() && name.back() == '\r') name.pop_back();
    std::string key = NameKey(Wide(name).c_str());
    BoundedText target(kPathCapacity);
    target.append(infFolder).append(name);
    if (name.find_first_of("\\/:") != std::string::npos || key.size() < 4 ||
        key.compare(key.size() - 4, 4, kInfExtension) != 0 || !target.ok()) {
        session.Log("not removed: \"" + name + "\" is no INF file's name");
        return;
    }
    if (DeleteFileW(Wide(target.str()).c_str()))
        session.Log("removed " + target.str());
    else if (GetLastError() == ERROR_FILE_NOT_FOUND)
        session.Log(target.str() + " is not there: nothing to remove");
    else
        session.Log("could not remove " + target.str() + ": error " + std::to_string(GetLastError()));
}

void RollBackInfs(const InstallSession& session)
{
    OwnedString infFolder = SystemFolder(GetWindowsDirectoryW, kInfTarget);
    OwnedString journalPath = infFolder ? JournalPath(session, *infFolder) : std::nullopt;
    if (!journalPath) {
        session.Log("no product code or INF folder: nothing removed");
        return;
    }
    OwnedString journal = ReadJournal(session, *journalPath);
    if (!journal) return;
    // A finished installation leaves its record behind. Its product is then registered, and
    // a first installation's registration, which comes after the copy, is undone before this
    // rollback runs: a registered product's record is an earlier installation's.
    if (MsiQueryProductStateW(Wide(*session.GetProperty(prop::ProductCode)).c_str()) != INSTALLSTATE_UNKNOWN)
        session.Log("the product is installed: the record is an earlier installation's; nothing removed");
    else
        for (const std::string& name : SplitText(*journal, '\n')) RemoveCopy(session, *infFolder, name);
    if (!DeleteFileW(Wide(*journalPath).c_str()))
        session.Log("could not remove " + *journalPath + ": error " + std::to_string(GetLastError()));
}

// Driver files never stop the installation, not even when memory runs out; only the user's
// Cancel does.
UINT RunNeverFailing(MSIHANDLE install, const char* action, void (*body)(const InstallSession&))
{
    UINT result = GuardAction([=] {
        InstallSession session(install, action);
        body(session);
        return session.Finish(ERROR_SUCCESS);
    });
    return result == ERROR_INSTALL_USEREXIT ? result : static_cast<UINT>(ERROR_SUCCESS);
}

}  // namespace

extern "C" UINT WINAPI CopyInfFiles(MSIHANDLE install)
{
    return RunNeverFailing(install, "CopyInfFiles", CopyInfs);
}

extern "C" UINT WINAPI RollbackInfFiles(MSIHANDLE install)
{
    return RunNeverFailing(install, "RollbackInfFiles", RollBackInfs);
}
