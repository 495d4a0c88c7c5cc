// AfterSelectFunction: fits the feature set to the function the user chose, planned afresh
// from the releases found: the last choice alone decides.
#include "actions/actions.h"
#include "actions/detect.h"
#include "actions/exports.h"
#include "gating/apply.h"
#include "package/contract.h"
#include "session/database.h"
#include "session/install_session.h"

UINT RunAfterSelectFunction(const InstallSession& session)
{
    PackageDatabase db(session);
    // The person waits for this action: what PrevInstall read a moment ago is taken from its
    // snapshot, and only what the dialog may have changed is asked again.
    std::optional<Snapshot> snapshot = Recall(session);
    Facts facts = snapshot ? Refresh(session, db, *snapshot) : Detect(session, db);
    Known known;
    known.firstCosting = CostingStillToCome(session);
    if (snapshot) {
        known.rows = snapshot->ownRows;
        known.states = snapshot->states;
        // What the properties the library set hold, as recorded: not set again.
        for (const auto& [name, value] : DecodeLibrarySet(facts.librarySet)) session.Assume(name.c_str(), value);
        session.Assume(prop::LibrarySet, facts.librarySet);
        session.Assume(prop::HiddenProperties, facts.hidden);
    }
    Plan plan = MakePlan(facts, Stage::Chosen);
    UINT result = ApplyPlan(session, db, facts, plan, Stage::Chosen, known);
    Remember(session, facts, plan, known, snapshot ? snapshot->owner : SnapshotOwner());
    return result;
}

extern "C" UINT WINAPI AfterSelectFunction(MSIHANDLE install)
{
    return GuardAction([install] {
        InstallSession session(install, "AfterSelectFunction");
        UINT result = RunAfterSelectFunction(session);
        return session.Finish(result);
    });
}
