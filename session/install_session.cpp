#include "session/install_session.h"

#include "package/contract.h"

#include <msiquery.h>

std::string SourceRoot;

InstallSession::InstallSession(MSIHANDLE install, const char* action) : install_(install), action_(action)
{
    actionData_ = GetProperty(prop::CustomActionData);
}

OwnedString InstallSession::GetProperty(const char* name) const
{
    return ReadInstallerText([&](char* buffer, DWORD* size) { return MsiGetPropertyA(install_, name, buffer, size); });
}

void InstallSession::SetProperty(const char* name, const char* value) const
{
    MsiSetPropertyA(install_, name, value);
}

OwnedString InstallSession::GetSourceDir() const
{
    OwnedString dir = GetProperty(prop::SourceDir);
    if (dir) return dir;
    DoAction(action::ResolveSource);
    return GetProperty(prop::SourceDir);
}

UINT InstallSession::ReportError(int number) const
{
    MsiHandle record(MsiCreateRecord(1));
    if (!record || MsiRecordSetInteger(record.get(), 1, number) != ERROR_SUCCESS)
        return ERROR_INSTALL_FAILURE;
    int answer = MsiProcessMessage(install_, INSTALLMESSAGE_ERROR, record.get());
    return (answer == IDCANCEL || answer == IDABORT) ? ERROR_INSTALL_USEREXIT : ERROR_SUCCESS;
}

void InstallSession::DoAction(const char* action) const
{
    MsiDoActionA(install_, action);
}

void InstallSession::Log(const std::string& text) const
{
    // One record serves every line. The text travels in field 1 behind the template "[1]",
    // so brackets in it are never formatted as properties.
    if (!logRecord_) {
        logRecord_.reset(MsiCreateRecord(1));
        if (!logRecord_ || MsiRecordSetStringA(logRecord_.get(), 0, "[1]") != ERROR_SUCCESS) {
            logRecord_.reset();
            return;
        }
    }
    std::string line = "hostgate " + action_ + ": " + text;
    MsiRecordSetStringA(logRecord_.get(), 1, line.c_str());
    MsiProcessMessage(install_, INSTALLMESSAGE_INFO, logRecord_.get());
}

std::string InstallSession::Loggable(const char* name, const std::string& value) const
{
    if (!hiddenRead_) {
        hidden_ = GetProperty("MsiHiddenProperties");
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
