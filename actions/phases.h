// The phases of the table-driven actions: plain functions over the running installation.
#pragma once

#include <windows.h>

class InstallSession;

// PrevInstall
UINT DetectHostReleases(const InstallSession& session);
UINT BuildFunctionChoice(const InstallSession& session);

// AfterSelectFunction
void ApplyFunctionChoice(const InstallSession& session);
UINT MatchHostsToFunction(const InstallSession& session);
