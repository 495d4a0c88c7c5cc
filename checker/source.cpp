// The source folder area: where the installer will look for cabinets and support programs,
// the source folder followed by each path as written.
#include "checker/review.h"
#include "package/tables.h"
#include "checker/text.h"

#include "package/contract.h"

#include <windows.h>

#include <algorithm>

namespace {

bool FolderExists(const std::string& folder)
{
    DWORD attributes = GetFileAttributesW(WideFromUtf8(folder).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

void CheckCabinets(Review& review, const std::string& source)
{
    if (const Table* rules = review.Get(table::SearchCabinet))
        if (rules->names.size() >= 4)
            for (const auto& row : rules->rows)
                if (row[2] && !SourceFileExists(source, *row[2]))
                    review.Add("HG11", "warning", table::SearchCabinet, "Cabinet", RuleKey(row),
                               "cabinet " + Shown(*row[2]) + " is not in the source folder: the rule is not met "
                               "there; put the file there, or correct its path (relative to the folder of the package)");
}

// An administrative image holds no cabinet by design: its files lie uncompressed beside the
// package, and hostgate counts the cabinets the Media table lists as present there. Those
// the package never carried are another matter: an administrator must copy them in, and
// one finding names them all, rather than one a rule.
void CheckImageCabinets(Review& review, const std::string& source)
{
    const Table* rules = review.Get(table::SearchCabinet);
    if (!rules || rules->names.size() < 4) return;
    const std::vector<std::string> carried = ReadMediaCabinets(review.db());
    std::vector<std::string> missing;
    auto among = [](const std::vector<std::string>& names, const std::string& name) {
        return std::any_of(names.begin(), names.end(), [&](const std::string& other) { return SameCabinet(other, name); });
    };
    for (const auto& row : rules->rows)
        if (row[2] && !among(carried, *row[2]) && !among(missing, *row[2]) && !SourceFileExists(source, *row[2]))
            missing.push_back(*row[2]);
    if (missing.empty()) return;
    std::string paths;
    for (const std::string& cabinet : missing) paths += (paths.empty() ? "" : ", ") + source + Shown(cabinet);
    review.Add("HG20", "warning", table::SearchCabinet, "Cabinet", "",
               "the package is an administrative image, which holds no cabinets: hostgate counts those its Media "
               "table lists as present here, but not the cabinets the rules name that the package does not carry. "
               "Not in the image: " + paths + ". An administrator must copy them there (each at its path in the "
               "rules, below the folder of the package); until then the rules that name them are not met");
}

}  // namespace

void CheckSource(Review& review)
{
    if (!review.source()) return;
    const std::string& source = *review.source();
    // One finding for the folder, not one for every file that could not be there.
    if (!FolderExists(source)) {
        review.Add("HG11", "error", "", "", source,
                   "the source folder " + Shown(source) + " does not exist: name the folder the package is "
                   "installed from");
        return;
    }
    if (IsAdministrativeImage(review.db())) CheckImageCabinets(review, source);
    else CheckCabinets(review, source);
    if (const Table* packs = review.Get(table::SuportPacks))
        for (const auto& row : packs->rows) {
            if (row.empty() || !row[0]) continue;
            std::string program = ProgramPath(*row[0]);
            if (!SourceFileExists(source, program))
                review.Add("HG11", "warning", table::SuportPacks, "Source", *row[0],
                           Shown(program) + " is not in the source folder: it will not run; put it there or correct "
                           "the path");
        }
}
