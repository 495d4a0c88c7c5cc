#include "gating/snapshot.h"

#include "gating/plan.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

constexpr const char* kHeader = "hostgate-snapshot";

std::string Opt(const OwnedString& value)
{
    return value ? "=" + *value : std::string();
}

class Writer {
public:
    Writer& line(const char* tag)
    {
        text_ += tag;
        return *this;
    }
    Writer& field(const std::string& value)
    {
        text_ += '\t';
        text_ += Escaped(value);
        return *this;
    }
    Writer& field(long value) { return field(std::to_string(value)); }
    Writer& end()
    {
        text_ += '\n';
        ++lines_;
        return *this;
    }
    std::string finish()
    {
        line("end").field(static_cast<long>(lines_)).end();
        return text_;
    }

private:
    std::string text_;
    long lines_ = 0;
};

// Whole decimal numbers only: a damaged digit is damage, not zero.
bool Number(const std::string& text, long& value)
{
    if (text.empty()) return false;
    errno = 0;
    char* end = nullptr;
    value = std::strtol(text.c_str(), &end, 10);
    return errno == 0 && end && *end == '\0';
}

bool Number(const std::string& text, int& value)
{
    long wide = 0;
    if (!Number(text, wide) || wide < INT32_MIN || wide > INT32_MAX) return false;
    value = static_cast<int>(wide);
    return true;
}

bool Opt(const std::string& field, OwnedString& value)
{
    if (field.empty()) {
        value.reset();
        return true;
    }
    if (field[0] != '=') return false;
    value = field.substr(1);
    return true;
}

bool Flag(const std::string& field, bool& value)
{
    if (field != "0" && field != "1") return false;
    value = field == "1";
    return true;
}

bool State(const std::string& field, INSTALLSTATE& state)
{
    int value = 0;
    if (!Number(field, value) || value < INSTALLSTATE_UNKNOWN || value > INSTALLSTATE_DEFAULT) return false;
    state = static_cast<INSTALLSTATE>(value);
    return true;
}

// One line of a snapshot into the value; false when it is not a line this format writes.
bool Read(const std::vector<std::string>& f, Snapshot& s)
{
    const std::string& tag = f[0];
    Facts& facts = s.facts;
    std::size_t n = f.size();
    if (tag == "rules" && n == 1) return facts.rules.emplace(), true;
    if (tag == "rule" && n == 7 && facts.rules) {
        CabinetRule rule;
        bool ok = Opt(f[1], rule.property) && Opt(f[2], rule.function) && Number(f[3], rule.order) &&
                  Opt(f[4], rule.cabinet) && Opt(f[5], rule.feature) && Number(f[6], rule.flags);
        if (ok) facts.rules->push_back(rule);
        return ok;
    }
    if (tag == "problem" && n == 2) return facts.rulesProblem = f[1], true;
    if (tag == "releases" && n == 1) return facts.releases.emplace(), true;
    if (tag == "release" && n == 3 && facts.releases) {
        HostRelease row;
        bool ok = Opt(f[1], row.property) && Opt(f[2], row.release);
        if (ok) facts.releases->push_back(row);
        return ok;
    }
    if (tag == "functions" && n == 1) return facts.functions.emplace(), true;
    if (tag == "function" && n == 4 && facts.functions) {
        FunctionRow row;
        bool ok = Opt(f[1], row.function) && Opt(f[2], row.text) && Opt(f[3], row.value);
        if (ok) facts.functions->push_back(row);
        return ok;
    }
    if (tag == "feature" && n == 5) {
        FeatureRow row;
        row.name = f[1];
        bool ok = !row.name.empty() && Opt(f[2], row.parent) && Number(f[3], row.level) && Number(f[4], row.attributes);
        if (ok) facts.features.push_back(row);
        return ok;
    }
    if ((tag == "row" || tag == "own") && n == 4) {
        ConditionRow row;
        row.feature = f[1];
        if (row.feature.empty() || !Number(f[2], row.level) || !Opt(f[3], row.expression)) return false;
        if (tag == "own") return s.ownRows ? (s.ownRows->push_back(row), true) : false;
        if (!facts.packageRows) return false;
        return facts.packageRows->push_back(row), true;
    }
    if (tag == "rows" && n == 1) return facts.packageRows.emplace(), true;
    if (tag == "owned" && n == 1) return s.ownRows.emplace(), true;
    if (tag == "level" && n == 2) return Number(f[1], facts.installLevel);
    if (tag == "found" && n == 7) {
        ReleaseFact fact;
        int how = 0;
        if (!Number(f[1], how) || how < int(Found::Missing) || how > int(Found::Kept)) return false;
        fact.how = static_cast<Found>(how);
        fact.key = f[2];
        fact.where = f[3];
        fact.root = f[4];
        fact.view = f[5];
        fact.note = f[6];
        facts.found.push_back(fact);
        return true;
    }
    if (tag == "cabinet" && n == 3) {
        int state = 0;
        if (f[1].empty() || !Number(f[2], state) || state < int(Cabinet::Present) || state > int(Cabinet::Unknown)) return false;
        facts.cabinets[f[1]] = static_cast<Cabinet>(state);
        return true;
    }
    if (tag == "source" && n == 3) return facts.source = f[1], Flag(f[2], facts.sourceReached);
    if (tag == "road" && n == 2) {
        int road = 0;
        if (!Number(f[1], road) || road < int(Road::FirstInstall) || road > int(Road::Removal)) return false;
        facts.road = static_cast<Road>(road);
        return true;
    }
    if (tag == "lists" && n == 2) return Flag(f[1], facts.listsRule);
    if (tag == "dialog" && n == 2) return Flag(f[1], facts.dialog);
    if (tag == "built" && n == 2) return Flag(f[1], facts.choiceBuilt);
    if (tag == "hidden" && n == 2) return facts.hidden = f[1], true;
    if (tag == "from" && n == 2) return facts.installedFrom = f[1], true;
    if (tag == "installed" && n == 3) return !f[1].empty() && State(f[2], facts.installed[f[1]]);
    if (tag == "package-function" && n == 4)
        return Opt(f[1], facts.packageFunction) && Flag(f[2], facts.packageFunctionRead) && Opt(f[3], facts.remembered);
    if (tag == "set" && n == 2) return facts.librarySet = f[1], true;
    if (tag == "state" && n == 3) return !f[1].empty() && State(f[2], s.states[f[1]]);
    return false;
}

}  // namespace

