// One open registry key below a predefined root. When the object goes, an empty key is
// deleted, and so is each ancestor that its deletion leaves empty, up to (not including)
// the key directly under the root.
#pragma once

#include "session/owned.h"

#include <string>
#include <vector>

class RegistryKey {
public:
    RegistryKey() = default;
    // Opens root\path with full access; a missing key is created only when `create` is set.
    // The paths of keys deleted by pruning are added to `pruned` when one is given.
    RegistryKey(HKEY root, const std::string& path, bool create, std::vector<std::string>* pruned = nullptr);
    virtual ~RegistryKey();
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
    // True when the subkey was deleted.
    bool DeleteSubkey(const std::string& name) const;

private:
    bool HasContent() const;

    HKEY handle_ = nullptr;
    HKEY root_ = nullptr;  // predefined, borrowed: never closed, tested or deleted
    OwnedString path_;
    std::vector<std::string>* pruned_ = nullptr;
};

// Position of the last backslash in `path` that is a separator, not the second byte of a
// double-byte character; npos when there is none.
std::size_t LastSeparator(const std::string& path);
