// hostgate-setup: installs a package's support packages (its SuportPacks .msi rows) that
// are missing, one after the other, each as its own installation, then the package.
//   hostgate-setup.exe [PACKAGE.msi] [/qn|/qb|/qr] [/l*v LOG] [PROPERTY=VALUE ...] [--plan]
// Exit code: the installer's result of the chain (0, 3010 when a restart is needed, 1641
// when one was started, or the failing package's code), or one of kExit... below.
#include "package/compound_file.h"
#include "package/contract.h"
#include "platform/apart.h"
#include "session/owned.h"
#include "setup/command_line.h"
#include "setup/messages.h"
#include "setup/package_facts.h"
#include "setup/plan.h"
#include "setup/system_dlls.h"

#include <msi.h>

#include <algorithm>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace {

// What went wrong before anything was installed, each with the installer's code for it.
constexpr UINT kExitCommandLine = ERROR_INVALID_COMMAND_LINE;         // 1639
constexpr UINT kExitPackageUnreadable = ERROR_INSTALL_PACKAGE_OPEN_FAILED;  // 1619
constexpr UINT kExitSupportMissing = ERROR_INSTALL_SOURCE_ABSENT;    // 1612
// A damaged package, or a support package the engine cannot open.
constexpr UINT kExitPackageInvalid = ERROR_INSTALL_PACKAGE_INVALID;  // 1620
constexpr UINT kExitReaderFailed = ERROR_FUNCTION_FAILED;            // 1627
constexpr UINT kExitNoInstaller = ERROR_MOD_NOT_FOUND;               // 126

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

// The package file's structure, checked before the installer's engine reads it (`what` names
// it for messages): damage stops the setup; faults that lose no data are said, and it goes on.
std::optional<Stop> CheckStructure(const std::wstring& what, const std::wstring& path, const Messages& messages)
{
    StructureReport report = CheckPackageStructure(Utf8(path));
    if (!report.opened) return Stop{kExitPackageUnreadable, what + path + L" cannot be opened: " + Wide(report.damage->what).str()};
    if (report.damage)
        return Stop{kExitPackageInvalid,
                    what + path + L" is damaged: " + Wide(report.damage->what + " (" + report.damage->where + ")").str()};
    for (const std::string& warning : report.warnings) messages.Inform(L"warning: " + what + path + L": " + Wide(warning).str());
    return std::nullopt;
}

