// AfterSelectFunction: fits the feature set to the function the user chose.
#include "actions/exports.h"
#include "actions/phases.h"
#include "actions/plan_inputs.h"
#include "package/contract.h"
#include "session/database.h"
#include "session/install_session.h"

void ApplyFunctionChoice(const Installation& installation, Gate& gate, const Functions& functions)
{
    OwnedString chosen = installation.GetProperty(prop::FunctionVer);
    if (!chosen) return;
    installation.Log("chosen function: FUNCTION_VER = " + installation.Loggable(prop::FunctionVer, *chosen));
    if (!functions) return;
    // Every other function goes first, so that features shared with the chosen one come
    // back on below wherever its cabinet is present.
    for (const FunctionRow& function : *functions) {
        if (function.value && *function.value == *chosen) continue;
        gate.DisableFeaturesOfFunction(function.function,
                                       "function " + function.function.value_or("(unnamed)") + " not chosen");
    }
    // The chosen function's rules stand under its value.
    gate.RestoreFeaturesOfFunction(chosen, "function " + installation.Loggable(prop::FunctionVer, *chosen) + " chosen");
}

UINT MatchHostsToFunction(const Installation& installation, Gate& gate, const Releases& releases, bool report)
{
    OwnedString chosen = installation.GetProperty(prop::FunctionVer);
    if (!chosen) {
        if (!report) return ERROR_INSTALL_FAILURE;
        installation.Log("no function chosen (FUNCTION_VER unset): message 3000");
        installation.ReportError(message::HostMissing);
        return ERROR_INSTALL_FAILURE;
    }
    if (!releases) return ERROR_SUCCESS;
    int matched = 0;
    for (const HostRelease& row : *releases) {
        std::string name = row.property.value_or("(no property)");
        bool installed = row.property && installation.GetProperty(row.property->c_str());
        if (gate.EvaluateCabinetRules(row.property, chosen)) {
            ++matched;
            installation.Log(installed ? "host " + name + " fits the chosen function"
                                       : "host " + name + " is not installed; its rules for the chosen function are met");
        } else {
            installation.Log("host " + name + (installed ? " does not fit" : " is not installed and does not fit") +
                             " the chosen function: its features go");
            gate.DisableFeaturesOfProperty(row.property, "host " + name + " does not fit the chosen function");
        }
    }
    if (matched > 0 || releases->empty()) return ERROR_SUCCESS;
    if (!report) return ERROR_INSTALL_FAILURE;
    installation.Log("no host release fits the chosen function: message 3000");
    installation.ReportError(message::HostMissing);
    return ERROR_INSTALL_FAILURE;
}

UINT RunAfterSelectFunction(const InstallSession& session, ConditionRows* finalRows)
{
    PackageDatabase db(session);
    PlanInputs inputs(session, db);
    Road road = ReadRoad(session);
    if (road == Road::Repair || road == Road::Removal) {
        session.Log(std::string("road: ") + RoadName(road) + ": the rules change nothing");
        if (finalRows) *finalRows = inputs.table.AsRead();
        return ERROR_SUCCESS;
    }
    // The choice is planned from what PrevInstall found, never from the rows an earlier
    // choice left: the last choice alone decides.
    std::optional<FoundReleases> found = DecodeFound(session.GetProperty(prop::ReleasesFound));
    bool installed = road == Road::Change;
    PlannedChoice chosen(session, inputs, found, !installed);
    ConditionRows actual = inputs.table.AsRead();
    if (installed && (!found || !session.GetProperty(prop::FunctionVer))) {
        session.Log("road: change of the installed product, without the releases PrevInstall found or a function "
                    "chosen: nothing changed");
        if (finalRows) *finalRows = actual;
        return ERROR_SUCCESS;
    }
    if (installed) {
        // The installed product is never stopped: a choice that fits no release leaves the
        // releases' features out, as the rules say.
        ConditionRows target = chosen.gate->Conditions();
        ApplyChange(session, inputs.features, target, TouchedFeatures(inputs, *chosen.gate, target), true);
        if (finalRows) *finalRows = actual;
        return ERROR_SUCCESS;
    }
    if (chosen.result == ERROR_SUCCESS) {
        // Whether or not the installer has costed yet, the same apply is right: the rows for a
        // costing to come, then costing and the features' states for one that has run.
        actual = CarryOut(session, inputs, chosen.gate->Conditions(), *chosen.gate, true);
        LogFeaturesOff(session, actual);
    }
    if (finalRows) *finalRows = actual;
    return chosen.result;
}

extern "C" UINT WINAPI AfterSelectFunction(MSIHANDLE install)
{
    return GuardAction([install] {
        InstallSession session(install, "AfterSelectFunction");
        LoadSourceRoot(session);
        UINT result = RunAfterSelectFunction(session);
        return session.Finish(result);
    });
}
