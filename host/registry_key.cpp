#include "host/registry_key.h"

// Reading a release needs no more: an unelevated user gets these rights per machine too.
constexpr REGSAM kQueryAccess = KEY_QUERY_VALUE | KEY_ENUMERATE_SUB_KEYS | kRegistryView;
constexpr REGSAM kCreateAccess = KEY_READ | KEY_WRITE | kRegistryView;

namespace {

HKEY OpenKey(HKEY parent, const std::string& path, bool create)
{
    HKEY key = nullptr;
    if (RegOpenKeyExA(parent, path.c_str(), 0, kQueryAccess, &key) == ERROR_SUCCESS) return key;
    if (!create) return nullptr;
    key = nullptr;
    if (RegCreateKeyExA(parent, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, kCreateAccess, nullptr,
                        &key, nullptr) == ERROR_SUCCESS)
        return key;
    return nullptr;
}

}  // namespace

RegistryKey::RegistryKey(HKEY root, const std::string& path, bool create, Pruning* pruning)
    : handle_(OpenKey(root, path, create)), root_(root), path_(path), pruning_(pruning)
{
}

HKEY RegistryKey::OpenSubkey(const std::string& path, bool create) const
{
    return handle_ ? OpenKey(handle_, path, create) : nullptr;
}

OwnedString RegistryKey::GetValue(const char* name) const
{
    if (!handle_) return std::nullopt;
    DWORD size = 0;
    if (RegQueryValueExA(handle_, name, nullptr, nullptr, nullptr, &size) != ERROR_SUCCESS) return std::nullopt;
    std::string data(size, '\0');
    DWORD read = size;
    BYTE* block = size ? reinterpret_cast<BYTE*>(&data[0]) : nullptr;
    if (RegQueryValueExA(handle_, name, nullptr, nullptr, block, &read) != ERROR_SUCCESS || read > size)
        return std::nullopt;
    data.resize(read);
    return data;
}

int RegistryKey::ValueCount() const
{
    DWORD count = 0;
    if (!handle_ || RegQueryInfoKeyA(handle_, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &count,
                                     nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
        return -1;
    return static_cast<int>(count);
}

int RegistryKey::SubkeyCount() const
{
    DWORD count = 0;
    if (!handle_ || RegQueryInfoKeyA(handle_, nullptr, nullptr, nullptr, &count, nullptr, nullptr, nullptr,
                                     nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
        return -1;
    return static_cast<int>(count);
}

LONG RegistryKey::DeleteSubkey(const std::string& name) const
{
    // The registry opens the subkey for deletion itself: the parent needs no rights for it.
    return IsOpen() ? RegDeleteKeyA(handle_, name.c_str()) : ERROR_INVALID_HANDLE;
}

// Content is anything that can be seen: a non-empty default value, any value, any subkey.
// A count that cannot be read is taken as content, so nothing unseen is ever deleted.
bool RegistryKey::HasContent() const
{
    OwnedString defaultValue = GetValue("");
    if (defaultValue && !defaultValue->empty() && (*defaultValue)[0] != '\0') return true;
    int values = ValueCount();
    if (values != 0) return true;
    int subkeys = SubkeyCount();
    return subkeys != 0;
}

void RegistryKey::Close()
{
    if (handle_) RegCloseKey(handle_);
    handle_ = nullptr;
}

void RegistryKey::Prune()
{
    if (!handle_) return;
    bool empty = !HasContent();
    Close();
    if (!empty || !path_) return;

    std::size_t cut = LastSeparator(*path_);
    if (cut == std::string::npos) return;  // directly under the root: always kept
    std::string ownName = path_->substr(cut + 1);
    // An empty name would make the deletion aim at the parent itself.
    if (ownName.empty()) return;
    RegistryKey parent(root_, path_->substr(0, cut), false, pruning_);
    if (!parent.IsOpen()) return;
    LONG result = parent.DeleteSubkey(ownName);
    if (result != ERROR_SUCCESS) {
        if (pruning_) {
            pruning_->refused = *path_;
            pruning_->error = result;
        }
        return;
    }
    if (pruning_) pruning_->deleted.push_back(*path_);
    parent.Prune();  // this deletion may have left the parent empty
}
