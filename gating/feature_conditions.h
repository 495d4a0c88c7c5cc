// Switching features off and back on through the running installation's Condition table.
// A feature is free while the table holds no row for it. Each call reads the table afresh
// and finishes its change before it returns.
#pragma once

#include <cstddef>
#include <string>

class PackageDatabase;

// Longest feature key the installer's Feature table holds; longer names are refused.
constexpr std::size_t kFeatureNameLimit = 38;

// True for a text that can be a feature key: not empty and within the limit.
bool IsFeatureName(const std::string& feature);

// What a switch did to the table. Refused leaves the table as it was: the installer lets
// a custom action change only temporary rows, never the rows the package carries.
enum class Switch { Changed, AlreadySo, Refused };

Switch DisableFeature(const PackageDatabase& db, const std::string& feature);
// Changed when a row was removed; AlreadySo when there was none.
Switch RestoreFeature(const PackageDatabase& db, const std::string& feature);
bool FeatureIsFree(const PackageDatabase& db, const std::string& feature);

// One temporary row in, or the row (feature, level) out; true when the installer took it.
bool InsertConditionRow(const PackageDatabase& db, const std::string& feature, int level, const char* expression);
bool DeleteConditionRow(const PackageDatabase& db, const std::string& feature, int level);
