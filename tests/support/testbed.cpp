#include "testbed.h"
#include "windows_rules.h"

#include <objbase.h>
#include <shlwapi.h>

#include <cstdio>
#include <cstring>

namespace testbed {

// The library's layers linked into this program obey the same rules as the DLL.
static const bool g_rulesEnforced = (EnforceWindowsRules(GetModuleHandleA(nullptr)), true);

namespace {

std::string TempRoot()
{
    char path[MAX_PATH] = "";
    GetTempPathA(MAX_PATH, path);
    std::string root(path);
    if (!root.empty() && root.back() == '\\') root.pop_back();
    return root;
}

std::string ToCrlf(const std::string& text)
{
    std::string out;
    for (char c : text) {
        if (c == '\n') out += '\r';
        if (c != '\r') out += c;
    }
    return out;
}

// Lets the file functions reach paths longer than MAX_PATH, which some tests plant; only
// the wide functions take those.
std::wstring Extended(const std::string& path)
{
    std::string full = path;
    if (path.size() > 2 && path[1] == ':' && path[2] == '\\') full = "\\\\?\\" + path;
    std::wstring wide(full.size() + 1, L'\0');
    int length = MultiByteToWideChar(CP_ACP, 0, full.c_str(), -1, &wide[0], static_cast<int>(wide.size()));
    wide.resize(length > 0 ? static_cast<std::size_t>(length - 1) : 0);
    return wide;
}

}  // namespace

TempFolder::TempFolder(const std::string& name)
{
    static unsigned counter = 0;
    path_ = TempRoot() + "\\" + name + "-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(++counter);
    RemoveTree(path_);
    MakeFolders(path_);
}

TempFolder::~TempFolder()
{
    RemoveTree(path_);
}

void WriteFile(const std::string& path, const std::string& content)
{
    std::size_t slash = path.find_last_of('\\');
    if (slash != std::string::npos) MakeFolders(path.substr(0, slash));
    HANDLE file = CreateFileW(Extended(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return;
    DWORD written = 0;
    ::WriteFile(file, content.data(), static_cast<DWORD>(content.size()), &written, nullptr);
    CloseHandle(file);
}

std::optional<std::string> ReadFile(const std::string& path)
{
    FILE* file = std::fopen(path.c_str(), "rb");
    if (!file) return std::nullopt;
    std::string content;
    char chunk[4096];
    std::size_t got;
    while ((got = std::fread(chunk, 1, sizeof chunk, file)) > 0) content.append(chunk, got);
    std::fclose(file);
    return content;
}

bool FileExists(const std::string& path)
{
    return GetFileAttributesW(Extended(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

void MakeFolders(const std::string& path)
{
    for (std::size_t at = path.find('\\', 3); ; at = path.find('\\', at + 1)) {
        CreateDirectoryA(path.substr(0, at).c_str(), nullptr);
        if (at == std::string::npos) break;
    }
}

void RemoveTree(const std::string& path)
{
    std::wstring folder = Extended(path);
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((folder + L"\\*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            std::wstring name = found.cFileName;
            if (name == L"." || name == L"..") continue;
            if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                char narrow[MAX_PATH * 2] = "";
                WideCharToMultiByte(CP_ACP, 0, name.c_str(), -1, narrow, sizeof narrow, nullptr, nullptr);
                RemoveTree(path + "\\" + narrow);
                continue;
            }
            std::wstring child = folder + L"\\" + name;
            SetFileAttributesW(child.c_str(), FILE_ATTRIBUTE_NORMAL);
            DeleteFileW(child.c_str());
        } while (FindNextFileW(search, &found));
        FindClose(search);
    }
    RemoveDirectoryW(folder.c_str());
}

const char* const kFeatureHeader =
    "Feature\tFeature_Parent\tTitle\tDescription\tDisplay\tLevel\tDirectory_\tAttributes\n"
    "s38\tS38\tL64\tL255\tI2\ti2\tS72\ti2\n"
    "Feature\tFeature\n";
const char* const kConditionHeader =
    "Feature_\tLevel\tCondition\n"
    "s38\ti2\tS255\n"
    "Condition\tFeature_\tLevel\n";
const char* const kPropertyHeader =
    "Property\tValue\n"
    "s72\tl0\n"
    "Property\tProperty\n";

const char* const kAutoCadHeader =
    "Property\tUnused\tRelease\n"
    "s72\tS0\tS32\n"
    "AutoCAD\tProperty\n";
const char* const kFunctionVersionHeader =
    "Function\tText\tValue\n"
    "s72\tL0\tS0\n"
    "FunctionVersion\tFunction\n";
const char* const kSearchCabinetHeader =
    "PropertyName\tFunction\tCabinet\tFeature\tFlags\n"
    "S72\ts72\tS255\ts38\tI4\n"
    "SearchCabinet\tPropertyName\tFunction\tCabinet\tFeature\n";

std::string FeatureTable(std::initializer_list<const char*> names)
{
    std::string idt = kFeatureHeader;
    for (const char* name : names) idt += std::string(name) + "\t\t" + name + "\t\t1\t1\t\t0\n";
    return idt;
}

PackageBuilder::PackageBuilder()
{
    tables_["Property"] = std::string(kPropertyHeader) + "ProductCode\t" + NewGuid() +
                          "\n"
                          "ProductLanguage\t1033\n"
                          "ProductVersion\t1.0.0\n"
                          "Manufacturer\thostgate tests\n"
                          "ProductName\thostgate test package\n";
    tables_["Feature"] = kFeatureHeader;
    tables_["Condition"] = kConditionHeader;
    tables_["Directory"] =
        "Directory\tDirectory_Parent\tDefaultDir\n"
        "s72\tS72\tl255\n"
        "Directory\tDirectory\n"
        "TARGETDIR\t\tSourceDir\n";
    tables_["Component"] =
        "Component\tComponentId\tDirectory_\tAttributes\tCondition\tKeyPath\n"
        "s72\tS38\ts72\ti2\tS255\tS72\n"
        "Component\tComponent\n";
    tables_["FeatureComponents"] =
        "Feature_\tComponent_\n"
        "s38\ts72\n"
        "FeatureComponents\tFeature_\tComponent_\n";
    tables_["Error"] =
        "Error\tMessage\n"
        "i2\tL0\n"
        "Error\tError\n"
        "3000\tNo supported host release is installed.\n"
        "3001\tThis installation source does not meet the package's rules.\n";
    tables_["Dialog"] =
        "Dialog\tHCentering\tVCentering\tWidth\tHeight\tAttributes\tTitle\tControl_First\tControl_Default\tControl_Cancel\n"
        "s72\ti2\ti2\ti2\ti2\tI4\tL128\ts50\tS50\tS50\n"
        "Dialog\tDialog\n"
        "ZizeVEZAvaziva\t50\t50\t370\t270\t3\tChoose a function\tCancelButton\tCancelButton\tCancelButton\n";
    tables_["Control"] =
        "Dialog_\tControl\tType\tX\tY\tWidth\tHeight\tAttributes\tProperty\tText\tControl_Next\tHelp\n"
        "s72\ts50\ts20\ti2\ti2\ti2\ti2\tI4\tS72\tL0\tS50\tL50\n"
        "Control\tDialog_\tControl\n"
        "ZizeVEZAvaziva\tCancelButton\tPushButton\t300\t243\t56\t17\t3\t\tCancel\t\t\n";
    tables_["RadioButton"] =
        "Property\tOrder\tValue\tX\tY\tWidth\tHeight\tText\tHelp\n"
        "s72\ti2\ts64\ti2\ti2\ti2\ti2\tL0\tL50\n"
        "RadioButton\tProperty\tOrder\n";
}

PackageBuilder& PackageBuilder::table(const std::string& name, const std::string& idt)
{
    tables_[name] = idt;
    return *this;
}

PackageBuilder& PackageBuilder::without(const std::string& name)
{
    tables_.erase(name);
    return *this;
}

PackageBuilder& PackageBuilder::rows(const std::string& name, const std::string& rows)
{
    tables_[name] += rows;
    return *this;
}

PackageBuilder& PackageBuilder::stream(const std::string& table, const std::string& name, const std::string& source)
{
    streams_.push_back({table, name, source});
    return *this;
}

std::string PackageBuilder::build(const std::string& path) const
{
    std::string folder = path + ".idt";
    RemoveTree(folder);
    MakeFolders(folder);
    // Stream columns are read from a subfolder named after the table.
    for (const auto& s : streams_) {
        MakeFolders(folder + "\\" + s[0]);
        CopyFileA(s[2].c_str(), (folder + "\\" + s[0] + "\\" + s[1]).c_str(), FALSE);
    }
    DeleteFileA(path.c_str());
    MSIHANDLE db = 0;
    if (MsiOpenDatabaseA(path.c_str(), MSIDBOPEN_CREATE, &db) != ERROR_SUCCESS) {
        std::fprintf(stderr, "testbed: cannot create %s\n", path.c_str());
        return path;
    }
    for (const auto& [name, idt] : tables_) {
        std::string file = name + ".idt";
        WriteFile(folder + "\\" + file, ToCrlf(idt));
        UINT imported = MsiDatabaseImportA(db, folder.c_str(), file.c_str());
        if (imported != ERROR_SUCCESS)
            std::fprintf(stderr, "testbed: table %s not imported (%u)\n", name.c_str(), imported);
    }
    MSIHANDLE summary = 0;
    MsiGetSummaryInformationA(db, nullptr, 20, &summary);
    MsiSummaryInfoSetPropertyA(summary, PIDSI_TEMPLATE, VT_LPSTR, 0, nullptr, "Intel;1033");
    MsiSummaryInfoSetPropertyA(summary, PIDSI_REVNUMBER, VT_LPSTR, 0, nullptr, NewGuid().c_str());
    MsiSummaryInfoSetPropertyA(summary, PIDSI_PAGECOUNT, VT_I4, 200, nullptr, nullptr);
    MsiSummaryInfoSetPropertyA(summary, PIDSI_WORDCOUNT, VT_I4, 2, nullptr, nullptr);
    MsiSummaryInfoSetPropertyA(summary, PIDSI_SUBJECT, VT_LPSTR, 0, nullptr, "hostgate test package");
    MsiSummaryInfoPersist(summary);
    MsiCloseHandle(summary);
    MsiDatabaseCommit(db);
    MsiCloseHandle(db);
    RemoveTree(folder);
    return path;
}

std::vector<Row> QueryRows(MSIHANDLE database, const std::string& query)
{
    std::vector<Row> rows;
    MSIHANDLE view = 0;
    if (MsiDatabaseOpenViewA(database, query.c_str(), &view) != ERROR_SUCCESS) return rows;
    if (MsiViewExecute(view, 0) == ERROR_SUCCESS) {
        MSIHANDLE record = 0;
        while (MsiViewFetch(view, &record) == ERROR_SUCCESS) {
            Row row;
            UINT fields = MsiRecordGetFieldCount(record);
            for (UINT field = 1; field <= fields; ++field) {
                if (MsiRecordIsNull(record, field)) {
                    row.push_back("<null>");
                    continue;
                }
                char value[1024] = "";
                DWORD size = sizeof value;
                MsiRecordGetStringA(record, field, value, &size);
                row.push_back(value);
            }
            rows.push_back(row);
            MsiCloseHandle(record);
        }
    }
    MsiViewClose(view);
    MsiCloseHandle(view);
    return rows;
}

Session::Session(const std::string& packagePath, bool cost)
{
    MsiSetInternalUI(INSTALLUILEVEL_NONE, nullptr);
    UINT opened = MsiOpenPackageA(packagePath.c_str(), &h_);
    if (opened != ERROR_SUCCESS) {
        std::fprintf(stderr, "testbed: cannot open %s as a session (%u)\n", packagePath.c_str(), opened);
        return;
    }
    if (cost) {
        MsiDoActionA(h_, "CostInitialize");
        MsiDoActionA(h_, "FileCost");
    }
}

Session::~Session()
{
    if (h_) MsiCloseHandle(h_);
}

std::optional<std::string> Session::property(const std::string& name) const
{
    char probe[1] = "";
    DWORD size = 0;
    if (MsiGetPropertyA(h_, name.c_str(), probe, &size) != ERROR_MORE_DATA || size == 0) return std::nullopt;
    std::string value(size + 1, '\0');
    ++size;
    MsiGetPropertyA(h_, name.c_str(), &value[0], &size);
    value.resize(size);
    return value;
}

void Session::setProperty(const std::string& name, const std::string& value) const
{
    MsiSetPropertyA(h_, name.c_str(), value.c_str());
}

UINT Session::doAction(const std::string& action) const
{
    return MsiDoActionA(h_, action.c_str());
}

std::vector<Row> Session::rows(const std::string& query) const
{
    MSIHANDLE db = MsiGetActiveDatabase(h_);
    std::vector<Row> result = QueryRows(db, query);
    MsiCloseHandle(db);
    return result;
}

INSTALLSTATE Session::featureAction(const std::string& feature) const
{
    INSTALLSTATE installed = INSTALLSTATE_UNKNOWN;
    INSTALLSTATE action = INSTALLSTATE_UNKNOWN;
    MsiGetFeatureStateA(h_, feature.c_str(), &installed, &action);
    return action;
}

UserSide::UserSide(int answer) : answer_(answer)
{
    MsiSetExternalUIRecord(&UserSide::Handler, INSTALLLOGMODE_ERROR | INSTALLLOGMODE_INFO | INSTALLLOGMODE_ACTIONSTART, this, &previous_);
}

UserSide::~UserSide()
{
    MsiSetExternalUIRecord(previous_, 0, nullptr, nullptr);
}

int WINAPI UserSide::Handler(LPVOID context, UINT type, MSIHANDLE record)
{
    auto* self = static_cast<UserSide*>(context);
    std::string text(2048, '\0');
    DWORD size = static_cast<DWORD>(text.size());
    if (MsiFormatRecordA(0, record, &text[0], &size) == ERROR_MORE_DATA) {
        text.resize(++size);
        MsiFormatRecordA(0, record, &text[0], &size);
    }
    text.resize(std::strlen(text.c_str()));
    switch (type & 0xFF000000u) {
    case INSTALLMESSAGE_ERROR:
        self->errors_.push_back(MsiRecordGetInteger(record, 1));
        self->errorTexts_.push_back(text);
        return self->answer_;
    case INSTALLMESSAGE_INFO: {
        // One message may carry several lines.
        for (std::size_t at = 0; at <= text.size();) {
            std::size_t end = text.find('\n', at);
            if (end == std::string::npos) end = text.size();
            self->infos_.push_back(text.substr(at, end - at));
            at = end + 1;
        }
        return 0;
    }
    case INSTALLMESSAGE_ACTIONSTART: {
        char name[256] = "";
        DWORD length = sizeof name;
        MsiRecordGetStringA(record, 1, name, &length);
        self->actions_.push_back(name);
        return 0;
    }
    default:
        return 0;
    }
}

int UserSide::count(const std::string& action) const
{
    int times = 0;
    for (const std::string& name : actions_) times += name == action;
    return times;
}

Library::Library()
{
    char exe[MAX_PATH] = "";
    GetModuleFileNameA(nullptr, exe, MAX_PATH);
    std::string path(exe);
    path = path.substr(0, path.find_last_of('\\') + 1) + "hostgate.dll";
    module_ = LoadLibraryA(path.c_str());
    if (!module_) std::fprintf(stderr, "testbed: cannot load %s\n", path.c_str());
    EnforceWindowsRules(module_);
}

Library::~Library()
{
    if (module_) FreeLibrary(module_);
}

Action Library::action(const char* name) const
{
    return reinterpret_cast<Action>(reinterpret_cast<void*>(GetProcAddress(module_, name)));
}

HostRegistry::HostRegistry()
{
    DeleteTree(HKEY_LOCAL_MACHINE, "Software\\Autodesk");
    DeleteTree(HKEY_CURRENT_USER, "Software\\Autodesk");
}

HostRegistry::~HostRegistry()
{
    DeleteTree(HKEY_LOCAL_MACHINE, "Software\\Autodesk");
    DeleteTree(HKEY_CURRENT_USER, "Software\\Autodesk");
}

void HostRegistry::install(const std::string& release, const std::string& current) const
{
    HKEY root = release < std::string("R16.0") ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER;
    std::string key = "Software\\Autodesk\\AutoCAD\\" + release;
    SetStringValue(root, key, "CurVer", current);
    CreateKey(root, key + "\\" + current);
}

void CreateKey(HKEY root, const std::string& path)
{
    Elevated administrator;
    HKEY key = nullptr;
    if (RegCreateKeyExA(root, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr) == ERROR_SUCCESS)
        RegCloseKey(key);
}

namespace {

void SetValue(HKEY root, const std::string& path, const char* name, DWORD type, const std::string& bytes)
{
    Elevated administrator;
    HKEY key = nullptr;
    if (RegCreateKeyExA(root, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr) != ERROR_SUCCESS)
        return;
    RegSetValueExA(key, name, 0, type, reinterpret_cast<const BYTE*>(bytes.data()), static_cast<DWORD>(bytes.size()));
    RegCloseKey(key);
}

}  // namespace

void SetStringValue(HKEY root, const std::string& path, const char* name, const std::string& data)
{
    SetValue(root, path, name, REG_SZ, std::string(data.c_str(), data.size() + 1));
}

void SetBinaryValue(HKEY root, const std::string& path, const char* name, const std::string& bytes)
{
    SetValue(root, path, name, REG_BINARY, bytes);
}

bool KeyExists(HKEY root, const std::string& path)
{
    HKEY key = nullptr;
    if (RegOpenKeyExA(root, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
    RegCloseKey(key);
    return true;
}

void DeleteTree(HKEY root, const std::string& path)
{
    SHDeleteKeyA(root, path.c_str());
}

std::string NewGuid()
{
    GUID guid;
    CoCreateGuid(&guid);
    char text[40];
    std::snprintf(text, sizeof text, "{%08lX-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                  static_cast<unsigned long>(guid.Data1), guid.Data2, guid.Data3, guid.Data4[0], guid.Data4[1],
                  guid.Data4[2], guid.Data4[3], guid.Data4[4], guid.Data4[5], guid.Data4[6], guid.Data4[7]);
    return text;
}

std::string SampleSource()
{
    char exe[MAX_PATH] = "";
    GetModuleFileNameA(nullptr, exe, MAX_PATH);
    std::string path(exe);
    path = path.substr(0, path.find_last_of('\\'));                      // bin
    return path.substr(0, path.find_last_of('\\')) + "\\sample\\source";  // build\sample\source
}

}  // namespace testbed
