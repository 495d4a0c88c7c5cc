// Feature conditions and cabinet rules, against the running installation's tables.
#include "testbed.h"
#include "windows_rules.h"

#include "gating/installer_gate.h"
#include "session/database.h"
#include "session/install_session.h"

#include <gtest/gtest.h>

using namespace testbed;

namespace {

std::string Rules(const std::string& rows)
{
    return std::string(kSearchCabinetHeader) + rows;
}

// A session on a package with the given rules and Condition rows, its source folder holding
// the cabinets "here.cab" and "folder.cab\" (a folder).
struct Gating {
    TempFolder folder{"gating"};
    std::unique_ptr<Session> session;
    std::unique_ptr<InstallSession> install;
    std::unique_ptr<PackageDatabase> db;
    std::unique_ptr<InstallerGate> installerGate;

    explicit Gating(const std::string& rules, const std::string& conditions = "", bool withConditionTable = true)
    {
        PackageBuilder builder;
        builder.table("Feature", FeatureTable({"A", "B", "C", "D", "E"}));
        if (!rules.empty()) builder.table("SearchCabinet", Rules(rules));
        if (withConditionTable)
            builder.rows("Condition", conditions);
        else
            builder.without("Condition");
        session = std::make_unique<Session>(builder.build(folder / "gating.msi"));
        install = std::make_unique<InstallSession>(session->handle());
        db = std::make_unique<PackageDatabase>(*install);
        WriteFile(folder / "here.cab", "cabinet");
        MakeFolders(folder / "folder.cab");
        SourceRoot = folder.path() + "\\";
        installerGate = std::make_unique<InstallerGate>(*db);
    }
    // The rules and Condition rows as read when the fixture was made, kept in step since.
    Gate& gate() const { return **installerGate; }

    // The installer's table, once the gate's waiting changes are sent.
    std::vector<Row> conditions(const std::string& feature) const
    {
        installerGate->Commit();
        return session->rows("SELECT * FROM `Condition` WHERE `Feature_`='" + feature + "' ORDER BY `Level`");
    }
    std::vector<Row> allConditions() const
    {
        installerGate->Commit();
        return session->rows("SELECT * FROM `Condition` ORDER BY `Feature_`");
    }
    // Features switched off by the library beforehand: its own (temporary) rows.
    void switchedOff(std::initializer_list<const char*> features) const
    {
        for (const char* feature : features) gate().DisableFeature(feature);
    }
    bool evaluate(const OwnedString& property, const OwnedString& function) const
    {
        return gate().EvaluateCabinetRules(property, function);
    }
};

const OwnedString kNone;

}  // namespace

TEST(FeatureConditions, DisableAddsOneLevelZeroRowAndRestoreTakesItAway)
{
    Gating g("");
    ASSERT_TRUE(g.gate().FeatureIsFree("A"));
    g.gate().DisableFeature("A");
    EXPECT_EQ(g.conditions("A"), (std::vector<Row>{{"A", "0", "1"}}));
    EXPECT_FALSE(g.gate().FeatureIsFree("A"));
    g.gate().DisableFeature("A");
    EXPECT_EQ(g.conditions("A"), (std::vector<Row>{{"A", "0", "1"}}));

    g.gate().RestoreFeature("A");
    EXPECT_TRUE(g.allConditions().empty());
    EXPECT_TRUE(g.gate().FeatureIsFree("A"));
    g.gate().RestoreFeature("A");
    EXPECT_TRUE(g.allConditions().empty());
}

