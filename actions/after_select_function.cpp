// AfterSelectFunction: fits the feature set to the function the user chose.
#include "actions/exports.h"
#include "actions/phases.h"
#include "gating/cabinet_rules.h"
#include "gating/feature_states.h"
#include "package/contract.h"
#include "session/database.h"
#include "session/install_session.h"

void ApplyFunctionChoice(const InstallSession& session)
{
    OwnedString chosen = session.GetProperty(prop::FunctionVer);
    if (!chosen) return;
    session.Log("chosen function: FUNCTION_VER = " + session.Loggable(prop::FunctionVer, *chosen));
    PackageDatabase db(session);
    TableView functions;
    if (!functions.Open(db, table::FunctionVersion)) return;
    // Every other function goes first, so that features shared with the chosen one come
    // back on below wherever its cabinet is present.
    while (functions.Fetch()) {
        OwnedString value = functions.GetString(functionversion::Value);
        if (value && *value == *chosen) continue;
        DisableFeaturesOfFunction(db, functions.GetString(functionversion::Function));
    }
    // The chosen function's rules stand under its value.
    RestoreFeaturesOfFunction(db, chosen);
}

UINT MatchHostsToFunction(const InstallSession& session)
{
    OwnedString chosen = session.GetProperty(prop::FunctionVer);
    if (!chosen) {
        session.Log("no function chosen (FUNCTION_VER unset): message 3000");
        session.ReportError(message::HostMissing);
        return ERROR_INSTALL_FAILURE;
    }
    PackageDatabase db(session);
    TableView releases;
    if (!releases.Open(db, table::AutoCAD)) return ERROR_SUCCESS;
    int matched = 0;
    int rows = 0;
    while (releases.Fetch()) {
        ++rows;
        OwnedString property = releases.GetString(autocad::Property);
        std::string name = property.value_or("(no property)");
        if (EvaluateCabinetRules(db, property, chosen)) {
            ++matched;
            session.Log("host " + name + " fits the chosen function");
        } else {
            session.Log("host " + name + " does not fit the chosen function: its features go");
            DisableFeaturesOfProperty(db, property);
        }
    }
    if (matched > 0 || rows == 0) return ERROR_SUCCESS;
    session.Log("no host release fits the chosen function: message 3000");
    session.ReportError(message::HostMissing);
    return ERROR_INSTALL_FAILURE;
}

extern "C" UINT WINAPI AfterSelectFunction(MSIHANDLE install)
{
    return GuardAction([install] {
        InstallSession session(install, "AfterSelectFunction");
        LoadSourceRoot(session);
        // A dialog shown after costing: the installer has fixed the feature states and will
        // not read Condition again, so the features switched here get their states set.
        bool costed = CostingComplete(session);
        ConditionRows before;
        if (costed) before = ReadConditionRows(PackageDatabase(session));
        ApplyFunctionChoice(session);
        UINT result = MatchHostsToFunction(session);
        if (result == ERROR_SUCCESS) {
            session.Log("costing redone");
            if (costed)
                RecostSwitchedFeatures(session, before);
            else
                session.DoAction(action::CostFinalize);
        }
        return result;
    });
}
