// What the setup program needs to know of a package, read apart (see platform/apart.h) with the
// project's own table reading: the package's identity and its SuportPacks rows.
#pragma once

#include <string>
#include <vector>

struct SupportRow {
    std::wstring source;       // as the package wrote it, relative to its folder
    std::wstring commandLine;  // empty when none
};

struct PackageFacts {
    std::wstring productCode;  // empty when the package has none
    std::wstring productVersion;
    std::wstring productName;
    std::wstring setupPrograms;  // HOSTGATE_SETUP_PROGRAMS: the support programs this program runs
    std::vector<SupportRow> supportRows;  // in the table's order
};

struct PackageReading {
    enum class Result { Read, Unreadable, ReaderFailed };
    Result result = Result::ReaderFailed;
    PackageFacts facts;
    std::wstring failure;  // how the reader failed, for the message
};

// The option that makes this program the reader of one package.
constexpr const char* kReadPackageOption = "--read-package";

// Reads the package at `path` in a child process of this program.
PackageReading ReadPackageApart(const std::wstring& path);

// The child's side: reads the package, sends the facts; the child's exit code.
int ReadPackageHere(const std::wstring& path);
