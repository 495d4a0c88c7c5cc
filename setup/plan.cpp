#include "setup/plan.h"

#include <algorithm>

namespace {

// A support package must not restart the machine in the middle of the chain; a restart
// it needs is reported as 3010 and given as the chain's result.
constexpr const wchar_t* kSuppressReboot = L"REBOOT=ReallySuppress";

std::size_t NameStart(const std::wstring& path)
{
    std::size_t separator = path.find_last_of(L"\\/");
    return separator == std::wstring::npos ? 0 : separator + 1;
}

// The path without the extension of its last component.
std::wstring WithoutExtension(const std::wstring& path)
{
    std::size_t dot = path.find_last_of(L'.');
    return dot == std::wstring::npos || dot < NameStart(path) ? path : path.substr(0, dot);
}

bool SameProduct(const std::wstring& a, const std::wstring& b)
{
    return !a.empty() && CompareStringOrdinal(a.c_str(), -1, b.c_str(), -1, TRUE) == CSTR_EQUAL;
}

// A package as messages name it: its product's name, or its file's name without one.
std::wstring Named(const std::wstring& productName, const std::wstring& path)
{
    return productName.empty() ? path.substr(NameStart(path)) : productName;
}

std::wstring Joined(const std::wstring& first, const std::wstring& second)
{
    return first.empty() ? second : second.empty() ? first : first + L" " + second;
}

}  // namespace

std::wstring PackageLogPath(const std::wstring& mainLog, std::size_t step, const std::wstring& package)
{
    std::wstring name = WithoutExtension(package.substr(NameStart(package)));
    return WithoutExtension(mainLog) + L"." + std::to_wstring(step) + L"-" + name + L".log";
}

std::wstring PackageCommandLine(const Options& options, const std::vector<std::wstring>& programsRun)
{
    std::vector<std::wstring> properties = options.properties;
    std::wstring run;
    for (const std::wstring& source : programsRun) run += (run.empty() ? L"" : L";") + source;
    if (!run.empty()) properties.push_back(L"HOSTGATE_PROGRAMS_RUN=" + run);
    return PropertyCommandLine(properties);
}

Plan MakePlan(const Detected& detected, const Options& options)
{
    Plan plan;
    std::vector<std::wstring> planned;
    for (const DetectedSupport& support : detected.supports) {
        bool twice = std::any_of(planned.begin(), planned.end(),
                                 [&](const std::wstring& code) { return SameProduct(code, support.productCode); });
        if (support.installed || twice) continue;
        planned.push_back(support.productCode);
        plan.steps.push_back({support.path, Joined(support.commandLine, kSuppressReboot), Named(support.name, support.path),
                              std::nullopt, true, std::nullopt});
    }
    std::vector<std::wstring> programs;
    for (const DetectedProgram& program : detected.programs) {
        programs.push_back(program.source);
        plan.steps.push_back({program.path, program.commandLine, program.source, std::nullopt, false, program.source});
    }
    plan.steps.push_back({detected.package, PackageCommandLine(options, programs), Named(detected.name, detected.package),
                          std::nullopt, false, std::nullopt});
    if (options.log)
        for (std::size_t at = 0; at < plan.steps.size(); ++at)
            if (!plan.steps[at].program) plan.steps[at].log = PackageLogPath(*options.log, at + 1, plan.steps[at].package);
    return plan;
}

std::wstring DescribePlan(const Detected& detected, const Plan& plan)
{
    std::wstring text = L"Package " + detected.package + L": product " + detected.productCode + L", version " +
                        detected.version + L"\n";
    for (const DetectedSupport& support : detected.supports)
        text += L"Support package " + support.path + L": product " + support.productCode + L", version " +
                support.version + (support.installed ? L", present\n" : L", missing\n");
    text += L"Plan:\n";
    for (std::size_t at = 0; at < plan.steps.size(); ++at)
        text += L"  " + std::to_wstring(at + 1) + (plan.steps[at].program ? L". run " : L". install ") + plan.steps[at].package +
                (plan.steps[at].commandLine.empty() ? L"" : L" " + plan.steps[at].commandLine) + L"\n";
    return text;
}

bool TakeResult(ChainResult& chain, std::size_t step, UINT result, bool program)
{
    if (result == ERROR_SUCCESS) return true;
    if (program && result == ERROR_SUCCESS_REBOOT_INITIATED) result = ERROR_SUCCESS_REBOOT_REQUIRED;
    if (program && result != ERROR_SUCCESS_REBOOT_REQUIRED) return true;
    if (result == ERROR_SUCCESS_REBOOT_REQUIRED) {
        chain.restartAskedBy.push_back(step);
        chain.code = result;
        return true;
    }
    chain.code = result;
    chain.stoppedAt = step;
    return false;
}
