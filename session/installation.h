// What the phases of the actions ask of an installation: its properties, messages to its
// user and its log. The running installation answers through InstallSession; the package
// checker answers with one it imagines.
#pragma once

#include "session/owned.h"

#include <string>

class Installation {
public:
    virtual ~Installation() = default;
    // The property's value, or none when it is unset, empty or unreadable.
    virtual OwnedString GetProperty(const char* name) const = 0;
    virtual void SetProperty(const char* name, const char* value) const = 0;
    // Posts the package's Error-table message `number`. Returns 0, or 1602 when the user
    // answered Cancel or Abort; 1603 when the message could not be built.
    virtual UINT ReportError(int number) const = 0;
    // One line for the installation's log.
    virtual void Log(const std::string& text) const = 0;
    // A property's value as the log may show it: "(hidden)" for the properties the package
    // lists in MsiHiddenProperties.
    virtual std::string Loggable(const char* name, const std::string& value) const = 0;
};
