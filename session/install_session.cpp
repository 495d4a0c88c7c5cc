#include "session/install_session.h"

#include <msiquery.h>

std::string SourceRoot;

InstallSession::InstallSession(MSIHANDLE install, const char* action) : install_(install), action_(action) {}

OwnedString InstallSession::GetProperty(const char* name) const
{
    Wide wideName(name);
    return ReadInstallerText(
        [&](wchar_t* buffer, DWORD* size) { return MsiGetPropertyW(install_, wideName.c_str(), buffer, size); });
}

void InstallSession::SetProperty(const char* name, const char* value) const
{
    MsiSetPropertyW(install_, Wide(name).c_str(), Wide(value).c_str());
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
    return MsiDoActionW(install_, Wide(action).c_str());
}

namespace {

constexpr std::size_t kLogBatchBytes = 16 * 1024;

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
    if (!hiddenRead_) {
        hidden_ = GetProperty(installer::HiddenProperties);
        hiddenRead_ = true;
    }
    if (!hidden_) return value;
    // A semicolon-separated list of property names.
    std::string list = ";" + *hidden_ + ";";
    return list.find(";" + std::string(name) + ";") == std::string::npos ? value : "(hidden)";
}

void LoadSourceRoot(const InstallSession& session)
{
    OwnedString dir = session.GetSourceDir();
    SourceRoot = dir ? *dir : std::string();
}
