// The bodies of the two table-driven actions over a running installation: detect, plan,
// apply. The exported entry points only add the prologue and the guard.
#pragma once

#include "gating/plan.h"

class InstallSession;
class PackageDatabase;

UINT RunPrevInstall(const InstallSession& session);
UINT RunAfterSelectFunction(const InstallSession& session);

// Writes the choice as temporary RadioButton rows and one Control row on the dialog, when
// the dialog is there to take it.
void WriteFunctionChoice(const InstallSession& session, const PackageDatabase& db, const FunctionChoice& choice);
