// Detect, plan, apply: what detection found, the plan made from it, and what the results of
// its installations add up to. None of it touches the machine; the same plan is printed by
// --plan and carried out otherwise.
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
    std::wstring name;         // the product's name, for messages; may be empty
    bool installed = false;    // installed or advertised on this machine
};

// A support program the package names in HOSTGATE_SETUP_PROGRAMS: run by this program, with
// the rights it was started with, before the package (a custom action has only the user's).
struct DetectedProgram {
    std::wstring source;       // the row's, as the package wrote it
    std::wstring path;         // resolved against the package's folder
    std::wstring commandLine;  // the row's
};

struct Detected {
    std::wstring package;  // the main package's full path
    std::wstring productCode;
    std::wstring version;
    std::wstring name;
    std::vector<DetectedSupport> supports;  // the .msi rows, in the table's order
    std::vector<DetectedProgram> programs;  // the setup programs, in the table's order
};

// One installation of the chain.
struct Step {
    std::wstring package;
    std::wstring commandLine;
    std::wstring name;                // as messages name the package
    std::optional<std::wstring> log;  // where the installer logs it, to be appended to the main log
    bool support = false;
    std::optional<std::wstring> program;  // a support program: the row's source (else an installation)
};

struct Plan {
    std::vector<Step> steps;  // the missing support packages, then the setup programs, each in the table's order, then the package
};

Plan MakePlan(const Detected& detected, const Options& options);

// The package's command line: the properties given, and HOSTGATE_PROGRAMS_RUN naming the
// support programs that ran before it (RunSuportPacks does not run them again).
std::wstring PackageCommandLine(const Options& options, const std::vector<std::wstring>& programsRun);

// The plan as --plan prints it.
std::wstring DescribePlan(const Detected& detected, const Plan& plan);

// Where the installer logs step `step` (from 1) of the chain, installing `package`: beside the
// main log, named after both, until the program appends it to the main log. A restart that the
// installation starts leaves it there.
std::wstring PackageLogPath(const std::wstring& mainLog, std::size_t step, const std::wstring& package);

// The chain's outcome so far, as the results of its installations are taken in.
struct ChainResult {
    UINT code = ERROR_SUCCESS;                // the program's exit code once the chain ends
    std::optional<std::size_t> stoppedAt;     // the step whose result ended the chain
    std::vector<std::size_t> restartAskedBy;  // the steps that asked for a restart (3010)
};

// Takes in the result of step `step` (from 0); false when the chain stops there. A restart
// asked for is collected and the chain goes on; any other result but success, a restart
// started (1641) included, ends it with that result. A support program's exit code never
// ends it, as RunSuportPacks never fails the installation; its 3010 or 1641 is collected as
// a restart asked for (this program never restarts the machine itself).
bool TakeResult(ChainResult& chain, std::size_t step, UINT result, bool program = false);
