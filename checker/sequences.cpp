// The sequences and roads area: how hostgate's actions are declared, where the library
// comes from, and where each action is scheduled in each sequence.
#include "checker/review.h"
#include "checker/text.h"

#include "package/contract.h"

#include <map>
#include <set>

namespace {

constexpr const char* kLibraryActions[] = {action::PrevInstall, action::AfterSelectFunction, action::RunSuportPacks,
                                           action::CopyInfFiles, action::RollbackInfFiles};

// A sequence's actions and their numbers, as written (negative ones included).
std::map<std::string, int> Numbers(Review& review, const char* name)
{
    std::map<std::string, int> numbers;
    if (const Table* sequence = review.Get(name))
        for (const auto& row : sequence->rows)
            if (row.size() > 2 && row[0] && row[2]) numbers[*row[0]] = Integer(row[2]);
    return numbers;
}

// The actions the installer runs in the sequence's normal course: positive numbers. A
// negative number runs an action only when the installation ends (success, cancel, failure).
std::map<std::string, int> Running(const std::map<std::string, int>& numbers)
{
    std::map<std::string, int> running;
    for (const auto& [action, number] : numbers)
        if (number > 0) running[action] = number;
    return running;
}

void CheckNumbers(Review& review, const char* sequence, const std::map<std::string, int>& numbers)
{
    auto costFinalize = numbers.find(action::CostFinalize);
    for (const char* name : kLibraryActions) {
        auto found = numbers.find(name);
        if (found == numbers.end()) continue;
        if (found->second < 0)
            review.Add("HG08", "error", sequence, "Sequence", name,
                       std::string(name) + " has the number " + std::to_string(found->second) +
                           ": the installer runs an action with a negative number only as the installation ends, "
                           "after every feature is decided; give it its place in the sequence");
        else if (costFinalize != numbers.end() && found->second == costFinalize->second)
            review.Add("HG08", "error", sequence, "Sequence", name,
                       std::string(name) + " has the same number as CostFinalize (" + std::to_string(found->second) +
                           "): which of the two runs first is not defined; give it a number of its own");
    }
}

// A dialog the sequence shows and whose events lead on to the choice (a license dialog's Next,
// NewDialog ZizeVEZAvaziva) shows the choice as surely as the sequence would: the choice counts
// as shown where the first such dialog is.
void PlaceLeadingDialog(Review& review, std::map<std::string, int>& ui)
{
    const Table* events = review.Get(table::ControlEvent);
    if (!events) return;
    std::set<std::string> leading = {choice::Dialog};
    for (std::size_t before = 0; before != leading.size();) {
        before = leading.size();
        for (const auto& row : events->rows)
            if (row.size() > 3 && row[0] && row[3] && leading.count(*row[3]) &&
                (row[2] == std::string("NewDialog") || row[2] == std::string("SpawnDialog")))
                leading.insert(*row[0]);
    }
    for (const std::string& dialog : leading)
        if (ui.count(dialog) && (!ui.count(choice::Dialog) || ui[dialog] < ui[choice::Dialog]))
            ui[choice::Dialog] = ui[dialog];
}

// Before costing for the hostgate actions that switch features; before the dialog for
// the one that builds the choice.
void CheckOrder(Review& review, const char* sequence, const std::map<std::string, int>& order)
{
    auto at = [&](const char* name) {
        auto found = order.find(name);
        return found == order.end() ? -1 : found->second;
    };
    int prev = at(action::PrevInstall), after = at(action::AfterSelectFunction);
    int fileCost = at(action::FileCost), costFinalize = at(action::CostFinalize), dialog = at(choice::Dialog);
    if (prev >= 0 && fileCost >= 0 && prev < fileCost)
        review.Add("HG08", "error", sequence, "Sequence", action::PrevInstall,
                   "PrevInstall runs before FileCost: schedule it after FileCost and before CostFinalize");
    if (prev >= 0 && costFinalize >= 0 && prev > costFinalize)
        review.Add("HG08", "error", sequence, "Sequence", action::PrevInstall,
                   "PrevInstall runs after CostFinalize: the features it switches off keep the states costing gave "
                   "them; schedule it between FileCost and CostFinalize");
    if (prev >= 0 && dialog >= 0 && prev > dialog)
        review.Add("HG08", "error", sequence, "Sequence", action::PrevInstall,
                   std::string("PrevInstall runs after the dialog ") + choice::Dialog + " (or a dialog leading to it) "
                       "is shown: the choice is not there yet when the dialog shows; schedule it before the dialog");
    if (sequence == std::string(table::InstallExecuteSequence) && after >= 0 &&
        ((costFinalize >= 0 && after > costFinalize) || (prev >= 0 && after < prev)))
        review.Add("HG08", "error", sequence, "Sequence", action::AfterSelectFunction,
                   "AfterSelectFunction must run after PrevInstall and before CostFinalize here");
}

// The actions that run hostgate's planning entry points, whatever the package calls them:
// DLL actions from the Binary row the library's own actions come from, each with its entry.
std::map<std::string, std::string> PlanningActions(const std::map<std::string, std::vector<OwnedString>>& customActions)
{
    std::set<std::string> libraries;
    for (const char* name : kLibraryActions) {
        auto found = customActions.find(name);
        if (found != customActions.end() && found->second[2]) libraries.insert(*found->second[2]);
    }
    std::map<std::string, std::string> planning;
    for (const auto& [name, row] : customActions) {
        int type = Integer(row[1]);
        bool dll = type != static_cast<int>(MSI_NULL_INTEGER) && (type & 0x3F) == 1;
        bool entry = row[3] == std::string(action::PrevInstall) || row[3] == std::string(action::AfterSelectFunction);
        if (dll && entry && row[2] && libraries.count(*row[2])) planning[name] = *row[3];
    }
    return planning;
}

// An administrative installation only lays the image out: no host is looked for, no feature
// is chosen, and the rules are applied when users install from the image.
void CheckAdminSequences(Review& review, const std::map<std::string, std::string>& planning)
{
    for (const char* sequence : {table::AdminUISequence, table::AdminExecuteSequence})
        for (const auto& scheduled : Numbers(review, sequence)) {
            auto found = planning.find(scheduled.first);
            if (found == planning.end()) continue;
            const std::string& name = found->first;
            review.Add("HG21", "warning", sequence, "Action", name,
                       (name == found->second ? name : Shown(name) + " (hostgate's " + found->second + ")") +
                           " is scheduled in " + sequence +
                           ": an administrative installation only lays out the image, so the rules and the registry "
                           "lookups have nothing to decide there; they run when users install from the image. Remove "
                           "it from " + sequence);
        }
}

}  // namespace

