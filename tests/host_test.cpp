// Registry keys with empty-key pruning, and the host release lookup, in Wine's registry.
#include "testbed.h"
#include "windows_rules.h"

#include "host/host_release.h"
#include "host/registry_key.h"

#include <gtest/gtest.h>

#include <cstdlib>
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

// Told apart by the test itself, not by the library: the 32-bit build prefix has one
// registry view, the 64-bit one (Wow64.*) two.
bool TwoViews()
{
    BOOL wow64 = FALSE;
    return IsWow64Process(GetCurrentProcess(), &wow64) && wow64;
}

REGSAM ViewFlag(int view)
{
    return view == kView64 ? KEY_WOW64_64KEY : view == kView32 ? KEY_WOW64_32KEY : 0;
}

const RegistryPlace kMachine32{HKEY_LOCAL_MACHINE, kView32};
const RegistryPlace kMachine64{HKEY_LOCAL_MACHINE, kView64};
const RegistryPlace kUser{HKEY_CURRENT_USER, kViewShared};

// A release key as an administrator or a host's setup leaves it: with CurVer, or empty.
struct Planted {
    RegistryPlace place;
    const char* current;  // CurVer; none: the key is empty
};

void Plant(const std::string& release, const Planted& planted)
{
    Elevated administrator;
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(planted.place.root, ToWide(kHost + "\\" + release).c_str(), 0, nullptr, 0,
                              KEY_ALL_ACCESS | ViewFlag(planted.place.view), nullptr, &key, nullptr),
              ERROR_SUCCESS);
    if (planted.current) {
        std::wstring text = ToWide(planted.current);
        EXPECT_EQ(RegSetValueExW(key, L"CurVer", 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                                 static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t))),
                  ERROR_SUCCESS);
    }
    RegCloseKey(key);
}

bool ExistsIn(const RegistryPlace& place, const std::string& path)
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(place.root, ToWide(path).c_str(), 0, KEY_READ | ViewFlag(place.view), &key) != ERROR_SUCCESS)
        return false;
    RegCloseKey(key);
    return true;
}

// Software\Autodesk in every view of both roots.
void ClearHostKeys()
{
    Elevated administrator;
    for (const RegistryPlace& place : {kMachine32, kMachine64, kUser}) {
        HKEY key = nullptr;
        if (RegOpenKeyExW(place.root, L"Software\\Autodesk", 0, KEY_ALL_ACCESS | ViewFlag(place.view), &key) !=
            ERROR_SUCCESS)
            continue;
        RegDeleteTreeW(key, nullptr);
        RegCloseKey(key);
        RegDeleteKeyExW(place.root, L"Software\\Autodesk", ViewFlag(place.view), 0);
    }
}

// The places where pruning deleted or was refused something, checking on the way that every
// place is reported, in the order of the lookup.
std::vector<HostPruning> PrunedPlaces(const std::string& release)
{
    std::vector<HostPruning> all = PruneHostReleaseKeys(release);
    std::vector<RegistryPlace> places = HostReleasePlaces(release);
    EXPECT_EQ(all.size(), places.size()) << release;
    std::vector<HostPruning> done;
    for (std::size_t at = 0; at < all.size(); ++at) {
        EXPECT_TRUE(at < places.size() && all[at].place == places[at]) << release << ": place " << at;
        if (!all[at].pruning.deleted.empty() || !all[at].pruning.refused.empty()) done.push_back(all[at]);
    }
    return done;
}

