// Registry keys with empty-key pruning, and the host release lookup, in Wine's registry.
#include "testbed.h"
#include "windows_rules.h"

#include "host/host_release.h"
#include "host/registry_key.h"

#include <gtest/gtest.h>

using namespace testbed;

namespace {

const std::string kHost = "Software\\Autodesk\\AutoCAD";
const std::string kTop = "HostgateTest";  // directly under the root

// A text as the registry stores a string value: UTF-16, here without its terminator.
std::string Utf16Bytes(const std::string& text)
{
    std::wstring wide = ToWide(text);
    return std::string(reinterpret_cast<const char*>(wide.data()), wide.size() * sizeof(wchar_t));
}

struct RegistryTest : ::testing::Test {
    HostRegistry hosts;  // clears Software\Autodesk before and after
    void SetUp() override { DeleteTree(HKEY_CURRENT_USER, kTop); }
    void TearDown() override { DeleteTree(HKEY_CURRENT_USER, kTop); }
};

}  // namespace

TEST_F(RegistryTest, EmptyKeysArePrunedUpToTheKeyUnderTheRoot)
{
    CreateKey(HKEY_CURRENT_USER, kTop + "\\Middle\\Leaf");
    RegistryKey(HKEY_CURRENT_USER, kTop + "\\Middle\\Leaf").Prune();
    EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, kTop + "\\Middle"));
    EXPECT_TRUE(KeyExists(HKEY_CURRENT_USER, kTop));

    RegistryKey(HKEY_CURRENT_USER, kTop).Prune();
    EXPECT_TRUE(KeyExists(HKEY_CURRENT_USER, kTop));
}

TEST_F(RegistryTest, KeysWithContentStay)
{
    // A non-empty default value, a named value or a subkey each keep the key and its ancestors.
    SetStringValue(HKEY_CURRENT_USER, kTop + "\\Default\\Leaf", "", "content");
    SetStringValue(HKEY_CURRENT_USER, kTop + "\\Named\\Leaf", "Name", "");
    CreateKey(HKEY_CURRENT_USER, kTop + "\\Parent\\Leaf\\Child");
    for (const char* key : {"\\Default\\Leaf", "\\Named\\Leaf", "\\Parent\\Leaf"}) {
        RegistryKey(HKEY_CURRENT_USER, kTop + key).Prune();
        EXPECT_TRUE(KeyExists(HKEY_CURRENT_USER, kTop + key)) << key;
    }
    EXPECT_TRUE(KeyExists(HKEY_CURRENT_USER, kTop + "\\Parent\\Leaf\\Child"));
}

TEST_F(RegistryTest, ZeroLengthDefaultValueIsNotContentByItself)
{
    SetBinaryValue(HKEY_CURRENT_USER, kTop + "\\Leaf", "", "");
    {
        RegistryKey leaf(HKEY_CURRENT_USER, kTop + "\\Leaf");
        ASSERT_TRUE(leaf.IsOpen());
        EXPECT_EQ(leaf.GetValue(""), std::optional<std::string>(""));
        // The value is still a value: the count sees it.
        EXPECT_EQ(leaf.ValueCount(), 1);
        leaf.Prune();
    }
    EXPECT_TRUE(KeyExists(HKEY_CURRENT_USER, kTop + "\\Leaf"));
}

TEST_F(RegistryTest, ValuesReadAsTextUpToTheirTerminator)
{
    const struct {
        const char* name;
        std::string stored;  // the value's bytes
        const char* text;
    } cases[] = {
        {"Terminated", Utf16Bytes(std::string("R16.0", 6)), "R16.0"},
        {"Unterminated", Utf16Bytes("ACAD-7"), "ACAD-7"},
        {"Embedded", Utf16Bytes(std::string("ab\0cd", 5)), "ab"},
        {"OddByte", Utf16Bytes("xy") + "z", "xy"},
        {"Cyrillic", Utf16Bytes("Студия"), "Студия"},
        {"Mixed", Utf16Bytes("Łódź 日本 😀"), "Łódź 日本 😀"},
    };
    for (const auto& c : cases) SetBinaryValue(HKEY_CURRENT_USER, kTop + "\\Leaf", c.name, c.stored);
    RegistryKey leaf(HKEY_CURRENT_USER, kTop + "\\Leaf");
    for (const auto& c : cases) EXPECT_EQ(leaf.GetValue(c.name), std::optional<std::string>(c.text)) << c.name;
    EXPECT_EQ(leaf.GetValue("Missing"), std::nullopt);
    EXPECT_EQ(leaf.ValueCount(), 6);
    EXPECT_EQ(leaf.SubkeyCount(), 0);
}

