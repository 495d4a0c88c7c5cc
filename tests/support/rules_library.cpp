// The library as the tests build it for roads under Windows' rules: the same actions, and,
// when HOSTGATE_WINDOWS_RULES asks, every installer and registry call of the library checked
// as Windows would answer it (support/windows_rules.h), inside whatever process the installer
// loads it in. A line in HOSTGATE_RULES_LOG says that the rules were on.
#include "windows_rules.h"

#include <cstdlib>
#include <string>

BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID)
{
    if (reason == DLL_PROCESS_ATTACH && testbed::WindowsRules()) {
        testbed::EnforceWindowsRules(module, "the library's rules build");
        testbed::ReportRules("rules on in process " + std::to_string(GetCurrentProcessId()));
    }
    return TRUE;
}
