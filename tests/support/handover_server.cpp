// The server's half of an installation as Windows splits it: the execute sequence of PACKAGE
// run as an installation of its own that receives only what Windows hands over from the
// client recorded in RECORD (see handover_client.cpp).
//   handover_server.exe PACKAGE RECORD administrator|uac-administrator|user LOG
// An administrator's server receives every public property (a name without lower-case
// letters). A user who is not an administrator, installing per machine (ALLUSERS=1) with
// elevated privileges, hands over only the restricted public properties and those the
// package lists in SecureCustomProperties, as an administrator under UAC does (the client runs
// with the filtered token); a per-user installation hands over every one.
// In place of the client's own feature lists the server receives its final feature states
// as ADDLOCAL, ADDSOURCE, ADVERTISE and REMOVE, which set Preselected there, and
// SECONDSEQUENCE=1. It runs at the client's UI level, as UILevel in a Windows server's
// property dump shows (the package's UI sequence runs only ExecuteAction there, see
// handover_test.sh); the messages it would show are printed and answered OK, as no one
// watches. Prints the command line handed over, the public properties withheld, the
// messages and "exit code N"; LOG receives the verbose log.
#include "gating/plan.h"
#include "session/owned.h"

#include <windows.h>
#include <msi.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

namespace {

// The public properties any user may hand to an elevated server ("Restricted Public
// Properties" in the installer's documentation).
const char* const kRestrictedPublic[] = {
    "ACTION", "AFTERREBOOT", "ALLUSERS", "EXECUTEACTION", "EXECUTEMODE", "FILEADDDEFAULT", "FILEADDLOCAL",
    "FILEADDSOURCE", "INSTALLLEVEL", "LIMITUI", "LOGACTION", "NOCOMPANYNAME", "NOUSERNAME",
    "MSIENFORCEUPGRADECOMPONENTRULES", "MSIINSTANCEGUID", "MSINEWINSTANCE", "MSIPATCHREMOVE", "PATCH",
    "PRIMARYFOLDER", "PROMPTROLLBACKCOST", "REBOOT", "REINSTALL", "REINSTALLMODE", "RESUME", "SEQUENCE",
    "SHORTFILENAMES", "TRANSFORMS", "TRANSFORMSATSOURCE"};
// The client's feature lists: the server gets the states they led to instead.
const char* const kFeatureLists[] = {"ADDLOCAL", "REMOVE", "ADDSOURCE", "ADDDEFAULT", "ADVERTISE"};

struct Feature {
    std::string name;
    int installed;
    int action;
};

struct ClientRecord {
    std::vector<std::pair<std::string, std::string>> properties;
    std::vector<Feature> features;

