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

// None, of any optional result, with the reason.
std::nullopt_t NotInstalled(std::string* why, const char* reason)
{
    if (why) *why = reason;
    return std::nullopt;
}

// "<releasePath>\<CurVer>" as one place holds it, else none and the reason.
OwnedString LookIn(const RegistryPlace& place, const BoundedText& releasePath, std::string* reason)
{
    RegistryKey key(place, releasePath.str());
    if (!key.IsOpen()) return NotInstalled(reason, "no release key");
    DWORD type = REG_NONE;
    OwnedString current = key.GetValue(kCurrentVersionValue, &type);
    if (!current) return NotInstalled(reason, "no CurVer value");
    // A value that is not a string and reads empty (a DWORD 0) names no sub-release; an
    // empty string is taken as written.
    if (current->empty() && type != REG_SZ && type != REG_EXPAND_SZ) {
        (*reason = "CurVer is ").append(RegistryTypeName(type)).append(" and empty as text");
        return std::nullopt;
    }
    BoundedText path = releasePath;
    path.append("\\").append(*current);
    if (!path.ok()) return NotInstalled(reason, "the path is too long");
    return path.str();
}

}  // namespace

HKEY HostReleaseRoot(const std::string& release)
{
    // UTF-8 byte order is code-point order: this compares character by character.
    return std::strcmp(release.c_str(), kFirstPerUserRelease) < 0 ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER;
}

std::vector<RegistryPlace> HostReleasePlaces(const std::string& release)
{
    const RegistryPlace user{HKEY_CURRENT_USER, kViewShared};
    const RegistryPlace machine32{HKEY_LOCAL_MACHINE, kView32};
    const RegistryPlace machine64{HKEY_LOCAL_MACHINE, kView64};
    bool twoViews = Has64BitRegistryView();
    if (HostReleaseRoot(release) == HKEY_CURRENT_USER)
        return twoViews ? std::vector<RegistryPlace>{user, machine32, machine64} : std::vector<RegistryPlace>{user, machine32};
    return twoViews ? std::vector<RegistryPlace>{machine32, machine64, user} : std::vector<RegistryPlace>{machine32, user};
}

std::optional<HostFound> LocateHostRelease(const OwnedString& release, std::string* why)
{
    if (!release) return NotInstalled(why, "no release given");
    BoundedText path = ReleasePath(*release);
    if (!path.ok()) return NotInstalled(why, "the path is too long");

    std::string looked;
    for (const RegistryPlace& place : HostReleasePlaces(*release)) {
        std::string reason;
        OwnedString key = LookIn(place, path, &reason);
        std::string where = RegistryKeyName(place, path.str());
        if (key) {
            if (why) why->clear();
            return HostFound{*key, place.root, place.view, where};
        }
        if (!looked.empty()) looked.append("; ");
        looked.append(where).append(": ").append(reason);
    }
    if (why) *why = looked;
    return std::nullopt;
}

std::vector<HostPruning> PruneHostReleaseKeys(const OwnedString& release)
{
    BoundedText path = ReleasePath(release.value_or(std::string()));
    if (!release || !path.ok()) return {};
    std::vector<RegistryPlace> places = HostReleasePlaces(*release);
    std::vector<HostPruning> prunings(places.size());
    for (std::size_t at = 0; at < places.size(); ++at) {
        prunings[at].place = places[at];
        RegistryKey(places[at], path.str(), &prunings[at].pruning).Prune();
    }
    return prunings;
}
