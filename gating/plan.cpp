#include "gating/plan.h"

#include <msidefs.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

ConditionRows ByFeature(const std::vector<ConditionRow>& rows)
{
    ConditionRows byFeature;
    for (const ConditionRow& row : rows) {
        std::vector<ConditionRow>& list = byFeature[row.feature];
        auto at = std::upper_bound(list.begin(), list.end(), row,
                                   [](const ConditionRow& a, const ConditionRow& b) { return a.level < b.level; });
        list.insert(at, row);
    }
    return byFeature;
}

const std::vector<ConditionRow>& RowsOf(const ConditionRows& rows, const std::string& feature)
{
    static const std::vector<ConditionRow> none;
    const std::vector<ConditionRow>* found = rows.find(feature);
    return found ? *found : none;
}

namespace {

std::size_t IndexOf(const std::vector<FeatureRow>& features, const std::string& name)
{
    for (std::size_t i = 0; i < features.size(); ++i)
        if (features[i].name == name) return i;
    return features.size();
}

void Place(const std::vector<FeatureRow>& features, const NameSet& chosen, std::size_t index, int depth,
           NameSet& placed, std::vector<std::string>& ordered)
{
    const FeatureRow& row = features[index];
    if (placed.count(row.name) || !chosen.count(row.name)) return;
    if (row.parent && depth < 64) {
        std::size_t parent = IndexOf(features, *row.parent);
        if (parent < features.size()) Place(features, chosen, parent, depth + 1, placed, ordered);
    }
    if (placed.insert(row.name)) ordered.push_back(row.name);
}

}  // namespace

std::vector<std::string> WithDescendants(const std::vector<FeatureRow>& features, const NameSet& names)
{
    NameSet chosen = names;
    // A child joins when its parent has; repeated until nothing joins (a tree is shallow).
    for (bool grew = true; grew;) {
        grew = false;
        for (const FeatureRow& row : features)
            if (row.parent && chosen.count(*row.parent) && chosen.insert(row.name)) grew = true;
    }
    std::vector<std::string> ordered;
    NameSet placed;
    for (std::size_t i = 0; i < features.size(); ++i) Place(features, chosen, i, 0, placed, ordered);
    // Names the Feature table lacks still count: the installer answers for them.
    for (const std::string& name : names)
        if (placed.insert(name)) ordered.push_back(name);
    return ordered;
}

const char* RoadName(Road road)
{
    switch (road) {
    case Road::FirstInstall: return "first installation";
    case Road::Change: return "change of the installed product";
    case Road::Repair: return "repair";
    default: return "removal";
    }
}

const char* TargetName(Target target)
{
    switch (target) {
    case Target::Local: return "local";
    case Target::Source: return "run from source";
    case Target::Advertised: return "advertised";
    case Target::Package: return "as the package's Condition rows decide";
    default: return "absent";
    }
}

bool Installs(Target target)
{
    return target == Target::Local || target == Target::Source || target == Target::Advertised;
}

const FeaturePlan* PlanOf(const Plan& plan, const std::string& feature)
{
    for (const FeaturePlan& entry : plan.features)
        if (entry.feature == feature) return &entry;
    return nullptr;
}

NameSet Withheld(const Plan& plan)
{
    NameSet withheld;
    for (const FeaturePlan& entry : plan.features)
        if (entry.withheld) withheld.insert(entry.feature);
    return withheld;
}

std::vector<std::string> RuledFeatures(const Facts& facts)
{
    NameSet named;
    if (facts.rules)
        for (const CabinetRule& rule : *facts.rules)
            if (rule.feature && IsFeatureName(*rule.feature)) named.insert(*rule.feature);
    NameSet known;
    for (const FeatureRow& row : facts.features) known.insert(row.name);
    std::vector<std::string> all = WithDescendants(facts.features, named);
    // A feature the Feature table lacks is planned nowhere: no costing knows it.
    all.erase(std::remove_if(all.begin(), all.end(), [&](const std::string& name) { return !known.count(name); }), all.end());
    return all;
}

// Ten or fewer: two columns of five, 174 by 17, 20 apart, as the dialog has always had them.
// More: a text keeps the whole width of half the control as long as it can, since a function's
// text wraps sooner than rows get too tight to read. Rows close up first, down to eight rows
// of 12 units (a line of the dialog font is 8 high); past sixteen functions a third column
// (then a fourth...) takes the rows back up to the height they need.
ChoiceGrid ChoiceGridFor(std::size_t count)
{
    constexpr std::size_t kRowsOfTen = 5;
    constexpr std::size_t kMostRows = 8;
    if (count <= 2 * kRowsOfTen) return {2, static_cast<int>(kRowsOfTen), kChoiceWidth / 2, 17, kChoiceHeight / 5};
    std::size_t columns = std::max<std::size_t>(2, (count + kMostRows - 1) / kMostRows);
    std::size_t rows = (count + columns - 1) / columns;
    int pitch = kChoiceHeight / static_cast<int>(rows);
    return {static_cast<int>(columns), static_cast<int>(rows), kChoiceWidth / static_cast<int>(columns),
            std::min(17, pitch), pitch};
}

void LayOutChoice(std::vector<ChoiceButton>& buttons)
{
    ChoiceGrid grid = ChoiceGridFor(buttons.size());
    for (std::size_t i = 0; i < buttons.size(); ++i) {
        int row = static_cast<int>(i) % grid.rows;
        int column = static_cast<int>(i) / grid.rows;
        buttons[i].x = column * grid.width;
        buttons[i].y = row * grid.pitch;
        buttons[i].width = grid.width;
        buttons[i].height = grid.height;
    }
}
