#include "testbed.h"
#include "windows_rules.h"

#include "package/tab_chain.h"

#include <objbase.h>
#include <shlwapi.h>

#include <cstdio>
#include <cstring>

namespace testbed {

// The library's layers linked into this program obey the same rules as the DLL.
static const bool g_rulesEnforced = (EnforceWindowsRules(GetModuleHandleW(nullptr), "the test program"), true);

std::wstring ToWide(const std::string& text)
{
    int length = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(length > 0 ? length : 0), L'\0');
    if (length > 0) MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &wide[0], length);
    return wide;
}

std::string ToUtf8(const std::wstring& text)
{
    int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string bytes(static_cast<std::size_t>(size > 0 ? size : 0), '\0');
    if (size > 0) WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &bytes[0], size, nullptr, nullptr);
    return bytes;
}

namespace {

std::string ModulePath()
{
    wchar_t exe[MAX_PATH] = L"";
    GetModuleFileNameW(nullptr, exe, MAX_PATH);
    return ToUtf8(exe);
}

std::string TempRoot()
{
    wchar_t path[MAX_PATH] = L"";
    GetTempPathW(MAX_PATH, path);
    std::string root = ToUtf8(path);
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

std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> lines;
    for (std::size_t at = 0; at < text.size();) {
        std::size_t end = text.find('\n', at);
        if (end == std::string::npos) end = text.size();
        lines.push_back(text.substr(at, end - at));
        at = end + 1;
    }
    return lines;
}

std::vector<std::string> Fields(const std::string& line)
{
    std::vector<std::string> fields;
    for (std::size_t at = 0;; ) {
        std::size_t end = line.find('\t', at);
        fields.push_back(line.substr(at, end == std::string::npos ? std::string::npos : end - at));
        if (end == std::string::npos) return fields;
        at = end + 1;
    }
}

bool IsAscii(const std::string& text)
{
    for (char c : text)
        if (static_cast<unsigned char>(c) >= 0x80) return false;
    return true;
}

// Inserts IDT rows through the database API, each field as its column type takes it.
void InsertRows(MSIHANDLE db, const std::string& table, const std::string& names, const std::string& types,
                const std::vector<std::string>& rows)
{
    std::vector<std::string> columns = Fields(names);
    std::vector<std::string> kinds = Fields(types);
    std::string query = "INSERT INTO `" + table + "` (";
    std::string marks;
    for (std::size_t at = 0; at < columns.size(); ++at) {
        query += (at ? ", `" : "`") + columns[at] + "`";
        marks += at ? ", ?" : "?";
    }
    query += ") VALUES (" + marks + ")";
    MSIHANDLE view = 0;
    if (MsiDatabaseOpenViewW(db, ToWide(query).c_str(), &view) != ERROR_SUCCESS) {
        std::fprintf(stderr, "testbed: cannot insert into %s\n", table.c_str());
        return;
    }
    for (const std::string& row : rows) {
        std::vector<std::string> fields = Fields(row);
        MSIHANDLE record = MsiCreateRecord(static_cast<UINT>(columns.size()));
        for (UINT at = 0; at < columns.size() && at < fields.size(); ++at) {
            if (fields[at].empty()) continue;  // null
            if (kinds[at][0] == 'i' || kinds[at][0] == 'I')
                MsiRecordSetInteger(record, at + 1, std::stoi(fields[at]));
            else
                MsiRecordSetStringW(record, at + 1, ToWide(fields[at]).c_str());
        }
        UINT inserted = MsiViewExecute(view, record);
        if (inserted != ERROR_SUCCESS)
            std::fprintf(stderr, "testbed: row not inserted into %s (%u): %s\n", table.c_str(), inserted, row.c_str());
        MsiViewClose(view);
        MsiCloseHandle(record);
    }
    MsiCloseHandle(view);
}

// Lets the file functions reach paths longer than MAX_PATH, which some tests plant; only
// the wide functions take those.
std::wstring Extended(const std::string& path)
{
    std::string full = path;
    if (path.size() > 2 && path[1] == ':' && path[2] == '\\') full = "\\\\?\\" + path;
    return ToWide(full);
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
    FILE* file = _wfopen(ToWide(path).c_str(), L"rb");
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
        CreateDirectoryW(ToWide(path.substr(0, at)).c_str(), nullptr);
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
                RemoveTree(path + "\\" + ToUtf8(name));
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
        "ZizeVEZAvaziva\tCancelButton\tPushButton\t300\t243\t56\t17\t3\t\tCancel\tRadioButtonGroup\t\n";
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

PackageBuilder& PackageBuilder::codepage(int codepage)
{
    codepage_ = codepage;
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
        CopyFileW(ToWide(s[2]).c_str(), ToWide(folder + "\\" + s[0] + "\\" + s[1]).c_str(), FALSE);
    }
    DeleteFileW(ToWide(path).c_str());
    MSIHANDLE db = 0;
    if (MsiOpenDatabaseW(ToWide(path).c_str(), reinterpret_cast<LPCWSTR>(MSIDBOPEN_CREATE), &db) != ERROR_SUCCESS) {
        std::fprintf(stderr, "testbed: cannot create %s\n", path.c_str());
        return path;
    }
    auto import = [&](const std::string& name, const std::string& idt) {
        std::string file = name + ".idt";
        WriteFile(folder + "\\" + file, ToCrlf(idt));
        UINT imported = MsiDatabaseImportW(db, ToWide(folder).c_str(), ToWide(file).c_str());
        if (imported != ERROR_SUCCESS)
            std::fprintf(stderr, "testbed: table %s not imported (%u)\n", name.c_str(), imported);
    };
    if (codepage_) import("_ForceCodepage", "\n" + std::to_string(codepage_) + "\t_ForceCodepage\n\n");
    for (const auto& [name, idt] : tables_) {
        // The engine reads IDT text in the system's ANSI code page: rows with other text
        // are inserted through the database API instead.
        std::vector<std::string> lines = Lines(idt);
        std::string ascii;
        std::vector<std::string> others;
        for (std::size_t at = 0; at < lines.size(); ++at) {
            if (at < 3 || IsAscii(lines[at]))
                ascii += lines[at] + "\n";
            else
                others.push_back(lines[at]);
        }
        import(name, ascii);
        if (!others.empty() && lines.size() >= 2) InsertRows(db, name, lines[0], lines[1], others);
    }
    MSIHANDLE summary = 0;
    MsiGetSummaryInformationW(db, nullptr, 20, &summary);
    MsiSummaryInfoSetPropertyW(summary, PIDSI_TEMPLATE, VT_LPSTR, 0, nullptr, L"Intel;1033");
    MsiSummaryInfoSetPropertyW(summary, PIDSI_REVNUMBER, VT_LPSTR, 0, nullptr, ToWide(NewGuid()).c_str());
    MsiSummaryInfoSetPropertyW(summary, PIDSI_PAGECOUNT, VT_I4, 200, nullptr, nullptr);
    MsiSummaryInfoSetPropertyW(summary, PIDSI_WORDCOUNT, VT_I4, 2, nullptr, nullptr);
    MsiSummaryInfoSetPropertyW(summary, PIDSI_SUBJECT, VT_LPSTR, 0, nullptr, L"hostgate test package");
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
    if (MsiDatabaseOpenViewW(database, ToWide(query).c_str(), &view) != ERROR_SUCCESS) return rows;
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
                wchar_t value[1024] = L"";
                DWORD size = sizeof value / sizeof value[0];
                MsiRecordGetStringW(record, field, value, &size);
                row.push_back(ToUtf8(value));
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
    UINT opened = MsiOpenPackageW(ToWide(packagePath).c_str(), &h_);
    if (opened != ERROR_SUCCESS) {
        std::fprintf(stderr, "testbed: cannot open %s as a session (%u)\n", packagePath.c_str(), opened);
        return;
    }
    if (cost) {
        MsiDoActionW(h_, L"CostInitialize");
        MsiDoActionW(h_, L"FileCost");
    }
}

Session::~Session()
{
    if (h_) MsiCloseHandle(h_);
}

std::optional<std::string> Session::property(const std::string& name) const
{
    wchar_t probe[1] = L"";
    DWORD size = 0;
    std::wstring wideName = ToWide(name);
    if (MsiGetPropertyW(h_, wideName.c_str(), probe, &size) != ERROR_MORE_DATA || size == 0) return std::nullopt;
    std::wstring value(size + 1, L'\0');
    ++size;
    MsiGetPropertyW(h_, wideName.c_str(), &value[0], &size);
    value.resize(size);
    return ToUtf8(value);
}

void Session::setProperty(const std::string& name, const std::string& value) const
{
    MsiSetPropertyW(h_, ToWide(name).c_str(), ToWide(value).c_str());
}

UINT Session::doAction(const std::string& action) const
{
    return MsiDoActionW(h_, ToWide(action).c_str());
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
    MsiGetFeatureStateW(h_, ToWide(feature).c_str(), &installed, &action);
    return action;
}

std::string TabChainProblem(MSIHANDLE database, const char* dialog, const char* member)
{
    const std::string name = dialog;
    if (name.find('\'') != std::string::npos) return "no dialog can be named " + name;
    std::vector<Row> dialogs = QueryRows(database, "SELECT `Control_First` FROM `Dialog` WHERE `Dialog`='" + name + "'");
    if (dialogs.empty()) return "there is no dialog " + name;
    std::vector<TabControl> controls;
    for (const Row& row : QueryRows(database, "SELECT `Control`, `Control_Next` FROM `Control` WHERE `Dialog_`='" + name + "'"))
        controls.push_back({row[0], row[1] == "<null>" ? OwnedString() : OwnedString(row[1])});
    return DescribeTabChain(CheckTabChain(dialogs[0][0], controls, member ? member : ""));
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
    std::wstring wide(2048, L'\0');
    DWORD size = static_cast<DWORD>(wide.size());
    if (MsiFormatRecordW(0, record, &wide[0], &size) == ERROR_MORE_DATA) {
        wide.resize(++size);
        MsiFormatRecordW(0, record, &wide[0], &size);
    }
    std::string text = ToUtf8(wide.c_str());
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
        return self->infoAnswer_;
    }
    case INSTALLMESSAGE_ACTIONSTART: {
        wchar_t name[256] = L"";
        DWORD length = sizeof name / sizeof name[0];
        MsiRecordGetStringW(record, 1, name, &length);
        self->actions_.push_back(ToUtf8(name));
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
    std::string path = ModulePath();
    path = path.substr(0, path.find_last_of('\\') + 1) + "hostgate.dll";
    module_ = LoadLibraryW(ToWide(path).c_str());
    if (!module_) std::fprintf(stderr, "testbed: cannot load %s\n", path.c_str());
    EnforceWindowsRules(module_, "hostgate.dll");
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
    if (RegCreateKeyExW(root, ToWide(path).c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr) == ERROR_SUCCESS)
        RegCloseKey(key);
}

namespace {

void SetValue(HKEY root, const std::string& path, const char* name, DWORD type, const std::string& bytes)
{
    Elevated administrator;
    HKEY key = nullptr;
    if (RegCreateKeyExW(root, ToWide(path).c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr) != ERROR_SUCCESS)
        return;
    RegSetValueExW(key, ToWide(name).c_str(), 0, type, reinterpret_cast<const BYTE*>(bytes.data()), static_cast<DWORD>(bytes.size()));
    RegCloseKey(key);
}

}  // namespace

void SetStringValue(HKEY root, const std::string& path, const char* name, const std::string& data)
{
    // UTF-16 with its terminator, as Windows stores a string value.
    std::wstring text = ToWide(data);
    SetValue(root, path, name, REG_SZ,
             std::string(reinterpret_cast<const char*>(text.c_str()), (text.size() + 1) * sizeof(wchar_t)));
}

void SetBinaryValue(HKEY root, const std::string& path, const char* name, const std::string& bytes)
{
    SetValue(root, path, name, REG_BINARY, bytes);
}

bool KeyExists(HKEY root, const std::string& path)
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(root, ToWide(path).c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
    RegCloseKey(key);
    return true;
}

void DeleteTree(HKEY root, const std::string& path)
{
    SHDeleteKeyW(root, ToWide(path).c_str());
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
    std::string path = ModulePath();
    path = path.substr(0, path.find_last_of('\\'));                      // bin
    return path.substr(0, path.find_last_of('\\')) + "\\sample\\source";  // build\sample\source
}

}  // namespace testbed
