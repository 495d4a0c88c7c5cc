// What every area of the checker shares: the package as read (each table once), the
// findings so far, and the facts several areas ask for. Each area is a function in a file
// of its own (tables.cpp, rules.cpp, dialog.cpp, sequences.cpp, source.cpp, decisions.cpp).
#pragma once

#include "checker/checks.h"
#include "session/database.h"

#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

// The rows of a table, each field as text (none for null), as the installer returns them.
struct Table {
    std::vector<std::string> names;
    std::vector<std::string> types;
    std::vector<std::vector<OwnedString>> rows;
    // The position (from 0) of the column named so; none when there is none.
    std::optional<std::size_t> Column(const std::string& name) const;
    // The field of `row` in the column named so; none when the column or the value is missing.
    OwnedString Field(const std::vector<OwnedString>& row, const std::string& name) const;
    // The field of `row` at a contract column number (from 1); none when the row is shorter.
    static OwnedString Field(const std::vector<OwnedString>& row, int column);
};

class Review {
public:
    // `source` ends with a backslash, or is none.
    Review(const PackageDatabase& db, OwnedString source) : db_(db), source_(std::move(source)) {}

    void Add(const char* code, const char* severity, const std::string& table, const std::string& column,
             const std::string& key, const std::string& message);
    // None when the package has no such table.
    const Table* Get(const char* name);
    bool HasError(const std::string& code, const std::string& table) const;

    const PackageDatabase& db() const { return db_; }
    const OwnedString& source() const { return source_; }
    std::vector<Finding>& findings() { return findings_; }

    std::set<std::string> Features();
    std::set<std::string> HostProperties();  // AutoCAD's Property
    OwnedString PackageProperty(const char* name);

private:
    // The distinct texts of one column (a contract column number) of a table.
    std::set<std::string> Column(const char* name, int column);

    const PackageDatabase& db_;
    OwnedString source_;
    std::map<std::string, std::optional<Table>> tables_;
    std::vector<Finding> findings_;
};

int Integer(const OwnedString& text);
std::string Join(const std::vector<OwnedString>& parts);
// A SearchCabinet row's key: PropertyName/Function/Cabinet/Feature.
std::string RuleKey(const std::vector<OwnedString>& row);

// True when the package's summary information marks it as an administrative image (what
// an administrative installation lays out: the files uncompressed beside the package).
bool IsAdministrativeImage(const PackageDatabase& db);
bool SameCabinet(const std::string& one, const std::string& other);

// The areas, in the order their findings are printed.
void CheckTables(Review& review);
void CheckNames(Review& review);
void CheckReleases(Review& review);
void CheckRules(Review& review);
void CheckRegistry(Review& review);
void CheckFunctions(Review& review);
void CheckDialog(Review& review);
void CheckMessages(Review& review);
void CheckSequences(Review& review);
void CheckSource(Review& review);
void CheckDecisions(Review& review);
