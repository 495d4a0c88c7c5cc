// The plan as a value: releases found x functions chosen x the package's own rows x roads,
// each case its expected features. No installer session: the plan is a pure function of
// what detect found.
#include "gating/plan.h"
#include "gating/snapshot.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace {

// One package for every case: R15 per machine (ACAD2000), R16.0 and R16.1 sharing one
// property (ACAD2004), R17 (ACAD2007). Functions draw and view. Link2000 is
// ruled only under ACAD2000, for draw; Shared is draw's under both 2000 and 2004; Thermal is
// view's; Docs no rule names; Tips lies below Thermal. Scan's R16 rules need a cabinet that is
// missing, its R17 rules name Lidar too; trace's R15 rules can never be met (Lidar16, without a
// cabinet, is scan's), and they name Trace, which its R16 rules need.
Facts Package()
{
    Facts facts;
    auto rule = [](const char* property, const char* function, const char* cabinet, const char* feature, int flags) {
        auto text = [](const char* s) { return s ? OwnedString(s) : OwnedString(); };
        return CabinetRule{text(property), text(function), flags, text(cabinet), text(feature), flags};
    };
    facts.rules = std::vector<CabinetRule>{
        rule("", "setup", nullptr, "Core", 0),
        rule("ACAD2000", "draw", "cabs/draw.cab", "Link2000", 0),
        rule("ACAD2000", "draw", "cabs/draw.cab", "Shared", 0),
        rule("ACAD2004", "draw", "cabs/draw.cab", "Shared", 0),
        rule("ACAD2004", "view", "cabs/view.cab", "Thermal", 0),
        rule("ACAD2000", "view", "cabs/view.cab", "Thermal", 0),
        rule("ACAD2007", "draw", "cabs/draw.cab", "Link2007", 0),
        rule(nullptr, "draw", "cabs/draw.cab", "Draw", 0),
        rule(nullptr, "view", "cabs/view.cab", "Viewer", 0),
        rule("ACAD2004", "scan", "cabs/scan.cab", "Lidar", 0),
        rule("ACAD2004", "scan", "cabs/gone.cab", "Lidar16", 1),
        rule("ACAD2007", "scan", "cabs/scan.cab", "Lidar", 1),
        rule("ACAD2000", "trace", nullptr, "Lidar16", 1),
        rule("ACAD2000", "trace", "cabs/scan.cab", "Trace", 0),
        rule("ACAD2004", "trace", "cabs/scan.cab", "Trace", 1),
    };
    facts.releases = std::vector<HostRelease>{
        {std::string("ACAD2000"), std::string("R15.0")},
        {std::string("ACAD2004"), std::string("R16.0")},
        {std::string("ACAD2004"), std::string("R16.1")},
        {std::string("ACAD2007"), std::string("R17.0")},
    };
    facts.functions = std::vector<FunctionRow>{{std::string("draw"), std::string("Draw"), std::string("draw")},
                                               {std::string("view"), std::string("View"), std::string("view")},
                                               {std::string("scan"), std::string("Scan"), std::string("scan")},
                                               {std::string("trace"), std::string("Trace"), std::string("trace")}};
    for (const char* name : {"Core", "Link2000", "Link2007", "Shared", "Thermal", "Draw", "Viewer", "Docs"})
        facts.features.push_back({name, std::nullopt, 1, 0});
    facts.features.push_back({"Tips", std::string("Thermal"), 1, 0});
    for (const char* name : {"Lidar", "Lidar16", "Trace"}) facts.features.push_back({name, std::nullopt, 1, 0});
    facts.packageRows.emplace();
    for (const char* path : {"cabs/draw.cab", "cabs/view.cab", "cabs/scan.cab"}) facts.cabinets[path] = Cabinet::Present;
    facts.cabinets["cabs/gone.cab"] = Cabinet::Absent;
    return facts;
}

void Detected(Facts& facts, const std::string& releases, Found how = Found::Registry)
{
    facts.found.assign(facts.releases->size(), ReleaseFact());
    for (std::size_t i = 0; i < facts.releases->size(); ++i)
        if (releases.find(*(*facts.releases)[i].release) != std::string::npos) {
            facts.found[i].how = how;
            facts.found[i].key = "Software\\Autodesk\\AutoCAD\\" + *(*facts.releases)[i].release + "\\ACAD-1";
            bool perUser = *(*facts.releases)[i].release >= "R16.0";
            facts.found[i].root = perUser ? "user" : "machine";
            facts.found[i].view = perUser ? "shared" : "64";
        }
}