// Rows the package carries: Wine lets a custom action change them, Windows does not. Either
// way the table ends in one consistent state, never with a twin beside the package's row.
TEST(FeatureConditions, PackageRowIsLoweredWithItsExpressionKept)
{
    Gating g("", "A\t3\tVersionNT > 500\nB\t5\tNOT Installed\n");
    if (WindowsRules()) {
        EXPECT_EQ(g.gate().DisableFeature("A"), Switch::Refused);
        EXPECT_EQ(g.conditions("A"), (std::vector<Row>{{"A", "3", "VersionNT > 500"}}));
        EXPECT_EQ(g.gate().RestoreFeature("A"), Switch::Refused);
        EXPECT_EQ(g.conditions("A").size(), 1u);
        return;
    }
    // The engine here refuses to replace a row in place; the row is still lowered.
    EXPECT_EQ(g.gate().DisableFeature("A"), Switch::Changed);
    EXPECT_EQ(g.conditions("A"), (std::vector<Row>{{"A", "0", "VersionNT > 500"}}));
    EXPECT_EQ(g.conditions("B"), (std::vector<Row>{{"B", "5", "NOT Installed"}}));
    EXPECT_EQ(g.gate().DisableFeature("A"), Switch::AlreadySo);
    EXPECT_EQ(g.gate().RestoreFeature("A"), Switch::Changed);
    EXPECT_TRUE(g.conditions("A").empty());
    EXPECT_TRUE(g.gate().FeatureIsFree("A"));
}

TEST(FeatureConditions, EachRestoreDeletesOneOfSeveralRows)
{
    Gating g("", "A\t3\tX\nA\t4\tY\n");
    g.gate().RestoreFeature("A");
    EXPECT_EQ(g.conditions("A").size(), WindowsRules() ? 2u : 1u);
    EXPECT_FALSE(g.gate().FeatureIsFree("A"));
    g.gate().RestoreFeature("A");
    EXPECT_EQ(g.gate().FeatureIsFree("A"), !WindowsRules());
}

TEST(FeatureConditions, WithoutAConditionTableEveryFeatureIsFree)
{
    Gating g("", "", false);
    g.gate().DisableFeature("A");
    EXPECT_TRUE(g.gate().FeatureIsFree("A"));
    g.gate().RestoreFeature("A");
    EXPECT_TRUE(g.gate().FeatureIsFree("A"));
}

TEST(FeatureConditions, DisabledFeatureIsNotInstalledAfterCosting)
{
    Gating g("");
    g.gate().DisableFeature("B");
    g.allConditions();
    ASSERT_EQ(g.session->doAction("CostFinalize"), 0u);
    EXPECT_EQ(g.session->featureAction("A"), INSTALLSTATE_LOCAL);
    EXPECT_EQ(g.session->featureAction("B"), INSTALLSTATE_UNKNOWN);
}

TEST(FeatureConditions, NamesThatCannotBeFeatureKeysAreRefused)
{
    Gating g("", "A\t3\tX\n");
    std::string atLimit(38, 'L');
    g.gate().DisableFeature(atLimit);
    EXPECT_EQ(g.conditions(atLimit).size(), 1u);
    std::string overLimit(39, 'L');
    g.gate().DisableFeature(overLimit);
    EXPECT_TRUE(g.conditions(overLimit).empty());
    g.gate().DisableFeature("");
    EXPECT_EQ(g.allConditions().size(), 2u);

    // A quote in a name never widens what is selected.
    EXPECT_TRUE(g.gate().FeatureIsFree("B' OR `Feature_`<>'"));
    g.gate().RestoreFeature("X' OR '1'='1");
    EXPECT_EQ(g.conditions("A").size(), 1u);
}

TEST(CabinetRules, WorkedExample)
{
    // Row 1 counts without a cabinet; group 1 is met by row 3; row 4's feature decides group 2.
    Gating g("\tf\t\tA\t0\n"
             "\tf\tmissing.cab\tB\t1\n"
             "\tf\there.cab\tC\t1\n"
             "\tf\there.cab\tD\t2\n");
    g.switchedOff({"A", "D"});
    EXPECT_FALSE(g.evaluate(kNone, std::string("f")));
    g.gate().RestoreFeature("D");
    EXPECT_TRUE(g.evaluate(kNone, std::string("f")));
}

TEST(CabinetRules, GroupZeroAloneNeedsOneCountedRow)
{
    {
        Gating g("\tf\tmissing.cab\tA\t0\n\tf\there.cab\tB\t0\n");
        EXPECT_TRUE(g.evaluate(kNone, std::string("f")));
        g.gate().DisableFeature("B");
        EXPECT_FALSE(g.evaluate(kNone, std::string("f")));
    }
    {
        // A row without a cabinet counts even when its feature is not free.
        Gating g("\tf\tmissing.cab\tA\t0\n\tf\t\tB\t0\n", "B\t0\t1\n");
        EXPECT_TRUE(g.evaluate(kNone, std::string("f")));
    }
    {
        // A missing cabinet neither satisfies nor counts, whatever its feature.
        Gating g("\tf\tmissing.cab\tA\t0\n");
        EXPECT_FALSE(g.evaluate(kNone, std::string("f")));
    }
}

