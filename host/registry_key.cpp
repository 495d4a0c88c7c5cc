#include "host/registry_key.h"

#include <cstring>

namespace {

// Reading a release needs no more: an unelevated user gets these rights per machine too.
constexpr REGSAM kQueryAccess = KEY_QUERY_VALUE | KEY_ENUMERATE_SUB_KEYS;

// The flag that opens a key in the view; the shared key is the same in both.
REGSAM ViewAccess(int view)
{
    return view == kView64 ? KEY_WOW64_64KEY : view == kView32 ? KEY_WOW64_32KEY : 0;
}

HKEY OpenKey(const RegistryPlace& place, const std::string& path)
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(place.root, Wide(path).c_str(), 0, kQueryAccess | ViewAccess(place.view), &key) == ERROR_SUCCESS)
        return key;
    return nullptr;
}

// RegDeleteKeyW deletes in the caller's own view; the call that names the view is missing
// on older 32-bit systems, which have one view only.
LONG DeleteKeyInView(HKEY parent, const Wide& name, int view)
{
    using DeleteInView = LONG(WINAPI*)(HKEY, LPCWSTR, REGSAM, DWORD);
    HMODULE advapi = GetModuleHandleW(L"advapi32.dll");
    auto deleteInView =
        advapi ? reinterpret_cast<DeleteInView>(reinterpret_cast<void*>(GetProcAddress(advapi, "RegDeleteKeyExW")))
               : nullptr;
    if (deleteInView) return deleteInView(parent, name.c_str(), ViewAccess(view), 0);
    return RegDeleteKeyW(parent, name.c_str());
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

bool Has64BitRegistryView()
{
    return RunsOnWow64();
}

const char* RootName(HKEY root)
{
    return root == HKEY_LOCAL_MACHINE ? "HKEY_LOCAL_MACHINE" : "HKEY_CURRENT_USER";
}

const char* ViewName(int view)
{
    return view == kView64 ? "64-bit view" : view == kView32 ? "32-bit view" : "shared by both views";
}

std::string RegistryKeyName(const RegistryPlace& place, const std::string& path)
{
    std::string name = RootName(place.root);
    return name.append("\\").append(path).append(" (").append(ViewName(place.view)).append(")");
}

const char* RegistryTypeName(DWORD type)
{
    static const char* const kNames[] = {"REG_NONE", "REG_SZ", "REG_EXPAND_SZ", "REG_BINARY", "REG_DWORD",
                                         "REG_DWORD_BIG_ENDIAN", "REG_LINK", "REG_MULTI_SZ", "REG_RESOURCE_LIST",
                                         "REG_FULL_RESOURCE_DESCRIPTOR", "REG_RESOURCE_REQUIREMENTS_LIST",
                                         "REG_QWORD"};
    return type < sizeof kNames / sizeof kNames[0] ? kNames[type] : "a type of its own";
}

RegistryKey::RegistryKey(const RegistryPlace& place, const std::string& path, Pruning* pruning)
    : handle_(OpenKey(place, path)), place_(place), path_(path), pruning_(pruning)
{
}

OwnedString RegistryKey::GetValue(const char* name, DWORD* type) const
{
    if (type) *type = REG_NONE;
    if (!handle_) return std::nullopt;
    Wide wideName(name);
    DWORD size = 0;
    if (RegQueryValueExW(handle_.get(), wideName.c_str(), nullptr, nullptr, nullptr, &size) != ERROR_SUCCESS)
        return std::nullopt;
    // One unit more than the stored bytes fill, always zero: the text ends there at the latest.
    std::vector<wchar_t> data(size / sizeof(wchar_t) + 2, L'\0');
    DWORD read = size;
    DWORD storedType = REG_NONE;
    BYTE* block = size ? reinterpret_cast<BYTE*>(data.data()) : nullptr;
    if (RegQueryValueExW(handle_.get(), wideName.c_str(), nullptr, &storedType, block, &read) != ERROR_SUCCESS ||
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
    if (!handle_ || RegQueryInfoKeyW(handle_.get(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &count,
                                     nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
        return -1;
    return static_cast<int>(count);
}

int RegistryKey::SubkeyCount() const
{
    DWORD count = 0;
    if (!handle_ || RegQueryInfoKeyW(handle_.get(), nullptr, nullptr, nullptr, &count, nullptr, nullptr, nullptr,
                                     nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
        return -1;
    return static_cast<int>(count);
}

LONG RegistryKey::DeleteSubkey(const std::string& name) const
{
    if (!IsOpen()) return ERROR_INVALID_HANDLE;
    // Delete rights are checked on the subkey, not on this key. They are asked for by an open
    // in the subkey's view first, so that a refusal (an unelevated user per machine) comes
    // from the same call whichever deletion call the system offers.
    Wide wideName(name);
    {
        Owned<RegistryKeyTraits> subkey;
        LONG access = RegOpenKeyExW(handle_.get(), wideName.c_str(), 0, DELETE | ViewAccess(place_.view), subkey.put());
        if (access != ERROR_SUCCESS) return access;
    }
    return DeleteKeyInView(handle_.get(), wideName, place_.view);
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

void RegistryKey::Prune()
{
    if (!handle_) return;
    bool empty = !HasContent();
    handle_.reset();
    if (!empty || !path_) return;

    // No UTF-8 sequence holds a backslash byte: the last one is the last separator.
    std::size_t cut = path_->rfind('\\');
    if (cut == std::string::npos) return;  // directly under the root: always kept
    std::string ownName = path_->substr(cut + 1);
    // An empty name would make the deletion aim at the parent itself.
    if (ownName.empty()) return;
    RegistryKey parent(place_, path_->substr(0, cut), pruning_);
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
