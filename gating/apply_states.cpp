// The features' states once a costing has run, for an installer that reads the rows no more:
// costed again, each planned state set unless it stands already.
#include "gating/apply_roads.h"

#include "session/install_session.h"

#include <msiquery.h>

#include <algorithm>

INSTALLSTATE StateOf(Target target)
{
    switch (target) {
    case Target::Local: return INSTALLSTATE_LOCAL;
    case Target::Source: return INSTALLSTATE_SOURCE;
    case Target::Advertised: return INSTALLSTATE_ADVERTISED;
    default: return INSTALLSTATE_ABSENT;
    }
}

namespace {

// Whether a feature's state stands as planned. Under some engines a request set once keeps a
// later costing from fixing the feature's level and registration: a state already as
// planned is left alone. `keep`: a feature the given lists install stays as it is installed.
bool Stands(INSTALLSTATE planned, bool keep, INSTALLSTATE action, INSTALLSTATE installed)
{
    if (keep) return Installs(action);
    return action == planned || (!Installs(planned) && !Installs(action) && !Installs(installed));
}

// The same question as a condition over the feature's action (&) and installed (!) states,
// which the installer answers for many features in one call.
std::string StandsCondition(const std::string& feature, INSTALLSTATE planned, bool keep)
{
    // One term for each state the question tells apart: "&F=1" and the like.
    std::string text = "(";
    auto term = [&](const char* sign, int state, const char* joint) {
        text.append(sign).append(feature).append("=").append(std::to_string(state)).append(joint);
    };
    if (keep) {
        term("&", 1, " OR ");
        term("&", 3, " OR ");
        term("&", 4, ")");
    } else if (Installs(planned)) {
        term("&", planned, ")");
    } else {
        term("&", 2, " OR NOT (");
        for (const char* sign : {"&", "!"})
            for (int state : {1, 3, 4}) term(sign, state, *sign == '!' && state == 4 ? "))" : " OR ");
    }
    return text;
}

// A feature name the condition syntax reads as one name.
bool ConditionName(const std::string& name)
{
    auto letter = [](char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_'; };
    if (name.empty() || !letter(name[0])) return false;
    return std::all_of(name.begin(), name.end(), [&](char c) { return letter(c) || (c >= '0' && c <= '9') || c == '.'; });
}

struct Setting {
    std::string feature;
    INSTALLSTATE state;
    bool keep;  // installed as the lists give it: left as it is when it installs
    bool stands = false;
    INSTALLSTATE action = INSTALLSTATE_UNKNOWN;  // as read, when read
    bool read = false;
};

void ReadStanding(const InstallSession& session, Setting& s)
{
    INSTALLSTATE installed = INSTALLSTATE_UNKNOWN;
    UINT result = MsiGetFeatureStateW(session.handle(), Wide(s.feature).c_str(), &installed, &s.action);
    s.read = result == ERROR_SUCCESS;
    s.stands = s.read ? Stands(s.state, s.keep, s.action, installed) : s.keep;
}

// Which settings stand already. The states the library knows (from the last action) and the
// plan's own states are guesses: the installer checks each guess for a batch of features in
// one condition, and a batch no guess explains is read feature by feature, as are names the
// condition syntax cannot hold. A person who changed a state on the dialog fails the guess.
void FindStanding(const InstallSession& session, const Known& known, std::vector<Setting>& settings)
{
    constexpr std::size_t kConditionBytes = 8 * 1024;
    std::size_t next = 0;
    while (next < settings.size()) {
        std::vector<std::size_t> batch;
        for (std::size_t bytes = 0; next < settings.size() && bytes < kConditionBytes; ++next) {
            if (!ConditionName(settings[next].feature)) {
                ReadStanding(session, settings[next]);
                continue;
            }
            batch.push_back(next);
            bytes += 6 * settings[next].feature.size() + 60;
        }
        if (batch.empty()) continue;
        std::vector<bool> tried;
        bool settled = false;
        for (int guess = 0; guess < 2 && !settled; ++guess) {
            // The first costing gives the plan's states; a later one leaves the known ones.
            bool fromKnown = (guess == 0) != known.firstCosting;
            std::vector<bool> expect;
            std::string condition;
            for (std::size_t i : batch) {
                const Setting& s = settings[i];
                const INSTALLSTATE* state = fromKnown ? known.states.find(s.feature) : nullptr;
                bool stands = !state || Stands(s.state, s.keep, *state, INSTALLSTATE_ABSENT);
                expect.push_back(stands);
                condition += (condition.empty() ? "" : " AND ") + std::string(stands ? "" : "NOT ") +
                             StandsCondition(s.feature, s.state, s.keep);
            }
            if (expect == tried) continue;
            tried = expect;
            // False, or a condition the installer cannot read: the next guess, or each feature read.
            if (MsiEvaluateConditionW(session.handle(), Wide(condition).c_str()) != MSICONDITION_TRUE) continue;
            for (std::size_t k = 0; k < batch.size(); ++k) settings[batch[k]].stands = expect[k];
            settled = true;
        }
        if (!settled)
            for (std::size_t i : batch) ReadStanding(session, settings[i]);
    }
}

}  // namespace

void RedoCosting(const InstallSession& session)
{
    session.Log("costing redone");
    // The states are set all the same: each setting's answer is logged, and read back where
    // it is doubted.
    UINT result = session.DoAction(action::CostFinalize);
    if (result != ERROR_SUCCESS) session.Log("costing could not be redone: error " + std::to_string(result));
}

// With the feature lists ruling, the lists' states stand, less the features withheld.
void SettleFeatureStates(const InstallSession& session, const Facts& facts, const Plan& plan, Known& known)
{
    NameSet withheld = Withheld(plan);
    std::string given = facts.listsRule ? session.GetProperty(prop::AddLocal).value_or(std::string()) : std::string();
    std::vector<std::string> addLocal = Split(given);
    std::string removeGiven = facts.listsRule ? ValueOf(GivenLists(session), prop::Remove) : std::string();
    std::vector<std::string> removed = Split(removeGiven);
    std::vector<Setting> settings;
    for (const FeaturePlan& entry : plan.features) {
        if (entry.target == Target::Package) continue;
        Setting s{entry.feature, StateOf(entry.target), false};
        if (facts.listsRule && !withheld.count(entry.feature)) {
            // A feature an earlier choice withheld comes back when the given lists ask for it.
            bool asked = (IsAll(given) || std::find(addLocal.begin(), addLocal.end(), entry.feature) != addLocal.end()) &&
                         !IsAll(removeGiven) && std::find(removed.begin(), removed.end(), entry.feature) == removed.end();
            // Not asked for, it is as the lists give it, except that it never installs where the
            // plan leaves it out (a dialog's AddLocal on its parent takes it along).
            if (!asked && Installs(s.state)) continue;
            if (asked) {
                s.state = INSTALLSTATE_LOCAL;
                s.keep = true;
            }
        } else if (facts.listsRule) {
            s.state = INSTALLSTATE_ABSENT;
        }
        settings.push_back(s);
    }
    FindStanding(session, known, settings);
    for (const Setting& s : settings) {
        if (s.stands) {
            // What stands is as planned; a kept feature installs in a way not known unless read.
            if (s.read) known.states[s.feature] = s.action;
            else if (s.keep) known.states.erase(s.feature);
            else known.states[s.feature] = s.state;
            continue;
        }
        UINT result = MsiSetFeatureStateW(session.handle(), Wide(s.feature).c_str(), s.state);
        if (result == ERROR_SUCCESS) {
            known.states[s.feature] = s.state;
            session.Log("feature " + s.feature + " set " + StateName(s.state) + " after costing");
        } else {
            known.states.erase(s.feature);
            session.Log("feature " + s.feature + " could not be set " + StateName(s.state) + " after costing: error " +
                        std::to_string(result));
        }
    }
}

void GuessFirstCosting(const Facts& facts, const Plan& plan, Stage stage, Known& known)
{
    if (stage == Stage::BeforeChoice && !facts.listsRule && known.firstCosting)
        for (const FeaturePlan& entry : plan.features)
            if (entry.target != Target::Package) known.states[entry.feature] = StateOf(entry.target);
}
