// hostgate-setup: installs a package's support packages (its SuportPacks .msi rows) that
// are missing, one after the other, each as its own installation, then the package.
//   hostgate-setup.exe [PACKAGE.msi] [/qn|/qb|/qr] [/l*v LOG] [PROPERTY=VALUE ...] [--plan]
// Exit code: the installer's result of the chain (0, 3010 when a restart is needed, 1641
// when one was started, or the failing package's code), or one of kExit... below.
#include "setup/apart.h"
#include "setup/command_line.h"
#include "setup/installer_dll.h"
#include "setup/package_facts.h"
#include "setup/plan.h"

#include <msi.h>

#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace {

// What went wrong before anything was installed, each with the installer's code for it.
constexpr UINT kExitCommandLine = ERROR_INVALID_COMMAND_LINE;         // 1639
constexpr UINT kExitPackageUnreadable = ERROR_INSTALL_PACKAGE_OPEN_FAILED;  // 1619
constexpr UINT kExitSupportMissing = ERROR_INSTALL_SOURCE_ABSENT;    // 1612
constexpr UINT kExitSupportUnreadable = ERROR_INSTALL_PACKAGE_INVALID;  // 1620
constexpr UINT kExitReaderFailed = ERROR_FUNCTION_FAILED;            // 1627
constexpr UINT kExitNoInstaller = ERROR_MOD_NOT_FOUND;               // 126

constexpr const wchar_t* kTitle = L"hostgate setup";

// The program's own messages: on standard error and in the main log, and in a message box
// when the user sees an interface.
class Messages {
public:
    explicit Messages(const Options& options) : options_(options) {}

