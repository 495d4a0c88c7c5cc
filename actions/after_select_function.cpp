// AfterSelectFunction: fits the feature set to the function the user chose, planned afresh
// from the releases found: the last choice alone decides.
#include "actions/actions.h"
#include "actions/detect.h"
#include "actions/exports.h"
#include "gating/apply.h"
#include "session/database.h"
#include "session/install_session.h"

UINT RunAfterSelectFunction(const InstallSession& session)
{
    PackageDatabase db(session);
    Facts facts = Detect(session, db);
    Plan plan = MakePlan(facts, Stage::Chosen);
    return ApplyPlan(session, db, facts, plan, Stage::Chosen);
}

extern "C" UINT WINAPI AfterSelectFunction(MSIHANDLE install)
{
    return GuardAction([install] {
        InstallSession session(install, "AfterSelectFunction");
        UINT result = RunAfterSelectFunction(session);
        return session.Finish(result);
    });
}