std::string Installed(const Plan& plan)
{
    std::string list;
    for (const FeaturePlan& entry : plan.features)
        if (Installs(entry.target)) list += (list.empty() ? "" : " ") + entry.feature;
    return list;
}

// What a machine gets: the functions offered, then for each function chosen the result and
// every planned feature's target.
std::string Outcome(Facts machine)
{
    Plan offer = MakePlan(machine, Stage::BeforeChoice);
    std::string text = "offered";
    for (const std::string& value : offer.offered) text += " " + value;
    for (const FunctionRow& function : *machine.functions) {
        machine.chosen = function.value;
        Plan plan = MakePlan(machine, Stage::Chosen);
        text += "\n" + *function.value + " " + std::to_string(plan.result) + ":";
        for (const FeaturePlan& entry : plan.features) text += " " + entry.feature + "=" + TargetName(entry.target);
    }
    return text;
}

OwnedString PropertySet(const Plan& plan, const std::string& name)
{
    for (const auto& [property, value] : plan.properties)
        if (property == name) return value;
    return std::nullopt;
}

}  // namespace

TEST(Plan, FeaturesForEachMachineChoiceAndPackageRow)
{
    struct Case {
        const char* releases;  // found in the registry
        const char* chosen;
        const char* rows;      // the package's own rows: "feature level truth" ...
        const char* installed;
        UINT result;
    };
    const Case cases[] = {
        // Link2000 and Shared come with draw where R15 is found; Link2000 never without it.
        {"R15.0 R16.1", "draw", "", "Core Link2000 Shared Draw", 0},
        {"R16.1", "draw", "", "Core Shared Draw", 0},
        {"R16.0", "draw", "", "Core Shared Draw", 0},
        {"R15.0", "view", "", "Core Thermal Viewer Tips", 0},
        // A release that is not installed fits no function: draw needs R15 or R16.
        {"R17.0 R15.0", "view", "", "Core Thermal Viewer Tips", 0},
        {"R17.0", "view", "", "", ERROR_INSTALL_FAILURE},
        // The author's own row decides the feature it names, and what lies below it.
        {"R15.0", "view", "Thermal 0 1", "Core Viewer", 0},
        {"R15.0", "view", "Thermal 0 0", "Core Thermal Viewer Tips", 0},
        // A row the author wrote on a feature no rule names: the plan leaves it to the package.
        {"R15.0", "view", "Docs 0 1", "Core Thermal Viewer Tips", 0},
        // A condition that cannot be evaluated (the checker's case): the package decides.
        {"R15.0", "view", "Thermal 0 ?", "Core Viewer", 0},
        // A true row that raises a ruled feature hostgate switched off does not bring it back.
        {"R16.1", "draw", "Link2000 3 1", "Core Shared Draw", 0},
        // A release that fails takes none of what a fitting release's rules name, whatever
        // the rows' order.
        {"R16.0 R17.0", "scan", "", "Core Lidar", 0},
        {"R17.0", "scan", "", "Core Lidar", 0},
        {"R16.0", "scan", "", "", ERROR_INSTALL_FAILURE},
        {"R15.0 R16.1", "trace", "", "Core Trace", 0},
    };
    for (const Case& c : cases)
    for (bool newestFirst : {false, true}) {
        Facts facts = Package();
        if (newestFirst) std::reverse(facts.releases->begin(), facts.releases->end());
        Detected(facts, c.releases);
        facts.chosen = std::string(c.chosen);
        std::vector<std::string> words = SplitText(c.rows, ' ');
        for (std::size_t i = 0; i + 2 < words.size(); i += 3) {
            facts.packageRows->push_back({words[i], std::atoi(words[i + 1].c_str()), std::string("COND") + words[i + 2]});
            facts.rowTruth.push_back(words[i + 2] == "1" ? Truth::True : words[i + 2] == "?" ? Truth::Unknown : Truth::False);
        }
        for (Stage stage : {Stage::BeforeChoice, Stage::Chosen}) {
            Plan plan = MakePlan(facts, stage);
            std::string where = std::string(c.releases) + " / " + c.chosen + " / " + c.rows + (newestFirst ? " / newest first" : "") +
                                (stage == Stage::Chosen ? " (chosen)" : " (before the choice)");
            if (stage == Stage::Chosen) {
                EXPECT_EQ(plan.result, c.result) << where;
            }
            // Before the choice, a function that fits nothing leaves the hosts' features alone.
            if (plan.result != ERROR_SUCCESS || c.result != ERROR_SUCCESS) continue;
            EXPECT_EQ(Installed(plan), c.installed) << where;
            // Docs no rule names is never planned.
            EXPECT_EQ(PlanOf(plan, "Docs"), nullptr) << where;
            if (std::string(c.rows).find('?') != std::string::npos) {
                ASSERT_NE(PlanOf(plan, "Tips"), nullptr) << where;
                EXPECT_EQ(PlanOf(plan, "Tips")->target, Target::Package) << where;
            }
        }
    }
}

