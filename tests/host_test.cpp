// Registry keys with empty-key pruning, and the host release lookup, in Wine's registry.
#include "testbed.h"
#include "windows_rules.h"

#include "host/host_release.h"
#include "host/registry_key.h"

#include <gtest/gtest.h>
#include <mbctype.h>

using namespace testbed;

namespace {

const std::string kHost = "Software\\Autodesk\\AutoCAD";
const std::string kTop = "HostgateTest";  // directly under the root

struct RegistryTest : ::testing::Test {
    HostRegistry hosts;  // clears Software\Autodesk before and after
    void SetUp() override { DeleteTree(HKEY_CURRENT_USER, kTop); }
    void TearDown() override { DeleteTree(HKEY_CURRENT_USER, kTop); }
};

}  // namespace

TEST_F(RegistryTest, EmptyKeysArePrunedUpToTheKeyUnderTheRoot)
{
    CreateKey(HKEY_CURRENT_USER, kTop + "\\Middle\\Leaf");
    RegistryKey(HKEY_CURRENT_USER, kTop + "\\Middle\\Leaf", false).Prune();
    EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, kTop + "\\Middle"));
    EXPECT_TRUE(KeyExists(HKEY_CURRENT_USER, kTop));

    RegistryKey(HKEY_CURRENT_USER, kTop, false).Prune();
    EXPECT_TRUE(KeyExists(HKEY_CURRENT_USER, kTop));
}

TEST_F(RegistryTest, KeysWithContentStay)
{
    // A non-empty default value, a named value or a subkey each keep the key and its ancestors.
    SetStringValue(HKEY_CURRENT_USER, kTop + "\\Default\\Leaf", "", "content");
    SetStringValue(HKEY_CURRENT_USER, kTop + "\\Named\\Leaf", "Name", "");
    CreateKey(HKEY_CURRENT_USER, kTop + "\\Parent\\Leaf\\Child");
    for (const char* key : {"\\Default\\Leaf", "\\Named\\Leaf", "\\Parent\\Leaf"}) {
        RegistryKey(HKEY_CURRENT_USER, kTop + key, false).Prune();
        EXPECT_TRUE(KeyExists(HKEY_CURRENT_USER, kTop + key)) << key;
    }
    EXPECT_TRUE(KeyExists(HKEY_CURRENT_USER, kTop + "\\Parent\\Leaf\\Child"));
}

TEST_F(RegistryTest, ZeroLengthDefaultValueIsNotContentByItself)
{
    SetBinaryValue(HKEY_CURRENT_USER, kTop + "\\Leaf", "", "");
    {
        RegistryKey leaf(HKEY_CURRENT_USER, kTop + "\\Leaf", false);
        ASSERT_TRUE(leaf.IsOpen());
        EXPECT_EQ(leaf.GetValue(""), std::optional<std::string>(""));
        // The value is still a value: the count sees it.
        EXPECT_EQ(leaf.ValueCount(), 1);
        leaf.Prune();
    }
    EXPECT_TRUE(KeyExists(HKEY_CURRENT_USER, kTop + "\\Leaf"));
}

TEST_F(RegistryTest, ValuesReadAsStoredBytes)
{
    std::string bytes("ab\0cd", 5);
    SetBinaryValue(HKEY_CURRENT_USER, kTop + "\\Leaf", "Raw", bytes);
    SetStringValue(HKEY_CURRENT_USER, kTop + "\\Leaf", "Text", "R16.0");
    RegistryKey leaf(HKEY_CURRENT_USER, kTop + "\\Leaf", false);
    EXPECT_EQ(leaf.GetValue("Raw"), std::optional<std::string>(bytes));
    EXPECT_EQ(leaf.GetValue("Text"), std::optional<std::string>(std::string("R16.0\0", 6)));
    EXPECT_EQ(leaf.GetValue("Missing"), std::nullopt);
    EXPECT_EQ(leaf.ValueCount(), 2);
    EXPECT_EQ(leaf.SubkeyCount(), 0);
}

