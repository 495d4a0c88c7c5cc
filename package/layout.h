// The custom tables' column layout as hostgate's readers take it: which columns are found
// by name (its queries select and sort by them, wherever they stand) and which by position
// (the field at that place, whatever the column is called), and what each holds. Built from
// the contract's names and column numbers, so the readers and the package checker, which
// holds a package against this layout, cannot part.
#pragma once

#include "package/contract.h"

#include <cstddef>
#include <cstring>
#include <iterator>

namespace layout {

enum class Holds {
    Text,     // s, S, l or L
    Integer,  // i or I
    Nothing,  // read by no one: the column only keeps the next one in its place
};

struct Column {
    const char* name;  // found by name: the name the queries use; by position: the guide's name for it
    int position;      // the contract's column number (from 1); 0 for a column found by name
    Holds holds;
    constexpr bool ByName() const { return position == 0; }
};

struct Table {
    const char* name;
    const Column* first;
    std::size_t count;
    constexpr const Column* begin() const { return first; }
    constexpr const Column* end() const { return first + count; }
};

inline constexpr Column kAutoCAD[] = {
    {"Property", autocad::Property, Holds::Text},
    {"Unused", autocad::Unused, Holds::Nothing},
    {"Release", autocad::Release, Holds::Text},
};

inline constexpr Column kFunctionVersion[] = {
    {"Function", functionversion::Function, Holds::Text},
    {"Text", functionversion::Text, Holds::Text},
    {"Value", functionversion::Value, Holds::Text},
};

// Rules are selected and sorted through the named columns; the cabinet, the feature and the
// flags are then read at their places (Flags is both).
inline constexpr Column kSearchCabinet[] = {
    {searchcabinet::PropertyNameColumn, 0, Holds::Text},
    {searchcabinet::FunctionColumn, 0, Holds::Text},
    {searchcabinet::FlagsColumn, 0, Holds::Integer},
    {"Cabinet", searchcabinet::Cabinet, Holds::Text},
    {"Feature", searchcabinet::Feature, Holds::Text},
    {searchcabinet::FlagsColumn, searchcabinet::Flags, Holds::Integer},
};

inline constexpr Column kSuportPacks[] = {
    {"Source", suportpacks::Source, Holds::Text},
    {"CommandLine", suportpacks::CommandLine, Holds::Text},
};

inline constexpr Table kCustomTables[] = {
    {table::AutoCAD, kAutoCAD, std::size(kAutoCAD)},
    {table::FunctionVersion, kFunctionVersion, std::size(kFunctionVersion)},
    {table::SearchCabinet, kSearchCabinet, std::size(kSearchCabinet)},
    {table::SuportPacks, kSuportPacks, std::size(kSuportPacks)},
};

// The name of a custom table's column as a package author reads it: the guide's name for a
// column read by position, the queries' name for one read by name; empty when the layout
// has no such column.
inline const char* ColumnName(const char* tableName, int position)
{
    for (const Table& custom : kCustomTables)
        if (std::strcmp(custom.name, tableName) == 0)
            for (const Column& column : custom)
                if (column.position == position) return column.name;
    return "";
}

}  // namespace layout

// Standard tables only the package checker reads, their columns found by name.
namespace registry {
constexpr const char* Table = "Registry";
constexpr const char* RootColumn = "Root";
constexpr const char* KeyColumn = "Key";
constexpr const char* NameColumn = "Name";
constexpr const char* ValueColumn = "Value";
constexpr const char* ComponentColumn = "Component_";
}  // namespace registry

namespace featurecomponents {
constexpr const char* Table = "FeatureComponents";
constexpr const char* FeatureColumn = "Feature_";
constexpr const char* ComponentColumn = "Component_";
}  // namespace featurecomponents