    // A log asked for without "+" starts empty, as the installer's own does.
    void StartLog() const
    {
        if (!options_.log || options_.logAppend) return;
        HANDLE file = CreateFileW(options_.log->c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
    }

    void Note(const std::wstring& text) const { ToLog(text); }
    void Fail(const std::wstring& text) const
    {
        Write(STD_ERROR_HANDLE, L"hostgate-setup: " + text + L"\n");
        ToLog(text);
        if (options_.ui != INSTALLUILEVEL_NONE) MessageBoxW(nullptr, text.c_str(), kTitle, MB_OK | MB_ICONERROR);
    }
    static void Write(DWORD stream, const std::wstring& text)
    {
        HANDLE out = GetStdHandle(stream);
        if (!out || out == INVALID_HANDLE_VALUE) return;
        DWORD written = 0;
        DWORD mode = 0;
        if (GetConsoleMode(out, &mode)) {
            WriteConsoleW(out, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
            return;
        }
        std::string bytes = Utf8(text);
        WriteFile(out, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    }

private:
    static std::string Utf8(const std::wstring& text)
    {
        int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
        std::string bytes(static_cast<std::size_t>(size > 0 ? size : 0), '\0');
        if (size > 0) WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &bytes[0], size, nullptr, nullptr);
        return bytes;
    }
    // Appended: the installer then adds the main package's log after these lines.
    void ToLog(const std::wstring& text) const
    {
        if (!options_.log) return;
        HANDLE file = CreateFileW(options_.log->c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE) return;
        std::string line = Utf8(L"hostgate-setup: " + text + L"\r\n");
        DWORD written = 0;
        WriteFile(file, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
        CloseHandle(file);
    }

    const Options& options_;
};

std::wstring FullPath(const std::wstring& path)
{
    DWORD size = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    std::wstring full(size, L'\0');
    DWORD length = size ? GetFullPathNameW(path.c_str(), size, &full[0], nullptr) : 0;
    if (length == 0 || length >= size) return path;
    full.resize(length);
    return full;
}

// The folder a path's file is in, with its closing backslash: the package's SourceDir.
std::wstring FolderOf(const std::wstring& path)
{
    std::size_t separator = path.find_last_of(L'\\');
    return separator == std::wstring::npos ? std::wstring() : path.substr(0, separator + 1);
}

bool EndsWithMsi(const std::wstring& path)
{
    std::size_t start = path.find_last_of(L"\\/");
    std::wstring name = path.substr(start == std::wstring::npos ? 0 : start + 1);
    return name.size() >= 4 && CompareStringOrdinal(name.c_str() + name.size() - 4, -1, L".msi", -1, TRUE) == CSTR_EQUAL;
}

bool SamePath(const std::wstring& a, const std::wstring& b)
{
    return CompareStringOrdinal(a.c_str(), -1, b.c_str(), -1, TRUE) == CSTR_EQUAL;
}

bool FileExists(const std::wstring& path)
{
    DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// A source row's file, as RunSuportPacks resolves it: the package's folder and the row's
// path joined without a separator; none when that is too long for a Windows path.
std::optional<std::wstring> SupportPath(const std::wstring& folder, const std::wstring& source)
{
    std::wstring path = folder + source;
    if (path.size() >= MAX_PATH) return std::nullopt;
    return path;
}

// The outcome of a step that stops the setup before anything is installed.
struct Stop {
    UINT code;
    std::wstring message;
};

// The .msi beside the program that no other one there lists as a support package.
std::variant<std::wstring, Stop> PackageBeside()
{
    std::wstring folder = FolderOf(ProgramFile());
    std::vector<std::wstring> found;
    WIN32_FIND_DATAW entry;
    HANDLE search = FindFirstFileW((folder + L"*.msi").c_str(), &entry);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            std::wstring path = folder + entry.cFileName;
            if (EndsWithMsi(path) && !(entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) found.push_back(path);
        } while (FindNextFileW(search, &entry));
        FindClose(search);
    }
    std::vector<std::wstring> listed;
    for (const std::wstring& path : found) {
        PackageReading reading = ReadPackageApart(path);
        for (const SupportRow& row : reading.facts.supportRows)
            if (std::optional<std::wstring> support = SupportPath(folder, row.source)) listed.push_back(FullPath(*support));
    }
    std::vector<std::wstring> candidates;
    for (const std::wstring& path : found) {
        bool isSupport = false;
        for (const std::wstring& support : listed) isSupport = isSupport || SamePath(support, path);
        if (!isSupport) candidates.push_back(path);
    }
    if (candidates.size() == 1) return candidates[0];
    if (candidates.empty())
        return Stop{kExitCommandLine, L"no package was named, and there is none beside this program in " + folder};
    std::wstring names;
    for (const std::wstring& path : candidates) names += L" " + path.substr(folder.size());
    return Stop{kExitCommandLine, L"no package was named, and several beside this program could be the one:" + names +
                                      L"; name the package to install"};
}

std::optional<Stop> Detect(const std::wstring& package, Detected& detected)
{
    detected.package = FullPath(package);
    if (!FileExists(detected.package)) return Stop{kExitPackageUnreadable, L"the package " + detected.package + L" does not exist"};
    PackageReading reading = ReadPackageApart(detected.package);
    if (reading.result == PackageReading::Result::ReaderFailed)
        return Stop{kExitReaderFailed, L"the package " + detected.package + L" could not be read: " + reading.failure};
    if (reading.result == PackageReading::Result::Unreadable)
        return Stop{kExitPackageUnreadable, L"the package " + detected.package + L" cannot be opened as a package"};
    detected.productCode = reading.facts.productCode;
    detected.version = reading.facts.productVersion;
    std::wstring folder = FolderOf(detected.package);
    for (const SupportRow& row : reading.facts.supportRows) {
        if (!EndsWithMsi(row.source)) continue;  // a support program: RunSuportPacks starts it
        std::optional<std::wstring> path = SupportPath(folder, row.source);
        if (!path || !FileExists(*path))
            return Stop{kExitSupportMissing, L"the support package " + row.source + L" that " + detected.package +
                                                 L" lists is missing (looked for " + (path ? *path : folder + row.source) + L")"};
        PackageReading support = ReadPackageApart(*path);
        if (support.result == PackageReading::Result::ReaderFailed)
            return Stop{kExitReaderFailed, L"the support package " + *path + L" could not be read: " + support.failure};
        if (support.result == PackageReading::Result::Unreadable || support.facts.productCode.empty())
            return Stop{kExitSupportUnreadable, L"the support package " + *path + L" cannot be opened as a package"};
        INSTALLSTATE state = MsiQueryProductStateW(support.facts.productCode.c_str());
        bool installed = state == INSTALLSTATE_DEFAULT || state == INSTALLSTATE_ADVERTISED;
        detected.supports.push_back({*path, row.commandLine, support.facts.productCode, support.facts.productVersion, installed});
    }
    return std::nullopt;
}

UINT Apply(const Plan& plan, const Options& options, const Messages& messages)
{
    bool restartNeeded = false;
    for (const Step& step : plan.steps) {
        messages.Note(L"installing " + step.package + L" " + step.commandLine);
        MsiSetInternalUI(options.ui, nullptr);
        DWORD attributes = step.support && !options.logAppend ? 0 : INSTALLLOGATTRIBUTES_APPEND;
        MsiEnableLogW(step.log ? options.logMode : 0, step.log ? step.log->c_str() : nullptr, attributes);
        UINT result = MsiInstallProductW(step.package.c_str(), step.commandLine.c_str());
        messages.Note(step.package + L": result " + std::to_wstring(result));
        if (result == ERROR_SUCCESS) continue;
        if (result == ERROR_SUCCESS_REBOOT_REQUIRED) {
            restartNeeded = true;
            continue;
        }
        if (result == ERROR_SUCCESS_REBOOT_INITIATED) {
            messages.Fail(step.package + L" started a restart of the computer; run this setup again afterwards" +
                          (step.support ? L" to install the rest" : L""));
            return result;
        }
        std::wstring what = step.support ? L"the support package " : L"the package ";
        std::wstring why = result == ERROR_INSTALL_USEREXIT ? L" was cancelled" : L" failed with error " + std::to_wstring(result);
        messages.Fail(what + step.package + why + (step.support ? L"; the package was not installed" : L""));
        return result;
    }
    return restartNeeded ? ERROR_SUCCESS_REBOOT_REQUIRED : ERROR_SUCCESS;
}

// Whatever DLL the installer's engine or Windows loads into this process by name later
// comes from the system folder, never from the folder this program was started from.
void LoadDllsFromSystemFolderOnly()
{
    using SetDirectories = BOOL(WINAPI*)(DWORD);
    HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
    auto set = reinterpret_cast<SetDirectories>(
        reinterpret_cast<void (*)()>(kernel ? GetProcAddress(kernel, "SetDefaultDllDirectories") : nullptr));
    if (set) set(LOAD_LIBRARY_SEARCH_SYSTEM32);
    SetDllDirectoryW(L"");
}

UINT Run(const std::vector<std::wstring>& arguments)
{
    ParsedCommandLine parsed = ParseCommandLine(arguments);
    const Options& options = parsed.options;
    Messages messages(options);
    if (!parsed.error.empty()) {
        messages.Fail(parsed.error + L"\nusage: hostgate-setup.exe [PACKAGE.msi] [/qn|/qb|/qr] [/l*v LOG] "
                                     L"[PROPERTY=VALUE ...] [--plan]");
        return kExitCommandLine;
    }
    messages.StartLog();
    if (!InstallerLoaded()) {
        messages.Fail(L"the Windows Installer (msi.dll) could not be loaded from the system folder");
        return kExitNoInstaller;
    }
    std::wstring package;
    if (options.package) {
        package = *options.package;
    } else {
        std::variant<std::wstring, Stop> beside = PackageBeside();
        if (const Stop* stop = std::get_if<Stop>(&beside)) {
            messages.Fail(stop->message);
            return stop->code;
        }
        package = std::get<std::wstring>(beside);
    }
    Detected detected;
    if (std::optional<Stop> stop = Detect(package, detected)) {
        messages.Fail(stop->message + L"; nothing was installed");
        return stop->code;
    }
    Plan plan = MakePlan(detected, options);
    std::wstring description = DescribePlan(detected, plan);
    messages.Note(description);
    if (options.planOnly) {
        Messages::Write(STD_OUTPUT_HANDLE, description);
        return ERROR_SUCCESS;
    }
    return Apply(plan, options, messages);
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    LoadDllsFromSystemFolderOnly();
    std::vector<std::wstring> arguments(argv + 1, argv + argc);
    if (arguments.size() == 2 && arguments[0] == kReadPackageOption) {
        // A fault of the engine here ends this child only: no dialog waits for anyone.
        SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
        if (!InstallerLoaded()) return static_cast<int>(kExitNoInstaller);
        return ReadPackageHere(arguments[1]);
    }
    return static_cast<int>(Run(arguments));
}
