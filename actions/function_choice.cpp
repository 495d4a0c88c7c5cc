// The choice of product functions on the package's dialog, built as temporary rows.
#include "actions/phases.h"
#include "gating/cabinet_rules.h"
#include "package/contract.h"
#include "session/database.h"
#include "session/install_session.h"

namespace {

constexpr int kButtonWidth = 174;
constexpr int kButtonHeight = 17;
constexpr int kButtonSpacing = 20;
constexpr int kGroupHeight = 100;  // five buttons a column

struct Choice {
    int availableCount = 0;
    std::string firstValue;
    std::string firstText;
    std::string chosenText;
    bool presetOffered = false;
};

void InsertRadioButton(TableView& buttons, int order, const std::string& value, int x, int y,
                       const std::string& text)
{
    if (!buttons.BeginInsert()) return;
    buttons.SetString(radiobutton::Property, prop::FunctionVer);
    buttons.SetInteger(radiobutton::Order, order);
    buttons.SetString(radiobutton::Value, value.c_str());
    buttons.SetInteger(radiobutton::X, x);
    buttons.SetInteger(radiobutton::Y, y);
    buttons.SetInteger(radiobutton::Width, kButtonWidth);
    buttons.SetInteger(radiobutton::Height, kButtonHeight);
    buttons.SetString(radiobutton::Text, text.c_str());
    buttons.Commit();
}

// A group of buttons for several functions; a plain text naming the one function otherwise.
void InsertChoiceControl(const PackageDatabase& db, const Choice& choice)
{
    TableView controls;
    if (!controls.Open(db, table::Control) || !controls.BeginInsert()) return;
    bool single = choice.availableCount == 1;
    controls.SetString(control::Dialog, choice::Dialog);
    controls.SetString(control::Control, choice::ControlName);
    controls.SetString(control::Type, single ? choice::TextType : choice::GroupType);
    controls.SetInteger(control::X, 18);
    controls.SetInteger(control::Y, 120);
    controls.SetInteger(control::Width, 348);
    controls.SetInteger(control::Height, 100);
    controls.SetInteger(control::Attributes, 3);  // visible and enabled
    if (single)
        controls.SetString(control::Text, choice.chosenText.c_str());
    else
        controls.SetString(control::Property, prop::FunctionVer);
    controls.SetString(control::ControlNext, choice::NextControl);
    controls.SetString(control::Help, choice::Help);
    controls.Commit();
}

}  // namespace

UINT BuildFunctionChoice(const InstallSession& session)
{
    PackageDatabase db(session);
    // The general rules are those that belong to no host release (an empty PropertyName).
    if (!EvaluateCabinetRules(db, std::string(), std::nullopt)) {
        session.Log("general rules not met: message 3001");
        session.ReportError(message::RulesNotMet);
        return ERROR_INSTALL_FAILURE;
    }
    if (session.GetProperty(prop::FunctionRb)) {
        session.Log("choice built before (FUNCTION_RB set): left as it is");
        return ERROR_SUCCESS;
    }
    OwnedString preset = session.GetProperty(prop::FunctionVer);

    TableView functions;
    if (!functions.Open(db, table::FunctionVersion)) {
        session.Log("no FunctionVersion table: no choice built");
        return ERROR_SUCCESS;
    }
    TableView buttons;
    buttons.Open(db, table::RadioButton);

    Choice choice;
    int x = 0;
    int y = 0;
    while (functions.Fetch()) {
        OwnedString function = functions.GetString(functionversion::Function);
        std::string name = function.value_or("(unnamed)");
        if (!EvaluateCabinetRules(db, std::nullopt, function)) {
            session.Log("function " + name + " not offered: its rules are not met");
            continue;
        }
        OwnedString value = functions.GetString(functionversion::Value);
        // A function without a value cannot be chosen: an empty FUNCTION_VER reads as unset.
        if (!value) {
            session.Log("function " + name + " not offered: it has no value");
            continue;
        }
        std::string text = functions.GetString(functionversion::Text).value_or(std::string());
        session.Log("offered function " + name + ": \"" + text + "\" (FUNCTION_VER = " + *value + ")");

        ++choice.availableCount;
        if (choice.availableCount == 1) {
            choice.firstValue = *value;
            choice.firstText = text;
            if (!preset) session.SetProperty(prop::FunctionVer, value->c_str());
        }
        if (preset && *value == *preset) {
            choice.chosenText = text;
            choice.presetOffered = true;
        }
        InsertRadioButton(buttons, choice.availableCount, *value, x, y, text);
        y += kButtonSpacing;
        if (y >= kGroupHeight) {
            y = 0;
            x += kButtonWidth;
        }
    }

    if (choice.availableCount == 0) {
        session.Log("no function available: message 3001");
        session.ReportError(message::RulesNotMet);
        return ERROR_INSTALL_FAILURE;
    }
    if (choice.presetOffered) {
        session.Log("preset FUNCTION_VER = " + session.Loggable(prop::FunctionVer, *preset) + " kept");
    } else {
        choice.chosenText = choice.firstText;
        if (preset) {
            session.SetProperty(prop::FunctionVer, choice.firstValue.c_str());
            session.Log("preset FUNCTION_VER = " + session.Loggable(prop::FunctionVer, *preset) +
                        " is not offered: replaced by " + choice.firstValue);
        } else {
            session.Log("FUNCTION_VER set to the first offered function, " + choice.firstValue);
        }
    }
    InsertChoiceControl(db, choice);
    session.Log(std::string("choice control built on ") + choice::Dialog + " as " +
                (choice.availableCount == 1 ? "a text" : "a group of " + std::to_string(choice.availableCount) + " radio buttons"));
    session.SetProperty(prop::FunctionRb, "1");
    return ERROR_SUCCESS;
}
