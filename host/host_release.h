// Finds the installed sub-release of a host release in the registry.
#pragma once

#include "host/registry_key.h"
#include "session/owned.h"

#include <string>
#include <vector>

constexpr const char* kHostRegistryPath = "Software\\Autodesk\\AutoCAD";
constexpr const char* kCurrentVersionValue = "CurVer";
// Release keys that sort before this one are kept per machine, the others per user.
constexpr const char* kFirstPerUserRelease = "R16.0";
constexpr std::size_t kRegistryPathCapacity = 512;

// The root that holds the release's key: per machine for releases that sort before
// "R16.0" (character by character, case-sensitive), per user for the others.
HKEY HostReleaseRoot(const std::string& release);

// "Software\Autodesk\AutoCAD\<release>\<CurVer>" when the release is installed, else none.
// An existing but empty release key is pruned on the way (see RegistryKey), reported into
// `pruning` when one is given.
OwnedString FindHostReleaseKey(const OwnedString& release, Pruning* pruning = nullptr);

// "HKEY_LOCAL_MACHINE" or "HKEY_CURRENT_USER", for the log.
const char* RootName(HKEY root);
