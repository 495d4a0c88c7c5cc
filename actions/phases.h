// The phases of the table-driven actions. Each decides over the package's tables as read,
// the gate, and what the installation and the machine answer; none touches an installer
// handle itself, so the package checker can run them on installations it imagines.
#pragma once

#include "gating/gate.h"
#include "host/registry_key.h"
#include "package/tables.h"

#include <windows.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

class Installation;
class InstallSession;
class PackageDatabase;

using Releases = std::optional<std::vector<HostRelease>>;
using Functions = std::optional<std::vector<FunctionRow>>;

// The machine's answer for a host release: the key path of its installed sub-release, or
// none (see FindHostReleaseKey).
using HostLookup = std::function<OwnedString(const OwnedString& release, Pruning* pruning)>;

// The choice of functions to put on the dialog: one radio button each, or, for a single
// function, a text naming it.
struct ChoiceButton {
    int order;
    std::string value;
    int x;
    int y;
    std::string text;
};
struct FunctionChoice {
    std::vector<ChoiceButton> buttons;
    std::string chosenText;  // the text shown when one function is offered
};

// The releases found, as positions in the AutoCAD table's order.
using FoundReleases = std::vector<std::size_t>;

// PrevInstall. A release counts as found when the machine has it, or, on a first
// installation, when its property was given (by the package or on the command line, as a
// deployment under another account does); `found` receives them. Once the product is
// installed, only the machine's answer counts, a property given keeps its value (the one the
// release's features were installed with), and no release found is no reason to stop.
UINT DetectHostReleases(const Installation& installation, Gate& gate, const Releases& releases,
                        const HostLookup& lookup, FoundReleases* found = nullptr, bool installed = false);
// The gating of host releases alone: the features of the releases not found go off, then
// those of the found ones whose cabinet is present come back.
void GateHostReleases(Gate& gate, const Releases& releases, const FoundReleases& found);
// The found releases as one action leaves them for the next in the same session.
std::string EncodeFound(const FoundReleases& found);
std::optional<FoundReleases> DecodeFound(const OwnedString& text);
// `choice` receives the choice to build, when one is to be built.
// With `report` false a failure posts no message (the installed product is never stopped).
UINT BuildFunctionChoice(const Installation& installation, Gate& gate, const Functions& functions,
                         std::optional<FunctionChoice>& choice, bool report = true);

// Warns of the rules that name a feature the package does not have: they switch nothing.
void WarnOfUnknownFeatures(const Installation& installation, const std::vector<FeatureRow>& features, const Gate& gate);

// Writes the choice as temporary RadioButton rows and one Control row on the dialog, when
// the dialog is there to take it.
void WriteFunctionChoice(const Installation& installation, const PackageDatabase& db, const FunctionChoice& choice);

// AfterSelectFunction
void ApplyFunctionChoice(const Installation& installation, Gate& gate, const Functions& functions);
// With `report` false a choice that fits no release is answered with 1603 but posts nothing.
UINT MatchHostsToFunction(const Installation& installation, Gate& gate, const Releases& releases, bool report = true);

// The bodies of the two actions over a running installation: read, decide, write. When
// `finalRows` is given it receives the Condition rows as the gate holds them at the end.
UINT RunPrevInstall(const InstallSession& session, ConditionRows* finalRows = nullptr);
UINT RunAfterSelectFunction(const InstallSession& session, ConditionRows* finalRows = nullptr);
