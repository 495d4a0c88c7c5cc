// One open registry key below a predefined root, opened for reading only. An empty key can
// be pruned: deleted, and so is each ancestor that its deletion leaves empty, up to (not
// including) the key directly under the root.
#pragma once

#include "session/owned.h"

#include <string>
#include <vector>

// What pruning did: the keys it deleted, in order, and the key whose deletion the registry
// refused (an unelevated user may not delete keys per machine), with the error.
struct Pruning {
    std::vector<std::string> deleted;
    std::string refused;
    LONG error = ERROR_SUCCESS;
};

// The host keeps its keys in the 32-bit registry view; it is named so that the lookup does
// not depend on how the library is loaded.
constexpr REGSAM kRegistryView = KEY_WOW64_32KEY;

// "REG_SZ", "REG_DWORD"..., for the log.
const char* RegistryTypeName(DWORD type);

class RegistryKey {
public:
    // Opens root\path with query rights. Pruning reports into `pruning` when one is given.
    RegistryKey(HKEY root, const std::string& path, Pruning* pruning = nullptr);
    ~RegistryKey() { Close(); }
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
    bool IsOpen() const { return handle_ != nullptr; }
    // The registry's answer to deleting the subkey (ERROR_SUCCESS when it was deleted).
    LONG DeleteSubkey(const std::string& name) const;
    // Closes the key and, when it has no content, deletes it and the ancestors its deletion
    // leaves empty. Delete rights are asked for only here; a refusal leaves the key.
    void Prune();

private:
    bool HasContent() const;
    void Close();

    HKEY handle_ = nullptr;
    HKEY root_ = nullptr;  // predefined, borrowed: never closed, tested or deleted
    OwnedString path_;
    Pruning* pruning_ = nullptr;
};
