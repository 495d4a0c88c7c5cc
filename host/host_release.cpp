#include "host/host_release.h"

#include "host/registry_key.h"

#include <mbstring.h>

HKEY HostReleaseRoot(const std::string& release)
{
    const unsigned char* key = reinterpret_cast<const unsigned char*>(release.c_str());
    const unsigned char* boundary = reinterpret_cast<const unsigned char*>(kFirstPerUserRelease);
    return _mbscmp(key, boundary) < 0 ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER;
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

    RegistryKey key(HostReleaseRoot(*release), path.str(), false, pruning);
    OwnedString current = key.GetValue(kCurrentVersionValue);
    if (!current) {
        key.Prune();
        return std::nullopt;
    }
    // The stored bytes may or may not end in a terminator: take the text up to the first.
    path.append("\\").append(current->c_str());
    if (!path.ok()) return std::nullopt;
    return path.str();
}
