// AfterSelectFunction: fits the feature set to the function the user chose.
#include "actions/exports.h"
#include "actions/phases.h"
#include "gating/feature_states.h"
#include "gating/installer_gate.h"
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
        gate.DisableFeaturesOfFunction(function.function);
    }
    // The chosen function's rules stand under its value.
    gate.RestoreFeaturesOfFunction(chosen);
}

UINT MatchHostsToFunction(const Installation& installation, Gate& gate, const Releases& releases)
{
    OwnedString chosen = installation.GetProperty(prop::FunctionVer);
    if (!chosen) {
        installation.Log("no function chosen (FUNCTION_VER unset): message 3000");
        installation.ReportError(message::HostMissing);
        return ERROR_INSTALL_FAILURE;
    }
    if (!releases) return ERROR_SUCCESS;
    int matched = 0;
    for (const HostRelease& row : *releases) {
        std::string name = row.property.value_or("(no property)");
        if (gate.EvaluateCabinetRules(row.property, chosen)) {
            ++matched;
            installation.Log("host " + name + " fits the chosen function");
        } else {
            installation.Log("host " + name + " does not fit the chosen function: its features go");
            gate.DisableFeaturesOfProperty(row.property);
        }
    }
    if (matched > 0 || releases->empty()) return ERROR_SUCCESS;
    installation.Log("no host release fits the chosen function: message 3000");
    installation.ReportError(message::HostMissing);
    return ERROR_INSTALL_FAILURE;
}

UINT RunAfterSelectFunction(const InstallSession& session, ConditionRows* finalRows)
{
    // A dialog shown after costing: the installer has fixed the feature states and will
    // not read Condition again, so the features switched here get their states set.
    bool costed = CostingComplete(session);
    PackageDatabase db(session);
    InstallerGate gate(db);
    ApplyFunctionChoice(session, *gate, ReadFunctions(db));
    UINT result = MatchHostsToFunction(session, *gate, ReadHostReleases(db));
    if (result == ERROR_SUCCESS) {
        session.Log("costing redone");
        if (costed) {
            RecostSwitchedFeatures(session, db, gate);
        } else {
            gate.Commit();
            session.DoAction(action::CostFinalize);
        }
    }
    gate.Commit();
    LogFeaturesOff(session, *gate);
    if (finalRows) *finalRows = gate->Conditions();
    return result;
}

extern "C" UINT WINAPI AfterSelectFunction(MSIHANDLE install)
{
    return GuardAction([install] {
        InstallSession session(install, "AfterSelectFunction");
        LoadSourceRoot(session);
        UINT result = RunAfterSelectFunction(session);
        session.Flush();
        return result;
    });
}