struct HostReleaseTest : ::testing::Test {
    void SetUp() override { ClearHostKeys(); }
    void TearDown() override { ClearHostKeys(); }
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

TEST(HostPrefix, TheViewsFollowThePrefix)
{
    // The build's wine-run names the prefix's architecture: a 64-bit prefix must give the
    // lookup its second view, a 32-bit one must not.
    const char* arch = std::getenv("WINEARCH");
    if (!arch) GTEST_SKIP() << "not started through the build's wine-run";
    EXPECT_EQ(TwoViews(), std::string(arch) == "win64");
    EXPECT_EQ(Has64BitRegistryView(), TwoViews());
}

TEST_F(HostReleaseTest, PlacesStartAtTheRootTheReleaseSelects)
{
    const struct {
        const char* release;
        HKEY root;
    } cases[] = {{"R16.0", HKEY_CURRENT_USER}, {"R15.0", HKEY_LOCAL_MACHINE}, {"R14.0", HKEY_LOCAL_MACHINE},
                 {"R16.1", HKEY_CURRENT_USER}, {"R17.0", HKEY_CURRENT_USER}, {"R9.0", HKEY_CURRENT_USER},
                 {"r15.0", HKEY_CURRENT_USER}, {"R15.0-Студия", HKEY_LOCAL_MACHINE},
                 {"R16.0-日本", HKEY_CURRENT_USER}, {"Ł16.0", HKEY_CURRENT_USER}};
    // Per machine the 32-bit view first, the 64-bit one only where there is one; per user
    // the one shared key.
    std::vector<RegistryPlace> machine{kMachine32};
    if (TwoViews()) machine.push_back(kMachine64);
    for (const auto& c : cases) {
        EXPECT_EQ(HostReleaseRoot(c.release), c.root) << c.release;
        std::vector<RegistryPlace> expected = machine;
        expected.insert(c.root == HKEY_CURRENT_USER ? expected.begin() : expected.end(), kUser);
        EXPECT_TRUE(HostReleasePlaces(c.release) == expected) << c.release;

        // The other root counts too, after the selected one.
        HKEY other = c.root == HKEY_CURRENT_USER ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER;
        std::string key = kHost + "\\" + c.release;
        SetStringValue(other, key, "CurVer", "ACAD-other");
        std::optional<HostFound> found = LocateHostRelease(std::string(c.release));
        ASSERT_TRUE(found) << c.release;
        EXPECT_EQ(found->key, key + "\\ACAD-other") << c.release;
        EXPECT_EQ(found->root, other) << c.release;
        SetStringValue(c.root, key, "CurVer", "ACAD-1");
        found = LocateHostRelease(std::string(c.release));
        ASSERT_TRUE(found) << c.release;
        EXPECT_EQ(found->key, key + "\\ACAD-1") << c.release;
        EXPECT_EQ(found->root, c.root) << c.release;
        ClearHostKeys();
    }
}

TEST_F(HostReleaseTest, TheFirstPlaceThatNamesASubReleaseWins)
{
    // Cases with a 64-bit view run in the 64-bit prefix only (Wow64.HostLookup).
    const struct {
        const char* name;
        const char* release;
        std::vector<Planted> planted;
        std::optional<RegistryPlace> foundIn;
        const char* current;
    } cases[] = {
        {"32-bit view only", "R15.0", {{kMachine32, "M32"}}, kMachine32, "M32"},
        {"64-bit view only", "R15.0", {{kMachine64, "M64"}}, kMachine64, "M64"},
        {"both views: 32-bit first", "R15.0", {{kMachine64, "M64"}, {kMachine32, "M32"}}, kMachine32, "M32"},
        {"an empty 32-bit key is passed", "R15.0", {{kMachine32, nullptr}, {kMachine64, "M64"}}, kMachine64, "M64"},
        {"the selected root first", "R15.0", {{kUser, "U"}, {kMachine64, "M64"}}, kMachine64, "M64"},
        {"per user, selected", "R16.0", {{kMachine32, "M32"}, {kUser, "U"}}, kUser, "U"},
        {"the other root only", "R15.0", {{kUser, "U"}}, kUser, "U"},
        {"the other root only, 64-bit view", "R16.0", {{kMachine64, "M64"}}, kMachine64, "M64"},
        {"the other root, 32-bit view first", "R16.0", {{kMachine64, "M64"}, {kMachine32, "M32"}}, kMachine32, "M32"},
        {"none", "R15.0", {}, std::nullopt, nullptr},
        {"empty keys everywhere", "R16.0", {{kUser, nullptr}, {kMachine32, nullptr}, {kMachine64, nullptr}},
         std::nullopt, nullptr},
    };
    int run = 0;
    for (const auto& c : cases) {
        bool needsTwoViews = c.foundIn == kMachine64;
        for (const Planted& planted : c.planted) needsTwoViews = needsTwoViews || planted.place == kMachine64;
        if (needsTwoViews && !TwoViews()) continue;
        ++run;
        ClearHostKeys();
        for (const Planted& planted : c.planted) Plant(c.release, planted);

        std::string why = "(unset)";
        std::optional<HostFound> found = LocateHostRelease(std::string(c.release), &why);
        std::string releaseKey = kHost + "\\" + c.release;
        ASSERT_EQ(found.has_value(), c.foundIn.has_value()) << c.name << ": " << why;
        if (found) {
            EXPECT_EQ(found->key, releaseKey + "\\" + c.current) << c.name;
            EXPECT_TRUE((RegistryPlace{found->root, found->view}) == *c.foundIn)
                << c.name << ": found in " << found->where;
            EXPECT_EQ(found->where, RegistryKeyName(*c.foundIn, releaseKey)) << c.name;
            EXPECT_EQ(why, "") << c.name;
            continue;
        }
        // Every place is named, in the order it was looked in.
        std::size_t at = 0;
        for (const RegistryPlace& place : HostReleasePlaces(c.release)) {
            std::size_t named = why.find(RegistryKeyName(place, releaseKey), at);
            EXPECT_NE(named, std::string::npos) << c.name << ": " << RegistryKeyName(place, releaseKey) << " in " << why;
            at = named == std::string::npos ? at : named + 1;
        }
    }
    EXPECT_EQ(run, TwoViews() ? 11 : 4);
}

TEST_F(HostReleaseTest, PruningActsWhereTheReleaseKeyIsEmptyOnly)
{
    // Each place keeps its own ancestors: a key with content elsewhere stays, and so do its
    // Software\Autodesk and AutoCAD. Per machine, an unelevated user may not delete.
    const struct {
        const char* name;
        const char* release;
        std::vector<Planted> planted;
        std::vector<RegistryPlace> pruned;  // in the order of the places
    } cases[] = {
        {"empty per user, content per machine", "R16.0", {{kUser, nullptr}, {kMachine32, "M32"}}, {kUser}},
        {"empty per machine, content per user", "R15.0", {{kMachine32, nullptr}, {kUser, "U"}}, {kMachine32}},
        {"empty in the 64-bit view only", "R15.0", {{kMachine64, nullptr}, {kMachine32, "M32"}}, {kMachine64}},
        {"empty in the 32-bit view only", "R15.0", {{kMachine32, nullptr}, {kMachine64, "M64"}}, {kMachine32}},
        {"empty in both views", "R15.0", {{kMachine32, nullptr}, {kMachine64, nullptr}}, {kMachine32, kMachine64}},
        {"the other root's 64-bit view", "R16.0", {{kMachine64, nullptr}, {kUser, "U"}}, {kMachine64}},
    };
    int run = 0;
    for (const auto& c : cases) {
        bool needsTwoViews = false;
        for (const Planted& planted : c.planted) needsTwoViews = needsTwoViews || planted.place == kMachine64;
        if (needsTwoViews && !TwoViews()) continue;
        ++run;
        ClearHostKeys();
        for (const Planted& planted : c.planted) Plant(c.release, planted);

        std::vector<HostPruning> prunings = PrunedPlaces(c.release);
        std::string releaseKey = kHost + "\\" + c.release;
        ASSERT_EQ(prunings.size(), c.pruned.size()) << c.name;
        for (std::size_t i = 0; i < prunings.size(); ++i) {
            const HostPruning& done = prunings[i];
            EXPECT_TRUE(done.place == c.pruned[i]) << c.name << ": pruned in " << RegistryKeyName(done.place, "");
            bool refused = WindowsRules() && done.place.root == HKEY_LOCAL_MACHINE;
            std::vector<std::string> deleted;
            if (!refused) deleted = {releaseKey, kHost, "Software\\Autodesk"};
            EXPECT_EQ(done.pruning.deleted, deleted) << c.name;
            EXPECT_EQ(done.pruning.refused, refused ? releaseKey : "") << c.name;
            EXPECT_EQ(done.pruning.error, refused ? ERROR_ACCESS_DENIED : ERROR_SUCCESS) << c.name;
        }
        for (const Planted& planted : c.planted) {
            bool emptied = planted.current == nullptr && !(WindowsRules() && planted.place.root == HKEY_LOCAL_MACHINE);
            EXPECT_EQ(ExistsIn(planted.place, releaseKey), !emptied) << c.name << ": " << RegistryKeyName(planted.place, releaseKey);
            EXPECT_EQ(ExistsIn(planted.place, "Software\\Autodesk"), !emptied) << c.name;
            EXPECT_TRUE(ExistsIn(planted.place, "Software")) << c.name;
        }
    }
    EXPECT_EQ(run, TwoViews() ? 6 : 2);
}

TEST_F(HostReleaseTest, LookupReadsCurVerOfAnyType)
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
        std::optional<HostFound> found = LocateHostRelease(std::string(c.release), &why);
        ASSERT_EQ(found.has_value(), c.current != nullptr) << c.release << ": " << why;
        if (c.current) {
            EXPECT_EQ(found->key, kHost + "\\" + c.release + "\\" + c.current) << c.release;
            EXPECT_EQ(why, "") << c.release;
        } else {
            EXPECT_NE(why.find(RegistryTypeName(c.type)), std::string::npos) << c.release << ": " << why;
        }
    }
    EXPECT_EQ(LocateHostRelease(std::nullopt), std::nullopt);
}

