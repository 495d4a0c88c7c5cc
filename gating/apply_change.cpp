// The change of an installed product, where a Condition row could orphan an installed
// feature: the lists and the states only.
#include "gating/apply_roads.h"

#include "session/install_session.h"

#include <msiquery.h>

// A change of the installed product: each planned feature the product lacks is added, each
// it has and the plan leaves out is removed, through the feature lists (for a costing to
// come) and, once chosen, through the features' states after costing again.
void ApplyChange(const InstallSession& session, const Facts& facts, const Plan& plan, Stage stage)
{
    NameSet withheld = Withheld(plan);
    Changes changes;
    for (const FeaturePlan& entry : plan.features) {
        if (entry.target == Target::Package) continue;
        bool planned = Installs(entry.target);
        if (entry.has == planned) {
            LogPlan(session, entry, entry.has ? "stays installed" : "stays out");
            continue;
        }
        LogPlan(session, entry, planned ? "added" : "removed");
        changes.emplace_back(entry.feature, StateOf(entry.target));
    }

    HoldFeatureLists(session, facts.features, withheld, changes);
    // A repair that adds features is carried by the lists alone, which the installer reinstalls
    // and adds by as one. A state set beside REINSTALL installs the feature without registering
    // it under Wine's engine, and the product's removal then leaves its files.
    if (stage != Stage::Chosen || facts.reinstall) return;
    RedoCosting(session);
    for (const auto& [feature, state] : changes) {
        UINT result = MsiSetFeatureStateW(session.handle(), Wide(feature).c_str(), state);
        session.Log("feature " + feature + (result == ERROR_SUCCESS ? " set " : " could not be set ") + StateName(state) +
                    (result == ERROR_SUCCESS ? std::string() : ": error " + std::to_string(result)));
    }
}
