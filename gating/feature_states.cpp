#include "gating/feature_states.h"

#include "package/contract.h"
#include "session/database.h"
#include "session/install_session.h"

#include <msidefs.h>
#include <msiquery.h>

#include <cstdlib>

namespace {

struct FirstCosting {
    INSTALLSTATE state;
    std::string reason;
};

const char* StateName(INSTALLSTATE state)
{
    switch (state) {
    case INSTALLSTATE_LOCAL: return "local";
    case INSTALLSTATE_SOURCE: return "run from source";
    case INSTALLSTATE_ADVERTISED: return "advertised";
    default: return "absent";
    }
}

// What the installer's first costing decides for a feature: its own level, replaced by the
// level of each Condition row whose expression is true, then compared with INSTALLLEVEL.
FirstCosting StateOfFirstCosting(const InstallSession& session, const PackageDatabase& db, const std::string& name,
                                 const std::vector<std::pair<int, std::string>>& conditions)
{
    TableView features;
    if (!features.Open(db, table::Feature, nullptr, Filter(feature::FeatureColumn, name)) || !features.Fetch())
        return {INSTALLSTATE_UNKNOWN, "no such feature"};
    const int null = static_cast<int>(MSI_NULL_INTEGER);
    int level = features.GetInteger(feature::Level);
    int attributes = features.GetInteger(feature::Attributes);
    if (attributes == null) attributes = 0;
    std::string reason = "level " + std::to_string(level);
    for (const auto& [conditionLevel, expression] : conditions) {
        if (MsiEvaluateConditionA(session.handle(), expression.c_str()) != MSICONDITION_TRUE) continue;
        level = conditionLevel;
        reason = "Condition level " + std::to_string(level);
    }
    OwnedString installLevelText = session.GetProperty(prop::InstallLevel);
    int installLevel = installLevelText ? std::atoi(installLevelText->c_str()) : 1;
    if (level == null || level <= 0 || level > installLevel)
        return {INSTALLSTATE_ABSENT, reason + " not within INSTALLLEVEL " + std::to_string(installLevel)};
    reason += " within INSTALLLEVEL " + std::to_string(installLevel);
    if ((attributes & msidbFeatureAttributesFavorSource))
        return {INSTALLSTATE_SOURCE, reason};
    if ((attributes & msidbFeatureAttributesFavorAdvertise))
        return {INSTALLSTATE_ADVERTISED, reason};
    return {INSTALLSTATE_LOCAL, reason};
}

}  // namespace

ConditionRows ReadConditionRows(const PackageDatabase& db)
{
    ConditionRows rows;
    TableView view;
    if (!view.Open(db, table::Condition)) return rows;
    while (view.Fetch()) {
        OwnedString name = view.GetString(condition::Feature);
        if (name)
            rows[*name].emplace_back(view.GetInteger(condition::Level),
                                     view.GetString(condition::Expression).value_or(std::string()));
    }
    return rows;
}

bool CostingComplete(const InstallSession& session)
{
    return session.GetProperty(prop::CostingComplete) == std::string("1");
}

void SetSwitchedFeatureStates(const InstallSession& session, const PackageDatabase& db, const ConditionRows& before)
{
    static const std::vector<std::pair<int, std::string>> kNoRows;
    ConditionRows after = ReadConditionRows(db);
    auto rowsOf = [](const ConditionRows& table, const std::string& name) -> const std::vector<std::pair<int, std::string>>& {
        auto found = table.find(name);
        return found == table.end() ? kNoRows : found->second;
    };
    std::map<std::string, bool> switched;  // every feature named before or after, once
    for (const auto& entry : before) switched[entry.first] = true;
    for (const auto& entry : after) switched[entry.first] = true;
    for (const auto& entry : switched) {
        const std::string& name = entry.first;
        const auto& now = rowsOf(after, name);
        if (now == rowsOf(before, name)) continue;
        FirstCosting costing = StateOfFirstCosting(session, db, name, now);
        if (costing.state == INSTALLSTATE_UNKNOWN) {
            session.Log("feature " + name + " state not set after costing: " + costing.reason);
            continue;
        }
        UINT result = MsiSetFeatureStateA(session.handle(), name.c_str(), costing.state);
        if (result == ERROR_SUCCESS)
            session.Log("feature " + name + " set " + StateName(costing.state) + " after costing (" + costing.reason + ")");
        else
            session.Log("feature " + name + " could not be set " + StateName(costing.state) + " after costing: error " +
                        std::to_string(result));
    }
}
