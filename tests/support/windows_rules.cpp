#include "windows_rules.h"

#include "package/tab_chain.h"
#include "session/owned.h"

#include <msi.h>
#include <msiquery.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <mutex>
#include <set>

namespace testbed {

namespace {

std::atomic<int> g_elevated{0};
std::mutex g_lock;  // the actions may run on a thread of their own
std::set<HKEY> g_machineKeys;
std::map<MSIHANDLE, std::string> g_viewTables;  // view -> table it reads
std::map<MSIHANDLE, MSIHANDLE> g_viewDatabases;  // view -> its database
std::map<MSIHANDLE, std::pair<MSIHANDLE, std::wstring>> g_changeViews;  // DELETE, UPDATE view -> database, query
std::map<MSIHANDLE, std::string> g_fetched;     // record -> the row as fetched
std::set<std::string> g_temporaryRows;          // rows inserted as temporary, still there

constexpr REGSAM kWriteRights =
    KEY_SET_VALUE | KEY_CREATE_SUB_KEY | KEY_CREATE_LINK | DELETE | WRITE_DAC | WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL;

template <typename F>
F Real(const char* dll, const char* name)
{
    return reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(Wide(dll).c_str()), name)));
}

// HOSTGATE_WINDOWS_RULES: 0 (off), 1 (Windows' rules) or 2 (those and no UPDATE query).
int RulesMode()
{
    static const int mode = [] {
        const char* text = std::getenv("HOSTGATE_WINDOWS_RULES");
        return text && (std::strcmp(text, "1") == 0 || std::strcmp(text, "2") == 0) ? text[0] - '0' : 0;
    }();
    return mode;
}

bool Unelevated()
{
    return g_elevated.load() == 0;
}

bool PerMachine(HKEY key)
{
    std::lock_guard<std::mutex> hold(g_lock);
    return key == HKEY_LOCAL_MACHINE || g_machineKeys.count(key) != 0;
}

void Remember(HKEY parent, HKEY key)
{
    if (!PerMachine(parent)) return;
    std::lock_guard<std::mutex> hold(g_lock);
    g_machineKeys.insert(key);
}

LONG WINAPI CheckedOpenKey(HKEY parent, LPCWSTR path, DWORD options, REGSAM access, PHKEY key)
{
    if (Unelevated() && (access & kWriteRights) && PerMachine(parent)) return ERROR_ACCESS_DENIED;
    static auto real = Real<decltype(&RegOpenKeyExW)>("advapi32.dll", "RegOpenKeyExW");
    LONG result = real(parent, path, options, access, key);
    if (result == ERROR_SUCCESS) Remember(parent, *key);
    return result;
}

LONG WINAPI CheckedCreateKey(HKEY parent, LPCWSTR path, DWORD reserved, LPWSTR type, DWORD options, REGSAM access,
                      LPSECURITY_ATTRIBUTES security, PHKEY key, LPDWORD disposition)
{
    if (Unelevated() && PerMachine(parent)) return ERROR_ACCESS_DENIED;
    static auto real = Real<decltype(&RegCreateKeyExW)>("advapi32.dll", "RegCreateKeyExW");
    LONG result = real(parent, path, reserved, type, options, access, security, key, disposition);
    if (result == ERROR_SUCCESS) Remember(parent, *key);
    return result;
}

LONG WINAPI CheckedDeleteKey(HKEY parent, LPCWSTR path)
{
    if (Unelevated() && PerMachine(parent)) return ERROR_ACCESS_DENIED;
    static auto real = Real<decltype(&RegDeleteKeyW)>("advapi32.dll", "RegDeleteKeyW");
    return real(parent, path);
}

LONG WINAPI CheckedCloseKey(HKEY key)
{
    {
        std::lock_guard<std::mutex> hold(g_lock);
        g_machineKeys.erase(key);
    }
    static auto real = Real<decltype(&RegCloseKey)>("advapi32.dll", "RegCloseKey");
    return real(key);
}

