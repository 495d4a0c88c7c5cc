#include "host/registry_key.h"

#include <cstring>

// Reading a release needs no more: an unelevated user gets these rights per machine too.
constexpr REGSAM kQueryAccess = KEY_QUERY_VALUE | KEY_ENUMERATE_SUB_KEYS | kRegistryView;

namespace {

HKEY OpenKey(HKEY parent, const std::string& path)
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(parent, Wide(path).c_str(), 0, kQueryAccess, &key) == ERROR_SUCCESS) return key;
    return nullptr;
}

// The bytes up to the first zero, read in the system's ANSI code page.
std::string AnsiText(const char* bytes, DWORD size)
{
    const void* zero = std::memchr(bytes, '\0', size);
    int length = static_cast<int>(zero ? static_cast<const char*>(zero) - bytes : size);
    // No code page makes more UTF-16 units of a text than it has bytes.
    std::vector<wchar_t> text(static_cast<std::size_t>(length) + 1);
    int units = length ? MultiByteToWideChar(CP_ACP, 0, bytes, length, text.data(), length) : 0;
    return Utf8(text.data(), static_cast<std::size_t>(units > 0 ? units : 0));
}

}  // namespace

const char* RegistryTypeName(DWORD type)
{
    static const char* const kNames[] = {"REG_NONE", "REG_SZ", "REG_EXPAND_SZ", "REG_BINARY", "REG_DWORD",
                                         "REG_DWORD_BIG_ENDIAN", "REG_LINK", "REG_MULTI_SZ", "REG_RESOURCE_LIST",
                                         "REG_FULL_RESOURCE_DESCRIPTOR", "REG_RESOURCE_REQUIREMENTS_LIST",
                                         "REG_QWORD"};
    return type < sizeof kNames / sizeof kNames[0] ? kNames[type] : "a type of its own";
}

RegistryKey::RegistryKey(HKEY root, const std::string& path, Pruning* pruning)
    : handle_(OpenKey(root, path)), root_(root), path_(path), pruning_(pruning)
{
}

OwnedString RegistryKey::GetValue(const char* name, DWORD* type) const
{
    if (type) *type = REG_NONE;
    if (!handle_) return std::nullopt;
    Wide wideName(name);
    DWORD size = 0;
    if (RegQueryValueExW(handle_, wideName.c_str(), nullptr, nullptr, nullptr, &size) != ERROR_SUCCESS)
        return std::nullopt;
    // One unit more than the stored bytes fill, always zero: the text ends there at the latest.
    std::vector<wchar_t> data(size / sizeof(wchar_t) + 2, L'\0');
    DWORD read = size;
    DWORD storedType = REG_NONE;
    BYTE* block = size ? reinterpret_cast<BYTE*>(data.data()) : nullptr;
    if (RegQueryValueExW(handle_, wideName.c_str(), nullptr, &storedType, block, &read) != ERROR_SUCCESS ||
        read > size)
        return std::nullopt;
    if (type) *type = storedType;
    // The text types are stored as UTF-16 (a multi-string's first string is its text, as the
    // narrow API gives it); any other type is bytes, taken as text in the ANSI code page.
    if (storedType != REG_SZ && storedType != REG_EXPAND_SZ && storedType != REG_MULTI_SZ)
        return AnsiText(reinterpret_cast<const char*>(data.data()), read);
    data[read / sizeof(wchar_t)] = L'\0';  // an odd last byte is no whole character
    return Utf8(data.data());
}

int RegistryKey::ValueCount() const
{
    DWORD count = 0;
    if (!handle_ || RegQueryInfoKeyW(handle_, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &count,
                                     nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
        return -1;
    return static_cast<int>(count);
}

int RegistryKey::SubkeyCount() const
{
    DWORD count = 0;
    if (!handle_ || RegQueryInfoKeyW(handle_, nullptr, nullptr, nullptr, &count, nullptr, nullptr, nullptr,
                                     nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
        return -1;
    return static_cast<int>(count);
}

LONG RegistryKey::DeleteSubkey(const std::string& name) const
{
    // The registry opens the subkey for deletion itself: the parent needs no rights for it.
    return IsOpen() ? RegDeleteKeyW(handle_, Wide(name).c_str()) : ERROR_INVALID_HANDLE;
}

// Content is anything that can be seen: a non-empty default value, any value, any subkey.
// A count that cannot be read is taken as content, so nothing unseen is ever deleted.
bool RegistryKey::HasContent() const
{
    OwnedString defaultValue = GetValue("");
    if (defaultValue && !defaultValue->empty()) return true;
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

    // No UTF-8 sequence holds a backslash byte: the last one is the last separator.
    std::size_t cut = path_->rfind('\\');
    if (cut == std::string::npos) return;  // directly under the root: always kept
    std::string ownName = path_->substr(cut + 1);
    // An empty name would make the deletion aim at the parent itself.
    if (ownName.empty()) return;
    RegistryKey parent(root_, path_->substr(0, cut), pruning_);
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