std::optional<std::string> EncodeSnapshot(const SnapshotOwner& owner, const Facts& facts,
                                          const std::optional<std::vector<ConditionRow>>& ownRows,
                                          const NameMap<INSTALLSTATE>& states)
{
    Writer w;
    w.line(kHeader).field(kSnapshotFormat).field(owner.library).field(owner.productCode).field(owner.packageCode)
        .field(owner.nonce).end();
    if (facts.rules) {
        w.line("rules").end();
        for (const CabinetRule& r : *facts.rules)
            w.line("rule").field(Opt(r.property)).field(Opt(r.function)).field(r.order).field(Opt(r.cabinet))
                .field(Opt(r.feature)).field(r.flags).end();
    }
    if (!facts.rulesProblem.empty()) w.line("problem").field(facts.rulesProblem).end();
    if (facts.releases) {
        w.line("releases").end();
        for (const HostRelease& r : *facts.releases) w.line("release").field(Opt(r.property)).field(Opt(r.release)).end();
    }
    if (facts.functions) {
        w.line("functions").end();
        for (const FunctionRow& r : *facts.functions)
            w.line("function").field(Opt(r.function)).field(Opt(r.text)).field(Opt(r.value)).end();
    }
    for (const FeatureRow& r : facts.features)
        w.line("feature").field(r.name).field(Opt(r.parent)).field(r.level).field(r.attributes).end();
    if (facts.packageRows) {
        w.line("rows").end();
        for (const ConditionRow& r : *facts.packageRows)
            w.line("row").field(r.feature).field(r.level).field(Opt(r.expression)).end();
    }
    w.line("level").field(facts.installLevel).end();
    for (const ReleaseFact& r : facts.found)
        w.line("found").field(long(r.how)).field(r.key).field(r.where).field(r.root).field(r.view).field(r.note).end();
    for (const auto& [name, state] : facts.cabinets) w.line("cabinet").field(name).field(long(state)).end();
    w.line("source").field(facts.source).field(facts.sourceReached ? 1 : 0).end();
    w.line("road").field(long(facts.road)).end();
    w.line("lists").field(facts.listsRule ? 1 : 0).end();
    w.line("dialog").field(facts.dialog ? 1 : 0).end();
    w.line("built").field(facts.choiceBuilt ? 1 : 0).end();
    w.line("hidden").field(facts.hidden).end();
    w.line("from").field(facts.installedFrom).end();
    for (const auto& [feature, state] : facts.installed) w.line("installed").field(feature).field(long(state)).end();
    w.line("package-function").field(Opt(facts.packageFunction)).field(facts.packageFunctionRead ? 1 : 0)
        .field(Opt(facts.remembered)).end();
    w.line("set").field(facts.librarySet).end();
    if (ownRows) {
        w.line("owned").end();
        for (const ConditionRow& r : *ownRows) w.line("own").field(r.feature).field(r.level).field(Opt(r.expression)).end();
    }
    for (const auto& [feature, state] : states) w.line("state").field(feature).field(long(state)).end();
    std::string text = w.finish();
    if (text.size() > kSnapshotLimit) return std::nullopt;
    return text;
}

std::optional<Snapshot> DecodeSnapshot(const std::string& text)
{
    if (text.empty() || text.size() > kSnapshotLimit || text.back() != '\n') return std::nullopt;
    Snapshot s;
    long lines = 0;
    bool ended = false;
    std::size_t at = 0;
    while (at < text.size()) {
        std::size_t next = text.find('\n', at);
        std::vector<std::string> f = Fields(text.substr(at, next - at));
        at = next + 1;
        if (ended) return std::nullopt;  // nothing may follow the end
        if (lines == 0) {
            int format = 0;
            if (f.size() != 6 || f[0] != kHeader || !Number(f[1], format) || format != kSnapshotFormat) return std::nullopt;
            s.owner = SnapshotOwner{f[2], f[3], f[4], f[5]};
        } else if (f[0] == "end") {
            long count = 0;
            if (f.size() != 2 || !Number(f[1], count) || count != lines) return std::nullopt;
            ended = true;
            continue;
        } else if (!Read(f, s)) {
            return std::nullopt;
        }
        ++lines;
    }
    if (!ended) return std::nullopt;
    return s;
}
