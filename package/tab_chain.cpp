#include "package/tab_chain.h"

#include <map>
#include <set>

TabChain CheckTabChain(const std::string& first, const std::vector<TabControl>& controls, const std::string& member)
{
    std::map<std::string, const TabControl*> byName;
    for (const TabControl& control : controls) byName[control.name] = &control;
    if (!byName.count(first)) return {TabFault::Missing, std::string(), first, std::string()};
    for (const TabControl& control : controls)
        if (control.next && !byName.count(*control.next))
            return {TabFault::Missing, control.name, *control.next, std::string()};

    std::map<std::string, std::string> ledFrom;
    for (const TabControl& control : controls)
        if (control.next) {
            auto placed = ledFrom.emplace(*control.next, control.name);
            if (!placed.second) return {TabFault::Shared, control.name, *control.next, placed.first->second};
        }

    // No control is led to twice: the walk comes back to the first control or stops.
    std::set<std::string> onLoop;
    std::string at = first;
    do {
        onLoop.insert(at);
        const OwnedString& next = byName[at]->next;
        if (!next) return {TabFault::Open, at, std::string(), std::string()};
        at = *next;
    } while (at != first);

    if (!member.empty() && !onLoop.count(member)) return {TabFault::Without, std::string(), member, std::string()};
    for (const TabControl& control : controls)
        if (control.next && !onLoop.count(control.name)) return {TabFault::Open, control.name, *control.next, std::string()};
    return {};
}

std::string DescribeTabChain(const TabChain& chain)
{
    switch (chain.fault) {
    case TabFault::None:
        return std::string();
    case TabFault::Missing:
        return chain.control.empty() ? "the first control " + chain.target + " is not on the dialog"
                                     : chain.control + " leads to " + chain.target + ", which is not on the dialog";
    case TabFault::Shared:
        return "both " + chain.earlier + " and " + chain.control + " lead to " + chain.target;
    case TabFault::Open:
        return chain.target.empty() ? "the tab order stops at " + chain.control + " (no Control_Next) instead of leading back to the first control"
                                    : chain.control + " leads to " + chain.target + " outside the tab order from the first control";
    case TabFault::Without:
        return "the tab order does not pass through " + chain.target;
    }
    return std::string();
}
