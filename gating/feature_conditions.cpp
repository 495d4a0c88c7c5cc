#include "gating/feature_conditions.h"

#include "package/contract.h"
#include "session/database.h"

namespace {

bool OpenFeatureRows(TableView& view, const PackageDatabase& db, const std::string& feature)
{
    return view.Open(db, table::Condition, condition::FeatureColumn,
                     Filter(condition::FeatureColumn, feature));
}

bool InsertLevelZero(const PackageDatabase& db, const std::string& feature, const OwnedString& expression)
{
    TableView view;
    if (!OpenFeatureRows(view, db, feature) || !view.BeginInsert()) return false;
    view.SetString(condition::Feature, feature.c_str());
    view.SetInteger(condition::Level, 0);
    view.SetString(condition::Expression, expression ? expression->c_str() : "");
    return view.Commit();
}

// The engine may refuse to replace a row in place (Wine's does). The row's level-0 twin is
// then added first and the old row deleted after, so a failure part-way never loses it.
void LowerToLevelZero(const PackageDatabase& db, const std::string& feature, int oldLevel,
                      const OwnedString& expression)
{
    if (oldLevel == 0 || !InsertLevelZero(db, feature, expression)) return;
    TableView view;
    Filter oldRow(condition::FeatureColumn, feature);
    oldRow.And(condition::LevelColumn, oldLevel);
    if (view.Open(db, table::Condition, nullptr, oldRow) && view.Fetch() && view.MarkDelete())
        view.Commit();
}

}  // namespace

// A name that cannot be a feature key is refused: the operations then act as over a table
// without rows for it.
bool IsFeatureName(const std::string& feature)
{
    return !feature.empty() && feature.size() <= kFeatureNameLimit;
}

void DisableFeature(const PackageDatabase& db, const std::string& feature)
{
    if (!IsFeatureName(feature)) return;
    TableView view;
    if (!OpenFeatureRows(view, db, feature)) return;
    if (!view.Fetch()) {
        if (view.BeginInsert()) {
            view.SetString(condition::Feature, feature.c_str());
            view.SetInteger(condition::Level, 0);
            view.SetString(condition::Expression, "1");
            view.Commit();
        }
        return;
    }
    int oldLevel = view.GetInteger(condition::Level);
    OwnedString expression = view.GetString(condition::Expression);
    view.MarkReplace();
    view.SetInteger(condition::Level, 0);
    if (!view.Commit()) LowerToLevelZero(db, feature, oldLevel, expression);
}

bool RestoreFeature(const PackageDatabase& db, const std::string& feature)
{
    if (!IsFeatureName(feature)) return false;
    TableView view;
    return OpenFeatureRows(view, db, feature) && view.Fetch() && view.MarkDelete() && view.Commit();
}

bool FeatureIsFree(const PackageDatabase& db, const std::string& feature)
{
    if (!IsFeatureName(feature)) return true;
    TableView view;
    return !(OpenFeatureRows(view, db, feature) && view.Fetch());
}
