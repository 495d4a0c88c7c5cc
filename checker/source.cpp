// The source folder area: where the installer will look for cabinets and support programs,
// the source folder followed by each path as written.
#include "checker/review.h"
#include "checker/text.h"

#include "package/contract.h"

#include <windows.h>

namespace {

bool FolderExists(const std::string& folder)
{
    DWORD attributes = GetFileAttributesW(WideFromUtf8(folder).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
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
    if (const Table* rules = review.Get(table::SearchCabinet))
        if (rules->names.size() >= 4)
            for (const auto& row : rules->rows)
                if (row[2] && !SourceFileExists(source, *row[2]))
                    review.Add("HG11", "warning", table::SearchCabinet, "Cabinet", RuleKey(row),
                               "cabinet " + Shown(*row[2]) + " is not in the source folder: the rule is not met "
                               "there; put the file there, or correct its path (relative to the folder of the package)");
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
