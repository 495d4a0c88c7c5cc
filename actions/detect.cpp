#include "actions/detect.h"

#include "gating/apply.h"
#include "gating/plan.h"
#include "host/host_release.h"
#include "host/registry_key.h"
#include "package/contract.h"
#include "session/database.h"
#include "session/install_session.h"

#include <msiquery.h>

#include <algorithm>
#include <cstdlib>
#include <initializer_list>

namespace {

// Whether any of the lists is given (not empty).
bool AnyGiven(const InstallSession& session, std::initializer_list<const char*> lists)
{
    return std::any_of(lists.begin(), lists.end(), [&](const char* list) { return session.GetProperty(list).has_value(); });
}

Road ReadRoad(const InstallSession& session)
{
    if (!session.GetProperty(prop::Installed)) return Road::FirstInstall;
    OwnedString remove = session.GetProperty(prop::Remove);
    if (session.GetProperty(prop::UpgradingProductCode) || (remove && _stricmp(remove->c_str(), "ALL") == 0))
        return Road::Removal;
    // A repair reinstalls what is installed and adds nothing. Features added beside it
    // (Windows honours the lists with REINSTALL) make it a change, held to the rules as one.
    bool adds = AnyGiven(session, {prop::AddLocal, prop::AddSource, prop::AddDefault, prop::Advertise});
    if (session.GetProperty(prop::Reinstall) && !adds) return Road::Repair;
    return Road::Change;
}

// True when the installer takes the features from the feature-list properties (ADDLOCAL,
// REMOVE and the like) instead of the Condition table.
bool FeatureListsRule(const InstallSession& session)
{
    // The lists as given tell, or as the library kept them. Preselected alone is no list: a
    // dialog's AddLocal or Remove sets it too, and then the person's states are checked
    // against the plan like any others.
    return AnyGiven(session, {prop::ListsGiven, prop::AddLocal, prop::Remove, prop::AddSource, prop::AddDefault, prop::Reinstall,
                              prop::Advertise});
}

// FUNCTION_VER is named for the installation when it differs from the package's own value
// (the Property row, as transforms left it, or what its AppSearch read back) and from the one
// the library set.
void ReadPackageFunction(const PackageDatabase& db, Facts& facts)
{
    if (facts.packageFunctionRead) return;
    TableView row;
    if (row.Open(db, table::Property, nullptr, Filter(property::PropertyColumn, prop::FunctionVer)) && row.Fetch())
        facts.packageFunction = row.GetString(property::Value);
    facts.packageFunctionRead = true;
}

void JudgeChoice(const PackageDatabase& db, Facts& facts)
{
    facts.functionNamed = facts.functionFromLibrary = false;
    if (!facts.chosen) return;
    ReadPackageFunction(db, facts);
    std::vector<std::pair<std::string, std::string>> set = DecodeLibrarySet(facts.librarySet);
    facts.functionFromLibrary =
        std::find(set.begin(), set.end(), std::make_pair(std::string(prop::FunctionVer), *facts.chosen)) != set.end();
    facts.functionRemembered = facts.remembered && facts.chosen == facts.remembered;
    facts.functionNamed = facts.chosen != facts.packageFunction && !facts.functionFromLibrary && !facts.functionRemembered;
}

// What the package's own rows give now, for the features the plan may decide and those above
// them (a parent switched off takes its children along); each distinct condition is evaluated
// once. The others stay unknown: nothing the actions do depends on them.
void EvaluateRows(const InstallSession& session, Facts& facts)
{
    facts.rowTruth.assign(facts.packageRows ? facts.packageRows->size() : 0, Truth::Unknown);
    if (!facts.packageRows || facts.packageRows->empty()) return;
    std::vector<std::string> planned = RuledFeatures(facts);
    NameSet relevant(planned.begin(), planned.end());
    NameMap<const FeatureRow*> rows;
    for (const FeatureRow& row : facts.features) rows[row.name] = &row;
    for (const std::string& feature : planned)
        for (const FeatureRow* const* at = rows.find(feature); at && (*at)->parent; at = rows.find(*(*at)->parent))
            if (!relevant.insert(*(*at)->parent)) break;
    std::vector<std::pair<std::string, Truth>> known;
    for (std::size_t i = 0; i < facts.packageRows->size(); ++i) {
        const ConditionRow& row = (*facts.packageRows)[i];
        if (!relevant.count(row.feature)) continue;
        std::string expression = row.expression.value_or(std::string());
        auto at = std::find_if(known.begin(), known.end(), [&](const auto& entry) { return entry.first == expression; });
        if (at == known.end()) {
            // An empty expression is no condition; the installer applies a row only when true.
            Truth truth = MsiEvaluateConditionW(session.handle(), Wide(expression).c_str()) == MSICONDITION_TRUE ? Truth::True
                                                                                                                : Truth::False;
            at = known.insert(known.end(), {expression, truth});
        }
        facts.rowTruth[i] = at->second;
    }
}

// The package's own rows: the table less the rows the library added in this session.
void ReadPackageRows(const InstallSession& session, const PackageDatabase& db, Facts& facts)
{
    std::optional<std::vector<ConditionRow>> table = ReadConditionRows(db);
    if (!table) return;
    std::vector<ConditionRow> own = DecodeRows(session.GetProperty(prop::LibraryRows).value_or(std::string()));
    facts.packageRows.emplace();
    for (const ConditionRow& row : *table)
        if (std::find(own.begin(), own.end(), row) == own.end()) facts.packageRows->push_back(row);
}

// Each release is looked up in the registry. A value its property holds already counts as
// given, except the library's own (set by an earlier action, looked up again now) and, on a
// first installation, one the package's AppSearch rows may have set (a path kept from a host
// removed since, which counts only for the installed product).
void ReadReleases(const InstallSession& session, const std::vector<std::string>& searched, Facts& facts)
{
    if (!facts.releases) return;
    std::vector<std::pair<std::string, std::string>> own = DecodeLibrarySet(facts.librarySet);
    std::vector<std::pair<std::string, OwnedString>> values;  // each property read once
    for (const HostRelease& row : *facts.releases) {
        ReleaseFact fact;
        std::string why;
        std::optional<HostFound> located = LocateHostRelease(row.release, &why);
        if (located) {
            fact.how = Found::Registry;
            fact.key = located->key;
            fact.where = located->where;
            fact.root = located->root == HKEY_LOCAL_MACHINE ? "machine" : "user";
            fact.view = located->view == kView32 ? "32" : located->view == kView64 ? "64" : "shared";
            facts.found.push_back(fact);
            continue;
        }
        fact.note = why;
        OwnedString value;
        if (row.property) {
            auto at = std::find_if(values.begin(), values.end(), [&](const auto& v) { return v.first == *row.property; });
            if (at == values.end()) at = values.insert(values.end(), {*row.property, session.GetProperty(row.property->c_str())});
            value = at->second;
        }
        if (value) {
            fact.key = *value;
            bool mine = std::find(own.begin(), own.end(), std::make_pair(*row.property, *value)) != own.end();
            if (facts.road != Road::FirstInstall) {
                fact.how = Found::Kept;
            } else if (mine) {
                fact.note += "; its property's value was the library's own lookup";
            } else if (std::find(searched.begin(), searched.end(), *row.property) != searched.end()) {
                fact.note += "; " + *row.property + " comes from the package's AppSearch, which counts only once the "
                             "product is installed";
            } else {
                fact.how = Found::Given;
            }
        }
        facts.found.push_back(fact);
    }
}

// Whether a change may add a feature whose cabinet a rule looks for: a rule names a cabinet
// for a feature the product does not have, and the change is not one of removals alone.
bool MayAddCabinetFeatures(const InstallSession& session, const Facts& facts)
{
    if (!facts.rules) return false;
    bool adds = !session.GetProperty(prop::Remove);
    for (const char* list : {prop::AddLocal, prop::AddSource, prop::AddDefault, prop::Advertise})
        adds = adds || session.GetProperty(list).has_value();
    if (!adds) return false;
    return std::any_of(facts.rules->begin(), facts.rules->end(), [&](const CabinetRule& rule) {
        if (!rule.cabinet || !rule.feature) return false;
        const INSTALLSTATE* state = facts.installed.find(*rule.feature);
        return !state || !Installs(*state);
    });
}

// Whether the folder the product was last installed or resolved from still holds its
// package: only then does ResolveSource answer without asking anyone. With the source gone,
// Windows asks for it under any user interface (in the client, and again in the server).
bool LastSourceHoldsPackage(const std::string& productCode)
{
    Wide product(productCode);
    for (MSIINSTALLCONTEXT context : {MSIINSTALLCONTEXT_MACHINE, MSIINSTALLCONTEXT_USERUNMANAGED, MSIINSTALLCONTEXT_USERMANAGED}) {
        auto read = [&](const wchar_t* property) {
            return ReadInstallerText([&](wchar_t* buffer, DWORD* size) {
                return MsiSourceListGetInfoW(product.c_str(), nullptr, context, MSICODE_PRODUCT, property, buffer, size);
            });
        };
        OwnedString folder = read(L"LastUsedSource");
        OwnedString package = folder ? read(L"PackageName") : std::nullopt;
        if (folder && package) return SourceFileExists(*folder, *package);
    }
    return false;
}

// The source folder, resolved where cabinets matter (a first installation, a change that may
// add a feature with a cabinet): before the installer resolves it, a maintenance run's
// SourceDir names the cached package's folder. A repair, a removal, a change of removals and
// a change whose last-used source is gone never resolve it: their cabinets stay unknown.
void ReadSource(const InstallSession& session, Facts& facts)
{
    if (facts.road == Road::Repair || facts.road == Road::Removal) return;
    OwnedString dir;
    if (facts.road == Road::Change) {
        if (MayAddCabinetFeatures(session, facts) && LastSourceHoldsPackage(facts.installedFrom) &&
            session.DoAction(installer::ResolveSource) == ERROR_SUCCESS)
            dir = session.GetProperty(installer::SourceDir);
    } else {
        dir = session.GetSourceDir();
    }
    facts.source = dir.value_or(std::string());
    facts.sourceReached = !facts.source.empty() && SourceFileExists(facts.source, "");
}

void ReadCabinets(const InstallSession& session, const PackageDatabase& db, Facts& facts)
{
    if (!facts.rules) return;
    std::vector<std::string> carried;
    if (session.GetProperty(prop::IsAdminPackage)) carried = ReadMediaCabinets(db);
    for (const CabinetRule& rule : *facts.rules) {
        if (!rule.cabinet || facts.cabinets.count(*rule.cabinet)) continue;
        bool inImage = std::any_of(carried.begin(), carried.end(),
                                   [&](const std::string& c) { return _stricmp(c.c_str(), rule.cabinet->c_str()) == 0; });
        facts.cabinets[*rule.cabinet] = inImage                                        ? Cabinet::Present
                                        : !facts.sourceReached                          ? Cabinet::Unknown
                                        : SourceFileExists(facts.source, *rule.cabinet) ? Cabinet::Present
                                                                                         : Cabinet::Absent;
    }
}

OwnedString Formatted(const InstallSession& session, const std::string& text)
{
    if (text.find('[') == std::string::npos) return text;
    MsiHandle record(MsiCreateRecord(0));
    if (!record || MsiRecordSetStringW(record.get(), 0, Wide(text).c_str()) != ERROR_SUCCESS) return std::nullopt;
    return ReadInstallerText([&](wchar_t* buffer, DWORD* size) {
        return MsiFormatRecordW(session.handle(), record.get(), buffer, size);
    });
}

// Whether the package's AppSearch found `value` for FUNCTION_VER: one of its registry
// searches for the property holds it now. A value the command line gave and the search did
// not find (a first installation, nothing written yet) is no remembered one.
bool SearchFinds(const InstallSession& session, const PackageDatabase& db, const std::string& value)
{
    TableView searches;
    if (!searches.Open(db, table::AppSearch, nullptr, Filter(appsearch::PropertyColumn, prop::FunctionVer))) return false;
    while (searches.Fetch()) {
        OwnedString signature = searches.GetString(appsearch::Signature);
        TableView locator;
        if (!signature || !locator.Open(db, table::RegLocator, nullptr, Filter(reglocator::SignatureColumn, *signature)) ||
            !locator.Fetch() || (locator.GetInteger(reglocator::Type) & 0x0F) != reglocator::RawValue)
            continue;
        static const HKEY roots[] = {HKEY_CLASSES_ROOT, HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE, HKEY_USERS};
        int root = locator.GetInteger(reglocator::Root);
        OwnedString key = locator.GetString(reglocator::Key);
        OwnedString name = locator.GetString(reglocator::Name);
        if (root < 0 || root > 3 || !key) continue;
        key = Formatted(session, *key);
        if (name) name = Formatted(session, *name);
        int view = root != 2 ? kViewShared : (locator.GetInteger(reglocator::Type) & reglocator::View64) ? kView64 : kView32;
        if (!key || (view == kView64 && !Has64BitRegistryView())) continue;
        RegistryKey opened(RegistryPlace{roots[root], view}, *key);
        if (opened.GetValue(name ? name->c_str() : "") == value) return true;
    }
    return false;
}

void ReadChoice(const InstallSession& session, const PackageDatabase& db, const std::vector<std::string>& searched,
                Facts& facts)
{
    facts.chosen = session.GetProperty(prop::FunctionVer);
    facts.choiceBuilt = session.GetProperty(prop::FunctionRb).has_value();
    OwnedString level = session.GetProperty(prop::UiLevel);
    facts.dialog = level && std::atoi(level->c_str()) == 5;
    // A function the package remembers (its AppSearch read back what it wrote) is the
    // package's own, as its Property row is; one it no longer has is dropped, and the
    // installed features decide.
    if (facts.chosen && std::find(searched.begin(), searched.end(), prop::FunctionVer) != searched.end() &&
        SearchFinds(session, db, *facts.chosen)) {
        bool offeredByPackage = facts.functions && std::any_of(facts.functions->begin(), facts.functions->end(),
                                                               [&](const FunctionRow& row) { return row.value == facts.chosen; });
        if (offeredByPackage) {
            facts.remembered = facts.chosen;
        } else if (!facts.choiceBuilt) {
            facts.staleFunction = facts.chosen;
            facts.chosen.reset();
        }
    }
    JudgeChoice(db, facts);
}

// The earlier versions FindRelatedProducts found: the product codes in the properties the
// Upgrade table names.
std::vector<std::string> RelatedProducts(const InstallSession& session, const PackageDatabase& db)
{
    std::vector<std::string> products;
    TableView view;
    int position = view.Open(db, table::Upgrade) ? view.ColumnOf(upgrade::ActionPropertyColumn) : 0;
    if (!position) return products;
    while (view.Fetch()) {
        OwnedString property = view.GetString(position);
        OwnedString codes = property ? session.GetProperty(property->c_str()) : std::nullopt;
        if (!codes) continue;
        // Several products found under one row are listed with semicolons.
        for (const std::string& product : SplitText(*codes, ';')) products.push_back(product);
    }
    return products;
}

NameMap<INSTALLSTATE> StatesOf(const std::string& product, const std::vector<std::string>& features)
{
    NameMap<INSTALLSTATE> states;
    // The state of each feature as the installer has it registered for the product.
    for (const std::string& feature : features)
        states[feature] = MsiQueryFeatureStateW(Wide(product).c_str(), Wide(feature).c_str());
    return states;
}

// The features the installed product has: on a change, a repair or a removal this one's; on a
// first installation that upgrades an earlier version (and names no function), that
// version's, so that its function is recognised and nothing it had is lost unasked.
void ReadInstalled(const InstallSession& session, const PackageDatabase& db, Facts& facts)
{
    std::vector<std::string> ruled = RuledFeatures(facts);
    if (facts.road != Road::FirstInstall) {
        facts.installedFrom = session.GetProperty(prop::ProductCode).value_or(std::string());
        facts.installed = StatesOf(facts.installedFrom, ruled);
        return;
    }
    if (facts.functionNamed) return;
    for (const std::string& product : RelatedProducts(session, db)) {
        NameMap<INSTALLSTATE> states = StatesOf(product, ruled);
        if (std::none_of(states.begin(), states.end(), [](const auto& entry) { return Installs(entry.second); })) continue;
        facts.installed = states;
        facts.installedFrom = product;
        return;
    }
}

}  // namespace