// The .msi beside the program that no other one there lists as a support package.
std::variant<std::wstring, Stop> PackageBeside()
{
    std::wstring folder = FolderOf(Wide(ProgramFile()).str());
    std::vector<std::wstring> found;
    FileSearch search(Utf8(folder + L"*.msi"));
    for (bool more = search.started(); more; more = search.next()) {
        std::wstring path = folder + search.found().cFileName;
        if (EndsWithMsi(path) && !(search.found().dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) found.push_back(path);
    }
    std::vector<std::wstring> listed;
    for (const std::wstring& path : found) {
        // What a damaged one lists cannot be trusted; it stays a candidate, refused as damaged.
        if (CheckPackageStructure(Utf8(path)).damage) continue;
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

std::optional<Stop> Detect(const std::wstring& package, const Messages& messages, Detected& detected)
{
    detected.package = FullPath(package);
    if (!FileExists(detected.package)) return Stop{kExitPackageUnreadable, L"the package " + detected.package + L" does not exist"};
    if (std::optional<Stop> stop = CheckStructure(L"the package ", detected.package, messages)) return stop;
    PackageReading reading = ReadPackageApart(detected.package);
    if (reading.result == PackageReading::Result::ReaderFailed)
        return Stop{kExitReaderFailed, L"the package " + detected.package + L" could not be read: " + reading.failure};
    if (reading.result == PackageReading::Result::Unreadable)
        return Stop{kExitPackageUnreadable, L"the package " + detected.package + L" cannot be opened as a package"};
    detected.productCode = reading.facts.productCode;
    detected.version = reading.facts.productVersion;
    detected.name = reading.facts.productName;
    std::wstring folder = FolderOf(detected.package);
    std::vector<std::string> setupPrograms = SplitText(Utf8(reading.facts.setupPrograms), ';');
    for (const SupportRow& row : reading.facts.supportRows) {
        if (!EndsWithMsi(row.source)) {
            // A support program: this program runs those the package names, RunSuportPacks the rest.
            std::optional<std::wstring> path = SupportPath(folder, row.source);
            bool listed = std::find(setupPrograms.begin(), setupPrograms.end(), Utf8(row.source)) != setupPrograms.end();
            if (listed && path) detected.programs.push_back({row.source, Wide(ProgramPath(Utf8(*path))).str(), row.commandLine});
            continue;
        }
        std::optional<std::wstring> path = SupportPath(folder, row.source);
        if (!path || !FileExists(*path))
            return Stop{kExitSupportMissing, L"the support package " + row.source + L" that " + detected.package +
                                                 L" lists is missing (looked for " + (path ? *path : folder + row.source) + L")"};
        if (std::optional<Stop> stop = CheckStructure(L"the support package ", *path, messages)) return stop;
        PackageReading support = ReadPackageApart(*path);
        if (support.result == PackageReading::Result::ReaderFailed)
            return Stop{kExitReaderFailed, L"the support package " + *path + L" could not be read: " + support.failure};
        if (support.result == PackageReading::Result::Unreadable || support.facts.productCode.empty())
            return Stop{kExitPackageInvalid, L"the support package " + *path + L" cannot be opened as a package"};
        INSTALLSTATE state = MsiQueryProductStateW(support.facts.productCode.c_str());
        bool installed = state == INSTALLSTATE_DEFAULT || state == INSTALLSTATE_ADVERTISED;
        detected.supports.push_back({*path, row.commandLine, support.facts.productCode, support.facts.productVersion,
                                     support.facts.productName, installed});
    }
    return std::nullopt;
}

// The program's word on how the chain ended; the exit code is the chain's code.
void Report(const Plan& plan, const ChainResult& chain, const Messages& messages)
{
    if (chain.stoppedAt) {
        const Step& step = plan.steps[*chain.stoppedAt];
        if (chain.code == ERROR_SUCCESS_REBOOT_INITIATED) {
            // The installation told the user; only a chain cut short needs saying.
            if (step.support)
                messages.Warn(step.name + L" started a restart of the computer; run this setup again afterwards to install the rest");
            else
                messages.Log(step.name + L" started a restart of the computer");
            return;
        }
        std::wstring what = step.support ? L"the support package " : L"the package ";
        std::wstring why = chain.code == ERROR_INSTALL_USEREXIT ? L" was cancelled" : L" failed with error " + std::to_wstring(chain.code);
        messages.Fail(what + step.name + L" (" + step.package + L")" + why + (step.support ? L"; the package was not installed" : L""));
        return;
    }
    if (chain.restartAskedBy.empty()) return;
    std::wstring names;
    for (std::size_t at = 0; at < chain.restartAskedBy.size(); ++at)
        names += (at == 0 ? L"" : at + 1 == chain.restartAskedBy.size() ? L" and " : L", ") + plan.steps[chain.restartAskedBy[at]].name;
    messages.Warn(L"restart Windows to finish installing " + names);
}

// Runs a support program at exactly `path` and waits for it; its exit code, or none when it
// cannot start.
std::optional<DWORD> RunProgram(const std::wstring& path, const std::wstring& arguments, const Messages& messages)
{
    std::wstring line = L"\"" + path + L"\"" + (arguments.empty() ? L"" : L" " + arguments);
    messages.Log(L"running the support program " + line);
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION started = {};
    if (!CreateProcessW(path.c_str(), &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &started)) {
        messages.Warn(L"the support program " + path + L" could not be started: error " + std::to_wstring(GetLastError()));
        return std::nullopt;
    }
    KernelHandle process(started.hProcess);
    KernelHandle thread(started.hThread);
    WaitForSingleObject(process.get(), INFINITE);
    DWORD exitCode = 0;
    GetExitCodeProcess(process.get(), &exitCode);
    messages.Log(path + L": exit code " + std::to_wstring(exitCode));
    return exitCode;
}

UINT Apply(const Plan& plan, const Options& options, const Messages& messages)
{
    ChainResult chain;
    std::vector<std::wstring> programsRun;
    for (std::size_t at = 0; at < plan.steps.size(); ++at) {
        const Step& step = plan.steps[at];
        if (step.program) {
            std::optional<DWORD> exitCode = RunProgram(step.package, step.commandLine, messages);
            if (!exitCode) continue;  // RunSuportPacks tries it, and says why it cannot start
            programsRun.push_back(*step.program);
            TakeResult(chain, at, *exitCode, true);
            continue;
        }
        // The package's line names the programs that ran.
        const std::wstring commandLine = step.support ? step.commandLine : PackageCommandLine(options, programsRun);
        messages.Log(std::wstring(step.support ? L"installing the support package " : L"installing the package ") + step.name +
                     L": " + step.package + (commandLine.empty() ? L"" : L" " + commandLine));
        MsiSetInternalUI(options.ui, nullptr);
        // Each installation logs to a file of its own, added to the log when it ends: Wine's
        // engine writes over an existing log from its start, whatever the attributes say.
        MsiEnableLogW(step.log ? options.logMode : 0, step.log ? step.log->c_str() : nullptr, 0);
        UINT result = MsiInstallProductW(step.package.c_str(), commandLine.c_str());
        if (step.log) messages.AppendPackageLog(*step.log);
        messages.Log(step.name + L": result " + std::to_wstring(result));
        if (!TakeResult(chain, at, result)) break;
    }
    Report(plan, chain, messages);
    return chain.code;
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
        messages.Inform(L"no package was named: taking " + package +
                        L", the one beside this program that no other there lists as a support package");
    }
    Detected detected;
    if (std::optional<Stop> stop = Detect(package, messages, detected)) {
        messages.Fail(stop->message + L"; nothing was installed");
        return stop->code;
    }
    Plan plan = MakePlan(detected, options);
    std::wstring description = DescribePlan(detected, plan);
    if (options.planOnly) {
        messages.Show(description);
        return ERROR_SUCCESS;
    }
    messages.Log(description);
    return Apply(plan, options, messages);
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    RestrictDllSearchToSystemFolder();
    std::vector<std::wstring> arguments(argv + 1, argv + argc);
    if (arguments.size() == 2 && Utf8(arguments[0]) == kReadPackageOption) {
        // A fault of the engine here ends this child only: no dialog waits for anyone.
        SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
        if (!InstallerLoaded()) return static_cast<int>(kExitNoInstaller);
        return ReadPackageHere(arguments[1]);
    }
    return static_cast<int>(Run(arguments));
}
