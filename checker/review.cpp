#include "checker/review.h"

#include "checker/text.h"
#include "package/contract.h"

#include <msidefs.h>
#include <wtypes.h>
#include <msiquery.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

std::optional<Table> ReadTable(const PackageDatabase& db, const char* name)
{
    TableView view;
    if (!view.Open(db, name)) return std::nullopt;
    Table table{view.ColumnNames(), view.ColumnInfo(MSICOLINFO_TYPES), {}};
    while (view.Fetch()) {
        std::vector<OwnedString> row;
        for (std::size_t column = 1; column <= table.names.size(); ++column)
            row.push_back(view.GetString(static_cast<int>(column)));
        table.rows.push_back(std::move(row));
    }
    return table;
}

}  // namespace

std::optional<std::size_t> Table::Column(const std::string& name) const
{
    for (std::size_t i = 0; i < names.size(); ++i)
        if (names[i] == name) return i;
    return std::nullopt;
}

OwnedString Table::Field(const std::vector<OwnedString>& row, const std::string& name) const
{
    std::optional<std::size_t> column = Column(name);
    return column && *column < row.size() ? row[*column] : std::nullopt;
}

OwnedString Table::Field(const std::vector<OwnedString>& row, int column)
{
    return column >= 1 && static_cast<std::size_t>(column) <= row.size() ? row[static_cast<std::size_t>(column) - 1]
                                                                          : std::nullopt;
}

void Review::Add(const char* code, const char* severity, const std::string& table, const std::string& column,
                 const std::string& key, const std::string& message)
{
    findings_.push_back({code, severity, table, column, key, message});
}

const Table* Review::Get(const char* name)
{
    auto found = tables_.find(name);
    if (found == tables_.end()) found = tables_.emplace(name, ReadTable(db_, name)).first;
    return found->second ? &*found->second : nullptr;
}

bool Review::HasError(const std::string& code, const std::string& table) const
{
    for (const Finding& finding : findings_)
        if (finding.code == code && finding.table == table && finding.severity == "error") return true;
    return false;
}

std::set<std::string> Review::Column(const char* name, int column)
{
    std::set<std::string> texts;
    if (const Table* rows = Get(name))
        for (const auto& row : rows->rows)
            if (OwnedString text = Table::Field(row, column)) texts.insert(*text);
    return texts;
}

std::set<std::string> Review::Features()
{
    return Column(table::Feature, feature::Feature);
}

std::set<std::string> Review::HostProperties()
{
    return Column(table::AutoCAD, autocad::Property);
}

OwnedString Review::PackageProperty(const char* name)
{
    if (const Table* properties = Get(table::Property))
        for (const auto& row : properties->rows)
            if (Table::Field(row, property::Property) == std::string(name)) return Table::Field(row, property::Value);
    return std::nullopt;
}

int Integer(const OwnedString& text)
{
    return text ? std::atoi(text->c_str()) : static_cast<int>(MSI_NULL_INTEGER);
}

std::string Join(const std::vector<OwnedString>& parts)
{
    std::string key;
    for (std::size_t i = 0; i < parts.size(); ++i) key += (i ? "/" : "") + parts[i].value_or(std::string());
    return key;
}

std::string RuleKey(const std::vector<OwnedString>& row)
{
    // The key columns lead the table, the feature last of them.
    std::size_t keys = std::min<std::size_t>(searchcabinet::Feature, row.size());
    return Join(std::vector<OwnedString>(row.begin(), row.begin() + static_cast<long>(keys)));
}

bool IsAdministrativeImage(const PackageDatabase& db)
{
    constexpr INT kAdministrativeImage = 4;  // the word count's bit 2
    MsiHandle summary;
    if (MsiGetSummaryInformationW(db.handle(), nullptr, 0, summary.put()) != ERROR_SUCCESS) return false;
    UINT type = VT_EMPTY;
    INT wordCount = 0;
    FILETIME unusedTime = {};
    DWORD unusedSize = 0;
    if (MsiSummaryInfoGetPropertyW(summary.get(), PID_WORDCOUNT, &type, &wordCount, &unusedTime, nullptr, &unusedSize) !=
        ERROR_SUCCESS)
        return false;
    return type == VT_I4 && (wordCount & kAdministrativeImage);
}

bool SameCabinet(const std::string& one, const std::string& other)
{
    return _stricmp(one.c_str(), other.c_str()) == 0;
}
