#include "setup/package_facts.h"

#include "package/contract.h"
#include "platform/apart.h"
#include "session/database.h"

#include <string>

namespace {

// The installer's own property, read for messages only.
constexpr const char* kProductName = "ProductName";

constexpr int kRead = 0;
constexpr int kUnreadable = 2;
// A sound package is read in well under a second; an engine that hangs is given up on.
constexpr DWORD kReadTimeoutMs = 60 * 1000;

std::string PropertyValue(const PackageDatabase& db, const char* name)
{
    TableView rows;
    if (!rows.Open(db, table::Property, nullptr, Filter(property::PropertyColumn, name)) || !rows.Fetch())
        return std::string();
    return rows.GetString(property::Value).value_or("");
}

}  // namespace

int ReadPackageHere(const std::wstring& path)
{
    ApartWriter answer;
    PackageDatabase db;
    if (!db.OpenPackageFile(Utf8(path))) return answer.Send() ? kUnreadable : kUnreadable + 1;
    answer.Add(PropertyValue(db, prop::ProductCode));
    answer.Add(PropertyValue(db, prop::ProductVersion));
    answer.Add(PropertyValue(db, kProductName));
    answer.Add(PropertyValue(db, prop::SetupPrograms));
    TableView rows;
    if (rows.Open(db, table::SuportPacks)) {
        while (rows.Fetch()) {
            OwnedString source = rows.GetString(suportpacks::Source);
            if (!source) continue;  // as RunSuportPacks skips it
            answer.Add(*source);
            answer.Add(rows.GetString(suportpacks::CommandLine).value_or(""));
        }
    }
    return answer.Send() ? kRead : kUnreadable + 1;
}

PackageReading ReadPackageApart(const std::wstring& path)
{
    PackageReading reading;
    ApartAnswer answer = RunApart({kReadPackageOption, Utf8(path)}, kReadTimeoutMs);
    if (!answer.answered) {
        reading.failure = Wide(answer.failure).str();
        return reading;
    }
    // The product's code, version, name and setup programs, then two fields a SuportPacks row.
    std::vector<std::wstring> fields;
    for (const std::string& field : answer.fields) fields.push_back(Wide(field).str());
    if (answer.exitCode == kUnreadable || fields.size() < 4 || (fields.size() - 4) % 2 != 0) {
        reading.result = PackageReading::Result::Unreadable;
        return reading;
    }
    reading.result = PackageReading::Result::Read;
    reading.facts.productCode = fields[0];
    reading.facts.productVersion = fields[1];
    reading.facts.productName = fields[2];
    reading.facts.setupPrograms = fields[3];
    for (std::size_t at = 4; at + 1 < fields.size(); at += 2) reading.facts.supportRows.push_back({fields[at], fields[at + 1]});
    return reading;
}
