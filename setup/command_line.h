// The setup program's command line, as people know it from msiexec:
//   hostgate-setup.exe [PACKAGE.msi] [/qn|/qb|/qr] [/l*v LOG] [PROPERTY=VALUE ...] [--plan]
#pragma once

#include <windows.h>
#include <msi.h>

#include <optional>
#include <string>
#include <vector>

struct Options {
    std::optional<std::wstring> package;  // none: the package beside the program
    INSTALLUILEVEL ui = INSTALLUILEVEL_FULL;
    std::optional<std::wstring> log;
    DWORD logMode = 0;        // INSTALLLOGMODE_... flags
    bool logAppend = false;   // "+": add to an existing log
    std::vector<std::wstring> properties;  // NAME=VALUE, as given
    bool planOnly = false;
};

struct ParsedCommandLine {
    Options options;    // what was understood, even when there is an error (its UI level)
    std::wstring error; // empty when the whole line was understood
};

ParsedCommandLine ParseCommandLine(const std::vector<std::wstring>& arguments);

// The properties as one installer command line: each value quoted when it must be.
std::wstring PropertyCommandLine(const std::vector<std::wstring>& properties);