TEST(Plan, ReleasesSharingAPropertyGiveOneAnswerWhateverTheOrder)
{
    for (bool reversed : {false, true}) {
        Facts facts = Package();
        if (reversed) std::swap((*facts.releases)[1], (*facts.releases)[2]);
        Detected(facts, "R16.0 R16.1");
        facts.chosen = std::string("draw");
        Plan plan = MakePlan(facts, Stage::BeforeChoice);
        EXPECT_EQ(PropertySet(plan, "ACAD2004"), OwnedString("Software\\Autodesk\\AutoCAD\\R16.1\\ACAD-1")) << reversed;
        EXPECT_EQ(Installed(plan), "Core Shared Draw") << reversed;
        // Where the release lives, for the package's conditions.
        EXPECT_EQ(PropertySet(plan, "ACAD2004_ROOT"), OwnedString("user")) << reversed;
        EXPECT_EQ(PropertySet(plan, "ACAD2004_VIEW"), OwnedString("shared")) << reversed;
        // What the library set is recorded, so that a second look does not take it as given.
        std::vector<std::pair<std::string, std::string>> set =
            DecodeLibrarySet(PropertySet(plan, "HOSTGATE_SET").value_or(""));
        EXPECT_NE(std::find(set.begin(), set.end(), std::make_pair(std::string("ACAD2004"), std::string("Software\\Autodesk\\AutoCAD\\R16.1\\ACAD-1"))),
                  set.end());
    }
}

TEST(Plan, RoadsDecideWhatIsPlanned)
{
    struct Case {
        Road road;
        Found how;  // of R15.0, the one release
        bool decides;
        const char* installed;
        UINT result;
    };
    const Case cases[] = {
        {Road::FirstInstall, Found::Registry, true, "Core Thermal Viewer Tips", 0},
        {Road::FirstInstall, Found::Given, true, "Core Thermal Viewer Tips", 0},
        // A value kept on the installed product is no host: its features go on a change.
        {Road::Change, Found::Kept, true, "Core Viewer", 0},
        {Road::Change, Found::Registry, true, "Core Thermal Viewer Tips", 0},
        {Road::Repair, Found::Registry, false, "", 0},
        {Road::Removal, Found::Missing, false, "", 0},
        // No release on a first installation: message 3000, before any choice.
        {Road::FirstInstall, Found::Missing, true, "", ERROR_INSTALL_FAILURE},
    };
    for (const Case& c : cases) {
        Facts facts = Package();
        Detected(facts, "R15.0", c.how);
        facts.road = c.road;
        facts.chosen = std::string("view");
        Plan plan = MakePlan(facts, Stage::Chosen);
        EXPECT_EQ(plan.result, c.result) << RoadName(c.road);
        EXPECT_EQ(plan.decides, c.decides && c.result == 0) << RoadName(c.road);
        if (plan.decides) {
            EXPECT_EQ(Installed(plan), c.installed) << RoadName(c.road);
        }
        bool message = !plan.messages.empty();
        EXPECT_EQ(message, c.result != 0) << RoadName(c.road);
    }
}

