// The choice of product functions on the package's dialog, built as temporary rows.
#include "actions/actions.h"
#include "package/contract.h"
#include "session/database.h"
#include "session/install_session.h"

namespace {

bool InsertRadioButton(TableView& buttons, const ChoiceButton& button)
{
    if (!buttons.BeginInsert()) return false;
    buttons.SetString(radiobutton::Property, prop::FunctionVer);
    buttons.SetInteger(radiobutton::Order, button.order);
    buttons.SetString(radiobutton::Value, button.value.c_str());
    buttons.SetInteger(radiobutton::X, button.x);
    buttons.SetInteger(radiobutton::Y, button.y);
    buttons.SetInteger(radiobutton::Width, button.width);
    buttons.SetInteger(radiobutton::Height, button.height);
    buttons.SetString(radiobutton::Text, button.text.c_str());
    return buttons.Commit();
}

// A group of buttons for several functions; a plain text naming the one function otherwise.
bool InsertChoiceControl(const PackageDatabase& db, const FunctionChoice& choice)
{
    TableView controls;
    if (!controls.Open(db, table::Control) || !controls.BeginInsert()) return false;
    bool single = choice.buttons.size() == 1;
    controls.SetString(control::Dialog, choice::Dialog);
    controls.SetString(control::Control, choice::ControlName);
    controls.SetString(control::Type, single ? choice::TextType : choice::GroupType);
    controls.SetInteger(control::X, kChoiceX);
    controls.SetInteger(control::Y, kChoiceY);
    controls.SetInteger(control::Width, kChoiceWidth);
    controls.SetInteger(control::Height, kChoiceHeight);
    controls.SetInteger(control::Attributes, 3);  // visible and enabled
    if (single)
        controls.SetString(control::Text, choice.chosenText.c_str());
    else
        controls.SetString(control::Property, prop::FunctionVer);
    controls.SetString(control::ControlNext, choice::NextControl);
    controls.SetString(control::Help, choice::Help);
    return controls.Commit();
}

}  // namespace

void WriteFunctionChoice(const InstallSession& installation, const PackageDatabase& db, const FunctionChoice& choice)
{
    TableView dialog;
    if (!dialog.Open(db, table::Dialog, nullptr, Filter(dialog::DialogColumn, choice::Dialog)) || !dialog.Fetch()) {
        installation.Log(std::string("warning: the package has no dialog ") + choice::Dialog +
                         ": no choice can be shown; the function stays " + prop::FunctionVer + "'s value");
        return;
    }
    TableView buttons;
    buttons.Open(db, table::RadioButton);
    std::size_t accepted = 0;
    for (const ChoiceButton& button : choice.buttons) accepted += InsertRadioButton(buttons, button);
    // A single function is shown as a text, which needs no button.
    if (choice.buttons.size() > 1 && accepted < choice.buttons.size()) {
        installation.Log("warning: the installer took " + std::to_string(accepted) + " of the " +
                         std::to_string(choice.buttons.size()) + " radio buttons (a RadioButton table is needed, "
                         "with no FUNCTION_VER rows of its own): the choice is not built; the function stays " +
                         prop::FunctionVer + "'s value");
        return;
    }
    if (!InsertChoiceControl(db, choice)) {
        installation.Log(std::string("warning: the choice control could not be added to ") + choice::Dialog +
                         " (a Control table is needed, and no control of the dialog may be named " +
                         choice::ControlName + "): no choice is shown");
        return;
    }
    Filter cancel(control::DialogColumn, choice::Dialog);
    cancel.And(control::ControlColumn, choice::NextControl);
    TableView next;
    if (!next.Open(db, table::Control, nullptr, cancel) || !next.Fetch())
        installation.Log(std::string("warning: the dialog ") + choice::Dialog + " has no control named " +
                         choice::NextControl + ", which the choice leads to in the tab order");
    installation.Log(std::string("choice control built on ") + choice::Dialog + " as " +
                     (choice.buttons.size() == 1 ? "a text" : "a group of " + std::to_string(choice.buttons.size()) + " radio buttons"));
}
