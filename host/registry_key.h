// One open registry key below a predefined root, in one registry view, opened for reading
// only. An empty key can be pruned: deleted, and so is each ancestor that its deletion leaves
// empty, up to (not including) the key directly under the root.
#pragma once

#include "session/owned.h"

#include <string>
#include <vector>

// What pruning did: the keys it deleted, in order, and the key whose deletion the registry
// refused (an unelevated user may not delete keys per machine), with the error. Keys are
// named by their path below the root.
struct Pruning {
    std::vector<std::string> deleted;
    std::string refused;
    LONG error = ERROR_SUCCESS;
};

// Registry views. On 64-bit Windows HKEY_LOCAL_MACHINE\Software has two: what 32-bit and
// what 64-bit programs see. HKEY_CURRENT_USER\Software is one key both see ("shared"). A
// 32-bit system has the 32-bit view only. The views of HKEY_LOCAL_MACHINE are always named,
// so that what is read does not depend on how the library is loaded.
constexpr int kView32 = 32;
constexpr int kView64 = 64;
constexpr int kViewShared = 0;

// A predefined root and a view of it.
struct RegistryPlace {
    HKEY root;
    int view;
};
inline bool operator==(const RegistryPlace& a, const RegistryPlace& b)
{
    return a.root == b.root && a.view == b.view;
}

// True when this 32-bit code runs on 64-bit Windows, where HKEY_LOCAL_MACHINE\Software has a
// 64-bit view besides the 32-bit one. Looked up at run time: older systems lack the call.
bool Has64BitRegistryView();

// "HKEY_LOCAL_MACHINE" or "HKEY_CURRENT_USER", for the log.
const char* RootName(HKEY root);
// "32-bit view", "64-bit view" or "shared by both views", for the log.
const char* ViewName(int view);
// A key with its root and view, for the log:
// "HKEY_LOCAL_MACHINE\Software\Autodesk\AutoCAD\R15.0 (64-bit view)".
std::string RegistryKeyName(const RegistryPlace& place, const std::string& path);

// "REG_SZ", "REG_DWORD"..., for the log.
const char* RegistryTypeName(DWORD type);

// An open registry key; predefined roots are never held.
struct RegistryKeyTraits {
    using Handle = HKEY;
    static Handle None() { return nullptr; }
    static void Close(Handle h) { RegCloseKey(h); }
};

class RegistryKey {
public:
    // Opens root\path in the view with query rights. Pruning reports into `pruning` when one
    // is given.
    RegistryKey(const RegistryPlace& place, const std::string& path, Pruning* pruning = nullptr);
    // The same in the 32-bit view.
    RegistryKey(HKEY root, const std::string& path, Pruning* pruning = nullptr)
        : RegistryKey(RegistryPlace{root, kView32}, path, pruning)
    {
    }
    RegistryKey(const RegistryKey&) = delete;
    RegistryKey& operator=(const RegistryKey&) = delete;

    // The value's text, or none when it is missing or unreadable; `type`, when given,
    // receives the type it is stored as (REG_NONE when there is no value). REG_SZ,
    // REG_EXPAND_SZ and REG_MULTI_SZ read as UTF-16 up to the first terminator (nothing is
    // expanded; a multi-string gives its first string); any
    // other type reads as its bytes up to the first zero byte, taken as text in the system's
    // ANSI code page (text written as raw bytes reads right). Data stored without a
    // terminator reads whole.
    OwnedString GetValue(const char* name, DWORD* type = nullptr) const;
    // Number of values, or subkeys; -1 when the count cannot be read.
    int ValueCount() const;
    int SubkeyCount() const;
    bool IsOpen() const { return static_cast<bool>(handle_); }
    // The registry's answer to deleting the subkey in this key's view (ERROR_SUCCESS when it
    // was deleted).
    LONG DeleteSubkey(const std::string& name) const;
    // Closes the key and, when it has no content, deletes it and the ancestors its deletion
    // leaves empty, in its view. Delete rights are asked for only here; a refusal leaves the
    // key.
    void Prune();

private:
    bool HasContent() const;

    Owned<RegistryKeyTraits> handle_;
    RegistryPlace place_;  // the root is predefined, borrowed: never closed, tested or deleted
    OwnedString path_;
    Pruning* pruning_ = nullptr;
};
