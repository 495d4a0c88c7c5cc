#include "gating/record.h"

#include "gating/snapshot.h"
#include "package/contract.h"

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <type_traits>

std::string Escaped(const std::string& text)
{
    std::string out;
    for (char c : text) {
        if (c == '\\') out += "\\\\";
        else if (c == '\t') out += "\\t";
        else if (c == '\n') out += "\\n";
        else out += c;
    }
    return out;
}

std::vector<std::string> Fields(const std::string& line)
{
    std::vector<std::string> fields(1);
    for (std::size_t i = 0; i < line.size(); ++i) {
        char c = line[i];
        if (c == '\t') {
            fields.emplace_back();
        } else if (c == '\\' && i + 1 < line.size()) {
            char next = line[++i];
            fields.back() += next == 't' ? '\t' : next == 'n' ? '\n' : next;
        } else {
            fields.back() += c;
        }
    }
    return fields;
}

namespace {

// A record's kind names the property it travels in. Only a public (upper-case) property
// reaches the execute side on Windows; a private one is trusted only where it was written.
struct Kind {
    const char* name;
    const char* property;
};

constexpr bool IsPublic(const char* property)
{
    for (; *property; ++property)
        if (*property >= 'a' && *property <= 'z') return false;
    return true;
}

constexpr Kind kLibrarySet{"set", prop::LibrarySet};
constexpr Kind kOwnRows{"rows", prop::LibraryRows};
constexpr Kind kListsGiven{"lists", prop::ListsGiven};
constexpr Kind kSnapshot{"snapshot", prop::Snapshot};
static_assert(IsPublic(kLibrarySet.property), "the server reads which properties the library set");
static_assert(!IsPublic(kOwnRows.property) && !IsPublic(kListsGiven.property) && !IsPublic(kSnapshot.property),
              "what only this installation may trust stays private");

// ---- values: one or more fields of a line

// The values each enumeration may take.
constexpr std::pair<int, int> Span(Found) { return {int(Found::Missing), int(Found::Kept)}; }
constexpr std::pair<int, int> Span(Cabinet) { return {int(Cabinet::Present), int(Cabinet::Unknown)}; }
constexpr std::pair<int, int> Span(Road) { return {int(Road::FirstInstall), int(Road::Removal)}; }
constexpr std::pair<int, int> Span(INSTALLSTATE) { return {INSTALLSTATE_UNKNOWN, INSTALLSTATE_DEFAULT}; }
template <class E>
using Enumeration = decltype(Span(E()));

using Line = std::vector<std::string>;

// The fields of one line behind its tag, read in turn.
class Cursor {
public:
    explicit Cursor(Line fields) : fields_(std::move(fields)) {}
    const std::string& tag() const { return fields_[0]; }
    const std::string* next() { return at_ < fields_.size() ? &fields_[at_++] : nullptr; }
    bool done() const { return at_ == fields_.size(); }

private:
    Line fields_;
    std::size_t at_ = 1;
};

// Whole decimal numbers only: a damaged digit is damage, not zero.
bool Number(const std::string& text, int& value)
{
    if (text.empty()) return false;
    errno = 0;
    char* end = nullptr;
    long wide = std::strtol(text.c_str(), &end, 10);
    if (errno != 0 || !end || *end != '\0' || wide < INT32_MIN || wide > INT32_MAX) return false;
    value = static_cast<int>(wide);
    return true;
}

void Put(Line& line, const std::string& value) { line.push_back(value); }
// Behind '=', so that none stays apart from "".
void Put(Line& line, const OwnedString& value) { line.push_back(value ? "=" + *value : std::string()); }
void Put(Line& line, bool value) { line.push_back(value ? "1" : "0"); }
void Put(Line& line, int value) { line.push_back(std::to_string(value)); }
template <class E, class = Enumeration<E>>
void Put(Line& line, E value)
{
    line.push_back(std::to_string(int(value)));
}

bool Get(Cursor& line, std::string& value)
{
    const std::string* field = line.next();
    return field && (value = *field, true);
}
bool Get(Cursor& line, OwnedString& value)
{
    const std::string* field = line.next();
    if (!field || (!field->empty() && (*field)[0] != '=')) return false;
    value = field->empty() ? OwnedString() : OwnedString(field->substr(1));
    return true;
}
bool Get(Cursor& line, bool& value)
{
    const std::string* field = line.next();
    if (!field || (*field != "0" && *field != "1")) return false;
    value = *field == "1";
    return true;
}
bool Get(Cursor& line, int& value)
{
    const std::string* field = line.next();
    return field && Number(*field, value);
}
template <class E, class = Enumeration<E>>
bool Get(Cursor& line, E& value)
{
    int number = 0;
    if (!Get(line, number) || number < Span(value).first || number > Span(value).second) return false;
    value = static_cast<E>(number);
    return true;
}

// The fields of one row, in order; a plain value is its own one field.
template <class Row, class Visit>
void Members(Row& r, Visit&& visit)
{
    using T = std::remove_const_t<Row>;
    if constexpr (std::is_same_v<T, CabinetRule>) {
        visit(r.property), visit(r.function), visit(r.order), visit(r.cabinet), visit(r.feature), visit(r.flags);
    } else if constexpr (std::is_same_v<T, HostRelease>) {
        visit(r.property), visit(r.release);
    } else if constexpr (std::is_same_v<T, FunctionRow>) {
        visit(r.function), visit(r.text), visit(r.value);
    } else if constexpr (std::is_same_v<T, FeatureRow>) {
        visit(r.name), visit(r.parent), visit(r.level), visit(r.attributes);
    } else if constexpr (std::is_same_v<T, ConditionRow>) {
        visit(r.feature), visit(r.level), visit(r.expression);
    } else if constexpr (std::is_same_v<T, ReleaseFact>) {
        visit(r.how), visit(r.key), visit(r.where), visit(r.root), visit(r.view), visit(r.note);
    } else if constexpr (std::is_same_v<T, std::pair<std::string, std::string>>) {
        visit(r.first), visit(r.second);
    } else {
        visit(r);
    }
}

template <class Row>
void PutRow(Line& line, const Row& row)
{
    Members(row, [&](const auto& value) { Put(line, value); });
}

template <class Row>
bool GetRow(Cursor& line, Row& row)
{
    bool ok = true;
    Members(row, [&](auto& value) { ok = ok && Get(line, value); });
    return ok;
}

// ---- fields: the lines of one member, each led by the field's tag. A list is a line a row;
// a list that may be missing also has a line of the tag alone, before its rows; a map is a
// line an entry, its name first.

template <class T>
struct Shape {
    static constexpr bool list = false, maybeList = false, map = false;
};
template <class Row>
struct Shape<std::vector<Row>> : Shape<void> {
    static constexpr bool list = true;
};
template <class Row>
struct Shape<std::optional<std::vector<Row>>> : Shape<void> {
    static constexpr bool maybeList = true;
    using Item = Row;
};
template <class V>
struct Shape<NameMap<V>> : Shape<void> {
    static constexpr bool map = true;
    using Item = V;
};

class RecordWriter {
public:
    RecordWriter(const Kind& kind, Line header)
    {
        header.insert(header.begin(), {std::string("hostgate-") + kind.name, std::to_string(kRecordFormat)});
        add(header);
    }
    template <class T>
    void operator()(const char* tag, const T& member)
    {
        if constexpr (Shape<T>::maybeList) {
            if (!member) return;
            add({tag});
            for (const auto& row : *member) add(Led(tag, row));
        } else if constexpr (Shape<T>::list) {
            for (const auto& row : member) add(Led(tag, row));
        } else if constexpr (Shape<T>::map) {
            for (const auto& [name, value] : member) {
                Line line{tag, name};
                PutRow(line, value);
                add(line);
            }
        } else {
            add(Led(tag, member));
        }
    }
    std::string finish()
    {
        add({"end", std::to_string(lines_)});
        return text_;
    }

private:
    template <class Row>
    static Line Led(const char* tag, const Row& row)
    {
        Line line{tag};
        PutRow(line, row);
        return line;
    }
    void add(const Line& fields)
    {
        for (std::size_t i = 0; i < fields.size(); ++i) text_ += (i ? "\t" : "") + Escaped(fields[i]);
        text_ += '\n';
        ++lines_;
    }
    std::string text_;
    int lines_ = 0;
};

// Reads one line into the member whose tag leads it; refused unless exactly one member takes it.
class LineReader {
public:
    explicit LineReader(Cursor& line) : line_(line) {}
    bool ok() const { return ok_; }
    template <class T>
    void operator()(const char* tag, T& member)
    {
        if (taken_ || line_.tag() != tag) return;
        taken_ = true;
        if constexpr (Shape<T>::maybeList) {
            if (line_.done()) {
                ok_ = !member;  // the list's own line, once
                member.emplace();
                return;
            }
            typename Shape<T>::Item row{};
            ok_ = member && GetRow(line_, row) && line_.done();  // never a row before its list
            if (ok_) member->push_back(row);
        } else if constexpr (Shape<T>::list) {
            typename T::value_type row{};
            ok_ = GetRow(line_, row) && line_.done();
            if (ok_) member.push_back(row);
        } else if constexpr (Shape<T>::map) {
            std::string name;
            typename Shape<T>::Item value{};
            ok_ = Get(line_, name) && !name.empty() && GetRow(line_, value) && line_.done();
            if (ok_) member[name] = value;
        } else {
            T value{};
            ok_ = GetRow(line_, value) && line_.done();
            if (ok_) member = value;
        }
    }

private:
    Cursor& line_;
    bool taken_ = false;
    bool ok_ = false;
};

// A whole record of the kind, its header's own fields into `header`, every other line to the
// field list; false for anything but a whole record of this format.
template <class FieldList>
bool DecodeRecord(const std::string& text, const Kind& kind, Line& header, FieldList&& fields)
{
    if (text.empty() || text.back() != '\n') return false;
    std::size_t headerSize = header.size();
    int lines = 0;
    bool ended = false;
    for (std::size_t at = 0; at < text.size();) {
        std::size_t next = text.find('\n', at);
        Line line = Fields(text.substr(at, next - at));
        at = next + 1;
        if (ended) return false;  // nothing may follow the end
        if (lines == 0) {
            if (line.size() != headerSize + 2 || line[0] != std::string("hostgate-") + kind.name ||
                line[1] != std::to_string(kRecordFormat))
                return false;
            header.assign(line.begin() + 2, line.end());
        } else if (line[0] == "end") {
            int count = 0;
            if (line.size() != 2 || !Number(line[1], count) || count != lines) return false;
            ended = true;
            continue;
        } else {
            Cursor cursor(std::move(line));
            LineReader reader(cursor);
            fields(reader);
            if (!reader.ok()) return false;
        }
        ++lines;
    }
    return ended;
}

template <class List>
std::string EncodeList(const Kind& kind, const char* tag, const List& list)
{
    RecordWriter writer(kind, {});
    writer(tag, list);
    return writer.finish();
}

template <class List>
List DecodeList(const Kind& kind, const char* tag, const std::string& text)
{
    List list;
    Line header;
    if (!DecodeRecord(text, kind, header, [&](LineReader& field) { field(tag, list); })) return List();
    return list;
}

// The snapshot's one field list: what PrevInstall read and detected, and what apply left. A
// new fact is one line here. FUNCTION_VER and what follows from it (named, the library's,
// remembered now), and the truth of the package's rows, are the reader's to take afresh.
template <class F, class Rows, class States, class Visit>
void SnapshotFields(F& facts, Rows& ownRows, States& states, Visit&& field)
{
    field("rule", facts.rules);
    field("problem", facts.rulesProblem);
    field("release", facts.releases);
    field("function", facts.functions);
    field("feature", facts.features);
    field("row", facts.packageRows);
    field("level", facts.installLevel);
    field("found", facts.found);
    field("cabinet", facts.cabinets);
    field("source", facts.source);
    field("reached", facts.sourceReached);
    field("road", facts.road);
    field("reinstall", facts.reinstall);
    field("lists", facts.listsRule);
    field("dialog", facts.dialog);
    field("built", facts.choiceBuilt);
    field("hidden", facts.hidden);
    field("from", facts.installedFrom);
    field("installed", facts.installed);
    field("package-function", facts.packageFunction);
    field("package-function-read", facts.packageFunctionRead);
    field("remembered", facts.remembered);
    field("set", facts.librarySet);
    field("own", ownRows);
    field("state", states);
}

}  // namespace

