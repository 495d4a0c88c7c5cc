// Feature states after costing. Once the installer has costed a session it no longer reads
// the Condition table, so a switch made later must reach the feature states directly.
#pragma once

#include <map>
#include <string>
#include <utility>
#include <vector>

class InstallSession;
class PackageDatabase;

// The Condition table's rows by feature: (level, expression) in the table's order.
using ConditionRows = std::map<std::string, std::vector<std::pair<int, std::string>>>;

ConditionRows ReadConditionRows(const PackageDatabase& db);

// True once the installer has costed the session and fixed its feature states.
bool CostingComplete(const InstallSession& session);

// Costs again after the installer had costed the session: every feature whose Condition
// rows differ from `before` gets the state a first costing of the table as it now stands
// would give it; the other features keep theirs.
void RecostSwitchedFeatures(const InstallSession& session, const ConditionRows& before);
