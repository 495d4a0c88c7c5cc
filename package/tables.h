// The package's own tables as the actions read them: each read once, whole, in the
// installer's order, columns by position.
#pragma once

#include "package/names.h"
#include "session/owned.h"

#include <optional>
#include <string>
#include <vector>

class PackageDatabase;

// One AutoCAD row: a supported host release.
struct HostRelease {
    OwnedString property;  // column 1
    OwnedString release;   // column 3
};

// One FunctionVersion row: a product function the user may choose.
struct FunctionRow {
    OwnedString function;  // column 1
    OwnedString text;      // column 2
    OwnedString value;     // column 3
};

// Each is none when the package has no such table.
std::optional<std::vector<HostRelease>> ReadHostReleases(const PackageDatabase& db);
std::optional<std::vector<FunctionRow>> ReadFunctions(const PackageDatabase& db);

// One Feature row, as a costing reads it.
struct FeatureRow {
    std::string name;
    OwnedString parent;
    int level = 0;
    int attributes = 0;
};

// The package's features in the table's order; empty when it has no Feature table.
std::vector<FeatureRow> ReadFeatures(const PackageDatabase& db);

// One SearchCabinet row. Rules are selected and sorted by the columns named PropertyName,
// Function and Flags, as the installer's queries do; the rest is read by position.
struct CabinetRule {
    OwnedString property;  // the column named PropertyName
    OwnedString function;  // the column named Function
    int order = 0;         // the column named Flags, null first, as the installer sorts
    OwnedString cabinet;   // column 3
    OwnedString feature;   // column 4
    int flags = 0;         // column 5
};

// The rules, or none when the package has no SearchCabinet table with the columns that
// select and sort them (PropertyName, Function, Flags); `problem` then says which.
std::optional<std::vector<CabinetRule>> ReadCabinetRules(const PackageDatabase& db, std::string* problem = nullptr);

// One Condition row: feature, level, condition expression.
struct ConditionRow {
    std::string feature;
    int level = 0;
    OwnedString expression;
};
bool operator==(const ConditionRow& a, const ConditionRow& b);

// Condition rows by feature, each feature's rows in the table's order (by level).
using ConditionRows = NameMap<std::vector<ConditionRow>>;

// The Condition rows in the table's order, or none when the package has no Condition table.
std::optional<std::vector<ConditionRow>> ReadConditionRows(const PackageDatabase& db);

// The properties the package's AppSearch rows set; empty without the table.
std::vector<std::string> ReadSearchedProperties(const PackageDatabase& db);

// The cabinets the package's Media table lists (an embedded one without its '#'): on an
// administrative image their files lie uncompressed beside the package, and the cabinets
// themselves are gone by design.
std::vector<std::string> ReadMediaCabinets(const PackageDatabase& db);