TEST_F(RegistryTest, OpenSubkeyCreatesOnlyWhenAsked)
{
    CreateKey(HKEY_CURRENT_USER, kTop);
    SetStringValue(HKEY_CURRENT_USER, kTop, "Keep", "1");
    RegistryKey top(HKEY_CURRENT_USER, kTop, false);
    EXPECT_EQ(top.OpenSubkey("Absent", false), nullptr);
    EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, kTop + "\\Absent"));
    HKEY made = top.OpenSubkey("Made", true);
    ASSERT_NE(made, nullptr);
    RegCloseKey(made);
    EXPECT_TRUE(KeyExists(HKEY_CURRENT_USER, kTop + "\\Made"));
}

TEST_F(RegistryTest, AKeyThatFailedToOpenChangesNothing)
{
    CreateKey(HKEY_CURRENT_USER, kTop + "\\Empty");
    {
        RegistryKey missing(HKEY_CURRENT_USER, kTop + "\\Empty\\Missing", false);
        EXPECT_FALSE(missing.IsOpen());
        EXPECT_EQ(missing.GetValue(""), std::nullopt);
        EXPECT_EQ(missing.ValueCount(), -1);
        EXPECT_NE(missing.DeleteSubkey("x"), ERROR_SUCCESS);
        missing.Prune();
    }
    EXPECT_TRUE(KeyExists(HKEY_CURRENT_USER, kTop + "\\Empty"));
    RegistryKey empty;
    EXPECT_FALSE(empty.IsOpen());
}

TEST(LastSeparator, SkipsTheSecondByteOfADoubleByteCharacter)
{
    // In code page 932, 0x95 0x5C is one character whose second byte is a backslash.
    // Wine's registry converts names through the system code page, so such a key cannot be
    // planted there; the search itself is checked.
    ASSERT_EQ(_setmbcp(932), 0);
    EXPECT_EQ(LastSeparator("Software\\A\x95\x5c"), 8u);
    EXPECT_EQ(LastSeparator("Software\\\x95\x5c\\B"), 11u);
    ASSERT_EQ(_setmbcp(_MB_CP_ANSI), 0);
    EXPECT_EQ(LastSeparator("Top"), std::string::npos);
    EXPECT_EQ(LastSeparator("Top\\Middle\\Leaf"), 10u);
}

TEST_F(RegistryTest, RootFollowsTheReleaseKeyCharacterByCharacter)
{
    const struct {
        const char* release;
        HKEY root;
    } cases[] = {{"R16.0", HKEY_CURRENT_USER}, {"R15.0", HKEY_LOCAL_MACHINE}, {"R14.0", HKEY_LOCAL_MACHINE},
                 {"R16.1", HKEY_CURRENT_USER}, {"R17.0", HKEY_CURRENT_USER}, {"R9.0", HKEY_CURRENT_USER},
                 {"r15.0", HKEY_CURRENT_USER}};
    for (const auto& c : cases) {
        EXPECT_EQ(HostReleaseRoot(c.release), c.root) << c.release;
        HKEY other = c.root == HKEY_CURRENT_USER ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER;
        std::string key = kHost + "\\" + c.release;
        SetStringValue(other, key, "CurVer", "ACAD-1");
        EXPECT_EQ(FindHostReleaseKey(std::string(c.release)), std::nullopt) << c.release;
        EXPECT_TRUE(KeyExists(other, key));
        SetStringValue(c.root, key, "CurVer", "ACAD-1");
        EXPECT_EQ(FindHostReleaseKey(std::string(c.release)), std::optional<std::string>(key + "\\ACAD-1"))
            << c.release;
        DeleteTree(HKEY_LOCAL_MACHINE, "Software\\Autodesk");
        DeleteTree(HKEY_CURRENT_USER, "Software\\Autodesk");
    }
}

TEST_F(RegistryTest, LookupReadsCurVer)
{
    SetStringValue(HKEY_CURRENT_USER, kHost + "\\R17.0", "CurVer", "ACAD-5001:409");
    EXPECT_EQ(FindHostReleaseKey(std::string("R17.0")),
              std::optional<std::string>("Software\\Autodesk\\AutoCAD\\R17.0\\ACAD-5001:409"));
    SetStringValue(HKEY_CURRENT_USER, kHost + "\\R17.1", "CurVer", "");
    EXPECT_EQ(FindHostReleaseKey(std::string("R17.1")), std::optional<std::string>("Software\\Autodesk\\AutoCAD\\R17.1\\"));
    // Stored without its terminator.
    SetBinaryValue(HKEY_CURRENT_USER, kHost + "\\R17.2", "CurVer", "ACAD-7");
    EXPECT_EQ(FindHostReleaseKey(std::string("R17.2")), std::optional<std::string>("Software\\Autodesk\\AutoCAD\\R17.2\\ACAD-7"));
    EXPECT_EQ(FindHostReleaseKey(std::nullopt), std::nullopt);
    EXPECT_TRUE(KeyExists(HKEY_CURRENT_USER, kHost + "\\R17.0"));
}

