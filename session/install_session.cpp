#include "session/install_session.h"

#include <msiquery.h>

InstallSession::InstallSession(MSIHANDLE install, const char* action) : install_(install), action_(action) {}

namespace {

OwnedString* Find(std::vector<std::pair<std::string, OwnedString>>& read, const char* name)
{
    for (auto& [property, value] : read)
        if (property == name) return &value;
    return nullptr;
}

}  // namespace

OwnedString InstallSession::GetProperty(const char* name) const
{
    if (OwnedString* known = Find(read_, name)) return *known;
    Wide wideName(name);
    OwnedString value = ReadInstallerText(
        [&](wchar_t* buffer, DWORD* size) { return MsiGetPropertyW(install_, wideName.c_str(), buffer, size); });
    read_.emplace_back(name, value);
    return value;
}

void InstallSession::SetProperty(const char* name, const char* value) const
{
    const OwnedString* held = Find(read_, name);
    if (held && *held == (value && *value ? OwnedString(value) : OwnedString())) return;  // holds it already
    bool set = MsiSetPropertyW(install_, Wide(name).c_str(), Wide(value).c_str()) == ERROR_SUCCESS;
    for (auto at = read_.begin(); at != read_.end(); ++at)
        if (at->first == name) {
            read_.erase(at);
            break;
        }
    // A refused write leaves the value to be read again.
    if (set) read_.emplace_back(name, value && *value ? OwnedString(value) : OwnedString());
}

void InstallSession::Assume(const char* name, const std::string& value) const
{
    OwnedString held = value.empty() ? OwnedString() : OwnedString(value);
    if (OwnedString* known = Find(read_, name)) *known = held;
    else read_.emplace_back(name, held);
}

void InstallSession::Prefetch(const std::vector<const char*>& all) const
{
    std::vector<const char*> names;
    std::string text;
    for (const char* name : all) {
        if (Find(read_, name)) continue;
        names.push_back(name);
        text += std::string(text.empty() ? "" : "\x1f") + "[" + name + "]";
    }
    if (names.empty()) return;
    MsiHandle record(MsiCreateRecord(0));
    if (!record || MsiRecordSetStringW(record.get(), 0, Wide(text).c_str()) != ERROR_SUCCESS) return;
    OwnedString formatted =
        ReadInstallerText([&](wchar_t* buffer, DWORD* size) { return MsiFormatRecordW(install_, record.get(), buffer, size); });
    std::vector<std::string> values(1);
    for (char c : formatted.value_or(std::string())) {
        if (c == '\x1f') values.emplace_back();
        else values.back() += c;
    }
    if (values.size() != names.size()) return;  // a value held the separator: each is read alone
    for (std::size_t i = 0; i < names.size(); ++i)
        read_.emplace_back(names[i], values[i].empty() ? OwnedString() : OwnedString(values[i]));
}

OwnedString InstallSession::GetSourceDir() const
{
    OwnedString dir = GetProperty(installer::SourceDir);
    if (dir) return dir;
    DoAction(installer::ResolveSource);
    return GetProperty(installer::SourceDir);
}

UINT InstallSession::ReportError(int number) const
{
    Flush();
    MsiHandle record(MsiCreateRecord(1));
    if (!record || MsiRecordSetInteger(record.get(), 1, number) != ERROR_SUCCESS)
        return ERROR_INSTALL_FAILURE;
    int answer = MsiProcessMessage(install_, INSTALLMESSAGE_ERROR, record.get());
    if (answer == IDCANCEL || answer == IDABORT) {
        cancelled_ = true;
        return ERROR_INSTALL_USEREXIT;
    }
    return ERROR_SUCCESS;
}

UINT InstallSession::DoAction(const char* action) const
{
    Flush();
    read_.clear();
    return MsiDoActionW(install_, Wide(action).c_str());
}

bool InstallSession::RestartAtEnd() const
{
    return MsiSetMode(install_, MSIRUNMODE_REBOOTATEND, TRUE) == ERROR_SUCCESS;
}

namespace {

constexpr std::size_t kLogBatchBytes = 32 * 1024;

// The text as a record template that formats to exactly itself: every bracket and brace is
// written as the escape [\c], so no part of it is read as a property or field reference.
std::string LiteralTemplate(const std::string& text)
{
    std::string escaped;
    escaped.reserve(text.size() + 16);
    for (char c : text) {
        if (c == '[' || c == ']' || c == '{' || c == '}') {
            escaped += "[\\";
            escaped += c;
            escaped += ']';
        } else {
            escaped += c;
        }
    }
    return escaped;
}

}  // namespace

void InstallSession::Log(const std::string& text) const
{
    if (!pending_.empty()) pending_ += '\n';
    pending_ += "hostgate " + action_ + ": " + text;
    // A long batch goes out on its own, so no single message grows without bound.
    if (pending_.size() > kLogBatchBytes) Flush();
}

void InstallSession::Flush() const
{
    if (pending_.empty()) return;
    // One record serves every batch. The text is the record's template, escaped: a text held
    // in a field would be formatted again by some engines' logs, expanding [PROPERTY].
    if (!logRecord_) logRecord_.reset(MsiCreateRecord(0));
    if (logRecord_) {
        std::string batch = LiteralTemplate(pending_);
        MsiRecordSetStringW(logRecord_.get(), 0, Wide(batch).c_str());
        // The user may cancel the installation while any message is on its way.
        if (MsiProcessMessage(install_, INSTALLMESSAGE_INFO, logRecord_.get()) == IDCANCEL) cancelled_ = true;
    }
    pending_.clear();
}

UINT InstallSession::Finish(UINT result) const
{
    Flush();
    return result == ERROR_SUCCESS && cancelled_ ? static_cast<UINT>(ERROR_INSTALL_USEREXIT) : result;
}

std::string InstallSession::Loggable(const char* name, const std::string& value) const
{
    OwnedString hidden = GetProperty(installer::HiddenProperties);
    if (!hidden) return value;
    // A semicolon-separated list of property names.
    std::string list = ";" + *hidden + ";";
    return list.find(";" + std::string(name) + ";") == std::string::npos ? value : "(hidden)";
}
