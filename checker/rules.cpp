// The rules and functions area: what the SearchCabinet rules name, and how the functions
// offered meet them.
#include "checker/review.h"
#include "checker/text.h"

#include "gating/gate.h"
#include "gating/plan.h"
#include "host/host_release.h"
#include "package/contract.h"
#include "package/layout.h"

#include <msidefs.h>

#include <algorithm>
#include <cstring>
#include <map>

namespace {

// A choice's radio button holds one line of text beside its circle, which takes about 12
// units; a text that wraps loses its second line. Up to ten functions a button is 174 wide.
constexpr int kCircleWidth = 12;

// The width of a character in tenths of a dialog unit: an estimate at a typical dialog font,
// from letters measured on the choice dialog as Wine draws it (an ordinary letter 5.2 units,
// i, l, t, spaces and stops 3, capitals 5.2 to 8.2). Windows' 8-point Tahoma is narrower, so
// the estimate errs toward a warning.
int CharacterWidth(char32_t c)
{
    if (c >= 0x300 && c <= 0x36F) return 0;  // a combining mark
    if (c < 0x80) {
        if (std::string("ijlrtfI()[]{}.,:;'\"!|-/\\` ").find(static_cast<char>(c)) != std::string::npos) return 30;
        if (c == 'm' || c == 'M') return 74;
        if (c == 'W') return 82;
        if (c == 'w' || c == 'O' || c == 'Q' || c == 'G') return 67;
        if (c >= 'A' && c <= 'Z' && std::string("EFJLPSTZ").find(static_cast<char>(c)) == std::string::npos) return 59;
        return 52;
    }
    bool wide = (c >= 0x1100 && c <= 0x115F) || (c >= 0x2E80 && c <= 0xA4CF) || (c >= 0xAC00 && c <= 0xD7A3) ||
                (c >= 0xF900 && c <= 0xFAFF) || (c >= 0xFE30 && c <= 0xFE4F) || (c >= 0xFF00 && c <= 0xFF60) ||
                (c >= 0xFFE0 && c <= 0xFFE6) || c >= 0x20000;
    if (wide) return 104;
    bool capital = (c >= 0xC0 && c <= 0xDE && c != 0xD7) || (c >= 0x391 && c <= 0x3A9) || (c >= 0x400 && c <= 0x42F);
    return capital ? 59 : 52;
}

// The estimated width of a UTF-8 text, in whole dialog units.
int TextWidth(const std::string& text)
{
    int tenths = 0;
    for (std::size_t at = 0; at < text.size();) {
        unsigned char lead = static_cast<unsigned char>(text[at]);
        std::size_t length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
        char32_t c = length == 1 ? lead : lead & (0x7F >> length);
        for (std::size_t i = 1; i < length && at + i < text.size(); ++i)
            c = (c << 6) | (static_cast<unsigned char>(text[at + i]) & 0x3F);
        tenths += CharacterWidth(c);
        at += length;
    }
    return (tenths + 9) / 10;
}

// A rule as hostgate reads it: property and function by name, cabinet and feature by position.
struct Rule {
    OwnedString property;
    OwnedString function;
    OwnedString feature;
    std::string key;
};

std::vector<Rule> Rules(Review& review)
{
    std::vector<Rule> rules;
    const Table* table = review.Get(table::SearchCabinet);
    if (!table || table->names.size() < static_cast<std::size_t>(searchcabinet::Feature) ||
        !table->Column(searchcabinet::PropertyNameColumn) || !table->Column(searchcabinet::FunctionColumn))
        return rules;
    for (const auto& row : table->rows)
        rules.push_back({table->Field(row, searchcabinet::PropertyNameColumn), table->Field(row, searchcabinet::FunctionColumn),
                         Table::Field(row, searchcabinet::Feature), RuleKey(row)});
    return rules;
}

// For each feature the rules name, the properties its rules stand under ("" for a general rule).
std::map<std::string, std::set<std::string>> PropertiesOfFeatures(const std::vector<Rule>& rules)
{
    std::map<std::string, std::set<std::string>> under;
    for (const Rule& rule : rules)
        if (rule.feature && IsFeatureName(*rule.feature)) under[*rule.feature].insert(rule.property.value_or(""));
    return under;
}

// The property every rule of the feature stands under, when there is one and it is a release's.
OwnedString SoleRelease(const std::map<std::string, std::set<std::string>>& under, const std::string& feature,
                        const std::set<std::string>& releaseProperties)
{
    auto found = under.find(feature);
    if (found == under.end() || found->second.size() != 1 || !releaseProperties.count(*found->second.begin()))
        return std::nullopt;
    return *found->second.begin();
}

OwnedString ReleaseOf(Review& review, const std::string& property)
{
    if (const Table* releases = review.Get(table::AutoCAD))
        for (const auto& row : releases->rows)
            if (Table::Field(row, autocad::Property) == property) return Table::Field(row, autocad::Release);
    return std::nullopt;
}

std::string ReleaseShown(Review& review, const std::string& property)
{
    OwnedString release = ReleaseOf(review, property);
    return release ? "release " + Shown(*release) : "its release";
}

// True when a function the rule's Function names (by its name or its value) fits a release
// other than `property`'s: chosen there, it installs without that release.
bool InstallsWithout(Review& review, const std::vector<Rule>& rules, const std::string& function,
                     const std::string& property, const std::set<std::string>& releaseProperties)
{
    const Table* functions = review.Get(table::FunctionVersion);
    if (!functions) return false;
    for (const auto& row : functions->rows) {
        OwnedString value = Table::Field(row, functionversion::Value);
        if (!value || (function != *value && Table::Field(row, functionversion::Function) != function)) continue;
        for (const Rule& rule : rules)
            if (rule.function == value && rule.property && *rule.property != property &&
                releaseProperties.count(*rule.property))
                return true;
    }
    return false;
}

bool RaisedByCondition(Review& review, const std::string& feature)
{
    if (const Table* conditions = review.Get(table::Condition))
        for (const auto& row : conditions->rows)
            if (Table::Field(row, condition::Feature) == feature && Integer(Table::Field(row, condition::Level)) > 0)
                return true;
    return false;
}

// What a package's own Condition row does to a feature hostgate switches: hostgate never
// changes the row, and its own switch-off before costing is a temporary row (feature, 0, "1").
std::string ConditionRowEffect(const std::string& feature, int level, const std::string& expression)
{
    const std::string condition = Shown(expression.empty() ? "(empty)" : expression);
    const std::string roads = " wherever the features are decided before costing (a silent installation); only the "
                              "states AfterSelectFunction sets after costing (the dialog's Next) still switch it off; "
                              "move the condition to a parent feature";
    if (level == 0)
        return "feature " + feature + " is switched by hostgate's rules, and this row takes the key (" + feature +
               ", 0), so hostgate cannot add its own switch-off row: before costing the feature is off only while " +
               condition + " is true, and where it is false the feature installs although its rules switch it off," +
               roads;
    return "feature " + feature + " is switched by hostgate's rules, and this row at level " + std::to_string(level) +
           " applies after hostgate's own switch-off row at level 0 (rows apply in level order, the last true one "
           "wins): where " + condition + " is true the feature is back at level " + std::to_string(level) +
           " and installs although its rules switch it off," + roads;
}

// Where a Registry row that uses a release's property is written while the release is
// missing, the property then being empty.
std::string Misplaced(const Table& registryTable, const std::vector<OwnedString>& row, const std::string& reference,
                      const OwnedString& release)
{
    std::string key = registryTable.Field(row, registry::KeyColumn).value_or("");
    if (key.compare(0, reference.size(), reference) != 0) return "with " + reference + " empty in them";
    std::string rest = key.substr(reference.size());
    if (!rest.empty() && rest.front() == '\\') rest.erase(0, 1);
    const char* roots[] = {"HKCR", "HKCU", "HKLM", "HKU"};
    int root = Integer(registryTable.Field(row, registry::RootColumn));
    bool known = root >= 0 && root < 4;
    std::string hive = known ? roots[root] : "HKCU";
    return "at the root of their hive (" + hive + "\\" + Shown(rest) + " instead of " + hive + "\\" +
           kHostRegistryPath + "\\" + Shown(release.value_or("...")) + "\\...\\" + Shown(rest) +
           (known ? ")" : " per user, the same under HKLM per machine)");
}

// The release properties a Registry row uses: [P] in its Key, Name or Value.
std::vector<std::string> ReleasesUsed(const Table& registryTable, const std::vector<OwnedString>& row,
                                      const std::set<std::string>& properties)
{
    std::vector<std::string> used;
    for (const std::string& property : properties)
        for (const char* column : {registry::KeyColumn, registry::NameColumn, registry::ValueColumn}) {
            OwnedString text = registryTable.Field(row, column);
            if (text && text->find("[" + property + "]") != std::string::npos) {
                used.push_back(property);
                break;
            }
        }
    return used;
}

// What the registry checks read of the Component table and the installation's context.
constexpr const char* kRegistryColumn = "Registry";  // a Registry row's key
constexpr const char* kComponentTable = "Component";
constexpr const char* kComponentColumn = "Component";
constexpr const char* kAttributesColumn = "Attributes";
constexpr const char* kConditionColumn = "Condition";
constexpr const char* kAllUsers = "ALLUSERS";
constexpr const char* kInstallPerUser = "MSIINSTALLPERUSER";
constexpr int kRootOfContext = -1;  // HKEY_CURRENT_USER per user, HKEY_LOCAL_MACHINE per machine

struct ComponentFacts {
    int attributes = 0;
    std::string condition;
};

std::map<std::string, ComponentFacts> Components(Review& review)
{
    std::map<std::string, ComponentFacts> components;
    if (const Table* table = review.Get(kComponentTable))
        for (const auto& row : table->rows)
            if (OwnedString name = table->Field(row, kComponentColumn))
                components[*name] = {Integer(table->Field(row, kAttributesColumn)),
                                     table->Field(row, kConditionColumn).value_or("")};
    return components;
}

// ALLUSERS=1 installs per machine, and so does ALLUSERS=2 unless MSIINSTALLPERUSER asks for a
// per-user installation; an empty ALLUSERS installs per user.
bool InstallsPerMachine(Review& review)
{
    std::string allUsers = review.PackageProperty(kAllUsers).value_or("");
    if (allUsers.empty()) return false;
    return allUsers != "2" || review.PackageProperty(kInstallPerUser).value_or("").empty();
}

bool IsNameCharacter(char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '.';
}

// True when `condition` holds `property`="`value`" (or ~=), not negated: the component
// installs only where the property says so. Other forms of the same test are not recognised.
bool Requires(const std::string& condition, const std::string& property, const std::string& value)
{
    auto skipSpaces = [&](std::size_t at) {
        while (at < condition.size() && (condition[at] == ' ' || condition[at] == '\t')) ++at;
        return at;
    };
    const std::string quoted = "\"" + value + "\"";
    for (std::size_t at = condition.find(property); at != std::string::npos; at = condition.find(property, at + 1)) {
        std::size_t end = at + property.size();
        if ((at > 0 && IsNameCharacter(condition[at - 1])) || (end < condition.size() && IsNameCharacter(condition[end])))
            continue;
        std::size_t next = skipSpaces(end);
        if (condition.compare(next, 1, "~") == 0) ++next;
        if (condition.compare(next, 1, "=") != 0) continue;
        next = skipSpaces(next + 1);
        if (condition.compare(next, quoted.size(), quoted) != 0) continue;
        std::size_t before = at;
        while (before > 0 && (condition[before - 1] == ' ' || condition[before - 1] == '\t' || condition[before - 1] == '('))
            --before;
        bool negated = before >= 3 && _strnicmp(condition.c_str() + before - 3, "NOT", 3) == 0 &&
                       (before == 3 || !IsNameCharacter(condition[before - 4]));
        if (!negated) return true;
    }
    return false;
}

// Where rows under a release's property land against where the host reads: a host found in
// the 64-bit view reads HKEY_LOCAL_MACHINE\Software without Wow6432Node, where a 32-bit
// component writes; a host found per machine is read by every user, and HKEY_CURRENT_USER by one.
void CheckRegistryPlaces(Review& review, const Table& registryTable, const std::set<std::string>& properties)
{
    std::map<std::string, ComponentFacts> components = Components(review);
    const bool perMachine = InstallsPerMachine(review);
    for (const auto& row : registryTable.rows) {
        OwnedString name = registryTable.Field(row, kRegistryColumn);
        OwnedString component = registryTable.Field(row, registry::ComponentColumn);
        auto facts = component ? components.find(*component) : components.end();
        std::vector<std::string> used = ReleasesUsed(registryTable, row, properties);
        if (!name || facts == components.end() || used.empty()) continue;
        const int root = Integer(registryTable.Field(row, registry::RootColumn));
        const bool machine = root == msidbRegistryRootLocalMachine || (root == kRootOfContext && perMachine);
        if (machine && !(facts->second.attributes & msidbComponentAttributes64bit))
            for (const std::string& property : used) {
                const std::string view = property + kViewSuffix;
                if (Requires(facts->second.condition, view, "32")) continue;
                review.Add("HG25", "warning", registry::Table, registry::ComponentColumn, *name,
                           "the row under [" + property + "] lands in HKEY_LOCAL_MACHINE (" +
                               (root == kRootOfContext ? "root -1, and the package installs per machine"
                                                       : "root 2") +
                               ") from " + Shown(*component) + ", a 32-bit component: on 64-bit Windows it is "
                               "written under Software\\Wow6432Node, and a host found in the 64-bit view (" + view +
                               "=\"64\", every current 64-bit release) does not read it there. Give the same rows "
                               "(root 2) to a 64-bit component (attribute 256, in a 64-bit package) conditioned on " +
                               view + "=\"64\", condition this one on " + view + "=\"32\", and mark both transitive "
                               "(attribute 64) so that a repair evaluates the condition again");
                break;
            }
        if (root == kRootOfContext && !perMachine) {
            const std::string& property = used.front();
            const std::string where = property + kRootSuffix;
            review.Add("HG26", "warning", registry::Table, registry::RootColumn, *name,
                       "the row under [" + property + "] has root -1, which follows the installation's context, and "
                       "the package can install per user (" + kAllUsers + " empty, or 2 with " + kInstallPerUser +
                           "): installed so, it lands under HKEY_CURRENT_USER also for a release found per machine "
                           "(" + where + "=\"machine\"), where other users' hosts do not read it. Write the rows in "
                           "two components: root 2 conditioned on " + where + "=\"machine\" and root 1 conditioned on " +
                           where + "=\"user\", both transitive (attribute 64) so that a repair evaluates the "
                           "condition again");
        }
    }
}

// Each feature that installs a component of `misplaced` (component and release property, and
// where its rows then land) while that release may be missing.
void ReportMisplaced(Review& review, const Table& featureComponents,
                     const std::map<std::pair<std::string, std::string>, std::string>& misplaced,
                     const std::set<std::string>& properties)
{
    if (misplaced.empty()) return;
    std::map<std::string, std::set<std::string>> under = PropertiesOfFeatures(Rules(review));
    for (const auto& row : featureComponents.rows) {
        OwnedString feature = featureComponents.Field(row, featurecomponents::FeatureColumn);
        OwnedString component = featureComponents.Field(row, featurecomponents::ComponentColumn);
        if (!feature || !component) continue;
        OwnedString sole = SoleRelease(under, *feature, properties);
        for (auto it = misplaced.lower_bound({*component, ""}); it != misplaced.end() && it->first.first == *component;
             ++it) {
            const std::string& property = it->first.second;
            if (sole == property) continue;
            std::string why = under.count(*feature) ? "its rules do not all stand under " + property : "no rule names it";
            review.Add("HG19", "warning", featurecomponents::Table, featurecomponents::FeatureColumn,
                       *feature + "/" + *component,
                       "component " + Shown(*component) + " has Registry rows under [" + property + "], and feature " +
                           Shown(*feature) + ", which installs it, can install while " + ReleaseShown(review, property) +
                           " is missing (" + why + "): the rows are then written " + it->second +
                           "; move them into a component of a feature ruled under " + property + " alone");
        }
    }
}

}  // namespace

