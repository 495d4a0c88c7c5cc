#include "host/host_release.h"

#include "host/registry_key.h"

#include <cstring>

namespace {

// "Software\Autodesk\AutoCAD\<release>", within the registry's path capacity.
BoundedText ReleasePath(const std::string& release)
{
    BoundedText path(kRegistryPathCapacity);
    path.append(kHostRegistryPath).append("\\").append(release);
    return path;
}

OwnedString NotInstalled(std::string* why, const char* reason)
{
    if (why) *why = reason;
    return std::nullopt;
}

}  // namespace

HKEY HostReleaseRoot(const std::string& release)
{
    // UTF-8 byte order is code-point order: this compares character by character.
    return std::strcmp(release.c_str(), kFirstPerUserRelease) < 0 ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER;
}

const char* RootName(HKEY root)
{
    return root == HKEY_LOCAL_MACHINE ? "HKEY_LOCAL_MACHINE" : "HKEY_CURRENT_USER";
}

std::string HostReleaseKeyName(const std::string& release)
{
    std::string name = RootName(HostReleaseRoot(release));
    return name.append("\\").append(kHostRegistryPath).append("\\").append(release);
}

OwnedString LookUpHostRelease(const OwnedString& release, std::string* why)
{
    if (!release) return NotInstalled(why, "no release given");
    BoundedText path = ReleasePath(*release);
    if (!path.ok()) return NotInstalled(why, "the path is too long");

    RegistryKey key(HostReleaseRoot(*release), path.str());
    if (!key.IsOpen()) return NotInstalled(why, "no release key");
    DWORD type = REG_NONE;
    OwnedString current = key.GetValue(kCurrentVersionValue, &type);
    if (!current) return NotInstalled(why, "no CurVer value");
    // A value that is not a string and reads empty (a DWORD 0) names no sub-release; an
    // empty string is taken as written.
    if (current->empty() && type != REG_SZ && type != REG_EXPAND_SZ) {
        if (why) (*why = "CurVer is ").append(RegistryTypeName(type)).append(" and empty as text");
        return std::nullopt;
    }
    path.append("\\").append(*current);
    if (!path.ok()) return NotInstalled(why, "the path is too long");
    if (why) why->clear();
    return path.str();
}

void PruneHostRelease(const OwnedString& release, Pruning* pruning)
{
    if (!release) return;
    BoundedText path = ReleasePath(*release);
    if (path.ok()) RegistryKey(HostReleaseRoot(*release), path.str(), pruning).Prune();
}
