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
// Reads only. CurVer reads as RegistryKey::GetValue reads it; CurVer that is not stored as
// text (REG_SZ, REG_EXPAND_SZ) and reads empty means not installed. When the result is none
// and `why` is given, it receives the reason in a few words, for the log ("no release key",
// "CurVer is REG_DWORD and empty as text"...); it is emptied when the release is found.
OwnedString LookUpHostRelease(const OwnedString& release, std::string* why = nullptr);

// Deletes the release's key when it is empty, then each ancestor that leaves empty, up to
// (not including) "Software"; reports into `pruning` when one is given (see RegistryKey).
void PruneHostRelease(const OwnedString& release, Pruning* pruning = nullptr);

// "HKEY_LOCAL_MACHINE" or "HKEY_CURRENT_USER", for the log.
const char* RootName(HKEY root);
// The release's key as the lookup reads it, with its root
// ("HKEY_CURRENT_USER\Software\Autodesk\AutoCAD\R16.0"), for the log.
std::string HostReleaseKeyName(const std::string& release);
