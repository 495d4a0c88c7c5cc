#include "gating/plan.h"

#include <msidefs.h>

#include <algorithm>
#include <cstdlib>

MemoryConditions::MemoryConditions(const std::vector<ConditionRow>& rows)
{
    for (const ConditionRow& row : rows) keys_.insert({row.feature, row.level});
}

bool MemoryConditions::Insert(const ConditionRow& row)
{
    return keys_.insert({row.feature, row.level}).second;
}

bool MemoryConditions::Lower(const ConditionRow& row)
{
    if (keys_.count({row.feature, 0})) return false;
    keys_.erase({row.feature, row.level});
    return keys_.insert({row.feature, 0}).second;
}

bool MemoryConditions::Delete(const ConditionRow& row)
{
    return keys_.erase({row.feature, row.level}) != 0;
}

namespace {

// One field of the encoded changes: tabs, line ends and backslashes escaped.
std::string Escaped(const std::string& text)
{
    std::string out;
    for (char c : text) {
        if (c == '\\') out += "\\\\";
        else if (c == '\t') out += "\\t";
        else if (c == '\n') out += "\\n";
        else out += c;
    }
    return out;
}

std::vector<std::string> Fields(const std::string& line)
{
    std::vector<std::string> fields(1);
    for (std::size_t i = 0; i < line.size(); ++i) {
        char c = line[i];
        if (c == '\t') {
            fields.emplace_back();
        } else if (c == '\\' && i + 1 < line.size()) {
            char next = line[++i];
            fields.back() += next == 't' ? '\t' : next == 'n' ? '\n' : next;
        } else {
            fields.back() += c;
        }
    }
    return fields;
}

bool SameKey(const ConditionRow& a, const ConditionRow& b)
{
    return a.feature == b.feature && a.level == b.level;
}

}  // namespace

std::string EncodeChanges(const ConditionChanges& changes)
{
    std::string text;
    auto add = [&](char sign, const ConditionRow& row) {
        // An expression is written behind '=', so that none (no '=') stays apart from "".
        text += std::string(1, sign) + "\t" + Escaped(row.feature) + "\t" + std::to_string(row.level) + "\t" +
                (row.expression ? "=" + Escaped(*row.expression) : std::string()) + "\n";
    };
    for (const ConditionRow& row : changes.added) add('+', row);
    for (const ConditionRow& row : changes.removed) add('-', row);
    return text;
}

ConditionChanges DecodeChanges(const std::string& text)
{
    ConditionChanges changes;
    // Line ends inside a field are escaped: every line is one row.
    for (const std::string& line : SplitText(text, '\n')) {
        std::vector<std::string> fields = Fields(line);
        if (fields.size() != 4 || (fields[0] != "+" && fields[0] != "-")) continue;
        ConditionRow row{fields[1], std::atoi(fields[2].c_str()), std::nullopt};
        if (!fields[3].empty()) row.expression = fields[3].substr(1);
        (fields[0] == "+" ? changes.added : changes.removed).push_back(row);
    }
    return changes;
}

std::vector<ConditionRow> PackageRows(const std::vector<ConditionRow>& table, const ConditionChanges& changes)
{
    std::vector<ConditionRow> rows;
    for (const ConditionRow& row : table)
        if (std::find(changes.added.begin(), changes.added.end(), row) == changes.added.end()) rows.push_back(row);
    for (const ConditionRow& row : changes.removed)
        if (std::none_of(rows.begin(), rows.end(), [&](const ConditionRow& r) { return SameKey(r, row); }))
            rows.push_back(row);
    return rows;
}

ConditionChanges ChangesBetween(const ConditionRows& package, const ConditionRows& table)
{
    ConditionChanges changes;
    for (const auto& [feature, rows] : table)
        for (const ConditionRow& row : rows) {
            const std::vector<ConditionRow>& before = RowsOf(package, feature);
            if (std::find(before.begin(), before.end(), row) == before.end()) changes.added.push_back(row);
        }
    for (const auto& [feature, rows] : package)
        for (const ConditionRow& row : rows) {
            const std::vector<ConditionRow>& now = RowsOf(table, feature);
            if (std::find(now.begin(), now.end(), row) == now.end()) changes.removed.push_back(row);
        }
    return changes;
}

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
    auto found = rows.find(feature);
    return found == rows.end() ? none : found->second;
}

bool NameSet::count(const std::string& name) const
{
    return std::binary_search(names_.begin(), names_.end(), name);
}

bool NameSet::insert(const std::string& name)
{
    auto at = std::lower_bound(names_.begin(), names_.end(), name);
    if (at != names_.end() && *at == name) return false;
    names_.insert(at, name);
    return true;
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

NameSet SwitchedOff(const std::vector<FeatureRow>& features, const ConditionRows& rows, const Evaluate& evaluate)
{
    NameSet off;
    for (const auto& [feature, list] : rows)
        for (const ConditionRow& row : list)
            if (row.level == 0 && evaluate(row.expression.value_or(std::string())) != Truth::False) off.insert(feature);
    std::vector<std::string> all = WithDescendants(features, off);
    return NameSet(all.begin(), all.end());
}
