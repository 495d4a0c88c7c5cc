#include "host/host_release.h"

#include "host/registry_key.h"

#include <cstring>

HKEY HostReleaseRoot(const std::string& release)
{
    // UTF-8 byte order is code-point order: this compares character by character.
    return std::strcmp(release.c_str(), kFirstPerUserRelease) < 0 ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER;
}

const char* RootName(HKEY root)
{
    return root == HKEY_LOCAL_MACHINE ? "HKEY_LOCAL_MACHINE" : "HKEY_CURRENT_USER";
}

OwnedString FindHostReleaseKey(const OwnedString& release, Pruning* pruning)
{
    if (!release) return std::nullopt;
    BoundedText path(kRegistryPathCapacity);
    path.append(kHostRegistryPath).append("\\").append(*release);
    if (!path.ok()) return std::nullopt;

    RegistryKey key(HostReleaseRoot(*release), path.str(), pruning);
    OwnedString current = key.GetValue(kCurrentVersionValue);
    if (!current) {
        key.Prune();
        return std::nullopt;
    }
    path.append("\\").append(*current);
    if (!path.ok()) return std::nullopt;
    return path.str();
}
