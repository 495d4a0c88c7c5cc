// The package checker: what a setup author should mend in a package built for hostgate,
// found by reading the package file through the installer's database API, and the
// decisions its rules make on machines the author does not have.
#pragma once

#include "session/owned.h"

#include <optional>
#include <string>
#include <vector>

class PackageDatabase;

// One problem, in the manner of the installer's validation messages.
struct Finding {
    std::string code;      // HG01...
    std::string severity;  // "error" or "warning"
    std::string table;
    std::string column;    // may be empty
    std::string key;       // the row's key columns joined by '/', or empty
    std::string message;   // what is wrong and what to change
};

// Opens the package (a UTF-8 path) and reads every table and stream it lists, so that a
// damaged file is told from a package that lacks tables. False, with `problem` saying why,
// when the package cannot be read whole. The engine itself may crash here on some files:
// the checker program calls this in a child process (see main.cpp).
bool OpenWholePackage(const std::string& package, PackageDatabase& db, std::string& problem);

// `sourceFolder`, when given, is the folder the package is installed from, where cabinets
// and support programs are looked for.
std::vector<Finding> CheckPackage(const PackageDatabase& db, const OwnedString& sourceFolder);
// The same from a file; none when it cannot be read whole.
std::optional<std::vector<Finding>> CheckPackage(const std::string& package, const OwnedString& sourceFolder);

// One line a finding: code, severity, table, column, key and message, tab-separated.
std::string FormatFinding(const Finding& finding);

// The decision table: for each set of installed host releases and each function chosen,
// the functions offered and the features installed, decided by the actions' own phases.
// Cabinets count as present unless a source folder says otherwise.
std::string ExplainPackage(const PackageDatabase& db, const OwnedString& sourceFolder);
std::optional<std::string> ExplainPackage(const std::string& package, const OwnedString& sourceFolder);
