// The plan: what the rules and the choice decide, as one value made by one pure function of
// what was detected. The actions carry it out (see apply.h); the package checker prints it
// for the machines it imagines.
#pragma once

#include "gating/costing.h"
#include "gating/facts.h"
#include "gating/gate.h"
#include "gating/record.h"
#include "package/tables.h"

#include <msi.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

// The choice of functions to put on the dialog: one radio button each, or, for a single
// function, a text naming it.
struct ChoiceButton {
    int order;
    std::string value;
    int x;  // within the choice control
    int y;
    std::string text;
    int width = 0;
    int height = 0;
};
struct FunctionChoice {
    std::vector<ChoiceButton> buttons;
    std::string chosenText;  // the text shown when one function is offered
};

// The choice control PrevInstall adds to the dialog, in dialog units.
constexpr int kChoiceX = 18;
constexpr int kChoiceY = 120;
constexpr int kChoiceWidth = 348;
constexpr int kChoiceHeight = 100;

// How `count` buttons share the control: columns filled top to bottom, left to right.
struct ChoiceGrid {
    int columns;
    int rows;
    int width;   // of a button, and the distance between columns
    int height;  // of a button
    int pitch;   // the distance between rows
};
ChoiceGrid ChoiceGridFor(std::size_t count);
// Places every button of the choice inside the control.
void LayOutChoice(std::vector<ChoiceButton>& buttons);

// The companions of a release property the library sets: the root ("machine" or "user") and
// the registry view ("32", "64" or "shared") the release was found in.
constexpr const char* kRootSuffix = "_ROOT";
constexpr const char* kViewSuffix = "_VIEW";

// The condition of the library's own rows: always true while the row is wanted, never once
// it is not (a dormant row, which a costing skips).
constexpr const char* kAlways = "1";
constexpr const char* kDormant = "0";

// What a feature is to be. "Package" is for the checker alone: a Condition row of the
// package decides, and the checker cannot evaluate it.
enum class Target { Local, Source, Advertised, Absent, Package };
const char* TargetName(Target target);
bool Installs(Target target);

struct FeaturePlan {
    std::string feature;
    Target target = Target::Absent;
    int level = 0;
    std::string reason;
    bool off = false;       // hostgate switches it off itself (its own level-0 row)
    bool withheld = false;  // off, or below a feature that is: kept out of the feature lists
    bool ruled = false;   // a rule names it (the others lie below one)
    // On a change: what the product has now.
    bool has = false;
};

struct Plan {
    UINT result = ERROR_SUCCESS;
    bool decides = false;  // false on a repair or removal, and when the choice cannot be planned
    std::vector<std::string> log;  // the decisions, in order
    std::vector<int> messages;
    std::vector<std::pair<std::string, std::string>> properties;  // to set, in order
    std::optional<FunctionChoice> choice;  // to build on the dialog
    std::vector<std::string> offered;      // the values of the functions offered
    OwnedString function;                  // the function planned for
    std::vector<FeaturePlan> features;     // the features the rules decide, parents first
    Costings costings;                     // every feature as the planned costing gives it
    // The releases found (positions in the AutoCAD table) and the release properties the
    // library set itself.
    std::vector<std::size_t> found;
};

Plan MakePlan(const Facts& facts, Stage stage);

const FeaturePlan* PlanOf(const Plan& plan, const std::string& feature);

// The features the rules name and every feature below them: all the plan ever decides.
std::vector<std::string> RuledFeatures(const Facts& facts);

// The features a plan switches off itself, with every feature below them: kept out of the
// feature lists where those rule.
NameSet Withheld(const Plan& plan);

ConditionRows ByFeature(const std::vector<ConditionRow>& rows);
const std::vector<ConditionRow>& RowsOf(const ConditionRows& rows, const std::string& feature);

// The named features and every feature below them, parents before their children, in the
// Feature table's order.
std::vector<std::string> WithDescendants(const std::vector<FeatureRow>& features, const NameSet& names);
