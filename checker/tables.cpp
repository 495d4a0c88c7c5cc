// The tables area: the custom tables held against the layout hostgate reads them by
// (package/layout.h), the names the installer holds as identifiers, and the host releases' rows.
#include "checker/review.h"
#include "checker/text.h"

#include "gating/gate.h"
#include "gating/plan.h"
#include "package/contract.h"
#include "package/layout.h"

#include <algorithm>
#include <map>

namespace {

// What a package loses when it lacks a table hostgate cannot do without.
struct RequiredTable {
    const char* name;
    const char* whenMissing;
};

const RequiredTable kRequiredTables[] = {
    {table::FunctionVersion,
     "no function is ever offered, and AfterSelectFunction fails with message 3000 unless FUNCTION_VER is given"},
    {table::SearchCabinet, "no rule is met (message 3001)"},
};

const char* WhenMissing(const char* name)
{
    for (const RequiredTable& required : kRequiredTables)
        if (std::string(required.name) == name) return required.whenMissing;
    return nullptr;
}

constexpr const char* kSecureProperties = "SecureCustomProperties";

bool IsText(const std::string& type)
{
    return !type.empty() && std::string("sSlL").find(type[0]) != std::string::npos;
}

bool IsInteger(const std::string& type)
{
    return !type.empty() && std::string("iI").find(type[0]) != std::string::npos;
}

// The installer's Identifier: an ASCII letter or underscore, then letters, digits,
// underscores and periods.
bool IsIdentifier(const std::string& name)
{
    if (name.empty()) return false;
    auto letter = [](char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_'; };
    if (!letter(name[0])) return false;
    for (char c : name)
        if (!letter(c) && !(c >= '0' && c <= '9') && c != '.') return false;
    return true;
}

std::vector<std::string> PrimaryKeys(const PackageDatabase& db, const char* table)
{
    MsiHandle record;
    if (MsiDatabaseGetPrimaryKeysW(db.handle(), Wide(table).c_str(), record.put()) != ERROR_SUCCESS) return {};
    return RecordTexts(record.get());
}

bool Holds(const layout::Column& column, const std::string& type)
{
    switch (column.holds) {
    case layout::Holds::Text: return IsText(type);
    case layout::Holds::Integer: return IsInteger(type);
    case layout::Holds::Nothing: return true;
    }
    return true;
}

void CheckShape(Review& review, const layout::Table& shape, const Table& table)
{
    for (const layout::Column& column : shape) {
        const char* kind = column.holds == layout::Holds::Integer ? "an integer (i or I)" : "text (s or S)";
        if (column.ByName()) {
            std::optional<std::size_t> at = table.Column(column.name);
            if (!at)
                review.Add("HG01", "error", shape.name, column.name, "",
                           std::string("no column is named ") + column.name +
                               ": hostgate's queries select by this name; name the column so (spelt exactly so)");
            else if (!Holds(column, table.types[*at]))
                review.Add("HG01", "error", shape.name, column.name, "",
                           "the column has type " + table.types[*at] + "; it must hold " + kind);
            continue;
        }
        std::size_t at = static_cast<std::size_t>(column.position);
        std::string position = "column " + std::to_string(at);
        if (at > table.names.size()) {
            review.Add("HG01", "error", shape.name, column.name, "",
                       position + " is missing: hostgate reads the " + column.name + " there; add it");
            continue;
        }
        const std::string& type = table.types[at - 1];
        if (!Holds(column, type))
            review.Add("HG01", "error", shape.name, table.names[at - 1], "",
                       position + " (read as " + column.name + ") has type " + type + "; it must hold " + kind);
    }
    std::vector<std::string> keys = PrimaryKeys(review.db(), shape.name);
    for (std::size_t i = 0; i < keys.size(); ++i)
        if (i >= table.names.size() || keys[i] != table.names[i]) {
            review.Add("HG02", "error", shape.name, keys[i], "",
                       "the key columns must come first, in order: the installer returns them first, "
                       "and hostgate reads columns by position");
            break;
        }
}

}  // namespace

void CheckTables(Review& review)
{
    for (const layout::Table& shape : layout::kCustomTables) {
        if (const Table* table = review.Get(shape.name))
            CheckShape(review, shape, *table);
        else if (const char* lost = WhenMissing(shape.name))
            review.Add("HG01", "error", shape.name, "", "", std::string("the table is missing: ") + lost);
    }
    for (const char* name : {table::Condition, table::RadioButton, table::Control})
        if (!review.Get(name))
            review.Add("HG01", "error", name, "", "",
                       "the table is missing: hostgate creates no table, and its rows for this one would be lost; "
                       "add it, even empty");
}

void CheckNames(Review& review)
{
    if (const Table* features = review.Get(table::Feature))
        for (const auto& row : features->rows) {
            OwnedString name = Table::Field(row, feature::Feature);
            if (name && (name->size() > kFeatureNameLimit || !IsIdentifier(*name)))
                review.Add("HG16", "error", table::Feature, feature::FeatureColumn, *name,
                           "feature " + Shown(*name) + " is not a feature key (1 to 38 ASCII letters, digits, "
                           "underscores and periods, not starting with a digit or period): rename it");
        }
    if (const Table* rules = review.Get(table::SearchCabinet))
        for (const auto& row : rules->rows) {
            OwnedString feature = Table::Field(row, searchcabinet::Feature);
            if (feature && !IsFeatureName(*feature))
                review.Add("HG16", "error", table::SearchCabinet, layout::ColumnName(table::SearchCabinet, searchcabinet::Feature),
                           RuleKey(row),
                           "the rule names a feature of " + std::to_string(feature->size()) +
                               " characters; a feature key holds at most 38, and hostgate skips the row: "
                               "it neither satisfies nor counts; name the feature by its key");
        }
    if (const Table* releases = review.Get(table::AutoCAD))
        for (const auto& row : releases->rows) {
            OwnedString property = Table::Field(row, autocad::Property);
            if (property && !IsIdentifier(*property))
                review.Add("HG16", "error", table::AutoCAD, layout::ColumnName(table::AutoCAD, autocad::Property), *property,
                           "property " + Shown(*property) + " is not an identifier (ASCII letters, digits, underscores "
                           "and periods, not starting with a digit or period): the installer cannot set or test it; "
                           "rename it");
        }
}

void CheckReleases(Review& review)
{
    const Table* releases = review.Get(table::AutoCAD);
    if (!releases || releases->names.size() < static_cast<std::size_t>(autocad::Release)) return;
    const char* propertyColumn = layout::ColumnName(table::AutoCAD, autocad::Property);
    std::map<std::string, std::string> propertyOf;  // release, the first property listing it
    std::vector<std::string> notSecure;
    std::string secure = ";" + review.PackageProperty(kSecureProperties).value_or("") + ";";
    auto requireSecure = [&](const std::string& property) {
        // A property with several releases (rows) is named once.
        if (secure.find(";" + property + ";") == std::string::npos &&
            std::find(notSecure.begin(), notSecure.end(), property) == notSecure.end())
            notSecure.push_back(property);
    };
    // The choice made on the dialog travels to the execute side in FUNCTION_VER.
    requireSecure(prop::FunctionVer);
    for (const auto& row : releases->rows) {
        OwnedString release = Table::Field(row, autocad::Release);
        OwnedString property = Table::Field(row, autocad::Property);
        if (!property) {
            review.Add("HG04", "error", table::AutoCAD, propertyColumn, "",
                       "the row of release " + Shown(release.value_or("(none)")) + " has no Property: its rules "
                       "would be the general rules, so when the release is missing every feature the rules name "
                       "goes off; give it a property of its own");
            continue;
        }
        if (release) {
            auto first = propertyOf.emplace(*release, *property);
            if (!first.second)
                review.Add("HG04", "error", table::AutoCAD, layout::ColumnName(table::AutoCAD, autocad::Release), *property,
                           "release " + Shown(*release) + " is listed under " + first.first->second + " and again under " +
                               Shown(*property) + ": both count as installed when it is, and the second's features "
                               "install without their release; give each property its own release");
        }
        if (property->find_first_of("abcdefghijklmnopqrstuvwxyz") != std::string::npos)
            review.Add("HG17", "warning", table::AutoCAD, propertyColumn, *property,
                       "property " + Shown(*property) + " has lower-case letters, so it is private: on Windows it "
                       "neither crosses from the user interface to the execute side nor can be given on the "
                       "command line; write it in upper case");
        else  // with its companions, which say where it was found
            for (const char* suffix : {"", kRootSuffix, kViewSuffix}) requireSecure(*property + suffix);
    }
    // Which releases hostgate looked up itself, told apart from those an administrator gave.
    if (!releases->rows.empty()) requireSecure(prop::LibrarySet);
    if (!notSecure.empty()) {
        std::string list;
        for (const std::string& property : notSecure) list += (list.empty() ? "" : ";") + Shown(property);
        review.Add("HG17", "warning", table::Property, "Value", kSecureProperties,
                   "the properties " + list + " are not in " + kSecureProperties + ": on Windows, for a user "
                   "who is not an administrator, they do not reach the execute side, where the dialog's choice (" +
                       prop::FunctionVer + ") and a release given on the command line with its companions (the root "
                       "and view it lives in, <P>" + kRootSuffix + " and <P>" + kViewSuffix + ", which components "
                       "writing the host's registration are conditioned on) are lost, and the releases hostgate "
                       "looked up (" + prop::LibrarySet + ") cannot be told from releases an administrator gave; add "
                       "them to the property");
    }
}