void Report(const std::string& line)
{
    const char* path = std::getenv("HOSTGATE_RULES_LOG");
    if (!path || !*path) return;
    HANDLE file = CreateFileW(Wide(path).c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return;
    std::string text = line + "\r\n";
    DWORD written = 0;
    WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    CloseHandle(file);
}

std::string FieldOf(MSIHANDLE record, UINT field)
{
    wchar_t text[1024] = L"";
    DWORD size = sizeof text / sizeof text[0];
    MsiRecordGetStringW(record, field, text, &size);
    return Utf8(text);
}

// A row as its table and every field's text.
std::string RowOf(const std::string& table, MSIHANDLE record)
{
    std::string row = table;
    UINT fields = MsiRecordGetFieldCount(record);
    for (UINT field = 1; field <= fields; ++field) row += '\x1f' + FieldOf(record, field);
    return row;
}

// The rows a query with one parameter gives, each as its fields' text (null as none).
std::vector<std::vector<OwnedString>> Rows(MSIHANDLE database, const wchar_t* query, const std::string& parameter)
{
    std::vector<std::vector<OwnedString>> rows;
    MSIHANDLE view = 0, params = MsiCreateRecord(1), record = 0;
    MsiRecordSetStringW(params, 1, Wide(parameter).c_str());
    if (MsiDatabaseOpenViewW(database, query, &view) == ERROR_SUCCESS && MsiViewExecute(view, params) == ERROR_SUCCESS) {
        while (MsiViewFetch(view, &record) == ERROR_SUCCESS) {
            std::vector<OwnedString> row;
            for (UINT field = 1; field <= MsiRecordGetFieldCount(record); ++field)
                row.push_back(MsiRecordIsNull(record, field) ? OwnedString() : OwnedString(FieldOf(record, field)));
            rows.push_back(row);
            MsiCloseHandle(record);
        }
    }
    MsiCloseHandle(params);
    MsiCloseHandle(view);
    return rows;
}

// Windows opens a dialog only when its tab chain is one closed loop (errors 2809, 2810, 2814):
// once the library's control is on a dialog, a chain that is not is reported as the dialog
// refused.
void CheckTabChainOf(MSIHANDLE database, const std::string& dialog)
{
    auto first = Rows(database, L"SELECT `Control_First` FROM `Dialog` WHERE `Dialog`=?", dialog);
    std::vector<TabControl> controls;
    for (const auto& row : Rows(database, L"SELECT `Control`, `Control_Next` FROM `Control` WHERE `Dialog_`=?", dialog))
        if (row.size() == 2 && row[0]) controls.push_back({*row[0], row[1]});
    if (first.empty() || first[0].empty() || !first[0][0]) return;
    std::string problem = DescribeTabChain(CheckTabChain(*first[0][0], controls, ""));
    if (!problem.empty()) Report("dialog refused: " + dialog + ": " + problem);
}

std::string TableOf(MSIHANDLE view)
{
    std::lock_guard<std::mutex> hold(g_lock);
    auto found = g_viewTables.find(view);
    return found == g_viewTables.end() ? std::string() : found->second;
}

UINT WINAPI CheckedOpenView(MSIHANDLE database, LPCWSTR wideQuery, MSIHANDLE* view)
{
    static auto real = Real<decltype(&MsiDatabaseOpenViewW)>("msi.dll", "MsiDatabaseOpenViewW");
    UINT result = real(database, wideQuery, view);
    std::string text = wideQuery ? Utf8(wideQuery) : std::string();
    const char* query = text.c_str();
    const char* from = wideQuery ? std::strstr(query, "FROM `") : nullptr;
    if (result == ERROR_SUCCESS && from) {
        from += 6;
        const char* end = std::strchr(from, '`');
        std::lock_guard<std::mutex> hold(g_lock);
        g_viewTables[*view] = std::string(from, end ? end : from + std::strlen(from));
        g_viewDatabases[*view] = database;
        if (std::strncmp(query, "DELETE", 6) == 0 || std::strncmp(query, "UPDATE", 6) == 0)
            g_changeViews[*view] = {database, wideQuery};
    }
    return result;
}

UINT WINAPI CheckedFetch(MSIHANDLE view, MSIHANDLE* record)
{
    static auto real = Real<decltype(&MsiViewFetch)>("msi.dll", "MsiViewFetch");
    UINT result = real(view, record);
    if (result == ERROR_SUCCESS) {
        std::string row = RowOf(TableOf(view), *record);
        std::lock_guard<std::mutex> hold(g_lock);
        g_fetched[*record] = row;
    }
    return result;
}

UINT WINAPI CheckedModify(MSIHANDLE view, MSIMODIFY mode, MSIHANDLE record)
{
    static auto real = Real<decltype(&MsiViewModify)>("msi.dll", "MsiViewModify");
    if (!Unelevated()) return real(view, mode, record);
    switch (mode) {
    case MSIMODIFY_SEEK:
    case MSIMODIFY_REFRESH:
    case MSIMODIFY_VALIDATE:
    case MSIMODIFY_VALIDATE_NEW:
    case MSIMODIFY_VALIDATE_FIELD:
    case MSIMODIFY_VALIDATE_DELETE:
        return real(view, mode, record);
    case MSIMODIFY_INSERT_TEMPORARY: {
        UINT result = real(view, mode, record);
        if (result == ERROR_SUCCESS) {
            std::string row = RowOf(TableOf(view), record);
            MSIHANDLE database = 0;
            {
                std::lock_guard<std::mutex> hold(g_lock);
                g_temporaryRows.insert(row);
                database = g_viewDatabases[view];
            }
            if (TableOf(view) == "Control" && database) CheckTabChainOf(database, FieldOf(record, 1));
        }
        return result;
    }
    case MSIMODIFY_DELETE:
    case MSIMODIFY_REPLACE:
    case MSIMODIFY_UPDATE:
    case MSIMODIFY_ASSIGN:
    case MSIMODIFY_MERGE: {
        std::string old;
        {
            std::lock_guard<std::mutex> hold(g_lock);
            auto fetched = g_fetched.find(record);
            if (fetched == g_fetched.end() || !g_temporaryRows.count(fetched->second)) return ERROR_FUNCTION_FAILED;
            old = fetched->second;
        }
        UINT result = real(view, mode, record);
        if (result == ERROR_SUCCESS) {
            std::string now = RowOf(TableOf(view), record);
            std::lock_guard<std::mutex> hold(g_lock);
            g_temporaryRows.erase(old);
            if (mode != MSIMODIFY_DELETE) g_temporaryRows.insert(now);
        }
        return result;
    }
    default:  // a new row the package would carry
        return ERROR_FUNCTION_FAILED;
    }
}

// The rows a DELETE or UPDATE query selects, read with the same condition and parameters.
std::vector<std::string> RowsChanged(MSIHANDLE view, const std::pair<MSIHANDLE, std::wstring>& query, MSIHANDLE params,
                                     bool& ok)
{
    static auto real = Real<decltype(&MsiViewExecute)>("msi.dll", "MsiViewExecute");
    std::vector<std::string> rows;
    const std::wstring& text = query.second;
    std::size_t where = text.find(L" WHERE ");
    std::wstring select = L"SELECT * FROM `" + Wide(TableOf(view)).str() + L"`" +
                          (where == std::wstring::npos ? std::wstring() : text.substr(where));
    MSIHANDLE selecting = 0, record = 0;
    // An UPDATE's parameters begin with the values it sets: the condition's are the last ones.
    MSIHANDLE conditionParams = params;
    std::size_t set = text.rfind(L"SET ", where);
    if (text.compare(0, 6, L"UPDATE") == 0 && params && set != std::wstring::npos) {
        std::size_t values = 0;
        for (std::size_t at = set; at < where; ++at) values += text[at] == L'?';
        UINT count = MsiRecordGetFieldCount(params);
        conditionParams = MsiCreateRecord(count - values);
        for (UINT field = 1; field + values <= count; ++field) {
            wchar_t value[1024] = L"";
            DWORD size = sizeof value / sizeof value[0];
            if (MsiRecordIsNull(params, field + values)) continue;
            int number = MsiRecordGetInteger(params, field + values);
            if (number != static_cast<int>(MSI_NULL_INTEGER)) {
                MsiRecordSetInteger(conditionParams, field, number);
                continue;
            }
            MsiRecordGetStringW(params, field + values, value, &size);
            MsiRecordSetStringW(conditionParams, field, value);
        }
    }
    ok = MsiDatabaseOpenViewW(query.first, select.c_str(), &selecting) == ERROR_SUCCESS &&
         real(selecting, conditionParams) == ERROR_SUCCESS;
    while (ok && MsiViewFetch(selecting, &record) == ERROR_SUCCESS) {
        rows.push_back(RowOf(TableOf(view), record));
        MsiCloseHandle(record);
    }
    if (conditionParams != params) MsiCloseHandle(conditionParams);
    MsiCloseHandle(selecting);
    return rows;
}

// A DELETE or UPDATE query may change temporary rows only.
UINT WINAPI CheckedExecute(MSIHANDLE view, MSIHANDLE params)
{
    static auto real = Real<decltype(&MsiViewExecute)>("msi.dll", "MsiViewExecute");
    std::pair<MSIHANDLE, std::wstring> changing;
    {
        std::lock_guard<std::mutex> hold(g_lock);
        auto found = g_changeViews.find(view);
        if (found != g_changeViews.end()) changing = found->second;
    }
    if (!changing.first || !Unelevated()) return real(view, params);
    // The stricter rules: an engine that refuses every UPDATE query to a custom action.
    if (RulesMode() == 2 && changing.second.compare(0, 6, L"UPDATE") == 0) return ERROR_FUNCTION_FAILED;
    bool ok = false;
    std::vector<std::string> before = RowsChanged(view, changing, params, ok);
    if (!ok) return ERROR_FUNCTION_FAILED;
    {
        std::lock_guard<std::mutex> hold(g_lock);
        for (const std::string& row : before)
            if (!g_temporaryRows.count(row)) return ERROR_FUNCTION_FAILED;
    }
    UINT result = real(view, params);
    if (result != ERROR_SUCCESS) return result;
    std::vector<std::string> after =
        changing.second.compare(0, 6, L"UPDATE") == 0 ? RowsChanged(view, changing, params, ok) : std::vector<std::string>();
    std::lock_guard<std::mutex> hold(g_lock);
    for (const std::string& row : before) g_temporaryRows.erase(row);
    for (const std::string& row : after) g_temporaryRows.insert(row);
    return result;
}

UINT WINAPI CheckedCloseHandle(MSIHANDLE handle)
{
    {
        std::lock_guard<std::mutex> hold(g_lock);
        g_viewTables.erase(handle);
        g_viewDatabases.erase(handle);
        g_changeViews.erase(handle);
        g_fetched.erase(handle);
    }
    static auto real = Real<decltype(&MsiCloseHandle)>("msi.dll", "MsiCloseHandle");
    return real(handle);
}

UINT WINAPI CheckedInstallProduct(LPCWSTR package, LPCWSTR commandLine)
{
    if (Unelevated()) return ERROR_INSTALL_ALREADY_RUNNING;
    static auto real = Real<decltype(&MsiInstallProductW)>("msi.dll", "MsiInstallProductW");
    return real(package, commandLine);
}


std::wstring PropertyOf(MSIHANDLE install, const wchar_t* name)
{
    static auto real = Real<decltype(&MsiGetPropertyW)>("msi.dll", "MsiGetPropertyW");
    wchar_t value[1024] = L"";
    DWORD size = sizeof value / sizeof value[0];
    return real(install, name, value, &size) == ERROR_SUCCESS ? value : L"";
}

// Whether the folder an installed product was last installed or resolved from still holds its
// package; true for a product not registered yet (its source is the running package).
bool LastSourceThere(const std::wstring& product)
{
    for (MSIINSTALLCONTEXT context : {MSIINSTALLCONTEXT_MACHINE, MSIINSTALLCONTEXT_USERUNMANAGED, MSIINSTALLCONTEXT_USERMANAGED}) {
        wchar_t folder[1024] = L"", package[1024] = L"";
        DWORD folderSize = 1024, packageSize = 1024;
        if (MsiSourceListGetInfoW(product.c_str(), nullptr, context, MSICODE_PRODUCT, L"LastUsedSource",
                                  folder, &folderSize) != ERROR_SUCCESS)
            continue;
        MsiSourceListGetInfoW(product.c_str(), nullptr, context, MSICODE_PRODUCT, L"PackageName", package,
                              &packageSize);
        std::wstring path = std::wstring(folder) + (*folder && folder[std::wcslen(folder) - 1] != L'\\' ? L"\\" : L"") + package;
        return *folder && *package && GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
    }
    return true;
}

// ResolveSource with the source gone asks the user for it under any user interface (answered
// Cancel here) and fails without one; Wine never asks.
UINT WINAPI CheckedDoAction(MSIHANDLE install, LPCWSTR action)
{
    static auto real = Real<decltype(&MsiDoActionW)>("msi.dll", "MsiDoActionW");
    if (action && std::wcscmp(action, L"ResolveSource") == 0 && !PropertyOf(install, L"Installed").empty() &&
        !LastSourceThere(PropertyOf(install, L"ProductCode"))) {
        bool shown = _wtoi(PropertyOf(install, L"UILevel").c_str()) > INSTALLUILEVEL_NONE;
        Report(std::string("source prompt: ResolveSource with the last-used source gone") +
               (shown ? " (a prompt, answered Cancel)" : " (no user interface: error 1706)"));
        return shown ? ERROR_INSTALL_USEREXIT : ERROR_INSTALL_SOURCE_ABSENT;
    }
    return real(install, action);
}

// CostingComplete is "0" on Windows from CostInitialize on; Wine sets nothing before its
// CostFinalize sets "1".
constexpr const wchar_t* kCostingComplete = L"CostingComplete";

UINT WINAPI CheckedGetProperty(MSIHANDLE install, LPCWSTR name, LPWSTR value, LPDWORD size)
{
    static auto real = Real<decltype(&MsiGetPropertyW)>("msi.dll", "MsiGetPropertyW");
    if (!name || std::wcscmp(name, kCostingComplete) != 0 || !PropertyOf(install, name).empty() || !size)
        return real(install, name, value, size);
    if (!value || *size < 2) {
        *size = 1;
        return value ? ERROR_MORE_DATA : ERROR_SUCCESS;
    }
    std::wcscpy(value, L"0");
    *size = 1;
    return ERROR_SUCCESS;
}

UINT WINAPI CheckedFormatRecord(MSIHANDLE install, MSIHANDLE record, LPWSTR text, LPDWORD size)
{
    static auto real = Real<decltype(&MsiFormatRecordW)>("msi.dll", "MsiFormatRecordW");
    const std::wstring reference = std::wstring(L"[") + kCostingComplete + L"]";
    std::vector<wchar_t> form(4096, L'\0');
    DWORD formSize = static_cast<DWORD>(form.size());
    if (!install || MsiRecordGetStringW(record, 0, form.data(), &formSize) != ERROR_SUCCESS)
        return real(install, record, text, size);
    std::wstring original(form.data());
    std::size_t at = original.find(reference);
    if (at == std::wstring::npos || !PropertyOf(install, kCostingComplete).empty()) return real(install, record, text, size);
    std::wstring changed = original;
    for (; at != std::wstring::npos; at = changed.find(reference, at)) changed.replace(at, reference.size(), L"0");
    MsiRecordSetStringW(record, 0, changed.c_str());
    UINT result = real(install, record, text, size);
    MsiRecordSetStringW(record, 0, original.c_str());
    return result;
}

// Whether the program's manifest asks for administrator rights (or the highest the user has).
bool AsksForElevation(const wchar_t* program)
{
    HMODULE image = LoadLibraryExW(program, nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    if (!image) return false;
    bool asks = false;
    if (HRSRC found = FindResourceW(image, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24))) {
        const char* text = static_cast<const char*>(LockResource(LoadResource(image, found)));
        std::string manifest(text ? text : "", text ? SizeofResource(image, found) : 0);
        asks = manifest.find("requireAdministrator") != std::string::npos ||
               manifest.find("highestAvailable") != std::string::npos;
    }
    FreeLibrary(image);
    return asks;
}

// A program an immediate action starts runs with the user's token, under UAC the filtered one
// even for an administrator: one that asks for elevation does not start.
BOOL WINAPI CheckedCreateProcess(LPCWSTR program, LPWSTR line, LPSECURITY_ATTRIBUTES process, LPSECURITY_ATTRIBUTES thread,
                                 BOOL inherit, DWORD flags, LPVOID environment, LPCWSTR folder, LPSTARTUPINFOW startup,
                                 LPPROCESS_INFORMATION started)
{
    static auto real = Real<decltype(&CreateProcessW)>("kernel32.dll", "CreateProcessW");
    if (Unelevated() && program && AsksForElevation(program)) {
        SetLastError(740);  // ERROR_ELEVATION_REQUIRED
        return FALSE;
    }
    return real(program, line, process, thread, inherit, flags, environment, folder, startup, started);
}

}  // namespace

