// Finds the installed sub-release of a host release in the registry.
#pragma once

#include "host/registry_key.h"
#include "session/owned.h"

#include <optional>
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

// Where a release's key is looked for, in order: the root its name selects, then the other.
// Per machine the 32-bit view comes first, then, on 64-bit Windows, the 64-bit view, where a
// 64-bit host registers; per user there is one key, shared by both views.
std::vector<RegistryPlace> HostReleasePlaces(const std::string& release);

// An installed release and where it was found.
struct HostFound {
    std::string key;    // "Software\Autodesk\AutoCAD\<release>\<CurVer>", below `root`
    HKEY root;
    int view;           // kView32, kView64 or kViewShared
    std::string where;  // the release key with its root and view, for the log
};

// The release as the first place (HostReleasePlaces) whose release key names a sub-release
// holds it, else none. Reads only. CurVer reads as RegistryKey::GetValue reads it; CurVer
// that is not stored as text (REG_SZ, REG_EXPAND_SZ) and reads empty names no sub-release.
// When the result is none and `why` is given, it receives each place looked in, in order,
// with the reason in a few words, for the log ("...\R15.0 (32-bit view): no release key;
// ..."); it is emptied when the release is found.
std::optional<HostFound> LocateHostRelease(const OwnedString& release, std::string* why = nullptr);

// What pruning did in one place: nothing where the release key is missing or has content.
struct HostPruning {
    RegistryPlace place{};
    Pruning pruning;  // keys named by their path below place.root
};

// Deletes the release's key in each place where it is empty, with each ancestor that leaves
// empty, up to (not including) "Software", in that place's root and view only. One entry per
// place, in the order of HostReleasePlaces; none when no release is given.
std::vector<HostPruning> PruneHostReleaseKeys(const OwnedString& release);
