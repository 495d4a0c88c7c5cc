#include "gating/feature_states.h"

#include "gating/installer_gate.h"
#include "package/contract.h"
#include "session/database.h"
#include "session/install_session.h"

#include <msidefs.h>
#include <msiquery.h>

#include <cstdlib>

namespace {

struct FirstCosting {
    INSTALLSTATE state;
    int level;
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
                                 const std::vector<ConditionRow>& conditions)
{
    TableView features;
    if (!features.Open(db, table::Feature, nullptr, Filter(feature::FeatureColumn, name)) || !features.Fetch())
        return {INSTALLSTATE_UNKNOWN, 0, "no such feature"};
    const int null = static_cast<int>(MSI_NULL_INTEGER);
    int level = features.GetInteger(feature::Level);
    int attributes = features.GetInteger(feature::Attributes);
    if (attributes == null) attributes = 0;
    std::string reason = "level " + std::to_string(level);
    for (const ConditionRow& row : conditions) {
        std::string expression = row.expression.value_or(std::string());
        if (MsiEvaluateConditionA(session.handle(), expression.c_str()) != MSICONDITION_TRUE) continue;
        level = row.level;
        reason = "Condition level " + std::to_string(level);
    }
    OwnedString installLevelText = session.GetProperty(prop::InstallLevel);
    int installLevel = installLevelText ? std::atoi(installLevelText->c_str()) : 1;
    if (level == null || level <= 0 || level > installLevel)
        return {INSTALLSTATE_ABSENT, level, reason + " not within INSTALLLEVEL " + std::to_string(installLevel)};
    reason += " within INSTALLLEVEL " + std::to_string(installLevel);
    if (attributes & msidbFeatureAttributesFavorSource)
        return {INSTALLSTATE_SOURCE, level, reason};
    if (attributes & msidbFeatureAttributesFavorAdvertise)
        return {INSTALLSTATE_ADVERTISED, level, reason};
    return {INSTALLSTATE_LOCAL, level, reason};
}

}  // namespace

bool CostingComplete(const InstallSession& session)
{
    return session.GetProperty(prop::CostingComplete) == std::string("1");
}

namespace {

const std::vector<ConditionRow>& RowsOf(const ConditionRows& table, const std::string& name)
{
    static const std::vector<ConditionRow> none;
    auto found = table.find(name);
    return found == table.end() ? none : found->second;
}

}  // namespace

void RecostSwitchedFeatures(const InstallSession& session, const PackageDatabase& db, InstallerGate& gate)
{
    const ConditionRows& before = gate->InitialConditions();
    const ConditionRows& after = gate->Conditions();
    ConditionWriter& writer = gate.Writer();
    std::map<std::string, FirstCosting> switched;
    for (const ConditionRows* table : {&before, &after})
        for (const auto& entry : *table)
            if (!switched.count(entry.first) && RowsOf(after, entry.first) != RowsOf(before, entry.first))
                switched.emplace(entry.first, StateOfFirstCosting(session, db, entry.first, RowsOf(after, entry.first)));

    // A costing keeps the level of the last true row it saw, so a feature that was at level 0
    // would stay there in the installer's feature list (and go unregistered) even once its
    // state is set: a temporary row gives it its level back while costing runs again.
    std::vector<ConditionRow> levelRows;
    for (const auto& [name, costing] : switched) {
        bool clash = false;
        for (const ConditionRow& row : RowsOf(after, name)) clash = clash || row.level == costing.level;
        ConditionRow levelRow{name, costing.level, std::string("1")};
        if (costing.state != INSTALLSTATE_ABSENT && costing.state != INSTALLSTATE_UNKNOWN && !clash &&
            writer.Insert(levelRow))
            levelRows.push_back(levelRow);
    }
    gate.Commit();
    session.DoAction(action::CostFinalize);
    for (const ConditionRow& row : levelRows) writer.Delete(row);
    for (const auto& [name, costing] : switched) {
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