void ReportRules(const std::string& line)
{
    Report(line);
}

bool WindowsRules()
{
    return RulesMode() != 0;
}

void EnforceWindowsRules(HMODULE module, const char* name)
{
    if (!WindowsRules() || !module) return;
    int patched = PatchImports(module, "advapi32.dll",
                               {{"RegOpenKeyExW", reinterpret_cast<void*>(&CheckedOpenKey)},
                                {"RegCreateKeyExW", reinterpret_cast<void*>(&CheckedCreateKey)},
                                {"RegDeleteKeyW", reinterpret_cast<void*>(&CheckedDeleteKey)},
                                {"RegCloseKey", reinterpret_cast<void*>(&CheckedCloseKey)}});
    patched += PatchImports(module, "kernel32.dll", {{"CreateProcessW", reinterpret_cast<void*>(&CheckedCreateProcess)}});
    patched += PatchImports(module, "msi.dll",
                            {{"MsiDatabaseOpenViewW", reinterpret_cast<void*>(&CheckedOpenView)},
                             {"MsiViewFetch", reinterpret_cast<void*>(&CheckedFetch)},
                             {"MsiViewExecute", reinterpret_cast<void*>(&CheckedExecute)},
                             {"MsiViewModify", reinterpret_cast<void*>(&CheckedModify)},
                             {"MsiCloseHandle", reinterpret_cast<void*>(&CheckedCloseHandle)},
                             {"MsiInstallProductW", reinterpret_cast<void*>(&CheckedInstallProduct)},
                             {"MsiDoActionW", reinterpret_cast<void*>(&CheckedDoAction)},
                             {"MsiGetPropertyW", reinterpret_cast<void*>(&CheckedGetProperty)},
                             {"MsiFormatRecordW", reinterpret_cast<void*>(&CheckedFormatRecord)}});
    // Rules that reach no call would pass every test while checking nothing.
    if (patched == 0) {
        std::fprintf(stderr, "windows rules: no installer or registry import of %s was redirected; "
                             "the rules would check nothing\n", name);
        std::abort();
    }
}

