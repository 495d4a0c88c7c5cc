// Windows' rules for a custom action, enforced on Wine's engine. Wine grants what Windows
// refuses: with HOSTGATE_WINDOWS_RULES=1 the library's installer and registry imports go
// through checks that refuse the same calls Windows refuses, and otherwise call the real
// functions:
// - a change to a row the package carries, through a view or a DELETE query (a custom action
//   may change temporary rows only);
// - opening a key per machine with any write right, or deleting one, as an unelevated user;
// - installing a package while an installation runs (1618);
// - starting a program whose manifest asks for administrator rights (740: the user's token,
//   under UAC the filtered one even for an administrator);
// - ResolveSource on an installed product whose last-used source is gone (a prompt, answered
//   Cancel, under a user interface; 1612 without one), reported;
// - CostingComplete read before Wine's CostFinalize sets it: "0", as Windows says from
//   CostInitialize on;
// - a dialog whose tab chain is not one closed loop once the library's control is on it
//   (Windows refuses to open it), reported.
// With HOSTGATE_WINDOWS_RULES=2, every UPDATE query is refused too.
#pragma once

#include <windows.h>

#include <map>
#include <string>

namespace testbed {

bool WindowsRules();

// Refusals a road must not meet (a source prompt, a dialog Windows would not open) go to the
// file HOSTGATE_RULES_LOG names, one line each, for the road's script to judge: the
// installation itself goes on as Windows' would after the user's answer.
void ReportRules(const std::string& line);

// Redirects the module's wide installer and registry imports through the checks when the
// rules are on; ends the program when none of them is found (`name` says which module).
void EnforceWindowsRules(HMODULE module, const char* name);

// A test's own set-up, done as an administrator would: no rule applies while one lives.
class Elevated {
public:
    Elevated();
    ~Elevated();
    Elevated(const Elevated&) = delete;
    Elevated& operator=(const Elevated&) = delete;
};

// Points each import of `module` from `dll` that `replacements` names at its replacement;
// returns the number of import slots changed.
int PatchImports(HMODULE module, const char* dll, const std::map<std::string, void*>& replacements);

}  // namespace testbed
