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

class RegistryKey {
public:
    RegistryKey() = default;
    // Opens root\path with query rights; a missing key is created (with read and write
    // rights) only when `create` is set. Pruning reports into `pruning` when one is given.
    RegistryKey(HKEY root, const std::string& path, bool create, Pruning* pruning = nullptr);
    ~RegistryKey() { Close(); }
    RegistryKey(const RegistryKey&) = delete;
    RegistryKey& operator=(const RegistryKey&) = delete;

    // A new handle to the key at `path` below this one, or null; the caller owns it.
    HKEY OpenSubkey(const std::string& path, bool create) const;
    // The value's stored bytes, or none when it is missing or unreadable. The text always
    // ends in a zero byte beyond the stored bytes, so data stored without its terminator
    // still reads as a terminated string.
    OwnedString GetValue(const char* name) const;
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