Elevated::Elevated()
{
    ++g_elevated;
}

Elevated::~Elevated()
{
    --g_elevated;
}

int PatchImports(HMODULE module, const char* dll, const std::map<std::string, void*>& replacements)
{
    auto* base = reinterpret_cast<BYTE*>(module);
    auto* dos = reinterpret_cast<IMAGE_DOS_HEADER*>(base);
    auto* nt = reinterpret_cast<IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    IMAGE_DATA_DIRECTORY dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    int patched = 0;
    for (auto* desc = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + dir.VirtualAddress); desc->Name; ++desc) {
        if (_stricmp(reinterpret_cast<char*>(base + desc->Name), dll) != 0) continue;
        auto* names = reinterpret_cast<IMAGE_THUNK_DATA*>(base + desc->OriginalFirstThunk);
        auto* slots = reinterpret_cast<IMAGE_THUNK_DATA*>(base + desc->FirstThunk);
        for (; names->u1.AddressOfData; ++names, ++slots) {
            if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) continue;
            auto* byName = reinterpret_cast<IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData);
            auto replacement = replacements.find(reinterpret_cast<char*>(byName->Name));
            if (replacement == replacements.end()) continue;
            DWORD old = 0;
            VirtualProtect(&slots->u1.Function, sizeof(void*), PAGE_READWRITE, &old);
            slots->u1.Function = reinterpret_cast<DWORD_PTR>(replacement->second);
            VirtualProtect(&slots->u1.Function, sizeof(void*), old, &old);
            ++patched;
        }
    }
    return patched;
}

}  // namespace testbed
