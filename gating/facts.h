// What an action knows before it decides anything: the package's tables, what the machine
// answered, and where the installation stands. Detect fills it (reads only); the plan is a
// pure function of it; the package checker fills one for each machine it imagines.
#pragma once

#include "gating/costing.h"
#include "gating/gate.h"
#include "package/tables.h"

#include <msi.h>

#include <map>
#include <string>
#include <vector>

// How a release property came by its value.
enum class Found {
    Missing,   // not installed, and no value of its own
    Registry,  // the host's key was found
    Given,     // set before the library looked (command line, Property row, transform)
    Kept,      // installed product: not found now, the value it was installed with stays
};

// One AutoCAD row, as detected.
struct ReleaseFact {
    Found how = Found::Missing;
    std::string key;   // the key path (registry), or the value given or kept
    std::string where; // where it was found, for the log
    // Where a release found in the registry lives: "machine" or "user", and the registry view
    // its key is in: "32", "64", or "shared" (one key for both views).
    std::string root;
    std::string view;
    std::string note;  // why it is not found, or why a value does not count
};

// A cabinet as the installation source answers for it.
enum class Cabinet { Present, Absent, Unknown };

enum class Road { FirstInstall, Change, Repair, Removal };
const char* RoadName(Road road);

// The two moments the plan is made at: before the user's choice (PrevInstall), and after it.
enum class Stage { BeforeChoice, Chosen };

struct Facts {
    // The package.
    std::optional<std::vector<CabinetRule>> rules;
    std::string rulesProblem;  // why there are no rules, when the table cannot be used
    std::optional<std::vector<HostRelease>> releases;
    std::optional<std::vector<FunctionRow>> functions;
    std::vector<FeatureRow> features;
    // The package's own Condition rows (the table less what the library added in this
    // session), each with what its condition evaluates to now; none without the table.
    std::optional<std::vector<ConditionRow>> packageRows;
    std::vector<Truth> rowTruth;  // one for each package row
    int installLevel = 1;

    // The machine.
    std::vector<ReleaseFact> found;  // one for each AutoCAD row
    NameMap<Cabinet> cabinets;  // every cabinet a rule names
    std::string source;     // the folder cabinets were looked for in; empty when not resolved
    bool sourceReached = true;

    // The installation.
    Road road = Road::FirstInstall;
    bool reinstall = false;   // REINSTALL given beside the lists of a change (a repair that adds)
    bool listsRule = false;   // the installer takes features from ADDLOCAL and the like
    OwnedString chosen;       // FUNCTION_VER as it stands
    // FUNCTION_VER named for this installation (the command line): neither the package's
    // own value (transforms applied) nor one the library set.
    bool functionNamed = false;
    bool functionFromLibrary = false;  // FUNCTION_VER is the value the library set
    // What FUNCTION_VER is judged by: the package's own value (its Property row, as
    // transforms left it; read only when FUNCTION_VER is set), the value the package's
    // AppSearch found (its registry search holds what FUNCTION_VER held when detected), and
    // the library's own values (HOSTGATE_SET).
    OwnedString packageFunction;
    bool packageFunctionRead = false;
    OwnedString remembered;
    bool functionRemembered = false;  // FUNCTION_VER is the remembered value
    // A remembered value that is no function of this package (renamed since): ignored, as if
    // FUNCTION_VER were unset; kept for the log.
    OwnedString staleFunction;
    std::string librarySet;
    bool dialog = false;      // the full user interface: the choice is shown to a person
    bool choiceBuilt = false; // FUNCTION_RB set: the choice was built before
    std::string hidden;       // MsiHiddenProperties
    // The product whose installed features are below: this one on a change, a repair or a
    // removal; the earlier version an upgrade replaces on a first installation.
    std::string installedFrom;
    // The installed state of each feature the rules decide; empty when no product has any.
    NameMap<INSTALLSTATE> installed;
};
