// One record between the actions: everything one action leaves for the next in the same
// installation travels as text of one grammar, each field read and written from one field
// list. A record opens with its kind and the format, and closes with its count of lines, so a
// cut, a foreign or an older text is refused whole.
//
// Public records (upper-case properties) reach the execute side on Windows and hold only what
// the server needs; private ones stay in the installation that wrote them.
#pragma once

#include "package/tables.h"

#include <string>
#include <utility>
#include <vector>

// Bumped whenever the encoding or the meaning of a field changes.
constexpr int kRecordFormat = 4;

// The line grammar: fields apart by tabs, each with its tabs, line ends and backslashes
// escaped, so that every line is one entry.
std::string Escaped(const std::string& text);
std::vector<std::string> Fields(const std::string& line);

using NamedValues = std::vector<std::pair<std::string, std::string>>;  // name, value

// HOSTGATE_SET (public): the properties the library set itself, with their values.
std::string EncodeLibrarySet(const NamedValues& set);
NamedValues DecodeLibrarySet(const std::string& text);

// HostgateOwnRows (private): the rows the library added to the Condition table in this session.
std::string EncodeRows(const std::vector<ConditionRow>& rows);
std::vector<ConditionRow> DecodeRows(const std::string& text);

// HostgateListsGiven (private): the feature lists as given, before the library first withheld
// anything from them.
std::string EncodeLists(const NamedValues& lists);
NamedValues DecodeLists(const std::string& text);
