// The dialog and messages area: the dialog hostgate builds the choice on, and the texts of
// the messages it posts.
#include "checker/review.h"

#include "package/contract.h"

void CheckDialog(Review& review)
{
    const std::string dialog = choice::Dialog;
    bool found = false;
    if (const Table* dialogs = review.Get(table::Dialog))
        for (const auto& row : dialogs->rows) found = found || row[0] == dialog;
    if (!found) {
        review.Add("HG06", "error", table::Dialog, "Dialog", dialog,
            "the dialog " + dialog + " is missing: hostgate builds the choice of functions on it, so no "
            "choice is ever shown; add the dialog under exactly this name");
        return;
    }
    bool cancel = false;
    if (const Table* controls = review.Get(table::Control))
        for (const auto& row : controls->rows) {
            if (row[0] != dialog) continue;
            cancel = cancel || row[1] == std::string(choice::NextControl);
            if (row[1] == std::string(choice::ControlName))
                review.Add("HG06", "error", table::Control, "Control", dialog + "/" + choice::ControlName,
                    std::string("the dialog has a control named ") + choice::ControlName +
                        ": hostgate adds its own under this name, and the installer refuses the second; "
                        "remove or rename it");
        }
    if (!cancel)
        review.Add("HG06", "error", table::Control, "Control", dialog + "/" + choice::NextControl,
            std::string("the dialog has no control named ") + choice::NextControl +
                ": the choice hostgate adds leads the tab order to it; add the Cancel button under this name");
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
