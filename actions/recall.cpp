// The snapshot in the installation: one private property, kept out of the verbose log, that
// names the installation it belongs to.
#include "actions/detect.h"

#include "package/contract.h"
#include "session/install_session.h"

#include <msiquery.h>


#ifndef HOSTGATE_VERSION
#define HOSTGATE_VERSION "dev"
#endif

namespace {

// The product, the package and the nonce, read in one call.
SnapshotOwner ReadOwner(const InstallSession& session)
{
    session.Prefetch({prop::ProductCode, prop::PackageCode, prop::Run, prop::CostingComplete});
    return SnapshotOwner{HOSTGATE_VERSION, session.GetProperty(prop::ProductCode).value_or(std::string()),
                 session.GetProperty(prop::PackageCode).value_or(std::string()),
                 session.GetProperty(prop::Run).value_or(std::string())};
}

// Tells one installation from another: never a secret, only unlikely to repeat.
std::string NewNonce()
{
    LARGE_INTEGER counter;
    QueryPerformanceCounter(&counter);
    unsigned long long mixed = static_cast<unsigned long long>(counter.QuadPart) * 0x9E3779B97F4A7C15ull ^
                               (static_cast<unsigned long long>(GetCurrentProcessId()) << 32) ^ GetTickCount();
    std::string text;
    for (int shift = 60; shift >= 0; shift -= 4) text += "0123456789abcdef"[(mixed >> shift) & 0xF];
    return text;
}

}  // namespace

std::optional<Snapshot> Recall(const InstallSession& session)
{
    OwnedString text = session.GetProperty(prop::Snapshot);
    if (!text) {
        session.Log("no snapshot of this installation: the tables are read");
        return std::nullopt;
    }
    std::optional<Snapshot> snapshot = DecodeSnapshot(*text);
    if (!snapshot) {
        session.Log("the snapshot is damaged or of another format: the tables are read");
        return std::nullopt;
    }
    SnapshotOwner owner = ReadOwner(session);
    const SnapshotOwner& its = snapshot->owner;
    if (its.library != owner.library || owner.nonce.empty() || its.nonce != owner.nonce ||
        its.productCode != owner.productCode || its.packageCode != owner.packageCode) {
        session.Log("the snapshot belongs to another installation or library: the tables are read");
        return std::nullopt;
    }
    if (snapshot->facts.road != Road::FirstInstall && snapshot->facts.road != Road::Change) return std::nullopt;
    return snapshot;
}

void Remember(const InstallSession& session, Facts& facts, const Plan& plan, const Known& known, SnapshotOwner owner)
{
    // A repair or a removal reads only what its own rows use.
    if (facts.road != Road::FirstInstall && facts.road != Road::Change) return;
    bool fresh = owner.nonce.empty();
    if (fresh) {
        owner = ReadOwner(session);
        owner.nonce = NewNonce();
    }
    owner.library = HOSTGATE_VERSION;
    for (const auto& [name, value] : plan.properties) {
        if (name == prop::LibrarySet) facts.librarySet = value;
        if (name == prop::FunctionRb) facts.choiceBuilt = true;
    }
    // Windows keeps a property listed here out of the verbose log; the library's lines never
    // print it.
    std::string& hidden = facts.hidden;
    if ((";" + hidden + ";").find(std::string(";") + prop::Snapshot + ";") == std::string::npos) {
        hidden += (hidden.empty() ? "" : ";") + std::string(prop::Snapshot);
        session.SetProperty(prop::HiddenProperties, hidden.c_str());
    }
    std::optional<std::string> text = EncodeSnapshot(owner, facts, known.rows, known.states);
    if (!text) {
        session.Log("the tables are too large for a snapshot: each action reads them");
        session.SetProperty(prop::Snapshot, "");
        return;
    }
    if (fresh) session.SetProperty(prop::Run, owner.nonce.c_str());
    session.SetProperty(prop::Snapshot, text->c_str());
}