TEST(CabinetRules, EveryNonzeroGroupNeedsASatisfiedRow)
{
    const std::string rules = "\tf\tmissing.cab\tA\t0\n"
                              "\tf\there.cab\tB\t1\n"
                              "\tf\tmissing.cab\tC\t2\n"
                              "\tf\there.cab\tD\t2\n";
    Gating g(rules);
    g.switchedOff({"D"});
    EXPECT_FALSE(g.evaluate(kNone, std::string("f")));
    g.gate().RestoreFeature("D");
    EXPECT_TRUE(g.evaluate(kNone, std::string("f")));

    // A required group whose only row has no cabinet fails when that feature is not free.
    Gating h("\tf\there.cab\tA\t0\n\tf\t\tB\t1\n", "B\t0\t1\n");
    EXPECT_FALSE(h.evaluate(kNone, std::string("f")));
}

TEST(CabinetRules, NullFlagsFormARequiredGroup)
{
    Gating required("\tf\t\tA\t0\n\tf\tmissing.cab\tB\t\n");
    EXPECT_FALSE(required.evaluate(kNone, std::string("f")));
    Gating optional("\tf\t\tA\t0\n\tf\tmissing.cab\tB\t0\n");
    EXPECT_TRUE(optional.evaluate(kNone, std::string("f")));
}

TEST(CabinetRules, AFolderCountsAsACabinet)
{
    Gating g("\tf\tfolder.cab\tA\t1\n");
    EXPECT_TRUE(g.evaluate(kNone, std::string("f")));
}

TEST(CabinetRules, NoRulesMeanNotMet)
{
    Gating g("HOST\tf\there.cab\tA\t0\n");
    EXPECT_FALSE(g.evaluate(kNone, std::string("other")));
    EXPECT_FALSE(g.evaluate(std::string(""), kNone));  // no general rule
    EXPECT_TRUE(g.evaluate(std::string("HOST"), kNone));
    Gating none("");  // no SearchCabinet table at all
    EXPECT_FALSE(none.evaluate(kNone, kNone));
    none.gate().DisableFeaturesOfProperty(kNone);
    EXPECT_TRUE(none.allConditions().empty());
}

TEST(CabinetRules, FiltersSelectByPropertyFunctionOrBoth)
{
    Gating g("\tf\there.cab\tA\t0\n"
             "HOST\tf\tmissing.cab\tB\t0\n"
             "HOST\tg\there.cab\tC\t0\n");
    EXPECT_TRUE(g.evaluate(std::string(""), kNone));             // the general rule only
    EXPECT_FALSE(g.evaluate(std::string("HOST"), std::string("f")));
    EXPECT_TRUE(g.evaluate(std::string("HOST"), std::string("g")));
    EXPECT_TRUE(g.evaluate(std::string("HOST"), kNone));
}

TEST(CabinetRules, SwitchingByPropertyAndFunction)
{
    const std::string rules = "\tf\there.cab\tA\t0\n"
                              "HOST\tf\t\tB\t0\n"
                              "HOST\tg\tmissing.cab\tC\t1\n"
                              "HOST\tg\there.cab\tD\t2\n";
    Gating g(rules);
    g.gate().DisableFeaturesOfProperty(std::string("HOST"));
    EXPECT_EQ(g.allConditions(), (std::vector<Row>{{"B", "0", "1"}, {"C", "0", "1"}, {"D", "0", "1"}}));
    // Only a row whose cabinet is present brings its feature back.
    g.gate().RestoreFeaturesOfProperty(std::string("HOST"));
    EXPECT_EQ(g.allConditions(), (std::vector<Row>{{"B", "0", "1"}, {"C", "0", "1"}}));

    Gating everything(rules);
    everything.gate().DisableFeaturesOfFunction(kNone);
    EXPECT_EQ(everything.allConditions().size(), 4u);
    everything.gate().RestoreFeaturesOfFunction(std::string("g"));
    EXPECT_EQ(everything.allConditions().size(), 3u);
    everything.gate().RestoreFeaturesOfProperty(kNone);
    EXPECT_EQ(everything.allConditions(), (std::vector<Row>{{"B", "0", "1"}, {"C", "0", "1"}}));
}

