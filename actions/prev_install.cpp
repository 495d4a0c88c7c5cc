// PrevInstall: finds the installed host releases, offers the available functions, and plans
// the function the choice starts from.
#include "actions/actions.h"
#include "actions/detect.h"
#include "actions/exports.h"
#include "gating/apply.h"
#include "package/contract.h"
#include "session/database.h"
#include "session/install_session.h"

UINT RunPrevInstall(const InstallSession& session)
{
    PackageDatabase db(session);
    Facts facts = Detect(session, db);
    Plan plan = MakePlan(facts, Stage::BeforeChoice);
    Known known;
    known.firstCosting = CostingStillToCome(session);
    UINT result = ApplyPlan(session, db, facts, plan, Stage::BeforeChoice, known);
    if (plan.choice) WriteFunctionChoice(session, db, *plan.choice);
    // Left for AfterSelectFunction, which the person at the dialog waits for.
    Remember(session, facts, plan, known, SnapshotOwner());
    return result;
}

extern "C" UINT WINAPI PrevInstall(MSIHANDLE install)
{
    return GuardAction([install] {
        InstallSession session(install, "PrevInstall");
        UINT result = RunPrevInstall(session);
        return session.Finish(result);
    });
}
