#include "package/tables.h"

#include "package/contract.h"
#include "session/database.h"

#include <algorithm>

std::optional<std::vector<HostRelease>> ReadHostReleases(const PackageDatabase& db)
{
    TableView view;
    if (!view.Open(db, table::AutoCAD)) return std::nullopt;
    std::vector<HostRelease> rows;
    while (view.Fetch()) rows.push_back({view.GetString(autocad::Property), view.GetString(autocad::Release)});
    return rows;
}

std::optional<std::vector<FunctionRow>> ReadFunctions(const PackageDatabase& db)
{
    TableView view;
    if (!view.Open(db, table::FunctionVersion)) return std::nullopt;
    std::vector<FunctionRow> rows;
    while (view.Fetch())
        rows.push_back({view.GetString(functionversion::Function), view.GetString(functionversion::Text),
                        view.GetString(functionversion::Value)});
    return rows;
}

std::vector<FeatureRow> ReadFeatures(const PackageDatabase& db)
{
    std::vector<FeatureRow> rows;
    TableView view;
    if (!view.Open(db, table::Feature)) return rows;
    while (view.Fetch()) {
        OwnedString name = view.GetString(feature::Feature);
        if (!name) continue;
        int attributes = view.GetInteger(feature::Attributes);
        rows.push_back({*name, view.GetString(feature::Parent), view.GetInteger(feature::Level),
                        attributes == static_cast<int>(MSI_NULL_INTEGER) ? 0 : attributes});
    }
    return rows;
}

std::optional<std::vector<CabinetRule>> ReadCabinetRules(const PackageDatabase& db, std::string* problem)
{
    TableView view;
    if (!view.Open(db, table::SearchCabinet)) {
        if (problem) *problem = "no SearchCabinet table";
        return std::nullopt;
    }
    // The columns the installer's queries would select and sort by, found by name.
    std::vector<std::string> names = view.ColumnNames();
    auto position = [&](const char* name) { return view.ColumnOf(name); };
    int property = position(searchcabinet::PropertyNameColumn);
    int function = position(searchcabinet::FunctionColumn);
    int order = position(searchcabinet::FlagsColumn);
    if (!property || !function || !order) {
        if (problem) {
            *problem = "warning: the SearchCabinet table has no column named";
            for (const char* name : {searchcabinet::PropertyNameColumn, searchcabinet::FunctionColumn, searchcabinet::FlagsColumn})
                if (!position(name)) *problem += std::string(" ") + name;
            *problem += "; its columns are";
            for (const std::string& name : names) *problem += " " + name;
        }
        return std::nullopt;
    }

    std::vector<CabinetRule> rules;
    while (view.Fetch())
        rules.push_back({view.GetString(property), view.GetString(function), view.GetInteger(order),
                         view.GetString(searchcabinet::Cabinet), view.GetString(searchcabinet::Feature),
                         view.GetInteger(searchcabinet::Flags)});
    return rules;
}

bool operator==(const ConditionRow& a, const ConditionRow& b)
{
    return a.feature == b.feature && a.level == b.level && a.expression == b.expression;
}

std::optional<std::vector<ConditionRow>> ReadConditionRows(const PackageDatabase& db)
{
    TableView view;
    if (!view.Open(db, table::Condition)) return std::nullopt;
    std::vector<ConditionRow> rows;
    while (view.Fetch())
        rows.push_back({view.GetString(condition::Feature).value_or(std::string()), view.GetInteger(condition::Level),
                        view.GetString(condition::Expression)});
    return rows;
}

std::vector<std::string> ReadSearchedProperties(const PackageDatabase& db)
{
    std::vector<std::string> properties;
    TableView view;
    if (!view.Open(db, table::AppSearch)) return properties;
    while (view.Fetch())
        if (OwnedString property = view.GetString(appsearch::Property)) properties.push_back(*property);
    return properties;
}

std::vector<std::string> ReadMediaCabinets(const PackageDatabase& db)
{
    std::vector<std::string> cabinets;
    TableView view;
    int position = view.Open(db, table::Media) ? view.ColumnOf(media::CabinetColumn) : 0;
    if (!position) return cabinets;
    while (view.Fetch())
        if (OwnedString cabinet = view.GetString(position))
            cabinets.push_back(cabinet->front() == '#' ? cabinet->substr(1) : *cabinet);
    return cabinets;
}
