// The feature lists (ADDLOCAL, REMOVE and the like), where the installer reads those instead
// of the Condition table: the lists as given, with the plan's changes and withheld features.
#include "gating/apply_roads.h"

#include "session/install_session.h"

#include <algorithm>

std::vector<std::string> Split(const std::string& list)
{
    return SplitText(list, ',');
}

bool IsAll(const std::string& list)
{
    return _stricmp(list.c_str(), "ALL") == 0;
}

std::string ValueOf(const Lists& lists, const std::string& name)
{
    for (const auto& [list, value] : lists)
        if (list == name) return value;
    return std::string();
}

namespace {

std::string Join(const std::vector<std::string>& names)
{
    std::string list;
    for (const std::string& name : names) list += (list.empty() ? "" : ",") + name;
    return list;
}

bool Belongs(const std::string& list, INSTALLSTATE state)
{
    return list == prop::Remove      ? state == INSTALLSTATE_ABSENT
           : list == prop::AddLocal  ? state == INSTALLSTATE_LOCAL
           : list == prop::AddSource ? state == INSTALLSTATE_SOURCE
           : list == prop::Advertise ? state == INSTALLSTATE_ADVERTISED
                                     : false;
}

}  // namespace

// The one way the lists are edited, on every road: the lists as given, each planned change
// joined to the list of its state, and every withheld feature joined to REMOVE (which comes
// after ADDLOCAL: what it names is not installed, whatever ADDLOCAL said) and taken out of
// ADDSOURCE, ADDDEFAULT and ADVERTISE (ALL there spelled out).
void HoldFeatureLists(const InstallSession& session, const std::vector<FeatureRow>& features, const NameSet& withheld,
                      const Changes& changes)
{
    Lists given = GivenLists(session);
    // Without a list given nothing is held: the plan's states rule.
    bool anyGiven = std::any_of(given.begin(), given.end(), [](const auto& list) { return !list.second.empty(); });
    const NameSet none;
    const NameSet& held = anyGiven ? withheld : none;
    for (const char* name : kEditedLists) {
        const std::string value = ValueOf(given, name);
        const bool remove = name == std::string(prop::Remove);
        std::vector<std::string> names;
        if (IsAll(value) && (remove || name == std::string(prop::AddLocal))) {
            names = {value};
        } else if (IsAll(value)) {
            for (const FeatureRow& feature : features) names.push_back(feature.name);
        } else {
            names = Split(value);
        }
        bool all = names.size() == 1 && IsAll(names.front());
        auto has = [&](const std::string& feature) { return std::find(names.begin(), names.end(), feature) != names.end(); };
        for (const auto& [feature, state] : changes)
            if (!all && Belongs(name, state) && !has(feature)) names.push_back(feature);
        if (remove && !all) {
            for (const std::string& feature : held)
                if (!has(feature)) names.push_back(feature);
        } else if (!remove && name != std::string(prop::AddLocal)) {
            names.erase(std::remove_if(names.begin(), names.end(), [&](const std::string& n) { return held.count(n) > 0; }),
                        names.end());
        }
        std::string list = Join(names);
        if (list == session.GetProperty(name).value_or(std::string())) continue;
        session.SetProperty(name, list.c_str());
        session.Log(std::string("feature lists: ") + name + " = " + (list.empty() ? "(none)" : list) +
                    " (as given, with the plan's changes; the features the rules switch off withheld)");
    }
}

void WithholdFromFeatureLists(const InstallSession& session, const std::vector<FeatureRow>& features,
                              const NameSet& withheld)
{
    HoldFeatureLists(session, features, withheld, {});
}