std::string EncodeLibrarySet(const NamedValues& set) { return EncodeList(kLibrarySet, "set", set); }
NamedValues DecodeLibrarySet(const std::string& text) { return DecodeList<NamedValues>(kLibrarySet, "set", text); }

std::string EncodeRows(const std::vector<ConditionRow>& rows) { return EncodeList(kOwnRows, "row", rows); }
std::vector<ConditionRow> DecodeRows(const std::string& text)
{
    return DecodeList<std::vector<ConditionRow>>(kOwnRows, "row", text);
}

std::string EncodeLists(const NamedValues& lists) { return EncodeList(kListsGiven, "list", lists); }
NamedValues DecodeLists(const std::string& text) { return DecodeList<NamedValues>(kListsGiven, "list", text); }

std::optional<std::string> EncodeSnapshot(const SnapshotOwner& owner, const Facts& facts,
                                          const std::optional<std::vector<ConditionRow>>& ownRows,
                                          const NameMap<INSTALLSTATE>& states)
{
    RecordWriter writer(kSnapshot, {owner.library, owner.productCode, owner.packageCode, owner.nonce});
    SnapshotFields(facts, ownRows, states, writer);
    std::string text = writer.finish();
    if (text.size() > kSnapshotLimit) return std::nullopt;
    return text;
}

std::optional<Snapshot> DecodeSnapshot(const std::string& text)
{
    if (text.size() > kSnapshotLimit) return std::nullopt;
    Snapshot s;
    Line owner(4);
    if (!DecodeRecord(text, kSnapshot, owner,
                      [&](LineReader& field) { SnapshotFields(s.facts, s.ownRows, s.states, field); }))
        return std::nullopt;
    s.owner = SnapshotOwner{owner[0], owner[1], owner[2], owner[3]};
    return s;
}

std::vector<std::pair<std::string, std::string>> SnapshotFieldTexts(const Facts& facts,
                                                                    const std::optional<std::vector<ConditionRow>>& ownRows,
                                                                    const NameMap<INSTALLSTATE>& states)
{
    std::vector<std::pair<std::string, std::string>> texts;
    SnapshotFields(facts, ownRows, states, [&](const char* tag, const auto& member) {
        RecordWriter writer(kSnapshot, {});
        writer(tag, member);
        texts.emplace_back(tag, writer.finish());
    });
    return texts;
}