// What a function named for the installation, the source out of reach, and the installed
// product's own function do on each road.
TEST(Plan, NamedFunctionsUnknownCabinetsAndTheInstalledFunction)
{
    struct Case {
        const char* name;
        Road road;
        const char* chosen;
        bool named, dialog, sourceReached;
        UINT result;
        const char* installed;  // the plan's features when it succeeds; "-" when it decides nothing
        const char* functionSet;  // FUNCTION_VER as the plan sets it, or none
    };
    const Case cases[] = {
        {"named, cannot be taken", Road::FirstInstall, "draw", true, false, true, ERROR_INSTALL_FAILURE, "-", nullptr},
        {"named, the dialog decides", Road::FirstInstall, "draw", true, true, true, 0, "Core Thermal Viewer Tips", "view"},
        {"the package's default", Road::FirstInstall, "draw", false, false, true, 0, "Core Thermal Viewer Tips", "view"},
        {"named on a change", Road::Change, "draw", true, false, true, ERROR_INSTALL_FAILURE, "-", nullptr},
        // The source gone: the installed function keeps its features, no other is offered.
        {"source gone, change", Road::Change, nullptr, false, false, false, 0, "Core Thermal Viewer Tips", "view"},
        {"source gone, first", Road::FirstInstall, nullptr, false, false, false, ERROR_INSTALL_FAILURE, "", nullptr},
        {"repair", Road::Repair, nullptr, false, false, true, 0, "-", "view"},
        {"named, choice built before", Road::FirstInstall, "view", true, false, true, 0, "Core Thermal Viewer Tips", nullptr},
        {"removal", Road::Removal, nullptr, false, false, false, 0, "-", "view"},
    };
    for (const Case& c : cases) {
        Facts facts = Package();
        Detected(facts, "R16.1");  // view fits R16.1 (Thermal under ACAD2004)
        facts.cabinets["cabs/draw.cab"] = Cabinet::Absent;  // draw is not offered
        facts.road = c.road;
        if (c.chosen) facts.chosen = std::string(c.chosen);
        facts.functionNamed = c.named;
        facts.choiceBuilt = std::string(c.name) == "named, choice built before";
        facts.dialog = c.dialog;
        facts.sourceReached = c.sourceReached;
        if (!c.sourceReached)
            for (auto& entry : facts.cabinets) entry.second = Cabinet::Unknown;
        // A repair or removal never looks at the source: detect leaves the cabinets unread.
        if (c.road == Road::Repair || c.road == Road::Removal) facts.cabinets = NameMap<Cabinet>();
        if (c.road != Road::FirstInstall) {
            for (const char* feature : {"Core", "Thermal", "Viewer", "Tips"}) facts.installed[feature] = INSTALLSTATE_LOCAL;
        }
        Plan plan = MakePlan(facts, Stage::BeforeChoice);
        EXPECT_EQ(plan.result, c.result) << c.name;
        if (c.result == 0) {
            EXPECT_EQ(plan.decides ? Installed(plan) : std::string("-"), c.installed) << c.name;
        }
        EXPECT_EQ(PropertySet(plan, "FUNCTION_VER"), c.functionSet ? OwnedString(c.functionSet) : OwnedString()) << c.name;
        EXPECT_EQ(!plan.messages.empty(), c.result != 0) << c.name;
    }
}