void CheckSequences(Review& review)
{
    std::map<std::string, std::vector<OwnedString>> customActions;
    if (const Table* actions = review.Get(table::CustomAction))
        for (const auto& row : actions->rows)
            if (row.size() > 3 && row[0]) customActions[*row[0]] = row;
    std::set<std::string> binaries;
    if (const Table* binary = review.Get("Binary"))
        for (const auto& row : binary->rows)
            if (!row.empty() && row[0]) binaries.insert(*row[0]);
    const std::map<std::string, int> uiNumbers = Numbers(review, table::InstallUISequence);
    const std::map<std::string, int> executeNumbers = Numbers(review, table::InstallExecuteSequence);
    std::map<std::string, int> ui = Running(uiNumbers);
    const std::map<std::string, int> execute = Running(executeNumbers);
    std::set<std::string> missingBinaries;
    for (const char* name : kLibraryActions) {
        bool scheduled = uiNumbers.count(name) || executeNumbers.count(name);
        auto found = customActions.find(name);
        if (found == customActions.end()) {
            if (scheduled)
                review.Add("HG08", "error", table::CustomAction, "Action", name,
                           "the action is scheduled but not declared: add it (type 1, Source the Binary row of "
                           "hostgate.dll, Target " + std::string(name) + ")");
            continue;
        }
        const auto& row = found->second;
        int type = Integer(row[1]);
        bool dll = type != static_cast<int>(MSI_NULL_INTEGER) && (type & 0x3F) == 1;
        bool deferred = type != static_cast<int>(MSI_NULL_INTEGER) && (type & 0x400);
        if (!dll || row[3] != std::string(name))
            review.Add("HG08", "error", table::CustomAction, "Type", name,
                       "the action must be a DLL action from the Binary table (type 1, plus 256 or 3072 as the "
                       "guide says) with Target " + std::string(name));
        if (dll && scheduled && !binaries.count(row[2].value_or("")) && missingBinaries.insert(row[2].value_or("")).second)
            review.Add("HG08", "error", "Binary", "Name", row[2].value_or(""),
                       "the actions' Source names the Binary row " + Shown(row[2].value_or("(none)")) +
                           ", which the package does not have: the installer cannot load hostgate.dll; add the "
                           "row with the library as its Data");
        bool rollback = std::string(name) == action::RollbackInfFiles;
        if (deferred && std::string(name) != action::CopyInfFiles && !rollback)
            review.Add("HG08", "error", table::CustomAction, "Type", name,
                       "the action is deferred, but it reads the package's tables, which only immediate actions "
                       "can: drop 1024 from its type");
        if (!deferred && std::string(name) == action::CopyInfFiles)
            review.Add("HG08", "warning", table::CustomAction, "Type", name,
                       "the action runs immediately, as the user: writing to the Windows INF folder needs it deferred "
                       "without impersonation (type 3073), between InstallInitialize and InstallFinalize");
        // 0x100 with 0x400 is a rollback action, 0x800 no impersonation: it removes files from
        // the Windows INF folder, and is registered for what follows it in the script.
        if (rollback && scheduled && (type & 0xD00) != 0xD00)
            review.Add("HG08", "warning", table::CustomAction, "Type", name,
                       "the action undoes CopyInfFiles when the installation rolls back: make it a rollback action "
                       "without impersonation (type 3329)");
        if (rollback && execute.count(name) && execute.count(action::CopyInfFiles) &&
            execute.at(name) > execute.at(action::CopyInfFiles))
            review.Add("HG08", "warning", table::InstallExecuteSequence, "Sequence", name,
                       "a rollback action covers only what runs after it: schedule it right before CopyInfFiles");
        bool planning = std::string(name) == action::PrevInstall || std::string(name) == action::AfterSelectFunction;
        // The planning actions run in both sequences on purpose: the execute sequence's run is
        // what gates when the user interface sequence ran without them (reduced UI), and it
        // plans the same features again where the dialog already did.
        if (planning && execute.count(name) && (type & 0x300))
            review.Add("HG08", "warning", table::CustomAction, "Type", name,
                       "with 256 in its type the execute sequence skips the action whenever the user interface "
                       "sequence ran, with 512 wherever that sequence ran in the same process (under Wine, always); "
                       "under reduced UI Windows may not run that sequence's actions at all, and then nothing "
                       "applies the rules: use type 1");
        if (!planning && ui.count(name) && execute.count(name) && !(type & 0x100) && !(type & 0x200))
            review.Add("HG08", "warning", table::CustomAction, "Type", name,
                       "the action is in both sequences and runs twice: add 256 to its type to run it once");
    }
    // After the first installation: a planning action that does not run there leaves every
    // release property empty in a change, a repair and a removal, and no change of function
    // or host ever reaches the rules.
    if (const Table* sequence = review.Get(table::InstallExecuteSequence))
        for (const auto& row : sequence->rows)
            if (row.size() > 1 && row[0] == std::string(action::PrevInstall) && row[1] &&
                row[1]->find("Installed") != std::string::npos)
                review.Add("HG18", "warning", table::InstallExecuteSequence, "Condition", action::PrevInstall,
                           "PrevInstall runs only on a first installation (" + Shown(*row[1]) + "): once the product "
                           "is installed the release properties are empty, so a repair writes what rows put under "
                           "them to the registry's root and the uninstall leaves it, and no change of function or "
                           "host reaches the rules; hostgate itself knows a repair or a removal, so drop the condition");
    CheckAdminSequences(review, PlanningActions(customActions));
    CheckNumbers(review, table::InstallUISequence, uiNumbers);
    CheckNumbers(review, table::InstallExecuteSequence, executeNumbers);
    PlaceLeadingDialog(review, ui);
    CheckOrder(review, table::InstallUISequence, ui);
    CheckOrder(review, table::InstallExecuteSequence, execute);
    if (!executeNumbers.count(action::AfterSelectFunction))
        review.Add("HG08", "error", table::InstallExecuteSequence, "Action", action::AfterSelectFunction,
                   "AfterSelectFunction is not in InstallExecuteSequence: a silent installation never applies the "
                   "function (FUNCTION_VER); schedule it after PrevInstall and before CostFinalize");
    if (!executeNumbers.count(action::PrevInstall))
        review.Add("HG08", "error", table::InstallExecuteSequence, "Action", action::PrevInstall,
                   "PrevInstall is not in InstallExecuteSequence: a silent installation finds no host and applies "
                   "no rule; schedule it after FileCost and before AfterSelectFunction and CostFinalize");
    if (ui.count(action::CostFinalize) && !ui.count(choice::Dialog))
        review.Add("HG08", "warning", table::InstallUISequence, "Action", choice::Dialog,
                   std::string("the dialog ") + choice::Dialog + " is in no sequence, and no dialog of "
                   "InstallUISequence leads to it (a NewDialog event): no user ever sees the choice");
}
