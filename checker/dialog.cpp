// The dialog and messages area: the dialog hostgate builds the choice on, and the texts of
// the messages it posts.
#include "checker/review.h"

#include "package/contract.h"
#include "package/tab_chain.h"

namespace {

// The tab order as it stands once PrevInstall has added the choice control (the same row for
// a group and for the text of a single function). Windows refuses to create a dialog whose
// tab order is not one closed loop; Wine shows it, with the choice out of the keyboard's reach.
void CheckTabOrder(Review& review, const std::string& dialog, const std::string& first,
                   const std::vector<TabControl>& authored)
{
    // The library's row first: where it and an authored control lead to one control, the
    // authored one is named.
    std::vector<TabControl> controls = {{choice::ControlName, std::string(choice::NextControl)}};
    controls.insert(controls.end(), authored.begin(), authored.end());
    TabChain chain = CheckTabChain(first, controls, choice::ControlName);
    if (!chain) return;
    std::string message = std::string("at run time, with the control ") + choice::ControlName + " that hostgate adds (its "
        "Control_Next " + choice::NextControl + "), " + DescribeTabChain(chain) + ": Windows refuses to open the dialog "
        "(Wine shows it), and the choice is out of the keyboard's reach; let Control_Next lead from Control_First through " +
        choice::ControlName + " back to it, e.g. NextButton -> " + choice::ControlName + ", " + choice::NextControl +
        " -> NextButton";
    if (chain.control.empty())
        review.Add("HG06", "error", table::Dialog, dialog::FirstControlColumn, dialog, message);
    else
        review.Add("HG06", "error", table::Control, "Control_Next", dialog + "/" + chain.control, message);
}

}  // namespace

void CheckDialog(Review& review)
{
    const std::string dialog = choice::Dialog;
    const Table* dialogs = review.Get(table::Dialog);
    OwnedString first;
    bool found = false;
    if (dialogs)
        for (const auto& row : dialogs->rows)
            if (row[0] == dialog) {
                found = true;
                first = dialogs->Field(row, dialog::FirstControlColumn);
            }
    if (!found) {
        review.Add("HG06", "error", table::Dialog, "Dialog", dialog,
            "the dialog " + dialog + " is missing: hostgate builds the choice of functions on it, so no "
            "choice is ever shown; add the dialog under exactly this name");
        return;
    }
    bool cancel = false;
    bool ownChoice = false;
    std::vector<TabControl> authored;
    if (const Table* controls = review.Get(table::Control))
        for (const auto& row : controls->rows) {
            if (row[0] != dialog || !row[1]) continue;
            authored.push_back({*row[1], Table::Field(row, control::ControlNext)});
            cancel = cancel || row[1] == std::string(choice::NextControl);
            if (row[1] == std::string(choice::ControlName)) {
                ownChoice = true;
                review.Add("HG06", "error", table::Control, "Control", dialog + "/" + choice::ControlName,
                    std::string("the dialog has a control named ") + choice::ControlName +
                        ": hostgate adds its own under this name, and the installer refuses the second; "
                        "remove or rename it");
            }
        }
    if (!cancel)
        review.Add("HG06", "error", table::Control, "Control", dialog + "/" + choice::NextControl,
            std::string("the dialog has no control named ") + choice::NextControl +
                ": the choice hostgate adds leads the tab order to it; add the Cancel button under this name");
    // Either finding above already says why the run-time tab order is broken.
    if (cancel && !ownChoice) CheckTabOrder(review, dialog, first.value_or(std::string()), authored);
    bool wired = false;
    if (const Table* events = review.Get(table::ControlEvent))
        for (const auto& row : events->rows)
            wired = wired || (row[0] == dialog && row.size() > 3 && row[2] == std::string("DoAction") &&
                              row[3] == std::string(action::AfterSelectFunction));
    if (!wired)
        review.Add("HG06", "error", table::ControlEvent, "Argument", dialog,
            "no control of the dialog runs AfterSelectFunction: the user's choice never decides the "
            "features; add a DoAction event with argument AfterSelectFunction to its Next button");
}

void CheckMessages(Review& review)
{
    std::set<int> present;
    if (const Table* errors = review.Get(table::Error))
        for (const auto& row : errors->rows) present.insert(Integer(row[0]));
    for (int number : {message::HostMissing, message::RulesNotMet})
        if (!present.count(number))
            review.Add("HG07", "error", table::Error, "Error", std::to_string(number),
                "there is no text for message " + std::to_string(number) +
                    ": the user reads an unexpected error instead; add the row (see the guide's texts)");
}