TEST_F(HostReleaseTest, LookupNeverDeletes)
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
        EXPECT_EQ(LocateHostRelease(std::string(c.release), &why), std::nullopt) << c.release;
        EXPECT_NE(why, "") << c.release;
    }
    for (const auto& c : cases) EXPECT_TRUE(KeyExists(HostReleaseRoot(c.release), kHost + "\\" + c.release)) << c.release;
    std::string why;
    EXPECT_EQ(LocateHostRelease(std::string("R16.9"), &why), std::nullopt);
    EXPECT_NE(why, "");
}

TEST_F(HostReleaseTest, PruningKeepsAReleaseKeyWithContent)
{
    // A CurVer that names no sub-release is still content.
    SetStringValue(HKEY_CURRENT_USER, kHost + "\\R16.0", "Other", "x");
    CreateKey(HKEY_CURRENT_USER, kHost + "\\R16.1\\Sub");
    SetTypedValue(HKEY_CURRENT_USER, kHost + "\\R16.2", "CurVer", REG_DWORD, DwordBytes(0));
    for (const char* release : {"R16.0", "R16.1", "R16.2"}) {
        EXPECT_TRUE(PrunedPlaces(release).empty()) << release;
        EXPECT_TRUE(KeyExists(HKEY_CURRENT_USER, kHost + "\\" + release)) << release;
    }
    EXPECT_TRUE(KeyExists(HKEY_CURRENT_USER, kHost + "\\R16.1\\Sub"));
}

