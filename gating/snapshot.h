// What PrevInstall read and detected, kept in a private property of the installation for
// AfterSelectFunction, which runs a moment later in the same installation: the person at the
// dialog waits for it, and every installer call is a round trip. Each apply writes back what
// it left (the library's rows, the feature states, the properties it set), so that Back and
// another Next know them without reading. Trusted only by the installation that wrote it.
#pragma once

#include "gating/facts.h"
#include "gating/record.h"

#include <cstddef>
#include <optional>
#include <string>
#include <utility>
#include <vector>

// A package whose tables need more is read afresh by each action.
constexpr std::size_t kSnapshotLimit = 256 * 1024;

// Whose it is: the library, the product, the package and the installation (a nonce).
struct SnapshotOwner {
    std::string library;
    std::string productCode;
    std::string packageCode;
    std::string nonce;
};

struct Snapshot {
    SnapshotOwner owner;
    // What detect found. FUNCTION_VER and what follows from it (named, the library's), and
    // the truth of the package's rows, are the reader's to take afresh.
    Facts facts;
    // As the last action left them.
    std::optional<std::vector<ConditionRow>> ownRows;  // the library's Condition rows, when known
    NameMap<INSTALLSTATE> states;       // action states of planned features, where known
};

// None when the text would exceed kSnapshotLimit.
std::optional<std::string> EncodeSnapshot(const SnapshotOwner& owner, const Facts& facts,
                                          const std::optional<std::vector<ConditionRow>>& ownRows,
                                          const NameMap<INSTALLSTATE>& states);
// None when the text is not a whole snapshot of this format.
std::optional<Snapshot> DecodeSnapshot(const std::string& text);
// Each field of the snapshot's field list with its lines alone, in the list's order.
std::vector<std::pair<std::string, std::string>> SnapshotFieldTexts(const Facts& facts,
                                                                    const std::optional<std::vector<ConditionRow>>& ownRows,
                                                                    const NameMap<INSTALLSTATE>& states);
