// Detect: everything the plan decides from, read from the running installation and the
// machine. It reads only: no property, row, message or key is written here.
#pragma once

#include "gating/apply.h"
#include "gating/facts.h"
#include "gating/snapshot.h"

#include <optional>
#include <string>

class InstallSession;
class PackageDatabase;

Facts Detect(const InstallSession& session, const PackageDatabase& db);

// The facts of a snapshot, with what the dialog may have changed since taken afresh:
// FUNCTION_VER and what follows from it, and what the package's own rows of the features the
// plan may decide give now. The facts are taken out of the snapshot.
Facts Refresh(const InstallSession& session, const PackageDatabase& db, Snapshot& snapshot);

// The snapshot this installation left, when it can be trusted; the log says why not.
std::optional<Snapshot> Recall(const InstallSession& session);

// Leaves the facts, with what apply left and the properties the plan set (taken into them),
// for the next action of this installation. `owner` is the recalled snapshot's (a fresh one
// when it has no nonce); none is left for a road detect does not read whole, or when it would
// be too large.
void Remember(const InstallSession& session, Facts& facts, const Plan& plan, const Known& known, SnapshotOwner owner);
