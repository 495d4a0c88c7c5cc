// Registry keys with empty-key pruning, and the host release lookup, in Wine's registry.
#include "testbed.h"
#include "windows_rules.h"

#include "host/host_release.h"
#include "host/registry_key.h"

#include <gtest/gtest.h>

#include <iterator>

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

std::string DwordBytes(DWORD value)
{
    return std::string(reinterpret_cast<const char*>(&value), sizeof value);
}

// Stores `bytes` as a value of the given type, as an administrator would.
void SetTypedValue(HKEY root, const std::string& path, const char* name, DWORD type, const std::string& bytes)
{
    Elevated administrator;
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(root, ToWide(path).c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(RegSetValueExW(key, ToWide(name).c_str(), 0, type, reinterpret_cast<const BYTE*>(bytes.data()),
                             static_cast<DWORD>(bytes.size())),
              ERROR_SUCCESS);
    RegCloseKey(key);
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

TEST_F(RegistryTest, ValuesReadAsTextByTheirType)
{
    // Strings read as UTF-16 up to their terminator, unexpanded; any other type as bytes up to
    // the first zero in the ANSI code page (1252 on the test bed).
    const bool western = GetACP() == 1252;
    const struct {
        const char* name;
        DWORD type;
        std::string stored;  // the value's bytes
        const char* text;
    } cases[] = {
        {"Terminated", REG_SZ, Utf16Bytes(std::string("R16.0", 6)), "R16.0"},
        {"Unterminated", REG_SZ, Utf16Bytes("ACAD-7"), "ACAD-7"},
        {"Embedded", REG_SZ, Utf16Bytes(std::string("ab\0cd", 5)), "ab"},
        {"OddByte", REG_SZ, Utf16Bytes("xy") + "z", "xy"},
        {"Cyrillic", REG_SZ, Utf16Bytes("Студия"), "Студия"},
        {"Mixed", REG_EXPAND_SZ, Utf16Bytes("Łódź 日本 😀"), "Łódź 日本 😀"},
        {"Unexpanded", REG_EXPAND_SZ, Utf16Bytes("%SystemRoot%\\Студия"), "%SystemRoot%\\Студия"},
        {"BinaryTerminated", REG_BINARY, std::string("B1\0junk", 7), "B1"},
        {"BinaryWhole", REG_BINARY, "B1", "B1"},
        {"BinaryEmpty", REG_BINARY, "", ""},
        {"BinaryAnsi", REG_BINARY, western ? "ACAD-\xE9" : "ACAD-e", western ? "ACAD-é" : "ACAD-e"},
        {"Dword", REG_DWORD, DwordBytes(0x00003142), "B1"},
        {"DwordZero", REG_DWORD, DwordBytes(0), ""},
        {"MultiString", REG_MULTI_SZ, Utf16Bytes(std::string("B1\0C2\0\0", 7)), "B1"},
        {"None", REG_NONE, std::string("ACAD\0", 5), "ACAD"},
    };
    for (const auto& c : cases) SetTypedValue(HKEY_CURRENT_USER, kTop + "\\Leaf", c.name, c.type, c.stored);
    RegistryKey leaf(HKEY_CURRENT_USER, kTop + "\\Leaf");
    for (const auto& c : cases) {
        DWORD type = REG_NONE + 100;
        EXPECT_EQ(leaf.GetValue(c.name, &type), std::optional<std::string>(c.text)) << c.name;
        EXPECT_EQ(type, c.type) << c.name;
    }
    DWORD type = REG_SZ;
    EXPECT_EQ(leaf.GetValue("Missing", &type), std::nullopt);
    EXPECT_EQ(type, static_cast<DWORD>(REG_NONE));
    EXPECT_EQ(leaf.ValueCount(), static_cast<int>(std::size(cases)));
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
        EXPECT_EQ(HostReleaseKeyName(c.release), std::string(RootName(c.root)) + "\\" + kHost + "\\" + c.release);
        HKEY other = c.root == HKEY_CURRENT_USER ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER;
        std::string key = kHost + "\\" + c.release;
        SetStringValue(other, key, "CurVer", "ACAD-1");
        EXPECT_EQ(LookUpHostRelease(std::string(c.release)), std::nullopt) << c.release;
        SetStringValue(c.root, key, "CurVer", "ACAD-1");
        EXPECT_EQ(LookUpHostRelease(std::string(c.release)), std::optional<std::string>(key + "\\ACAD-1"))
            << c.release;
        DeleteTree(HKEY_LOCAL_MACHINE, "Software\\Autodesk");
        DeleteTree(HKEY_CURRENT_USER, "Software\\Autodesk");
    }
}

TEST_F(RegistryTest, LookupReadsCurVerOfAnyType)
{
    // Sub-keys in any script come back exactly: two that differ only in non-Western letters
    // stay two. CurVer that is not a string reads empty when its first byte is zero: that
    // release is not installed, and the reason names the type.
    const struct {
        const char* release;
        DWORD type;
        std::string stored;
        const char* current;  // none: not installed
    } cases[] = {
        {"R17.0", REG_SZ, Utf16Bytes(std::string("ACAD-5001:409", 14)), "ACAD-5001:409"},
        {"R17.1", REG_SZ, Utf16Bytes(std::string("", 1)), ""},
        {"R17.3", REG_SZ, Utf16Bytes("ACAD-Студия"), "ACAD-Студия"},
        {"R17.4", REG_SZ, Utf16Bytes("ACAD-Стулия"), "ACAD-Стулия"},
        {"R17.5-日本", REG_EXPAND_SZ, Utf16Bytes("ACAD-中国"), "ACAD-中国"},
        {"R17.6", REG_EXPAND_SZ, Utf16Bytes("Łódź"), "Łódź"},
        {"R15.0", REG_BINARY, std::string("B1\0junk", 7), "B1"},
        {"R17.7", REG_BINARY, "B1", "B1"},
        {"R17.8", REG_BINARY, std::string("\0B1", 3), nullptr},
        {"R15.1", REG_DWORD, DwordBytes(0x00003142), "B1"},
        {"R17.9", REG_DWORD, DwordBytes(0), nullptr},
        {"R18.0", REG_MULTI_SZ, Utf16Bytes(std::string("B1\0\0", 4)), "B1"},
        {"R18.1", REG_NONE, "", nullptr},
    };
    for (const auto& c : cases)
        SetTypedValue(HostReleaseRoot(c.release), kHost + "\\" + c.release, "CurVer", c.type, c.stored);
    for (const auto& c : cases) {
        std::string why = "(unset)";
        OwnedString expected;
        if (c.current) expected = kHost + "\\" + c.release + "\\" + c.current;
        EXPECT_EQ(LookUpHostRelease(std::string(c.release), &why), expected) << c.release;
        if (c.current)
            EXPECT_EQ(why, "") << c.release;
        else
            EXPECT_NE(why.find(RegistryTypeName(c.type)), std::string::npos) << c.release << ": " << why;
    }
    EXPECT_EQ(LookUpHostRelease(std::nullopt), std::nullopt);
}

TEST_F(RegistryTest, LookupNeverDeletes)
{
    // Every release key the lookup finds wanting stays as it was, per user and per machine.
    const struct {
        const char* release;
        const char* subkey;  // created below the release key; "" for the key alone
        const char* value;   // a value other than CurVer, or none
    } cases[] = {{"R16.0", "", nullptr}, {"R15.0", "", nullptr}, {"R16.1", "Sub", nullptr},
                 {"R16.2", "", "Other"}, {"R14.0", "", "Other"}};
    for (const auto& c : cases) {
        HKEY root = HostReleaseRoot(c.release);
        std::string key = kHost + "\\" + c.release;
        CreateKey(root, *c.subkey ? key + "\\" + c.subkey : key);
        if (c.value) SetStringValue(root, key, c.value, "x");
    }
    for (const auto& c : cases) {
        std::string why;
        EXPECT_EQ(LookUpHostRelease(std::string(c.release), &why), std::nullopt) << c.release;
        EXPECT_NE(why, "") << c.release;
    }
    for (const auto& c : cases) EXPECT_TRUE(KeyExists(HostReleaseRoot(c.release), kHost + "\\" + c.release)) << c.release;
    std::string why;
    EXPECT_EQ(LookUpHostRelease(std::string("R16.9"), &why), std::nullopt);
    EXPECT_NE(why, "");
}

TEST_F(RegistryTest, PruningKeepsAReleaseKeyWithContent)
{
    // A CurVer that names no sub-release is still content.
    SetStringValue(HKEY_CURRENT_USER, kHost + "\\R16.0", "Other", "x");
    CreateKey(HKEY_CURRENT_USER, kHost + "\\R16.1\\Sub");
    SetTypedValue(HKEY_CURRENT_USER, kHost + "\\R16.2", "CurVer", REG_DWORD, DwordBytes(0));
    for (const char* release : {"R16.0", "R16.1", "R16.2"}) {
        Pruning pruning;
        PruneHostRelease(std::string(release), &pruning);
        EXPECT_TRUE(KeyExists(HKEY_CURRENT_USER, kHost + "\\" + release)) << release;
        EXPECT_TRUE(pruning.deleted.empty()) << release;
    }
    EXPECT_TRUE(KeyExists(HKEY_CURRENT_USER, kHost + "\\R16.1\\Sub"));
}

TEST_F(RegistryTest, EmptyReleaseKeyIsPrunedWithItsEmptiedAncestors)
{
    CreateKey(HKEY_CURRENT_USER, kHost + "\\R16.0");
    PruneHostRelease(std::string("R16.0"));
    EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, "Software\\Autodesk"));
    EXPECT_TRUE(KeyExists(HKEY_CURRENT_USER, "Software"));

    // A sibling subkey stops the chain at AutoCAD; a value stops it at Autodesk.
    CreateKey(HKEY_CURRENT_USER, kHost + "\\R16.0");
    CreateKey(HKEY_CURRENT_USER, kHost + "\\R15.9");
    PruneHostRelease(std::string("R16.0"));
    EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, kHost + "\\R16.0"));
    EXPECT_TRUE(KeyExists(HKEY_CURRENT_USER, kHost + "\\R15.9"));

    DeleteTree(HKEY_CURRENT_USER, kHost);
    CreateKey(HKEY_CURRENT_USER, kHost + "\\R16.0");
    SetStringValue(HKEY_CURRENT_USER, "Software\\Autodesk", "Keep", "1");
    Pruning pruning;
    PruneHostRelease(std::string("R16.0"), &pruning);
    EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, kHost));
    EXPECT_TRUE(KeyExists(HKEY_CURRENT_USER, "Software\\Autodesk"));
    EXPECT_EQ(pruning.deleted, (std::vector<std::string>{kHost + "\\R16.0", kHost}));
    PruneHostRelease(std::nullopt, &pruning);
    EXPECT_EQ(pruning.deleted.size(), 2u);

    // Per machine, an unelevated user may not delete: the key stays and the refusal is told.
    CreateKey(HKEY_LOCAL_MACHINE, kHost + "\\R15.0");
    pruning = Pruning();
    PruneHostRelease(std::string("R15.0"), &pruning);
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
        OwnedString path = LookUpHostRelease(release);
        EXPECT_EQ(path, std::optional<std::string>(kHost + "\\" + release + "\\" + fits)) << letter;
        SetStringValue(HKEY_CURRENT_USER, kHost + "\\" + release, "CurVer", fits + letter);
        std::string why;
        EXPECT_EQ(LookUpHostRelease(release, &why), std::nullopt) << letter;
        EXPECT_NE(why, "") << letter;
        PruneHostRelease(release);
        EXPECT_TRUE(KeyExists(HKEY_CURRENT_USER, kHost + "\\" + release));
    }
}
