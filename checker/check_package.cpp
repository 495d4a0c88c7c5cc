// The checker's run: the package opened whole (every table and stream read), then every area
// of the checker in turn on one Review (review.h), and the findings as lines.
#include "checker/checks.h"

#include "checker/review.h"
#include "checker/text.h"

#include <msiquery.h>

#include <vector>

namespace {

// Reads a stream to its end; false when the file ends it early.
bool ReadWholeStream(MSIHANDLE record, UINT field)
{
    DWORD expected = MsiRecordDataSize(record, field);
    DWORD total = 0;
    std::vector<char> buffer(64 * 1024);
    for (;;) {
        DWORD size = static_cast<DWORD>(buffer.size());
        if (MsiRecordReadStream(record, field, buffer.data(), &size) != ERROR_SUCCESS) return false;
        if (size == 0) break;
        total += size;
    }
    return total == expected;
}

}  // namespace

bool OpenWholePackage(const std::string& package, PackageDatabase& db, std::string& problem)
{
    if (!db.OpenPackageFile(package)) {
        problem = "the installer cannot open it as a package";
        return false;
    }
    TableView catalogue;
    if (!catalogue.Open(db, "_Tables")) {
        problem = "its list of tables cannot be read";
        return false;
    }
    std::vector<std::string> names;
    while (catalogue.Fetch())
        if (OwnedString name = catalogue.GetString(1)) names.push_back(*name);
    if (names.empty()) {
        problem = "it holds no tables";
        return false;
    }
    // A damaged file can open and still lose tables it lists, or end a stream early.
    for (const std::string& name : names) {
        TableView rows;
        if (!rows.Open(db, name.c_str())) {
            problem = "it lists the table " + Shown(name) + " but the table cannot be read";
            return false;
        }
        while (rows.Fetch()) {
        }
    }
    TableView streams;
    if (streams.Open(db, "_Streams"))
        while (streams.Fetch()) {
            OwnedString name = streams.GetString(1);
            MsiHandle record = streams.TakeRecord();
            if (!ReadWholeStream(record.get(), 2)) {
                problem = "its stream " + Shown(name.value_or("")) + " ends before its recorded size";
                return false;
            }
        }
    return true;
}

std::vector<Finding> CheckPackage(const PackageDatabase& db, const OwnedString& sourceFolder)
{
    OwnedString source = sourceFolder;
    if (source && !source->empty() && source->back() != '\\') *source += '\\';
    Review review(db, source);
    CheckTables(review);
    CheckNames(review);
    CheckReleases(review);
    CheckRules(review);
    CheckRegistry(review);
    CheckFunctions(review);
    CheckDialog(review);
    CheckMessages(review);
    CheckSequences(review);
    CheckSource(review);
    CheckDecisions(review);
    return std::move(review.findings());
}

std::optional<std::vector<Finding>> CheckPackage(const std::string& package, const OwnedString& sourceFolder)
{
    PackageDatabase db;
    std::string problem;
    if (!OpenWholePackage(package, db, problem)) return std::nullopt;
    return CheckPackage(db, sourceFolder);
}

std::string FormatFinding(const Finding& finding)
{
    return finding.code + "\t" + finding.severity + "\t" + finding.table + "\t" + finding.column + "\t" + finding.key +
           "\t" + finding.message;
}
