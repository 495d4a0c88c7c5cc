// The package file's own structure, checked from its bytes before the installer's engine
// opens it. The engine reads a damaged compound file without complaint and then reports
// what it misread (a table missing, rows gone); this check tells damage apart from an
// author's mistake. It reads the compound file's structure (header, FAT, DIFAT, mini FAT,
// directory, every stream's chain) and the database's own streams (string pool, table
// catalogue, each table's rows), never the streams' contents (binaries, cabinets); what it
// holds is bounded by the file's size, never by a count the file gives.
#pragma once

#include <optional>
#include <string>
#include <vector>

struct Damage {
    std::string what;   // "the chain of stream _StringPool loops"
    std::string where;  // "mini sector 12", "directory entry 5", "offset 0x1C"
};

// What the check found in the package at `path` (UTF-8).
struct StructureReport {
    bool opened = false;                // false: the file could not be opened (`damage` says why)
    std::optional<Damage> damage;       // none when the package is sound
    std::vector<std::string> warnings;  // faults that lose no data
    bool isSigned = false;              // it holds a digital signature (a changed byte breaks it)
};

// The format has no checksum: a changed byte inside a string or a table cell passes. Faults
// that lose no data (a chain longer than its stream, a reserved field set, an allocation
// entry no chain uses) do not make a package damaged; they are warnings.
StructureReport CheckPackageStructure(const std::string& path);
