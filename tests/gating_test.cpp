// Feature conditions and cabinet rules, against the running installation's tables.
#include "testbed.h"
#include "windows_rules.h"

#include "gating/gate.h"
#include "session/database.h"
#include "session/install_session.h"

#include <gtest/gtest.h>

using namespace testbed;

namespace {

std::string Rules(const std::string& rows)
{
    return std::string(kSearchCabinetHeader) + rows;
}

// The gate over a package with the given rules and Condition rows, its source folder holding
// the cabinets "here.cab" and "folder.cab\" (a folder).
struct Gating {
    TempFolder folder{"gating"};
    std::unique_ptr<Session> session;
    std::unique_ptr<InstallSession> install;
    std::unique_ptr<PackageDatabase> db;
    std::unique_ptr<Gate> gated;

    explicit Gating(const std::string& rules, const std::string& conditions = "")
    {
        PackageBuilder builder;
        builder.table("Feature", FeatureTable({"A", "B", "C", "D", "E"}));
        if (!rules.empty()) builder.table("SearchCabinet", Rules(rules));
        builder.rows("Condition", conditions);
        session = std::make_unique<Session>(builder.build(folder / "gating.msi"));
        install = std::make_unique<InstallSession>(session->handle());
        db = std::make_unique<PackageDatabase>(*install);
        WriteFile(folder / "here.cab", "cabinet");
        MakeFolders(folder / "folder.cab");
        std::string root = folder.path() + "\\";
        gated = std::make_unique<Gate>(ReadCabinetRules(*db),
                                       [root](const std::string& path) { return SourceFileExists(root, path); },
                                       [](const std::string&) {});
    }
    Gate& gate() const { return *gated; }
    // The features hostgate has switched off, as the level-0 rows it would write.
    std::vector<Row> allConditions() const
    {
        std::vector<Row> rows;
        for (const std::string& feature : gate().Off()) rows.push_back({feature, "0", "1"});
        return rows;
    }
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

TEST(FeatureConditions, HostgateSwitchesOnlyItsOwn)
{
    // The package's own rows, true or not, leave the rules alone: they are the costing's.
    Gating g("\tf\there.cab\tA\t0\n", "A\t0\t1\nB\t5\t1\n");
    EXPECT_TRUE(g.evaluate(kNone, std::string("f")));
    for (const char* feature : {"A", "B", "C"}) {
        EXPECT_TRUE(g.gate().FeatureIsFree(feature)) << feature;
        EXPECT_TRUE(g.gate().DisableFeature(feature)) << feature;
        EXPECT_FALSE(g.gate().DisableFeature(feature)) << feature;
        EXPECT_FALSE(g.gate().FeatureIsFree(feature)) << feature;
        EXPECT_TRUE(g.gate().RestoreFeature(feature)) << feature;
        EXPECT_FALSE(g.gate().RestoreFeature(feature)) << feature;
    }
    EXPECT_TRUE(g.allConditions().empty());
}

TEST(FeatureConditions, NamesThatCannotBeFeatureKeysAreRefused)
{
    Gating g("");
    EXPECT_TRUE(g.gate().DisableFeature(std::string(38, 'L')));
    EXPECT_FALSE(g.gate().DisableFeature(std::string(39, 'L')));
    EXPECT_FALSE(g.gate().DisableFeature(""));
    EXPECT_EQ(g.allConditions().size(), 1u);
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
        Gating g("\tf\tmissing.cab\tA\t0\n\tf\t\tB\t0\n");
        g.switchedOff({"B"});
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
    Gating h("\tf\there.cab\tA\t0\n\tf\t\tB\t1\n");
    h.switchedOff({"B"});
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
    Gating g("HOST\tf\there.cab\tA\t0\nHOST\tg\tfolder.cab\tA\t0\n");
    g.gate().DisableFeaturesOfProperty(std::string("HOST"));
    EXPECT_EQ(g.allConditions(), (std::vector<Row>{{"A", "0", "1"}}));
    g.gate().RestoreFeaturesOfProperty(std::string("HOST"));
    EXPECT_TRUE(g.allConditions().empty());
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
    std::string sourceRoot = folder.path() + "\\";
    std::string fits(MAX_PATH - 1 - sourceRoot.size(), 'c');
    WriteFile(sourceRoot + fits, "x");
    ASSERT_TRUE(FileExists(sourceRoot + fits));
    EXPECT_TRUE(SourceFileExists(sourceRoot, fits));
    std::string over = fits + "c";
    WriteFile(sourceRoot + over, "x");
    ASSERT_TRUE(FileExists(sourceRoot + over));
    EXPECT_FALSE(SourceFileExists(sourceRoot, over));
}

TEST(CabinetRules, RulesWithoutAFeatureAreSkipped)
{
    Gating g("\tf\t\t\t0\n");
    EXPECT_FALSE(g.evaluate(kNone, std::string("f")));
    g.gate().DisableFeaturesOfFunction(std::string("f"));
    EXPECT_TRUE(g.allConditions().empty());
}