void CheckRules(Review& review)
{
    std::vector<Rule> rules = Rules(review);
    if (rules.empty()) return;
    std::set<std::string> features = review.Features();
    std::set<std::string> properties = review.HostProperties();

    std::set<std::string> ruled;  // features any rule names
    std::set<std::string> usedProperties;
    for (const Rule& rule : rules) {
        // A name no feature key can hold is the names area's (HG16).
        if (!rule.feature || !IsFeatureName(*rule.feature)) continue;
        const std::string& feature = *rule.feature;
        ruled.insert(feature);
        if (!features.count(feature))
            review.Add("HG03", "error", table::SearchCabinet, layout::ColumnName(table::SearchCabinet, searchcabinet::Feature),
                       rule.key,
                       "the rule names feature " + feature + ", which the Feature table does not have: the rule "
                       "switches nothing; name the feature exactly as its Feature key");
        if (!rule.property) continue;
        usedProperties.insert(*rule.property);
        if (!properties.count(*rule.property))
            review.Add("HG04", "warning", table::SearchCabinet, searchcabinet::PropertyNameColumn, rule.key,
                       "no AutoCAD row has the property " + Shown(*rule.property) +
                           ": the rule belongs to no host release; use an AutoCAD Property, or leave it empty for a "
                           "general rule");
    }
    for (const std::string& property : properties)
        if (!usedProperties.count(property))
            review.Add("HG04", "warning", table::AutoCAD, layout::ColumnName(table::AutoCAD, autocad::Property), property,
                       "no SearchCabinet rule has the property " + Shown(property) +
                           ": the release can never be matched to a function (message 3000 when it is the only one "
                           "installed); add rules under it");
    // A feature whose every rule stands under one release's property stays off wherever that
    // release is missing, whatever function is chosen: said once, on the first rule of a
    // function that installs without that release (one its Value fits under another release).
    std::map<std::string, std::set<std::string>> under = PropertiesOfFeatures(rules);
    std::set<std::string> told;
    for (const Rule& rule : rules) {
        if (!rule.feature || !features.count(*rule.feature) || !rule.function || told.count(*rule.feature)) continue;
        OwnedString property = SoleRelease(under, *rule.feature, properties);
        if (!property || !InstallsWithout(review, rules, *rule.function, *property, properties)) continue;
        told.insert(*rule.feature);
        review.Add("HG12", "warning", table::SearchCabinet, layout::ColumnName(table::SearchCabinet, searchcabinet::Feature),
                   rule.key,
                   "feature " + *rule.feature + "'s rules all stand under " + *property + ": it installs only where " +
                       ReleaseShown(review, *property) + " is found, whatever the function chosen; if function " +
                       Shown(*rule.function) + " should install it without that release, give it a general rule of "
                       "the function too (empty " + searchcabinet::PropertyNameColumn + ", under its Value, and "
                       "under its name where the two differ)");
    }
    // A feature that no costing installs (level 0, no Condition row raising it) stays out on
    // every road, whatever the rules and the choice say.
    if (const Table* featureTable = review.Get(table::Feature))
        if (featureTable->names.size() >= static_cast<std::size_t>(feature::Level))
            for (const auto& row : featureTable->rows) {
                OwnedString name = Table::Field(row, feature::Feature);
                if (name && ruled.count(*name) && Integer(Table::Field(row, feature::Level)) <= 0 &&
                    !RaisedByCondition(review, *name))
                    review.Add("HG14", "warning", table::Feature, "Level", *name,
                               "feature " + *name + " has level 0, so no road installs it, yet rules name it: give "
                               "it the level it installs at (1, or above INSTALLLEVEL for a feature only lists add)");
            }
    if (const Table* conditions = review.Get(table::Condition))
        for (const auto& row : conditions->rows) {
            OwnedString feature = Table::Field(row, condition::Feature);
            OwnedString level = Table::Field(row, condition::Level);
            // A row below level 0 comes before hostgate's own, which then wins.
            if (!feature || !ruled.count(*feature) || Integer(level) < 0) continue;
            review.Add("HG09", "warning", table::Condition, condition::FeatureColumn, Join({feature, level}),
                       ConditionRowEffect(*feature, Integer(level), Table::Field(row, condition::Expression).value_or("")));
        }
}