TEST_F(RegistryTest, LookupWithoutCurVerKeepsAKeyWithContent)
{
    SetStringValue(HKEY_CURRENT_USER, kHost + "\\R16.0", "Other", "x");
    CreateKey(HKEY_CURRENT_USER, kHost + "\\R16.1\\Sub");
    EXPECT_EQ(FindHostReleaseKey(std::string("R16.0")), std::nullopt);
    EXPECT_EQ(FindHostReleaseKey(std::string("R16.1")), std::nullopt);
    EXPECT_TRUE(KeyExists(HKEY_CURRENT_USER, kHost + "\\R16.0"));
    EXPECT_TRUE(KeyExists(HKEY_CURRENT_USER, kHost + "\\R16.1\\Sub"));
}

TEST_F(RegistryTest, EmptyReleaseKeyIsPrunedWithItsEmptiedAncestors)
{
    CreateKey(HKEY_CURRENT_USER, kHost + "\\R16.0");
    EXPECT_EQ(FindHostReleaseKey(std::string("R16.0")), std::nullopt);
    EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, "Software\\Autodesk"));
    EXPECT_TRUE(KeyExists(HKEY_CURRENT_USER, "Software"));

    // A sibling subkey stops the chain at AutoCAD; a value stops it at Autodesk.
    CreateKey(HKEY_CURRENT_USER, kHost + "\\R16.0");
    CreateKey(HKEY_CURRENT_USER, kHost + "\\R15.9");
    EXPECT_EQ(FindHostReleaseKey(std::string("R16.0")), std::nullopt);
    EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, kHost + "\\R16.0"));
    EXPECT_TRUE(KeyExists(HKEY_CURRENT_USER, kHost + "\\R15.9"));

    DeleteTree(HKEY_CURRENT_USER, kHost);
    CreateKey(HKEY_CURRENT_USER, kHost + "\\R16.0");
    SetStringValue(HKEY_CURRENT_USER, "Software\\Autodesk", "Keep", "1");
    EXPECT_EQ(FindHostReleaseKey(std::string("R16.0")), std::nullopt);
    EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, kHost));
    EXPECT_TRUE(KeyExists(HKEY_CURRENT_USER, "Software\\Autodesk"));

    // Per machine, an unelevated user may not delete: the key stays and the refusal is told.
    CreateKey(HKEY_LOCAL_MACHINE, kHost + "\\R15.0");
    Pruning pruning;
    EXPECT_EQ(FindHostReleaseKey(std::string("R15.0"), &pruning), std::nullopt);
    EXPECT_EQ(KeyExists(HKEY_LOCAL_MACHINE, kHost + "\\R15.0"), WindowsRules());
    EXPECT_EQ(pruning.refused, WindowsRules() ? kHost + "\\R15.0" : "");
    EXPECT_EQ(pruning.error, WindowsRules() ? ERROR_ACCESS_DENIED : ERROR_SUCCESS);
    EXPECT_EQ(pruning.deleted.size(), WindowsRules() ? 0u : 3u);  // R15.0, AutoCAD, Autodesk
}

TEST_F(RegistryTest, PathsBeyondTheBufferAreNotInstalled)
{
    // "Software\Autodesk\AutoCAD\" + release + "\" + CurVer: 484 bytes are left for the two.
    std::string release = "R17.0";
    std::string fits(484 - release.size(), 'v');
    SetStringValue(HKEY_CURRENT_USER, kHost + "\\" + release, "CurVer", fits);
    OwnedString path = FindHostReleaseKey(release);
    ASSERT_TRUE(path.has_value());
    EXPECT_EQ(path->size(), 511u);
    SetStringValue(HKEY_CURRENT_USER, kHost + "\\" + release, "CurVer", fits + "v");
    EXPECT_EQ(FindHostReleaseKey(release), std::nullopt);
    EXPECT_TRUE(KeyExists(HKEY_CURRENT_USER, kHost + "\\" + release));
}