TEST(CabinetRules, SameFeatureTwiceUnderOneProperty)
{
    Gating g("HOST\tf\there.cab\tA\t0\nHOST\tg\tfolder.cab\tA\t0\n", "A\t4\tPACKAGE_ROW\n");
    g.gate().DisableFeaturesOfProperty(std::string("HOST"));
    // Under Windows' rules the package's row stays as it is, alone.
    EXPECT_EQ(g.conditions("A"), (std::vector<Row>{{"A", WindowsRules() ? "4" : "0", "PACKAGE_ROW"}}));
    // Both cabinets are present: two restores, the second finding nothing left.
    g.gate().RestoreFeaturesOfProperty(std::string("HOST"));
    EXPECT_EQ(g.conditions("A").size(), WindowsRules() ? 1u : 0u);

    Gating h("HOST\tf\there.cab\tA\t0\nHOST\tg\tfolder.cab\tA\t0\n", "A\t4\tFIRST\nA\t5\tSECOND\n");
    h.gate().RestoreFeaturesOfProperty(std::string("HOST"));
    EXPECT_EQ(h.conditions("A").size(), WindowsRules() ? 2u : 0u);
}

TEST(CabinetRules, QuotedValuesSelectNothing)
{
    Gating g("HOST\tf\there.cab\tA\t0\n\tf\there.cab\tB\t0\n");
    for (const char* crafted : {"x' OR '1'='1", "HOST' OR `PropertyName`<>'", "'"}) {
        EXPECT_FALSE(g.evaluate(std::string(crafted), kNone)) << crafted;
        EXPECT_FALSE(g.evaluate(kNone, std::string(crafted))) << crafted;
        g.gate().DisableFeaturesOfProperty(std::string(crafted));
        g.gate().DisableFeaturesOfFunction(std::string(crafted));
    }
    EXPECT_TRUE(g.allConditions().empty());
}

TEST(CabinetRules, LongValuesAreUsedWhole)
{
    std::string property(72, 'P');
    std::string function(200, 'F');
    Gating g(property + "\t" + function + "\there.cab\tA\t0\n" +
             property.substr(0, 34) + "\t" + function.substr(0, 38) + "\there.cab\tB\t0\n");
    EXPECT_TRUE(g.evaluate(property, function));
    g.gate().DisableFeaturesOfProperty(property);
    EXPECT_EQ(g.allConditions(), (std::vector<Row>{{"A", "0", "1"}}));
    g.gate().RestoreFeaturesOfFunction(function);
    g.gate().DisableFeaturesOfFunction(function.substr(0, 38));
    EXPECT_EQ(g.allConditions(), (std::vector<Row>{{"B", "0", "1"}}));
}

TEST(CabinetRules, CabinetPathsBeyondTheWindowsLimitAreRefused)
{
    TempFolder folder{"cabpath"};
    SourceRoot = folder.path() + "\\";
    std::string fits(MAX_PATH - 1 - SourceRoot.size(), 'c');
    WriteFile(SourceRoot + fits, "x");
    ASSERT_TRUE(FileExists(SourceRoot + fits));
    EXPECT_TRUE(CabinetPresent(fits));
    std::string over = fits + "c";
    WriteFile(SourceRoot + over, "x");
    ASSERT_TRUE(FileExists(SourceRoot + over));
    EXPECT_FALSE(CabinetPresent(over));
}

TEST(CabinetRules, RulesWithoutAFeatureAreSkipped)
{
    Gating g("\tf\t\t\t0\n");
    EXPECT_FALSE(g.evaluate(kNone, std::string("f")));
    g.gate().DisableFeaturesOfFunction(std::string("f"));
    EXPECT_TRUE(g.allConditions().empty());
}
