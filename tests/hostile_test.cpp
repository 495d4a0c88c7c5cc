// Randomized hostile packages: the actions survive whatever a package holds, answer only
// 0 or 1603 (the latter with message 3000 or 3001), switch off only features that the
// rules name, write only where they may, and never delete a registry key with content.
//
// The checker reads each package too: it never crashes or hangs, and calls none unreadable.
//
// Seeds 1 to HOSTGATE_HOSTILE_COUNT (default 200) gate every run; each run also tries
// HOSTGATE_HOSTILE_FRESH (default 100) seeds it has not tried before, from the clock. A
// failing seed is printed; HOSTGATE_HOSTILE_SEED replays it alone. Under
// HOSTGATE_WINDOWS_RULES=1 the actions meet Windows' refusals.
#include "testbed.h"

#include "actions/exports.h"
#include "gating/plan.h"
#include "checker/checks.h"
#include "session/install_session.h"
#include "windows_rules.h"

#include <gtest/gtest.h>

#include <functional>

#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <map>
#include <memory>
#include <set>

using namespace testbed;

namespace {

class Random {
public:
    explicit Random(uint32_t seed) : state_(seed * 2654435761u + 1) {}
    uint32_t next()
    {
        state_ ^= state_ << 13;
        state_ ^= state_ >> 17;
        state_ ^= state_ << 5;
        return state_;
    }
    int below(int n) { return static_cast<int>(next() % static_cast<uint32_t>(n)); }
    bool chance(int percent) { return below(100) < percent; }
    template <typename T>
    const T& pick(const std::vector<T>& items) { return items[static_cast<std::size_t>(below(static_cast<int>(items.size())))]; }

private:
    uint32_t state_;
};

// Texts that have hurt table-driven code before: quotes and other query characters, names at
// and just over every limit, double-byte characters, formatting brackets, empty values.
std::string Hostile(Random& random)
{
    static const std::vector<std::string> odd = {
        "a'b", "' OR '1'='1", "x` OR `Feature_`<>'", "'", "%", "_", "[ProductName]", "\\", "..\\..\\x",
        "あい", "表\\", "F1'", "R16.0' OR ''='", "NULL", "-1"};
    static const std::vector<int> lengths = {34, 35, 38, 39, 51, 52, 224, 225, 259, 260, 484, 485, 512, 519, 520};
    switch (random.below(4)) {
    case 0: return random.pick(odd);
    case 1: return std::string(static_cast<std::size_t>(random.pick(lengths)), static_cast<char>('a' + random.below(26)));
    case 2: return "";
    default: return "v" + std::to_string(random.below(5));
    }
}

std::string Field(Random& random, const std::vector<std::string>& usual)
{
    return random.chance(70) ? random.pick(usual) : Hostile(random);
}

const std::vector<std::string> kFeatures = {"F1", "F2", "F3", "F4", "F5", "F6"};
const std::vector<std::string> kProperties = {"HOST_A", "HOST_B", "HOST_C", ""};
const std::vector<std::string> kReleases = {"R15.0", "R16.0", "R17.0", "r15.0", "R9.0", ""};
const std::vector<std::string> kFunctions = {"f1", "f2", "f3", "setup"};
const std::vector<std::string> kCabinets = {"", "here.cab", "missing.cab", "folder.cab"};

struct Generated {
    std::string package;
    std::set<std::string> ruleFeatures;  // every Feature text a SearchCabinet row holds
    std::vector<std::string> releases;
};

// Rows whose keys repeat are left out: the installer would refuse the whole table.
std::string Rows(std::vector<std::vector<std::string>> rows, std::size_t keys)
{
    std::set<std::vector<std::string>> seen;
    std::string text;
    for (const auto& row : rows) {
        std::vector<std::string> key(row.begin(), row.begin() + static_cast<long>(std::min(keys, row.size())));
        if (!seen.insert(key).second) continue;
        for (std::size_t i = 0; i < row.size(); ++i) text += (i ? "\t" : "") + row[i];
        text += "\n";
    }
    return text;
}

Generated Generate(Random& random, const std::string& path)
{
    Generated out;
    PackageBuilder builder;
    builder.codepage(932);  // the package holds its double-byte texts (UTF-8 in the test)
    builder.table("Feature", FeatureTable({"F1", "F2", "F3", "F4", "F5", "F6"}));

    std::vector<std::vector<std::string>> conditions;
    for (int i = random.below(4); i > 0; --i)
        conditions.push_back({random.pick(kFeatures), std::to_string(random.below(4)),
                              random.pick(std::vector<std::string>{"1", "0", "NOT Installed", ""})});
    builder.rows("Condition", Rows(conditions, 2));

    if (random.chance(85)) {
        std::vector<std::vector<std::string>> rows;
        for (int i = random.below(5); i > 0; --i) {
            std::string release = Field(random, kReleases);
            out.releases.push_back(release);
            rows.push_back({Field(random, kProperties), Hostile(random), release});
        }
        bool narrow = random.chance(10);
        builder.table("AutoCAD", narrow ? "Property\ns72\nAutoCAD\tProperty\n" + Rows({{"HOST_A"}}, 1)
                                        : "Property\tUnused\tRelease\nS72\tS0\tS255\nAutoCAD\tProperty\n" + Rows(rows, 1));
    }
    if (random.chance(85)) {
        std::vector<std::vector<std::string>> rows;
        for (int i = random.below(6); i > 0; --i)
            rows.push_back({Field(random, kFunctions), Hostile(random), Field(random, kFunctions)});
        bool narrow = random.chance(10);
        builder.table("FunctionVersion", narrow ? "Function\tText\nS72\tS0\nFunctionVersion\tFunction\n" + Rows({{"f1", "x"}}, 1)
                                                : "Function\tText\tValue\nS72\tS0\tS0\nFunctionVersion\tFunction\n" +
                                                      Rows(rows, 1));
    }
    if (random.chance(90)) {
        static const std::vector<std::string> flags = {"0", "0", "1", "2", "", "2147483647", "-1", "-2147483647"};
        std::vector<std::vector<std::string>> rows;
        for (int i = random.below(14); i > 0; --i) {
            std::string feature = Field(random, kFeatures);
            out.ruleFeatures.insert(feature);
            rows.push_back({Field(random, kProperties), Field(random, kFunctions), Field(random, kCabinets), feature,
                            random.pick(flags)});
        }
        bool narrow = random.chance(10);
        builder.table("SearchCabinet",
                      narrow ? "PropertyName\tFunction\tCabinet\nS72\tS72\tS255\nSearchCabinet\tPropertyName\tFunction\n" +
                                   Rows({{"", "setup", "here.cab"}}, 2)
                             : "PropertyName\tFunction\tCabinet\tFeature\tFlags\nS72\tS72\tS255\tS255\tI4\n"
                               "SearchCabinet\tPropertyName\tFunction\tCabinet\tFeature\n" +
                                   Rows(rows, 4));
    }
    if (random.chance(70)) {
        std::vector<std::vector<std::string>> rows;
        static const std::vector<std::string> sources = {"missing.exe", "nothing.msi", "", "folder.cab\\x.MSI",
                                                         std::string(300, 's') + ".exe", "here.cab"};
        for (int i = random.below(3); i > 0; --i) rows.push_back({random.pick(sources), Hostile(random)});
        builder.table("SuportPacks", "Source\tCommandLine\nS255\tS255\nSuportPacks\tSource\n" + Rows(rows, 1));
    }
    for (const char* standard : {"Condition", "RadioButton", "Control"})
        if (random.chance(8)) builder.without(standard);
    out.package = builder.build(path);
    return out;
}

// Random host states for the releases the package names, under either root.
void PlantHosts(Random& random, const std::vector<std::string>& releases)
{
    for (const std::string& release : releases) {
        if (release.empty() || release.find('\\') != std::string::npos) continue;
        HKEY root = random.chance(50) ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER;
        std::string key = "Software\\Autodesk\\AutoCAD\\" + release;
        switch (random.below(5)) {
        case 0: break;
        case 1: SetStringValue(root, key, "CurVer", random.chance(80) ? "ACAD-1" : Hostile(random)); break;
        case 2: CreateKey(root, key); break;
        case 3: SetStringValue(root, key, "Other", "x"); break;
        default: CreateKey(root, key + "\\Sub"); break;
        }
    }
}

// Every key from `path` down, with its number of values.
void Keys(HKEY root, const std::string& path, std::map<std::string, DWORD>& out)
{
    HKEY key = nullptr;
    if (RegOpenKeyExA(root, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return;
    DWORD values = 0;
    RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &values, nullptr, nullptr, nullptr, nullptr);
    out[path] = values;
    char name[512];
    for (DWORD i = 0;; ++i) {
        DWORD length = sizeof name;
        if (RegEnumKeyExA(key, i, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
        Keys(root, path + "\\" + name, out);
    }
    RegCloseKey(key);
}

std::map<std::string, std::size_t> TableSizes(const Session& session)
{
    std::map<std::string, std::size_t> sizes;
    for (const Row& table : session.rows("SELECT `Name` FROM `_Tables`"))
        sizes[table[0]] = session.rows("SELECT * FROM `" + table[0] + "`").size();
    return sizes;
}

struct Call {
    std::function<UINT()> action;
    UINT result;
};

DWORD WINAPI RunCall(LPVOID context)
{
    auto* call = static_cast<Call*>(context);
    call->result = call->action();
    return 0;
}

// Runs an action on a thread of its own and gives up on it after a bound.
bool RunBounded(std::function<UINT()> action, UINT& result)
{
    Call call{std::move(action), 0};
    HANDLE thread = CreateThread(nullptr, 0, RunCall, &call, 0, nullptr);
    bool ended = WaitForSingleObject(thread, 60000) == WAIT_OBJECT_0;
    CloseHandle(thread);
    result = call.result;
    return ended;
}

// The checker over the package, in this process and bounded: any crash or hang shows.
void CheckTheChecker(const std::string& package, const std::string& source)
{
    bool read = false;
    UINT ignored = 0;
    ASSERT_TRUE(RunBounded(
        [&] {
            read = CheckPackage(package, OwnedString(source)).has_value() && ExplainPackage(package, OwnedString(source));
            return 0u;
        },
        ignored))
        << "the checker did not return";
    EXPECT_TRUE(read) << "the checker called a readable package unreadable";
}

void CheckOnePackage(uint32_t seed, const Library& dll)
{
    SCOPED_TRACE("seed " + std::to_string(seed) + " (replay with HOSTGATE_HOSTILE_SEED=" + std::to_string(seed) + ")");
    Random random(seed);
    TempFolder folder{"hostile"};
    HostRegistry hosts;
    std::optional<Elevated> administrator{std::in_place};  // the machine as set up beforehand
    CreateKey(HKEY_CURRENT_USER, "Software\\HostgateSentinel\\Empty");
    CreateKey(HKEY_LOCAL_MACHINE, "Software\\HostgateSentinel\\Empty");
    Generated generated = Generate(random, folder / "hostile.msi");
    PlantHosts(random, generated.releases);
    WriteFile(folder / "here.cab", "x");
    MakeFolders(folder / "folder.cab");
    CheckTheChecker(generated.package, folder.path());
    HKEY roots[2] = {HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER};
    std::map<std::string, DWORD> keysBefore[2];
    for (int r = 0; r < 2; ++r) Keys(roots[r], "Software\\Autodesk", keysBefore[r]);

    Session session(generated.package);
    ASSERT_NE(session.handle(), 0u);
    session.setProperty("SourceDir", folder.path() + "\\");
    std::map<std::string, std::size_t> sizesBefore = TableSizes(session);
    std::set<Row> conditionsBefore;
    for (const Row& row : session.rows("SELECT * FROM `Condition`")) conditionsBefore.insert(row);
    administrator.reset();  // the actions run as the user

    for (const char* name : {"PrevInstall", "AfterSelectFunction", "RunSuportPacks", "CopyInfFiles", "RollbackInfFiles"}) {
        if (std::string(name) == "AfterSelectFunction" && random.chance(30))
            session.setProperty("FUNCTION_VER", random.chance(50) ? Hostile(random) : "");
        UserSide user;
        UINT result = 0;
        std::function<UINT()> action = [&] { return dll.action(name)(session.handle()); };
        ASSERT_TRUE(RunBounded(action, result)) << name << " did not return";
        // The table holds the package's rows and the library's own, exactly as it records them.
        std::set<Row> expected = conditionsBefore;
        for (const ConditionRow& row : DecodeRows(session.property("HostgateOwnRows").value_or("")))
            expected.insert({row.feature, std::to_string(row.level), row.expression.value_or("<null>")});
        std::vector<Row> now = session.rows("SELECT * FROM `Condition`");
        EXPECT_EQ(std::set<Row>(now.begin(), now.end()), expected) << name << ": the Condition table differs from the record";
        EXPECT_TRUE(result == 0 || result == 1603) << name << " returned " << result;
        if (result == 1603) {
            ASSERT_FALSE(user.errors().empty()) << name << " failed without a message";
            for (int number : user.errors()) EXPECT_TRUE(number == 3000 || number == 3001) << name << ": " << number;
        } else {
            EXPECT_TRUE(user.errors().empty()) << name << " posted a message and succeeded";
        }
    }

    for (const Row& row : session.rows("SELECT * FROM `Condition`")) {
        if (conditionsBefore.count(row)) continue;
        EXPECT_TRUE(generated.ruleFeatures.count(row[0])) << "Condition row for " << row[0] << " that no rule names";
        // A row the library left either switches its feature off or is dormant.
        EXPECT_TRUE(row[1] == "0" || row[2] == "0") << "Condition row for " << row[0] << " at level " << row[1];
    }
    for (const auto& [table, rows] : TableSizes(session)) {
        // The installer keeps its properties in tables of its own ("_Property").
        if (table == "Condition" || table == "RadioButton" || table == "Control" || table[0] == '_') continue;
        EXPECT_LE(rows, sizesBefore[table]) << "table " << table << " gained rows";
    }
    // A key may go only when it was empty: a release key the package names, or an ancestor
    // that its deletion left empty. Keys with values always stay.
    std::set<std::string> prunable = {"Software\\Autodesk", "Software\\Autodesk\\AutoCAD"};
    for (const std::string& release : generated.releases) prunable.insert("Software\\Autodesk\\AutoCAD\\" + release);
    for (int r = 0; r < 2; ++r) {
        for (const auto& [key, values] : keysBefore[r]) {
            if (KeyExists(roots[r], key)) continue;
            EXPECT_EQ(values, 0u) << key << " deleted with its values";
            EXPECT_TRUE(prunable.count(key)) << key << " deleted";
        }
        EXPECT_TRUE(KeyExists(roots[r], "Software\\HostgateSentinel\\Empty"));
    }
    administrator.emplace();
    DeleteTree(HKEY_CURRENT_USER, "Software\\HostgateSentinel");
    DeleteTree(HKEY_LOCAL_MACHINE, "Software\\HostgateSentinel");
}

uint32_t EnvironmentNumber(const char* name, uint32_t fallback)
{
    const char* value = std::getenv(name);
    return value && *value ? static_cast<uint32_t>(std::strtoul(value, nullptr, 10)) : fallback;
}

}  // namespace

TEST(HostilePackages, ActionsStaySafe)
{
    Library dll;
    if (const char* seed = std::getenv("HOSTGATE_HOSTILE_SEED")) {
        CheckOnePackage(static_cast<uint32_t>(std::strtoul(seed, nullptr, 10)), dll);
        return;
    }
    uint32_t fixed = EnvironmentNumber("HOSTGATE_HOSTILE_COUNT", 200);
    for (uint32_t seed = 1; seed <= fixed && !HasFatalFailure(); ++seed) CheckOnePackage(seed, dll);
    // Fresh seeds, far above the fixed range: each run explores packages no run saw before.
    uint32_t fresh = EnvironmentNumber("HOSTGATE_HOSTILE_FRESH", 100);
    uint32_t first = 1000000u + static_cast<uint32_t>(std::time(nullptr)) % 1000000000u;
    std::printf("fresh seeds %u to %u\n", static_cast<unsigned>(first), static_cast<unsigned>(first + fresh - 1));
    for (uint32_t seed = first; seed < first + fresh && !HasFatalFailure(); ++seed) CheckOnePackage(seed, dll);
}
