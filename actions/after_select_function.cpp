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
    known.firstCosting = !session.GetProperty(prop::CostingComplete);
    if (snapshot) {
        known.rows = snapshot->ownRows;
        known.states = snapshot->states;
        // What the library set before, as recorded, and the function as it stands now.
        known.values = DecodeLibrarySet(facts.librarySet);
        known.values.emplace_back(prop::LibrarySet, facts.librarySet);
        if (facts.chosen) known.values.emplace_back(prop::FunctionVer, *facts.chosen);
        session.KnowHidden(facts.hidden);
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