TEST_F(RegistryTest, AKeyThatFailedToOpenChangesNothing)
{
    CreateKey(HKEY_CURRENT_USER, kTop + "\\Empty");
    {
        RegistryKey missing(HKEY_CURRENT_USER, kTop + "\\Empty\\Missing");
        EXPECT_FALSE(missing.IsOpen());
        EXPECT_EQ(missing.GetValue(""), std::nullopt);
        EXPECT_EQ(missing.ValueCount(), -1);
        EXPECT_NE(missing.DeleteSubkey("x"), ERROR_SUCCESS);
        missing.Prune();
    }
    EXPECT_TRUE(KeyExists(HKEY_CURRENT_USER, kTop + "\\Empty"));
}

TEST_F(RegistryTest, RootFollowsTheReleaseKeyCharacterByCharacter)
{
    const struct {
        const char* release;
        HKEY root;
    } cases[] = {{"R16.0", HKEY_CURRENT_USER}, {"R15.0", HKEY_LOCAL_MACHINE}, {"R14.0", HKEY_LOCAL_MACHINE},
                 {"R16.1", HKEY_CURRENT_USER}, {"R17.0", HKEY_CURRENT_USER}, {"R9.0", HKEY_CURRENT_USER},
                 {"r15.0", HKEY_CURRENT_USER}, {"R15.0-Студия", HKEY_LOCAL_MACHINE},
                 {"R16.0-日本", HKEY_CURRENT_USER}, {"Ł16.0", HKEY_CURRENT_USER}};
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
    // Sub-keys in any script come back exactly: two that differ only in non-Western
    // letters stay two.
    const struct {
        const char* release;
        const char* current;
    } cases[] = {{"R17.0", "ACAD-5001:409"}, {"R17.1", ""}, {"R17.3", "ACAD-Студия"}, {"R17.4", "ACAD-Стулия"},
                 {"R17.5-日本", "ACAD-中国"}, {"R17.6", "Łódź"}};
    for (const auto& c : cases) SetStringValue(HKEY_CURRENT_USER, kHost + "\\" + c.release, "CurVer", c.current);
    for (const auto& c : cases)
        EXPECT_EQ(FindHostReleaseKey(std::string(c.release)),
                  std::optional<std::string>(kHost + "\\" + c.release + "\\" + c.current)) << c.release;
    // Stored without its terminator.
    SetBinaryValue(HKEY_CURRENT_USER, kHost + "\\R17.2", "CurVer", Utf16Bytes("ACAD-7"));
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
    // "Software\Autodesk\AutoCAD\" + release + "\" + CurVer: 484 characters are left for
    // the two, counted as Windows counts them (UTF-16 units), not as bytes.
    std::string release = "R17.0";
    for (std::string letter : {"v", "д"}) {
        std::string fits;
        for (std::size_t at = release.size(); at < 484; ++at) fits += letter;
        SetStringValue(HKEY_CURRENT_USER, kHost + "\\" + release, "CurVer", fits);
        OwnedString path = FindHostReleaseKey(release);
        EXPECT_EQ(path, std::optional<std::string>(kHost + "\\" + release + "\\" + fits)) << letter;
        SetStringValue(HKEY_CURRENT_USER, kHost + "\\" + release, "CurVer", fits + letter);
        EXPECT_EQ(FindHostReleaseKey(release), std::nullopt) << letter;
        EXPECT_TRUE(KeyExists(HKEY_CURRENT_USER, kHost + "\\" + release));
    }
}
