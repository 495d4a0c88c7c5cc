// Sends a plan down its road, and keeps what the next action is handed: the library's rows
// and the feature lists as given.
#include "gating/apply.h"

#include "gating/apply_roads.h"
#include "host/host_release.h"
#include "package/contract.h"
#include "session/database.h"
#include "session/install_session.h"

bool CostingStillToCome(const InstallSession& session)
{
    return session.GetProperty(prop::CostingComplete) != std::string("1");
}

Lists GivenLists(const InstallSession& session)
{
    Lists lists;
    OwnedString stored = session.GetProperty(prop::ListsGiven);
    if (stored) return DecodeLists(*stored);
    for (const char* name : kEditedLists) lists.emplace_back(name, session.GetProperty(name).value_or(std::string()));
    session.SetProperty(prop::ListsGiven, EncodeLists(lists).c_str());
    return lists;
}

void LogPlan(const InstallSession& session, const FeaturePlan& entry, const std::string& outcome)
{
    const char* target = entry.target == Target::Package ? " as the package decides" : Installs(entry.target) ? " on" : " off";
    session.Log("plan: feature " + entry.feature + target + " (" + entry.reason + "): " + outcome);
}

namespace {

void PruneMissingReleases(const InstallSession& session, const Facts& facts)
{
    if (!facts.releases) return;
    for (std::size_t i = 0; i < facts.releases->size() && i < facts.found.size(); ++i) {
        const OwnedString& release = (*facts.releases)[i].release;
        if (facts.found[i].how != Found::Missing || !release) continue;
        for (const HostPruning& done : PruneHostReleaseKeys(release)) {
            for (const std::string& gone : done.pruning.deleted)
                session.Log("empty registry key " + RegistryKeyName(done.place, gone) + " pruned");
            if (!done.pruning.refused.empty())
                session.Log("empty registry key " + RegistryKeyName(done.place, done.pruning.refused) +
                            " left in place: deleting it was refused (error " + std::to_string(done.pruning.error) + ")");
        }
    }
}

// Each feature's line of the plan; once the states are settled (`ends`), what the feature ends
// as, checked (a person may have changed it on a dialog), not assumed.
void LogPlanLines(const InstallSession& session, const Plan& plan, const std::vector<std::string>& lines,
                  const NameMap<INSTALLSTATE>* ends)
{
    for (std::size_t i = 0; i < plan.features.size(); ++i) {
        if (lines[i].empty()) continue;
        const INSTALLSTATE* state = ends ? ends->find(plan.features[i].feature) : nullptr;
        LogPlan(session, plan.features[i], lines[i] + (state ? std::string("; ends ") + StateName(*state) : std::string()));
    }
}

}  // namespace

UINT ApplyPlan(const InstallSession& session, const PackageDatabase& db, const Facts& facts, const Plan& plan, Stage stage,
               Known& known)
{
    for (const std::string& line : plan.log) session.Log(line);
    for (const auto& [name, value] : plan.properties) session.SetProperty(name.c_str(), value.c_str());
    // The registry pruning is the one write to the machine, made once, on a first installation.
    if (facts.road == Road::FirstInstall && stage == Stage::BeforeChoice) PruneMissingReleases(session, facts);
    // A Cancel answered is kept by the session, whose Finish makes it the action's result; a
    // message that could not be posted leaves the plan to be carried out all the same.
    for (int number : plan.messages) (void)session.ReportError(number);
    if (!plan.decides) return plan.result;
    if (facts.road == Road::Change) {
        ApplyChange(session, facts, plan, stage);
        return plan.result;
    }
    std::vector<ConditionRow> held =
        known.rows ? *known.rows : DecodeRows(session.GetProperty(prop::LibraryRows).value_or(std::string()));
    RowRecord record(held);
    OwnRows table(db, record);
    Written written = WriteRows(table, facts, plan);
    if (facts.listsRule) WithholdFromFeatureLists(session, facts.features, Withheld(plan));
    if (stage == Stage::Chosen) {
        RecostWithLevels(session, table, facts, plan, written.wasOff);
        SettleFeatureStates(session, facts, plan, known);
    }
    LogPlanLines(session, plan, written.lines, stage == Stage::Chosen ? &known.states : nullptr);
    if (!known.rows || record.rows() != held) session.SetProperty(prop::LibraryRows, EncodeRows(record.rows()).c_str());
    known.rows = record.rows();
    GuessFirstCosting(facts, plan, stage, known);
    LogSwitchedOff(session, plan);
    return plan.result;
}