// Offered means installable: over generated rule sets (releases x functions x groups x
// shared features), every function the choice offers plans without a message, on every set
// of releases found; and every order of the AutoCAD and SearchCabinet rows plans alike.
TEST(Plan, EveryOfferedFunctionInstallsOnEverySetOfReleases)
{
    unsigned shuffle = 7;  // apart from the packages' own sequence, which stays as it was
    auto reorder = [&shuffle](Facts facts, int order) {
        std::vector<HostRelease>& releases = *facts.releases;
        for (int step = 0; step < order % 6; ++step) std::next_permutation(releases.begin(), releases.end(),
            [](const HostRelease& a, const HostRelease& b) { return *a.release < *b.release; });
        std::vector<CabinetRule>& rules = *facts.rules;
        for (std::size_t i = rules.size(); order > 0 && i > 1; --i) {
            shuffle = shuffle * 1103515245u + 12345u;
            std::swap(rules[i - 1], rules[(shuffle >> 16) % i]);
        }
        return facts;
    };
    unsigned seed = 1;
    auto next = [&seed](unsigned below) {
        seed = seed * 1103515245u + 12345u;
        return (seed >> 16) % below;
    };
    const char* properties[] = {"ACAD2000", "ACAD2004", "ACAD2007"};
    int checked = 0;
    for (int package = 0; package < 200; ++package) {
        Facts facts;
        facts.releases = std::vector<HostRelease>{{std::string("ACAD2000"), std::string("R15.0")},
                                                  {std::string("ACAD2004"), std::string("R16.0")},
                                                  {std::string("ACAD2007"), std::string("R17.0")}};
        facts.functions.emplace();
        unsigned functions = 2 + next(3);
        for (unsigned f = 0; f < functions; ++f) {
            std::string name = "fn" + std::to_string(f);
            facts.functions->push_back({name, name, name});
        }
        std::vector<CabinetRule> rules = {{std::string(""), std::string("setup"), 0, std::nullopt, std::string("Core"), 0}};
        for (int r = 0, count = 4 + static_cast<int>(next(10)); r < count; ++r) {
            std::string feature = "F" + std::to_string(next(6));  // features shared at random
            OwnedString property;
            if (next(4) != 0) property = std::string(properties[next(3)]);
            OwnedString function;
            if (next(5) != 0) function = std::string("fn" + std::to_string(next(functions)));
            int group = static_cast<int>(next(3));
            OwnedString cabinet;
            if (next(3) != 0) cabinet = std::string(next(4) ? "here.cab" : "gone.cab");
            rules.push_back({property, function, group, cabinet, feature, group});
        }
        facts.rules = rules;
        facts.features.push_back({"Core", std::nullopt, 1, 0});
        for (int f = 0; f < 6; ++f) facts.features.push_back({"F" + std::to_string(f), std::nullopt, 1, 0});
        facts.cabinets["here.cab"] = Cabinet::Present;
        facts.cabinets["gone.cab"] = Cabinet::Absent;
        facts.packageRows.emplace();
        for (unsigned mask = 1; mask < 8; ++mask) {
            std::string releases;
            for (int r = 0; r < 3; ++r)
                if (mask & (1u << r)) releases += std::string(" ") + (*facts.releases)[static_cast<std::size_t>(r)].release->c_str();
            Facts machine = facts;
            Detected(machine, releases);
            Plan offer = MakePlan(machine, Stage::BeforeChoice);
            for (const std::string& value : offer.offered) {
                machine.chosen = value;
                Plan chosen = MakePlan(machine, Stage::Chosen);
                EXPECT_EQ(chosen.result, 0u) << "package " << package << ", releases" << releases << ", function " << value;
                ++checked;
            }
            std::string outcome = Outcome(machine);
            for (int order = 1; order < 12; ++order) {
                Facts permuted = reorder(facts, order);
                Detected(permuted, releases);
                EXPECT_EQ(Outcome(permuted), outcome) << "package " << package << ", releases" << releases << ", order " << order;
            }
        }
    }
    EXPECT_GT(checked, 500);
}

// The package's own function (remembered) that the releases found now cannot take, on a
// change: it stays the function, and what the product has stays with it.
TEST(Plan, ARememberedFunctionTheMachineCannotTakeNowKeepsWhatIsInstalled)
{
    Facts facts = Package();
    Detected(facts, "R16.1");
    facts.cabinets["cabs/draw.cab"] = Cabinet::Absent;  // draw cannot be taken now
    facts.road = Road::Change;
    facts.chosen = std::string("draw");
    for (const char* feature : {"Core", "Draw"}) facts.installed[feature] = INSTALLSTATE_LOCAL;
    for (Stage stage : {Stage::BeforeChoice, Stage::Chosen}) {
        Plan plan = MakePlan(facts, stage);
        EXPECT_EQ(plan.result, 0u);
        EXPECT_EQ(PropertySet(plan, "FUNCTION_VER"), OwnedString()) << "the remembered function is not replaced";
        EXPECT_EQ(Installed(plan), "Core Draw");
    }
}