    std::string Property(const std::string& name) const
    {
        for (const auto& [key, value] : properties)
            if (key == name) return value;
        return std::string();
    }
};

bool ReadRecord(const wchar_t* path, ClientRecord& record)
{
    FileHandle file(CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return false;
    std::string text;
    char chunk[4096];
    DWORD read = 0;
    while (ReadFile(file.get(), chunk, sizeof chunk, &read, nullptr) && read > 0) text.append(chunk, read);
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::vector<std::string> fields = Fields(text.substr(start, end - start));
        start = end + 1;
        if (fields[0] == "property" && fields.size() == 3) {
            record.properties.emplace_back(fields[1], fields[2]);
        } else if (fields[0] == "feature" && fields.size() == 4) {
            record.features.push_back({fields[1], std::atoi(fields[2].c_str()), std::atoi(fields[3].c_str())});
        } else {
            return false;
        }
    }
    return !record.features.empty();
}

bool Public(const std::string& name)
{
    return std::none_of(name.begin(), name.end(), [](char c) { return c >= 'a' && c <= 'z'; });
}

bool Listed(const char* const* begin, const char* const* end, const std::string& name)
{
    return std::any_of(begin, end, [&](const char* listed) { return name == listed; });
}

// PROPERTY="VALUE", quotes in the value doubled, as the installer's command line takes it.
std::string Assignment(const std::string& name, const std::string& value)
{
    std::string quoted;
    for (char c : value) quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
    return name + "=\"" + quoted + "\"";
}

bool Installs(int state)
{
    return state == INSTALLSTATE_LOCAL || state == INSTALLSTATE_SOURCE || state == INSTALLSTATE_ADVERTISED;
}

// The client's final selection as the lists that carry it: what is to be installed, and
// how, and what is installed and to be removed. A feature with no action keeps its state.
std::string FeatureLists(const ClientRecord& record)
{
    struct List {
        const char* name;
        std::string features;
    } lists[] = {{"ADDLOCAL", {}}, {"ADDSOURCE", {}}, {"ADVERTISE", {}}, {"REMOVE", {}}};
    for (const Feature& feature : record.features) {
        List* list = feature.action == INSTALLSTATE_LOCAL                              ? &lists[0]
                     : feature.action == INSTALLSTATE_SOURCE                           ? &lists[1]
                     : feature.action == INSTALLSTATE_ADVERTISED                       ? &lists[2]
                     : feature.action == INSTALLSTATE_ABSENT && Installs(feature.installed) ? &lists[3]
                                                                                            : nullptr;
        if (list) list->features += (list->features.empty() ? "" : ",") + feature.name;
    }
    std::string text;
    for (const List& list : lists)
        if (!list.features.empty()) text += " " + Assignment(list.name, list.features);
    return text;
}

void Print(const std::string& text)
{
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
}

int WINAPI ShowMessage(LPVOID, UINT, LPCWSTR message)
{
    Print("message: " + Utf8(message) + "\n");
    return IDOK;
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    ClientRecord record;
    if (argc != 5 || !ReadRecord(argv[2], record)) {
        Print("usage: handover_server.exe PACKAGE RECORD administrator|uac-administrator|user LOG (RECORD as RecordHandover wrote it)\n");
        return 2;
    }
    bool restricted = std::wcscmp(argv[3], L"administrator") != 0 && record.Property("ALLUSERS") == "1";
    std::vector<std::string> secure = SplitText(record.Property("SecureCustomProperties"), ';');

    std::string commandLine;
    std::string withheld;
    for (const auto& [name, value] : record.properties) {
        if (!Public(name) || Listed(std::begin(kFeatureLists), std::end(kFeatureLists), name)) continue;
        if (restricted && !Listed(std::begin(kRestrictedPublic), std::end(kRestrictedPublic), name) &&
            std::find(secure.begin(), secure.end(), name) == secure.end()) {
            withheld += " " + name;
            continue;
        }
        commandLine += (commandLine.empty() ? "" : " ") + Assignment(name, value);
    }
    commandLine += FeatureLists(record) + " SECONDSEQUENCE=1";
    Print("command line: " + commandLine + "\nwithheld:" + withheld + "\n");

    int level = std::atoi(record.Property("UILevel").c_str());
    MsiSetInternalUI(static_cast<INSTALLUILEVEL>(level ? level : INSTALLUILEVEL_NONE), nullptr);
    MsiSetExternalUIW(ShowMessage, INSTALLLOGMODE_FATALEXIT | INSTALLLOGMODE_ERROR | INSTALLLOGMODE_WARNING | INSTALLLOGMODE_USER, nullptr);
    MsiEnableLogW(INSTALLLOGMODE_VERBOSE | INSTALLLOGMODE_FATALEXIT | INSTALLLOGMODE_ERROR | INSTALLLOGMODE_WARNING |
                      INSTALLLOGMODE_USER | INSTALLLOGMODE_INFO | INSTALLLOGMODE_RESOLVESOURCE |
                      INSTALLLOGMODE_OUTOFDISKSPACE | INSTALLLOGMODE_ACTIONSTART | INSTALLLOGMODE_ACTIONDATA |
                      INSTALLLOGMODE_COMMONDATA | INSTALLLOGMODE_PROPERTYDUMP,
                  argv[4], 0);
    UINT result = MsiInstallProductW(argv[1], Wide(commandLine).c_str());
    Print("exit code " + std::to_string(result) + "\n");
    return 0;
}
