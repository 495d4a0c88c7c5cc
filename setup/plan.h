// Detect, plan, apply: what detection found, and the plan made from it. Making the plan
// touches nothing; the same plan is printed by --plan and carried out otherwise.
#pragma once

#include "setup/command_line.h"

#include <optional>
#include <string>
#include <vector>

struct DetectedSupport {
    std::wstring path;         // resolved against the package's folder
    std::wstring commandLine;  // the row's
    std::wstring productCode;
    std::wstring version;
    bool installed = false;    // installed or advertised on this machine
};

struct Detected {
    std::wstring package;  // the main package's full path
    std::wstring productCode;
    std::wstring version;
    std::vector<DetectedSupport> supports;  // the .msi rows, in the table's order
};

// One installation of the chain.
struct Step {
    std::wstring package;
    std::wstring commandLine;
    std::optional<std::wstring> log;
    bool support = false;
};

struct Plan {
    std::vector<Step> steps;  // the missing support packages in the table's order, then the package
};

Plan MakePlan(const Detected& detected, const Options& options);

// The plan as --plan prints it.
std::wstring DescribePlan(const Detected& detected, const Plan& plan);

// Where the support package at `package`, the table's row `row` (from 1), logs: beside the
// main log, named after both.
std::wstring SupportLogPath(const std::wstring& mainLog, std::size_t row, const std::wstring& package);
