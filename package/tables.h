// The package's own tables as the actions read them: each read once, whole, in the
// installer's order, columns by position.
#pragma once

#include "session/owned.h"

#include <optional>
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
