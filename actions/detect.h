// Detect: everything the plan decides from, read from the running installation and the
// machine. It reads only: no property, row, message or key is written here.
#pragma once

#include "gating/facts.h"

class InstallSession;
class PackageDatabase;

Facts Detect(const InstallSession& session, const PackageDatabase& db);
