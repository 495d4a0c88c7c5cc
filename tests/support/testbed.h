// Test support: real packages built through the installer's database API, real install
// sessions, the built DLL's exports, the user's side of posted messages, files and registry
// keys inside the build's own Wine prefix.
#pragma once

#include <windows.h>
#include <msi.h>
#include <msiquery.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace testbed {

// The tests keep text as UTF-8, as the library does, and call Windows with UTF-16.
std::wstring ToWide(const std::string& text);
std::string ToUtf8(const std::wstring& text);

// A folder under the temporary folder, removed with everything in it when destroyed.
class TempFolder {
public:
    explicit TempFolder(const std::string& name = "hostgate");
    ~TempFolder();
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;
    const std::string& path() const { return path_; }
    // The folder's path followed by a backslash and `relative`.
    std::string operator/(const std::string& relative) const { return path_ + "\\" + relative; }

private:
    std::string path_;
};

void WriteFile(const std::string& path, const std::string& content);
std::optional<std::string> ReadFile(const std::string& path);
bool FileExists(const std::string& path);
void MakeFolders(const std::string& path);  // every missing folder along the path
void RemoveTree(const std::string& path);

// A package assembled from tables written as IDT text: column names, column types, table
// name and keys, then rows, tab-separated. Holds the standard tables an install session
// needs; a test adds its custom tables and replaces or drops standard ones.
class PackageBuilder {
public:
    PackageBuilder();
    PackageBuilder& table(const std::string& name, const std::string& idt);
    PackageBuilder& without(const std::string& name);
    // Adds rows to a table already held (standard or custom).
    PackageBuilder& rows(const std::string& name, const std::string& rows);
    // A file for a stream column: `name` is what the table's row names, `source` its content.
    PackageBuilder& stream(const std::string& table, const std::string& name, const std::string& source);
    // The code page the package keeps its strings in (the installer's default is the
    // system's ANSI code page, which holds no text outside it).
    PackageBuilder& codepage(int codepage);
    // Writes the package file; returns its path.
    std::string build(const std::string& path) const;

private:
    std::map<std::string, std::string> tables_;
    std::vector<std::vector<std::string>> streams_;  // table, name, source
    int codepage_ = 0;
};

// Standard table definitions (header lines only) for tests that replace a standard table.
extern const char* const kFeatureHeader;
extern const char* const kConditionHeader;
extern const char* const kPropertyHeader;
// The custom tables, key columns first as the installer returns them.
extern const char* const kAutoCadHeader;
extern const char* const kFunctionVersionHeader;
extern const char* const kSearchCabinetHeader;
// A Feature table with one top-level feature, level 1, for each name.
std::string FeatureTable(std::initializer_list<const char*> names);

// A row read back from a table: each field as text, "<null>" for a null field.
using Row = std::vector<std::string>;
std::vector<Row> QueryRows(MSIHANDLE database, const std::string& query);

// What Windows would refuse in the tab order of `dialog` as the database holds it (a running
// session's database has the library's temporary rows): empty when its Control_Next chain is
// one closed loop from Control_First, holding `member` when one is named.
std::string TabChainProblem(MSIHANDLE database, const char* dialog, const char* member = nullptr);

// A real install session on a package, costed as far as the installer goes before the
// actions run (CostInitialize, FileCost).
class Session {
public:
    explicit Session(const std::string& packagePath, bool cost = true);
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    MSIHANDLE handle() const { return h_; }
    std::optional<std::string> property(const std::string& name) const;
    void setProperty(const std::string& name, const std::string& value) const;
    UINT doAction(const std::string& action) const;
    // Rows of the running installation's tables, temporary rows included.
    std::vector<Row> rows(const std::string& query) const;
    // The feature's action state after costing (INSTALLSTATE_LOCAL, INSTALLSTATE_UNKNOWN...).
    INSTALLSTATE featureAction(const std::string& feature) const;

private:
    MSIHANDLE h_ = 0;
};

// What the user is shown: every error message posted while this object lives, answered
// with `answer`.
class UserSide {
public:
    explicit UserSide(int answer = IDOK);
    ~UserSide();
    UserSide(const UserSide&) = delete;
    UserSide& operator=(const UserSide&) = delete;

    void answer(int value) { answer_ = value; }
    // The answer to informational (log) messages: IDCANCEL is the user's Cancel.
    void answerInfo(int value) { infoAnswer_ = value; }
    const std::vector<int>& errors() const { return errors_; }
    const std::vector<std::string>& errorTexts() const { return errorTexts_; }
    const std::vector<std::string>& infos() const { return infos_; }
    // Standard and custom actions started, by name, in order.
    const std::vector<std::string>& actions() const { return actions_; }
    int count(const std::string& action) const;

private:
    static int WINAPI Handler(LPVOID context, UINT type, MSIHANDLE record);
    int answer_;
    int infoAnswer_ = 0;
    std::vector<int> errors_;
    std::vector<std::string> errorTexts_;
    std::vector<std::string> infos_;
    std::vector<std::string> actions_;
    INSTALLUI_HANDLER_RECORD previous_ = nullptr;
};

// The built hostgate.dll, with its actions looked up by their plain export names.
using Action = UINT(WINAPI*)(MSIHANDLE);
class Library {
public:
    Library();
    ~Library();
    Library(const Library&) = delete;
    Library& operator=(const Library&) = delete;
    Action action(const char* name) const;
    UINT run(const char* name, const Session& session) const { return action(name)(session.handle()); }

private:
    HMODULE module_;
};

// Registry keys planted for a test below Software\Autodesk of both roots, removed again
// when destroyed.
class HostRegistry {
public:
    HostRegistry();
    ~HostRegistry();
    HostRegistry(const HostRegistry&) = delete;
    HostRegistry& operator=(const HostRegistry&) = delete;
    // An installed release: its key with "CurVer" = current, under the root its key selects.
    void install(const std::string& release, const std::string& current) const;
};
void CreateKey(HKEY root, const std::string& path);
void SetStringValue(HKEY root, const std::string& path, const char* name, const std::string& data);
void SetBinaryValue(HKEY root, const std::string& path, const char* name, const std::string& bytes);
bool KeyExists(HKEY root, const std::string& path);
void DeleteTree(HKEY root, const std::string& path);

std::string NewGuid();

// The sample's installation source as the build lays it out (build\sample\source).
std::string SampleSource();

}  // namespace testbed