// What PrevInstall leaves for AfterSelectFunction: planned from the snapshot, every machine,
// road and choice gives the plan the facts give; text that is not a whole snapshot of this
// format gives none, and a snapshot over its limit is not made.
TEST(Snapshot, PlansAsTheFactsDoAndRefusesAnythingElse)
{
    Facts odd = Package();
    // Names and values the encoding must carry whole: separators, escapes, any script.
    odd.features.push_back({"Tab\tLine\nSlash\\", std::string("Core"), 3, 2});
    odd.packageRows->push_back({"Shared", 0, std::string("NOT ACAD2000 AND \"a\tb\"")});
    odd.packageRows->push_back({"Docs", 2, std::nullopt});
    odd.rules->push_back(CabinetRule{std::string("ACAD2004"), std::string("view"), -3, std::string("\xd0\xba\xd0\xb0\xd0\xb1.cab"),
                                     std::string("Tab\tLine\nSlash\\"), 7});
    odd.cabinets["\xd0\xba\xd0\xb0\xd0\xb1.cab"] = Cabinet::Unknown;
    odd.installed["Shared"] = INSTALLSTATE_SOURCE;
    odd.installedFrom = "{PRODUCT}";
    odd.librarySet = "ACAD2004\tkey\n";
    odd.hidden = "A;B";
    odd.remembered = std::string("draw");
    NameMap<INSTALLSTATE> states;
    states["Shared"] = INSTALLSTATE_LOCAL;
    states["Docs"] = INSTALLSTATE_ABSENT;
    const std::vector<ConditionRow> ownRows = {{"Link2007", 0, std::string("1")}, {"Draw", 2, std::string("0")}};
    const SnapshotOwner owner{"1.0", "{P}", "{K}", "0123"};
    int checked = 0;
    for (const Facts& package : {Package(), odd})
        for (const char* releases : {"", "R15.0", "R16.1 R17.0"})
            for (Road road : {Road::FirstInstall, Road::Change})
                for (const char* chosen : {"", "draw", "view"}) {
                    Facts facts = package;
                    Detected(facts, releases);
                    facts.road = road;
                    if (*chosen) facts.chosen = std::string(chosen);
                    std::optional<std::string> text = EncodeSnapshot(owner, facts, ownRows, states);
                    ASSERT_TRUE(text);
                    std::optional<Snapshot> back = DecodeSnapshot(*text);
                    ASSERT_TRUE(back) << *text;
                    EXPECT_EQ(back->owner.nonce, owner.nonce);
                    EXPECT_EQ(back->ownRows, std::optional<std::vector<ConditionRow>>(ownRows));
                    EXPECT_EQ(back->states.find("Docs") ? *back->states.find("Docs") : INSTALLSTATE_UNKNOWN, INSTALLSTATE_ABSENT);
                    // The reader takes the function and the rows' truth afresh.
                    back->facts.chosen = facts.chosen;
                    back->facts.rowTruth = facts.rowTruth;
                    for (Stage stage : {Stage::BeforeChoice, Stage::Chosen}) {
                        Plan want = MakePlan(facts, stage), got = MakePlan(back->facts, stage);
                        EXPECT_EQ(got.log, want.log) << releases << " " << chosen;
                        EXPECT_EQ(got.properties, want.properties);
                        EXPECT_EQ(Installed(got), Installed(want));
                        ++checked;
                    }
                }
    EXPECT_EQ(checked, 72);

    // Every field of the snapshot's one list comes back whole, each given a value of its own.
    Facts every = odd;
    Detected(every, "R16.1");
    every.rulesProblem = "why";
    every.source = "C:\\source\\";
    every.sourceReached = false;
    every.road = Road::Change;
    every.installLevel = 4;
    every.listsRule = every.reinstall = every.dialog = every.choiceBuilt = every.packageFunctionRead = true;
    every.packageFunction = std::string("view");
    const auto blank = SnapshotFieldTexts(Facts(), std::nullopt, {});
    const auto sent = SnapshotFieldTexts(every, ownRows, states);
    std::optional<Snapshot> back = DecodeSnapshot(EncodeSnapshot(owner, every, ownRows, states).value_or(""));
    ASSERT_TRUE(back);
    EXPECT_EQ(SnapshotFieldTexts(back->facts, back->ownRows, back->states), sent);
    ASSERT_EQ(sent.size(), blank.size());
    for (std::size_t i = 0; i < sent.size(); ++i) EXPECT_NE(sent[i], blank[i]) << "no value of its own";

    std::string whole = *EncodeSnapshot(owner, odd, ownRows, states);
    std::size_t second = whole.find('\n') + 1;
    const std::vector<std::pair<const char*, std::string>> broken = {
        {"empty", ""},
        {"cut at a line's end", whole.substr(0, whole.rfind('\n', whole.size() - 2) + 1)},
        {"cut inside a line", whole.substr(0, whole.size() / 2)},
        {"another format", std::string(whole).replace(whole.find('\t') + 1, 1, "9")},
        {"a line of no kind", std::string(whole).insert(second, "bogus\t1\n")},
        {"a number that is not one", std::string(whole).replace(whole.find("\nlevel\t") + 7, 1, "x")},
        {"a state out of range", std::string(whole).replace(whole.find("\nstate\t"), 0, "\nstate\tX\t99")},
        {"text after the end", whole + "rules\n"},
        {"a row before its table", std::string(whole).insert(second, "release\t=P\t=R\n")},
    };
    for (const auto& [what, text] : broken) EXPECT_FALSE(DecodeSnapshot(text)) << what;

    Facts large = Package();
    for (int i = 0; i < 6000; ++i) large.features.push_back({"Feature" + std::to_string(i) + std::string(40, 'x'), std::nullopt, 1, 0});
    EXPECT_FALSE(EncodeSnapshot(owner, large, std::nullopt, {})) << "a snapshot over its limit";
}
