#include "setup/package_facts.h"

#include "package/contract.h"
#include "session/database.h"
#include "setup/apart.h"

#include <cwchar>
#include <string>

namespace {

// The installer's own property, read for messages only.
constexpr const char* kProductName = "ProductName";

constexpr int kRead = 0;
constexpr int kUnreadable = 2;
// A sound package is read in well under a second; an engine that hangs is given up on.
constexpr DWORD kReadTimeoutMs = 60 * 1000;

// The table reading shares the library's UTF-8 text; this program keeps wide text.
std::wstring WideText(const OwnedString& text)
{
    if (!text) return std::wstring();
    Wide wide(*text);
    return std::wstring(wide.c_str(), wide.size());
}

std::wstring PropertyValue(const PackageDatabase& db, const char* name)
{
    TableView rows;
    if (!rows.Open(db, table::Property, nullptr, Filter(property::PropertyColumn, name)) || !rows.Fetch())
        return std::wstring();
    return WideText(rows.GetString(property::Value));
}

// Exit codes of crashed processes read best as exception codes: 0xC0000005.
std::wstring Hex(DWORD code)
{
    wchar_t text[16];
    swprintf(text, 16, L"0x%08lX", static_cast<unsigned long>(code));
    return text;
}

}  // namespace

int ReadPackageHere(const std::wstring& path)
{
    ApartWriter answer;
    PackageDatabase db;
    if (!db.OpenPackageFile(Utf8(path.c_str(), path.size()))) return answer.Send() ? kUnreadable : kUnreadable + 1;
    answer.Add(PropertyValue(db, prop::ProductCode));
    answer.Add(PropertyValue(db, prop::ProductVersion));
    answer.Add(PropertyValue(db, kProductName));
    TableView rows;
    if (rows.Open(db, table::SuportPacks)) {
        while (rows.Fetch()) {
            OwnedString source = rows.GetString(suportpacks::Source);
            if (!source) continue;  // as RunSuportPacks skips it
            answer.Add(WideText(source));
            answer.Add(WideText(rows.GetString(suportpacks::CommandLine)));
        }
    }
    return answer.Send() ? kRead : kUnreadable + 1;
}

PackageReading ReadPackageApart(const std::wstring& path)
{
    PackageReading reading;
    ApartAnswer answer = RunApart({kReadPackageOption, path}, kReadTimeoutMs);
    switch (answer.outcome) {
    case ApartAnswer::Outcome::NotStarted: reading.failure = L"the reader could not be started"; return reading;
    case ApartAnswer::Outcome::TimedOut: reading.failure = L"the reader did not finish in time"; return reading;
    case ApartAnswer::Outcome::Failed:
        reading.failure = L"the installer's engine failed while reading it (reader exit code " + Hex(answer.exitCode) + L")";
        return reading;
    case ApartAnswer::Outcome::Answered: break;
    }
    const std::vector<std::wstring>& fields = answer.fields;
    // The product's code, version and name, then two fields a SuportPacks row.
    if (answer.exitCode == kUnreadable || fields.size() < 3 || (fields.size() - 3) % 2 != 0) {
        reading.result = PackageReading::Result::Unreadable;
        return reading;
    }
    reading.result = PackageReading::Result::Read;
    reading.facts.productCode = fields[0];
    reading.facts.productVersion = fields[1];
    reading.facts.productName = fields[2];
    for (std::size_t at = 3; at + 1 < fields.size(); at += 2) reading.facts.supportRows.push_back({fields[at], fields[at + 1]});
    return reading;
}