Facts Detect(const InstallSession& session, const PackageDatabase& db)
{
    session.Prefetch({prop::Installed, prop::UpgradingProductCode, prop::UiLevel, prop::InstallLevel, prop::Preselected,
                      prop::IsAdminPackage, prop::ProductCode, prop::PackageCode, prop::Run, prop::CostingComplete});
    Facts facts;
    facts.rules = ReadCabinetRules(db, &facts.rulesProblem);
    facts.releases = ReadHostReleases(db);
    facts.functions = ReadFunctions(db);
    facts.features = ReadFeatures(db);
    facts.road = ReadRoad(session);
    facts.reinstall = facts.road == Road::Change && session.GetProperty(prop::Reinstall);
    // The properties the package's AppSearch sets, read once for the choice and the releases.
    std::vector<std::string> searched = ReadSearchedProperties(db);
    facts.librarySet = session.GetProperty(prop::LibrarySet).value_or(std::string());
    ReadChoice(session, db, searched, facts);
    facts.hidden = session.GetProperty(prop::HiddenProperties).value_or(std::string());
    ReadReleases(session, searched, facts);
    if (OwnedString level = session.GetProperty(prop::InstallLevel)) facts.installLevel = std::atoi(level->c_str());
    // A repair or removal decides nothing beyond the properties its rows use: the releases,
    // and the function the product has.
    if (facts.road == Road::Repair || facts.road == Road::Removal) {
        if (!facts.chosen) ReadInstalled(session, db, facts);
        return facts;
    }
    facts.listsRule = facts.road == Road::FirstInstall && FeatureListsRule(session);
    // For the snapshot: the next action judges the function the dialog set by it.
    ReadPackageFunction(db, facts);
    ReadPackageRows(session, db, facts);
    EvaluateRows(session, facts);
    ReadInstalled(session, db, facts);
    ReadSource(session, facts);
    ReadCabinets(session, db, facts);
    return facts;
}

Facts Refresh(const InstallSession& session, const PackageDatabase& db, Snapshot& snapshot)
{
    Facts facts = std::move(snapshot.facts);
    facts.chosen = session.GetProperty(prop::FunctionVer);
    JudgeChoice(db, facts);
    EvaluateRows(session, facts);
    return facts;
}
