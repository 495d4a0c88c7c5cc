// A dialog's tab order: the chain of Control_Next pointers from its first control. Windows
// checks it when it creates the dialog and refuses a dialog whose chain is not one closed
// loop (errors 2809, 2810, 2814); Wine shows such a dialog all the same. Pure: the rows are
// read by whoever asks (the checker from the package, the tests from a running session).
#pragma once

#include "session/owned.h"

#include <string>
#include <vector>

// One Control row of a dialog: its name and Control_Next (none outside the chain, or at its end).
struct TabControl {
    std::string name;
    OwnedString next;
};

enum class TabFault {
    None,
    Missing,  // a Control_Next (or the first control) names a control not on the dialog (2814)
    Shared,   // two controls lead to one control (2810)
    Open,     // the chain does not return to its first control, or a pointer stands outside it (2809)
    Without,  // the loop is sound but does not hold the control it must hold
};

struct TabChain {
    TabFault fault = TabFault::None;
    std::string control;  // the control whose Control_Next is at fault; empty for the first control (Missing) or Without
    std::string target;   // what it names (Missing, Shared, a pointer outside the loop), or the control not held (Without)
    std::string earlier;  // the control that already leads to `target` (Shared)
    explicit operator bool() const { return fault != TabFault::None; }
};

// What is wrong with the chain from `first` through `controls`; `member`, when not empty,
// must be on the loop. One fault: a missing control, then a control led to twice, then a
// chain that stops, then `member` not held, then a pointer outside the loop. Where two
// controls lead to one, the later of the two in `controls` is named.
TabChain CheckTabChain(const std::string& first, const std::vector<TabControl>& controls, const std::string& member);

// The fault in words ("both A and B lead to C"), empty when there is none.
std::string DescribeTabChain(const TabChain& chain);
