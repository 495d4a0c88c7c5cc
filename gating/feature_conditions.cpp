#include "gating/feature_conditions.h"

#include "package/contract.h"
#include "session/database.h"

namespace {

bool OpenFeatureRows(TableView& view, const PackageDatabase& db, const std::string& feature)
{
    return view.Open(db, table::Condition, condition::FeatureColumn,
                     Filter(condition::FeatureColumn, feature));
}

bool InsertRow(TableView& view, const std::string& feature, int level, const char* expression)
{
    if (!view.BeginInsert()) return false;
    view.SetString(condition::Feature, feature.c_str());
    view.SetInteger(condition::Level, level);
    view.SetString(condition::Expression, expression);
    return view.Commit();
}

// The engine may refuse to replace a row in place (Wine's does). The row's level-0 twin is
// then added first and the old row deleted after, so a failure part-way never loses it.
// Where the old row may not be deleted either (a row the package carries), the twin goes
// again: two rows for one feature would leave costing to choose between them.
Switch LowerToLevelZero(const PackageDatabase& db, const std::string& feature, int oldLevel,
                        const OwnedString& expression)
{
    if (!InsertConditionRow(db, feature, 0, expression ? expression->c_str() : "")) return Switch::Refused;
    if (DeleteConditionRow(db, feature, oldLevel)) return Switch::Changed;
    DeleteConditionRow(db, feature, 0);
    return Switch::Refused;
}

}  // namespace

bool InsertConditionRow(const PackageDatabase& db, const std::string& feature, int level, const char* expression)
{
    TableView view;
    return OpenFeatureRows(view, db, feature) && InsertRow(view, feature, level, expression);
}

bool DeleteConditionRow(const PackageDatabase& db, const std::string& feature, int level)
{
    TableView view;
    Filter row(condition::FeatureColumn, feature);
    row.And(condition::LevelColumn, level);
    return view.Open(db, table::Condition, nullptr, row) && view.Fetch() && view.MarkDelete() && view.Commit();
}

// A name that cannot be a feature key is refused: the operations then act as over a table
// without rows for it.
bool IsFeatureName(const std::string& feature)
{
    return !feature.empty() && feature.size() <= kFeatureNameLimit;
}

Switch DisableFeature(const PackageDatabase& db, const std::string& feature)
{
    if (!IsFeatureName(feature)) return Switch::AlreadySo;
    TableView view;
    if (!OpenFeatureRows(view, db, feature)) return Switch::Refused;
    if (!view.Fetch()) return InsertRow(view, feature, 0, "1") ? Switch::Changed : Switch::Refused;
    int oldLevel = view.GetInteger(condition::Level);
    if (oldLevel == 0) return Switch::AlreadySo;
    OwnedString expression = view.GetString(condition::Expression);
    view.MarkReplace();
    view.SetInteger(condition::Level, 0);
    if (view.Commit()) return Switch::Changed;
    return LowerToLevelZero(db, feature, oldLevel, expression);
}

Switch RestoreFeature(const PackageDatabase& db, const std::string& feature)
{
    if (!IsFeatureName(feature)) return Switch::AlreadySo;
    TableView view;
    if (!OpenFeatureRows(view, db, feature) || !view.Fetch()) return Switch::AlreadySo;
    return view.MarkDelete() && view.Commit() ? Switch::Changed : Switch::Refused;
}

bool FeatureIsFree(const PackageDatabase& db, const std::string& feature)
{
    if (!IsFeatureName(feature)) return true;
    TableView view;
    return !(OpenFeatureRows(view, db, feature) && view.Fetch());
}
