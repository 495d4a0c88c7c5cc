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
