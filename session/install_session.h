// The install session: the library's door to the running installation.
#pragma once

#include "session/installation.h"
#include "session/owned.h"

#include <string>
#include <utility>
#include <vector>

// The installer's own names that the session uses.
namespace installer {
constexpr const char* SourceDir = "SourceDir";
constexpr const char* ResolveSource = "ResolveSource";
constexpr const char* HiddenProperties = "MsiHiddenProperties";
}  // namespace installer

class InstallSession : public Installation {
public:
    // `action` names the running action in what the session writes to the installer's log.
    explicit InstallSession(MSIHANDLE install, const char* action = "");
    InstallSession(const InstallSession&) = delete;
    InstallSession& operator=(const InstallSession&) = delete;

    MSIHANDLE handle() const { return install_; }

    // Within one action a property is read once: the session remembers what it read and
    // what it set, until it runs another action (which may change any property).
    OwnedString GetProperty(const char* name) const override;
    void SetProperty(const char* name, const char* value) const override;
    // Reads several properties in one call, the installer formatting them into one text:
    // only for values that hold no brackets or braces (codes, numbers, flags), which a
    // formatting would read as references.
    void Prefetch(const std::vector<const char*>& names) const;
    // A value the property is known to hold (from an earlier action of this installation):
    // read and set as if it had been read.
    void Assume(const char* name, const std::string& value) const;
    // SourceDir, resolving the source first when it is not known yet. Held whole: a folder
    // too long for a Windows path makes every path built on it refused, rather than cut into
    // a different path.
    OwnedString GetSourceDir() const;
    UINT ReportError(int number) const override;
    // Runs a standard action inside the installation; the installer's answer.
    UINT DoAction(const char* action) const;
    // Asks the installer for a restart once the installation ends (its result is then 3010,
    // unless REBOOT=ReallySuppress); true when the installer took the request.
    bool RestartAtEnd() const;
    // Adds an informational line for the installation's log, behind the library's and the
    // action's name. Only the log sees it; nothing is shown to the user. Lines are sent
    // together, as one message, when the session is flushed.
    void Log(const std::string& text) const override;
    // Sends the lines logged since the last flush. Done before anything that shows the
    // user a message, runs another action or waits, and at the end of each action.
    void Flush() const;
    // True once the user answered Cancel to a message the session sent.
    bool Cancelled() const { return cancelled_; }
    // The end of an action: flushes the log and gives the action's result, which a Cancel
    // the user answered turns from success into ERROR_INSTALL_USEREXIT (a failure keeps
    // its own code).
    UINT Finish(UINT result) const;
    std::string Loggable(const char* name, const std::string& value) const override;

private:
    MSIHANDLE install_;  // borrowed from the installer, never closed
    std::string action_;
    mutable MsiHandle logRecord_;
    mutable std::string pending_;  // lines not sent yet
    mutable bool cancelled_ = false;
    mutable std::vector<std::pair<std::string, OwnedString>> read_;  // properties as read or set
};