TEST_F(HostReleaseTest, EmptyReleaseKeyIsPrunedWithItsEmptiedAncestors)
{
    CreateKey(HKEY_CURRENT_USER, kHost + "\\R16.0");
    PruneHostReleaseKeys(std::string("R16.0"));
    EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, "Software\\Autodesk"));
    EXPECT_TRUE(KeyExists(HKEY_CURRENT_USER, "Software"));

    // A sibling subkey stops the chain at AutoCAD; a value stops it at Autodesk.
    CreateKey(HKEY_CURRENT_USER, kHost + "\\R16.0");
    CreateKey(HKEY_CURRENT_USER, kHost + "\\R15.9");
    PruneHostReleaseKeys(std::string("R16.0"));
    EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, kHost + "\\R16.0"));
    EXPECT_TRUE(KeyExists(HKEY_CURRENT_USER, kHost + "\\R15.9"));

    DeleteTree(HKEY_CURRENT_USER, kHost);
    CreateKey(HKEY_CURRENT_USER, kHost + "\\R16.0");
    SetStringValue(HKEY_CURRENT_USER, "Software\\Autodesk", "Keep", "1");
    std::vector<HostPruning> prunings = PrunedPlaces("R16.0");
    EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, kHost));
    EXPECT_TRUE(KeyExists(HKEY_CURRENT_USER, "Software\\Autodesk"));
    ASSERT_EQ(prunings.size(), 1u);
    EXPECT_TRUE(prunings[0].place == kUser);
    EXPECT_EQ(prunings[0].pruning.deleted, (std::vector<std::string>{kHost + "\\R16.0", kHost}));
    EXPECT_TRUE(PruneHostReleaseKeys(std::nullopt).empty());

    // Per machine, an unelevated user may not delete: the key stays and the refusal is told.
    CreateKey(HKEY_LOCAL_MACHINE, kHost + "\\R15.0");
    prunings = PrunedPlaces("R15.0");
    EXPECT_EQ(KeyExists(HKEY_LOCAL_MACHINE, kHost + "\\R15.0"), WindowsRules());
    ASSERT_EQ(prunings.size(), 1u);
    const Pruning& pruning = prunings[0].pruning;
    EXPECT_EQ(pruning.refused, WindowsRules() ? kHost + "\\R15.0" : "");
    EXPECT_EQ(pruning.error, WindowsRules() ? ERROR_ACCESS_DENIED : ERROR_SUCCESS);
    EXPECT_EQ(pruning.deleted.size(), WindowsRules() ? 0u : 3u);  // R15.0, AutoCAD, Autodesk
}

TEST_F(HostReleaseTest, PathsBeyondTheBufferAreNotInstalled)
{
    // "Software\Autodesk\AutoCAD\" + release + "\" + CurVer: 484 characters are left for
    // the two, counted as Windows counts them (UTF-16 units), not as bytes.
    std::string release = "R17.0";
    for (std::string letter : {"v", "д"}) {
        std::string fits;
        for (std::size_t at = release.size(); at < 484; ++at) fits += letter;
        SetStringValue(HKEY_CURRENT_USER, kHost + "\\" + release, "CurVer", fits);
        std::optional<HostFound> found = LocateHostRelease(release);
        ASSERT_TRUE(found) << letter;
        EXPECT_EQ(found->key, kHost + "\\" + release + "\\" + fits) << letter;
        SetStringValue(HKEY_CURRENT_USER, kHost + "\\" + release, "CurVer", fits + letter);
        std::string why;
        EXPECT_EQ(LocateHostRelease(release, &why), std::nullopt) << letter;
        EXPECT_NE(why, "") << letter;
        PruneHostReleaseKeys(release);
        EXPECT_TRUE(KeyExists(HKEY_CURRENT_USER, kHost + "\\" + release));
    }
}