// Rows under a release's property ([P] in Key, Name or Value): written where the release is
// missing, the property is empty and a key under it lands at the root of its hive; written
// where the release's host does not read, they register nothing.
void CheckRegistry(Review& review)
{
    const Table* registryTable = review.Get(registry::Table);
    const Table* featureComponents = review.Get(featurecomponents::Table);
    std::set<std::string> properties = review.HostProperties();
    if (!registryTable || properties.empty()) return;
    // Rules hostgate cannot read (HG01) tell nothing of which features a release holds.
    if (featureComponents && !review.HasError("HG01", table::SearchCabinet)) {
        // Component and release property, and what its first such row shows of the harm.
        std::map<std::pair<std::string, std::string>, std::string> misplaced;
        for (const auto& row : registryTable->rows) {
            OwnedString component = registryTable->Field(row, registry::ComponentColumn);
            if (!component) continue;
            for (const std::string& property : ReleasesUsed(*registryTable, row, properties))
                misplaced.emplace(std::make_pair(*component, property),
                                  Misplaced(*registryTable, row, "[" + property + "]", ReleaseOf(review, property)));
        }
        ReportMisplaced(review, *featureComponents, misplaced, properties);
    }
    CheckRegistryPlaces(review, *registryTable, properties);
}

void CheckFunctions(Review& review)
{
    const Table* functions = review.Get(table::FunctionVersion);
    if (!functions || functions->names.size() < static_cast<std::size_t>(functionversion::Value)) return;
    std::vector<Rule> rules = Rules(review);
    std::set<std::string> ruleFunctions;
    std::set<std::string> hostFunctions;  // with a rule under some host release's property
    std::set<std::string> properties = review.HostProperties();
    for (const Rule& rule : rules) {
        if (!rule.function) continue;
        ruleFunctions.insert(*rule.function);
        if (rule.property && properties.count(*rule.property)) hostFunctions.insert(*rule.function);
    }
    const char* valueColumn = layout::ColumnName(table::FunctionVersion, functionversion::Value);
    // Rules hostgate cannot read (HG01) say nothing of the functions they would name.
    bool rulesRead = !review.HasError("HG01", table::SearchCabinet);
    // Judged where every function with a value is offered: the most buttons, the narrowest.
    std::size_t offerable = std::count_if(functions->rows.begin(), functions->rows.end(), [](const auto& row) {
        return Table::Field(row, functionversion::Value).has_value();
    });
    ChoiceGrid grid = ChoiceGridFor(offerable);
    std::string crowded = offerable > 10 ? " (" + std::to_string(grid.columns) + " columns for " +
                                               std::to_string(offerable) + " functions)"
                                         : std::string();
    for (const auto& row : functions->rows) {
        OwnedString name = Table::Field(row, functionversion::Function);
        OwnedString text = Table::Field(row, functionversion::Text);
        OwnedString value = Table::Field(row, functionversion::Value);
        std::string key = name.value_or(std::string());
        if (rulesRead && value && ruleFunctions.count(*value) && !properties.empty() && !hostFunctions.count(*value))
            review.Add("HG13", "error", table::FunctionVersion, valueColumn, key,
                       "no rule of any host release (an AutoCAD property) has the Function " + Shown(*value) +
                           ": choosing the function fails with message 3000 on every machine; add its rules under "
                           "each release that supports it");
        if (rulesRead && value && name && *value != *name && !ruleFunctions.count(*value))
            review.Add("HG05", "error", table::FunctionVersion, valueColumn, key,
                       "the function is offered under its name " + Shown(*name) + " but, once chosen, its rules are "
                       "read under its value " + Shown(*value) + ", and no rule has that Function: add its rules "
                       "under " + Shown(*value) + " too");
        int width = text ? TextWidth(*text) : 0;
        if (width > grid.width - kCircleWidth)
            review.Add("HG10", "warning", table::FunctionVersion, layout::ColumnName(table::FunctionVersion, functionversion::Text),
                       key,
                       "the text is about " + std::to_string(width) + " dialog units wide (an estimate at a typical "
                       "dialog font, about 4 to 5 units a character, capitals, m and w wider), and its radio button "
                       "leaves about " + std::to_string(grid.width - kCircleWidth) + " of its " + std::to_string(grid.width) +
                           " units beside the circle" + crowded + ": the text wraps onto a second line, which the button's "
                           "height of " + std::to_string(grid.height) + " units cuts off; shorten it");
    }
}
