// Feature states after costing. Once the installer has costed a session it no longer reads
// the Condition table, so a switch made later must reach the feature states directly.
#pragma once

#include "gating/gate.h"

class InstallSession;
class InstallerGate;
class PackageDatabase;

// True once the installer has costed the session and fixed its feature states.
bool CostingComplete(const InstallSession& session);

// Costs again after the installer had costed the session: every feature whose Condition
// rows the gate changed gets the state a first costing of the table as it now stands would
// give it; the other features keep theirs.
void RecostSwitchedFeatures(const InstallSession& session, const PackageDatabase& db, InstallerGate& gate);
