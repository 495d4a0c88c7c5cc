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

void DisableFeature(const PackageDatabase& db, const std::string& feature);
// True when a row was removed.
bool RestoreFeature(const PackageDatabase& db, const std::string& feature);
bool FeatureIsFree(const PackageDatabase& db, const std::string& feature);
