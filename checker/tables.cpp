// The tables area: the custom tables' shapes as hostgate reads them, the names the
// installer holds as identifiers, and the host releases' rows.
#include "checker/review.h"
#include "checker/text.h"

#include "gating/gate.h"
#include "package/contract.h"

#include <map>

namespace {

// A column hostgate reads. By name: its queries select or sort by it, wherever it stands.
// By position: it reads the field at that place, whatever the column is called.
struct ColumnShape {
    const char* name;  // the name the guide gives it
    std::size_t position;  // from 1; 0 for a column read by name only
    bool byName;
    bool text;
};

struct TableShape {
    const char* name;
    std::vector<ColumnShape> columns;
    bool required;
    const char* whenMissing;
};

const std::vector<TableShape> kCustomTables = {
    {table::AutoCAD,
     {{"Property", 1, false, true}, {"Unused", 2, false, false}, {"Release", 3, false, true}},
     false, ""},
    {table::FunctionVersion,
     {{"Function", 1, false, true}, {"Text", 2, false, true}, {"Value", 3, false, true}},
     true, "no function is ever offered, and AfterSelectFunction fails with message 3000 unless FUNCTION_VER is given"},
    {table::SearchCabinet,
     {{"PropertyName", 0, true, true}, {"Function", 0, true, true}, {"Flags", 0, true, false},
      {"Cabinet", 3, false, true}, {"Feature", 4, false, true}, {"Flags", 5, false, false}},
     true, "no rule is met (message 3001)"},
    {table::SuportPacks, {{"Source", 1, false, true}, {"CommandLine", 2, false, true}}, false, ""},
};

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

void CheckShape(Review& review, const TableShape& shape, const Table& table)
{
    for (const ColumnShape& column : shape.columns) {
        const char* kind = column.text ? "text (s or S)" : "an integer (i or I)";
        if (column.byName) {
            std::optional<std::size_t> at = table.Column(column.name);
            if (!at)
                review.Add("HG01", "error", shape.name, column.name, "",
                           std::string("no column is named ") + column.name +
                               ": hostgate's queries select by this name; name the column so (spelt exactly so)");
            else if (column.text ? !IsText(table.types[*at]) : !IsInteger(table.types[*at]))
                review.Add("HG01", "error", shape.name, column.name, "",
                           "the column has type " + table.types[*at] + "; it must hold " + kind);
            continue;
        }
        std::string position = "column " + std::to_string(column.position);
        if (column.position > table.names.size()) {
            review.Add("HG01", "error", shape.name, column.name, "",
                       position + " is missing: hostgate reads the " + column.name + " there; add it");
            continue;
        }
        const std::string& name = table.names[column.position - 1];
        const std::string& type = table.types[column.position - 1];
        // A column hostgate does not read only holds the place of the next.
        bool read = std::string(column.name) != "Unused";
        if (read && (column.text ? !IsText(type) : !IsInteger(type)))
            review.Add("HG01", "error", shape.name, name, "",
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
    for (const TableShape& shape : kCustomTables) {
        if (const Table* table = review.Get(shape.name))
            CheckShape(review, shape, *table);
        else if (shape.required)
            review.Add("HG01", "error", shape.name, "", "", std::string("the table is missing: ") + shape.whenMissing);
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
            if (row.empty() || !row[0]) continue;
            const std::string& name = *row[0];
            if (name.size() > kFeatureNameLimit || !IsIdentifier(name))
                review.Add("HG16", "error", table::Feature, "Feature", name,
                           "feature " + Shown(name) + " is not a feature key (1 to 38 ASCII letters, digits, "
                           "underscores and periods, not starting with a digit or period): rename it");
        }
    if (const Table* rules = review.Get(table::SearchCabinet))
        for (const auto& row : rules->rows)
            if (row.size() > 3 && row[3] && !IsFeatureName(*row[3]))
                review.Add("HG16", "error", table::SearchCabinet, "Feature", RuleKey(row),
                           "the rule names a feature of " + std::to_string(row[3]->size()) +
                               " characters; a feature key holds at most 38, and hostgate skips the row: "
                               "it neither satisfies nor counts; name the feature by its key");
    if (const Table* releases = review.Get(table::AutoCAD))
        for (const auto& row : releases->rows)
            if (!row.empty() && row[0] && !IsIdentifier(*row[0]))
                review.Add("HG16", "error", table::AutoCAD, "Property", *row[0],
                           "property " + Shown(*row[0]) + " is not an identifier (ASCII letters, digits, underscores "
                           "and periods, not starting with a digit or period): the installer cannot set or test it; "
                           "rename it");
}

void CheckReleases(Review& review)
{
    const Table* releases = review.Get(table::AutoCAD);
    if (!releases || releases->names.size() < 3) return;
    std::map<std::string, std::string> propertyOf;  // release, the first property listing it
    std::vector<std::string> notSecure;
    std::string secure = ";" + review.PackageProperty("SecureCustomProperties").value_or("") + ";";
    // The choice made on the dialog travels to the execute side in FUNCTION_VER.
    if (secure.find(std::string(";") + prop::FunctionVer + ";") == std::string::npos) notSecure.push_back(prop::FunctionVer);
    for (const auto& row : releases->rows) {
        if (!row[0]) {
            review.Add("HG04", "error", table::AutoCAD, "Property", "",
                       "the row of release " + Shown(row[2].value_or("(none)")) + " has no Property: its rules "
                       "would be the general rules, so when the release is missing every feature the rules name "
                       "goes off; give it a property of its own");
            continue;
        }
        const std::string& property = *row[0];
        if (row[2]) {
            auto first = propertyOf.emplace(*row[2], property);
            if (!first.second)
                review.Add("HG04", "error", table::AutoCAD, "Release", property,
                           "release " + Shown(*row[2]) + " is listed under " + first.first->second + " and again under " +
                               Shown(property) + ": both count as installed when it is, and the second's features "
                               "install without their release; give each property its own release");
        }
        if (property.find_first_of("abcdefghijklmnopqrstuvwxyz") != std::string::npos)
            review.Add("HG17", "warning", table::AutoCAD, "Property", property,
                       "property " + Shown(property) + " has lower-case letters, so it is private: on Windows it "
                       "neither crosses from the user interface to the execute side nor can be given on the "
                       "command line; write it in upper case");
        else if (secure.find(";" + property + ";") == std::string::npos)
            notSecure.push_back(property);
    }
    if (!notSecure.empty()) {
        std::string list;
        for (const std::string& property : notSecure) list += (list.empty() ? "" : ";") + property;
        review.Add("HG17", "warning", table::Property, "Value", "SecureCustomProperties",
                   "the properties " + Shown(list) + " are not in SecureCustomProperties: on Windows, for a user "
                   "who is not an administrator, the dialog's choice and a release given on the command line do "
                   "not reach the execute side; add them to the property");
    }
}
