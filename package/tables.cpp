#include "package/tables.h"

#include "package/contract.h"
#include "session/database.h"

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
