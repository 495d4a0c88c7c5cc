// The install session, database views and CopyInfFiles, against the real installer engine.
#include "testbed.h"

#include "session/database.h"
#include "session/install_session.h"

#include <gtest/gtest.h>

using namespace testbed;

namespace {

const char* const kShapes =
    "Key\tName\tNumber\n"
    "s32\tS64\tI2\n"
    "Shapes\tKey\n"
    "a\tsecond\t2\n"
    "b\t\t\n"
    "c\tfirst\t1\n";

// Inserts a temporary Shapes row through a view opened with `filter`.
bool InsertShape(const PackageDatabase& db, const std::string& key, const std::string& name, int number,
                 const Filter& filter = Filter())
{
    TableView view;
    if (!view.Open(db, "Shapes", nullptr, filter) || !view.BeginInsert()) return false;
    view.SetString(1, key.c_str());
    view.SetString(2, name.c_str());
    view.SetInteger(3, number);
    return view.Commit();
}

// A session on the package with its active database.
struct Opened {
    explicit Opened(const std::string& package) : session(package), install(session.handle()), db(install) {}
    Session session;
    InstallSession install;
    PackageDatabase db;
};

struct SessionTest : ::testing::Test {
    TempFolder folder{"session"};
    std::string package = PackageBuilder().table("Shapes", kShapes).build(folder / "shapes.msi");
};

}  // namespace

TEST_F(SessionTest, PropertiesReadAsNoneWhenUnsetOrEmpty)
{
    Session session(package);
    InstallSession install(session.handle());
    session.setProperty("SET", "value");
    session.setProperty("EMPTY", "");
    EXPECT_EQ(install.GetProperty("SET"), std::optional<std::string>("value"));
    EXPECT_EQ(install.GetProperty("EMPTY"), std::nullopt);
    EXPECT_EQ(install.GetProperty("NEVER_SET"), std::nullopt);

    std::string longValue(1000, 'x');
    install.SetProperty("LONG", longValue.c_str());
    EXPECT_EQ(install.GetProperty("LONG"), std::optional<std::string>(longValue));
}

TEST_F(SessionTest, SourceDirAlreadySetDoesNotResolveTheSource)
{
    Session session(package);
    session.setProperty("SourceDir", "C:\\given\\source\\");
    UserSide user;
    EXPECT_EQ(InstallSession(session.handle()).GetSourceDir(), OwnedString("C:\\given\\source\\"));
    EXPECT_EQ(user.count("ResolveSource"), 0);
}

TEST_F(SessionTest, SourceDirUnsetResolvesTheSourceOnce)
{
    Session session(package);
    session.setProperty("SourceDir", "");
    UserSide user;
    std::string sourceRoot = InstallSession(session.handle()).GetSourceDir().value_or("");
    EXPECT_EQ(user.count("ResolveSource"), 1);
    ASSERT_FALSE(sourceRoot.empty());
    EXPECT_EQ(sourceRoot, session.property("SourceDir").value_or(""));
    EXPECT_TRUE(FileExists(sourceRoot + "shapes.msi")) << sourceRoot;
}

TEST_F(SessionTest, SourceRootHoldsLongFoldersWhole)
{
    Session session(package);
    std::string atLimit = "C:\\" + std::string(255, 'a') + "\\";  // 259 characters
    ASSERT_EQ(atLimit.size(), 259u);
    session.setProperty("SourceDir", atLimit);
    EXPECT_EQ(InstallSession(session.handle()).GetSourceDir(), OwnedString(atLimit));

    std::string overLimit = "C:\\" + std::string(300, 'b') + "\\";
    session.setProperty("SourceDir", overLimit);
    EXPECT_EQ(InstallSession(session.handle()).GetSourceDir(), OwnedString(overLimit));
    // Paths on it are refused whole, never cut back into a shorter path that may exist.
    EXPECT_EQ(JoinSourcePath(overLimit, "x.cab"), std::nullopt);
    EXPECT_EQ(JoinSourcePath(atLimit.substr(0, 250), "123456789"), std::optional<std::string>(atLimit.substr(0, 250) + "123456789"));
    EXPECT_EQ(JoinSourcePath(atLimit.substr(0, 250), "1234567890"), std::nullopt);
}

TEST_F(SessionTest, ReportErrorPostsTheMessageAndMapsTheAnswer)
{
    Session session(package);
    InstallSession install(session.handle());
    const struct {
        int answer;
        UINT result;
    } cases[] = {{IDOK, 0}, {IDCANCEL, ERROR_INSTALL_USEREXIT}, {IDABORT, ERROR_INSTALL_USEREXIT},
                 {IDRETRY, 0}, {IDIGNORE, 0}};
    for (const auto& c : cases) {
        UserSide user(c.answer);
        EXPECT_EQ(install.ReportError(3001), c.result) << "answer " << c.answer;
        ASSERT_EQ(user.errors().size(), 1u);
        EXPECT_EQ(user.errors()[0], 3001);
        EXPECT_NE(user.errorTexts()[0].find("does not meet the package's rules"), std::string::npos)
            << user.errorTexts()[0];
    }
}

TEST_F(SessionTest, OpenBuildsEachQueryShape)
{
    Opened opened(package);
    const PackageDatabase& db = opened.db;

    TableView all;
    ASSERT_TRUE(all.Open(db, "Shapes"));
    EXPECT_EQ(all.FieldCount(), 3);
    int rows = 0;
    while (all.Fetch()) ++rows;
    EXPECT_EQ(rows, 3);

    TableView ordered;
    ASSERT_TRUE(ordered.Open(db, "Shapes", "Number"));
    std::vector<std::string> keys;
    while (ordered.Fetch()) keys.push_back(ordered.GetString(1).value_or("?"));
    // A null integer sorts first.
    EXPECT_EQ(keys, (std::vector<std::string>{"b", "c", "a"}));

    TableView filtered;
    ASSERT_TRUE(filtered.Open(db, "Shapes", "Key", Filter("Name", "second")));
    ASSERT_TRUE(filtered.Fetch());
    EXPECT_EQ(filtered.GetString(1), std::optional<std::string>("a"));
    EXPECT_FALSE(filtered.Fetch());

    TableView both;
    Filter twoColumns("Name", "first");
    twoColumns.And("Key", "c");
    ASSERT_TRUE(both.Open(db, "Shapes", nullptr, twoColumns));
    ASSERT_TRUE(both.Fetch());
    EXPECT_EQ(both.GetInteger(3), 1);
    EXPECT_FALSE(both.Fetch());

    // An empty value selects the null fields.
    TableView empty;
    ASSERT_TRUE(empty.Open(db, "Shapes", nullptr, Filter("Name", "")));
    ASSERT_TRUE(empty.Fetch());
    EXPECT_EQ(empty.GetString(1), std::optional<std::string>("b"));
    EXPECT_FALSE(empty.Fetch());
}

TEST_F(SessionTest, NullAndEmptyFieldsReadAsNone)
{
    Opened opened(package);
    const PackageDatabase& db = opened.db;
    TableView view;
    ASSERT_TRUE(view.Open(db, "Shapes", nullptr, Filter("Key", "b")));
    ASSERT_TRUE(view.Fetch());
    EXPECT_EQ(view.GetString(2), std::nullopt);
    EXPECT_EQ(view.GetInteger(3), static_cast<int>(0x80000000));
    EXPECT_EQ(view.GetString(3), std::nullopt);
}

TEST_F(SessionTest, QueriesBeyondTheBufferAreRefused)
{
    Opened opened(package);
    const PackageDatabase& db = opened.db;
    // "SELECT * FROM `Shapes` WHERE " then comparisons joined by " AND ": 24 characters and
    // 12 for each `Key`=? (13 for `Name`=?) make 511 with 40 comparisons, 7 of them on Name.
    for (int names : {7, 8}) {
        Filter filter;
        for (int i = 0; i < 40; ++i) i < names ? filter.And("Name", "first") : filter.And("Key", "c");
        std::size_t length = std::string("SELECT * FROM `Shapes` WHERE ").size() + filter.text().size();
        ASSERT_EQ(length, names == 7 ? 511u : 512u);
        TableView view;
        EXPECT_EQ(view.Open(db, "Shapes", nullptr, filter), names == 7) << length;
        EXPECT_EQ(view.Fetch() ? view.GetString(1) : std::nullopt,
                  names == 7 ? std::optional<std::string>("c") : std::nullopt) << length;
    }
}

TEST_F(SessionTest, MissingTableGivesAViewThatIsNotOpen)
{
    Opened opened(package);
    const PackageDatabase& db = opened.db;
    TableView view;
    EXPECT_FALSE(view.Open(db, "NoSuchTable"));
    EXPECT_FALSE(view.Fetch());
    EXPECT_EQ(view.GetString(1), std::nullopt);
}

TEST_F(SessionTest, CommitAppliesTemporaryInsert)
{
    Opened opened(package);
    const Session& session = opened.session;
    const PackageDatabase& db = opened.db;
    EXPECT_TRUE(InsertShape(db, "d", "temporary", 4));
    EXPECT_EQ(session.rows("SELECT * FROM `Shapes` WHERE `Key`='d'"), (std::vector<Row>{{"d", "temporary", "4"}}));
    // Nothing reaches the package file.
    MSIHANDLE file = 0;
    ASSERT_EQ(MsiOpenDatabaseW(ToWide(package).c_str(), nullptr, &file), 0u);
    EXPECT_EQ(QueryRows(file, "SELECT * FROM `Shapes`").size(), 3u);
    MsiCloseHandle(file);
}

TEST_F(SessionTest, ViewsOverTheSameQueryStayIndependent)
{
    Opened opened(package);
    const PackageDatabase& db = opened.db;
    std::vector<std::string> pairs;
    TableView outer;
    ASSERT_TRUE(outer.Open(db, "Shapes", "Key"));
    while (outer.Fetch()) {
        // The same query while the first is being read: it gets a view of its own.
        TableView inner;
        ASSERT_TRUE(inner.Open(db, "Shapes", "Key"));
        int rows = 0;
        while (inner.Fetch()) ++rows;
        pairs.push_back(outer.GetString(1).value_or("?") + std::to_string(rows));
    }
    EXPECT_EQ(pairs, (std::vector<std::string>{"a3", "b3", "c3"}));
}

TEST_F(SessionTest, AViewOpenedAgainSeesTheTableAsItNowStands)
{
    Opened opened(package);
    const PackageDatabase& db = opened.db;
    for (const char* key : {"d", "e"}) {
        {
            TableView lookup;
            ASSERT_TRUE(lookup.Open(db, "Shapes", nullptr, Filter("Key", key)));
            EXPECT_FALSE(lookup.Fetch()) << key;
        }
        ASSERT_TRUE(InsertShape(db, key, std::string(300, key[0]), 5, Filter("Key", key)));
    }
    TableView lookup;
    ASSERT_TRUE(lookup.Open(db, "Shapes", nullptr, Filter("Key", "e")));
    ASSERT_TRUE(lookup.Fetch());
    // A value longer than the first read buffer comes back whole.
    EXPECT_EQ(lookup.GetString(2), std::optional<std::string>(std::string(300, 'e')));
}

TEST_F(SessionTest, CommitClearsTheChangeEvenWhenRefused)
{
    Opened opened(package);
    const Session& session = opened.session;
    const PackageDatabase& db = opened.db;
    TableView view;
    ASSERT_TRUE(view.Open(db, "Shapes"));
    ASSERT_TRUE(view.BeginInsert());
    view.SetString(1, "a");  // the key exists: the insert is refused
    view.SetInteger(3, 9);
    EXPECT_FALSE(view.Commit());
    // The record is gone and no change is pending.
    EXPECT_EQ(view.GetString(1), std::nullopt);
    EXPECT_FALSE(view.Commit());
    EXPECT_EQ(session.rows("SELECT * FROM `Shapes`").size(), 3u);
}

// CopyInfFiles works on Windows' own folders: the system directory's token driver folder
// and the INF folder.
// On 64-bit Windows the driver folders are the native system folder, which a 32-bit program
// (this test, like the library) reaches as "Sysnative", and then what it sees as "system32",
// the 32-bit folder, where a 32-bit driver setup writes.
struct CopyInfFilesTest : ::testing::Test {
    std::string system = Wow64() ? WindowsDir() + "\\Sysnative" : SystemDir();
    std::string source = system + "\\Setup\\Aladdin\\eToken";
    std::string inf = WindowsDir() + "\\inf";
    std::vector<std::string> names{"hostgate-a.inf", "hostgate-b.inf", "hostgate-Студия.inf", "hostgate-32.inf"};

    static std::string SystemDir()
    {
        wchar_t path[MAX_PATH];
        GetSystemDirectoryW(path, MAX_PATH);
        return ToUtf8(path);
    }
    static std::string WindowsDir()
    {
        wchar_t path[MAX_PATH];
        GetWindowsDirectoryW(path, MAX_PATH);
        return ToUtf8(path);
    }
    static bool Wow64()
    {
        BOOL wow64 = FALSE;
        return IsWow64Process(GetCurrentProcess(), &wow64) && wow64;
    }
    void Clean()
    {
        RemoveTree(system + "\\Setup");
        RemoveTree(SystemDir() + "\\Setup");
        for (const std::string& name : names) DeleteFileW(ToWide(inf + "\\" + name).c_str());
        DeleteFileW(ToWide(inf + "\\hostgate-readme.txt").c_str());
    }
    void SetUp() override { Clean(); }
    void TearDown() override { Clean(); }
};

TEST_F(CopyInfFilesTest, CopiesEveryInfAndOverwrites)
{
    for (std::size_t at = 0; at < 3; ++at) WriteFile(source + "\\" + names[at], "driver " + names[at]);
    WriteFile(source + "\\hostgate-readme.txt", "not a driver");
    WriteFile(inf + "\\hostgate-b.inf", "old");
    // The 32-bit folder: a name the native folder also has (in other letter case) is copied
    // from the native one only.
    std::string folder32 = SystemDir() + "\\Setup\\Aladdin\\eToken\\";
    if (Wow64()) {
        WriteFile(folder32 + "hostgate-32.inf", "driver hostgate-32.inf");
        WriteFile(folder32 + "HOSTGATE-A.INF", "32-bit copy");
    }

    TempFolder folder{"inf"};
    Session session(PackageBuilder().build(folder / "inf.msi"));
    Library dll;
    EXPECT_EQ(dll.run("CopyInfFiles", session), 0u);

    for (const std::string& name : names) {
        if (name == "hostgate-32.inf" && !Wow64()) continue;
        EXPECT_EQ(ReadFile(inf + "\\" + name), std::optional<std::string>("driver " + name)) << name;
    }
    EXPECT_FALSE(FileExists(inf + "\\hostgate-readme.txt"));
    EXPECT_TRUE(FileExists(source + "\\hostgate-a.inf"));  // copied, not moved
}

TEST_F(CopyInfFilesTest, MissingFolderCopiesNothing)
{
    TempFolder folder{"inf"};
    Session session(PackageBuilder().build(folder / "inf.msi"));
    Library dll;
    EXPECT_EQ(dll.run("CopyInfFiles", session), 0u);
    for (const std::string& name : names) EXPECT_FALSE(FileExists(inf + "\\" + name));
}

TEST_F(CopyInfFilesTest, OverlongNamesAreSkippedAndTheRestCopied)
{
    // The source folder is longer than the target folder, so a name can fit one and not
    // the other; either way it is skipped, never cut.
    std::string tooLong = std::string(MAX_PATH - source.size() - 2, 'n') + ".inf";
    WriteFile(source + "\\" + names[0], "first");
    WriteFile(source + "\\" + tooLong, "long");
    ASSERT_TRUE(FileExists(source + "\\" + tooLong));
    WriteFile(source + "\\" + names[2], "third");
    TempFolder folder{"inf"};
    Session session(PackageBuilder().build(folder / "inf.msi"));
    Library dll;
    EXPECT_EQ(dll.run("CopyInfFiles", session), 0u);
    EXPECT_EQ(ReadFile(inf + "\\" + names[0]), std::optional<std::string>("first"));
    EXPECT_EQ(ReadFile(inf + "\\" + names[2]), std::optional<std::string>("third"));
    RemoveTree(inf + "\\" + tooLong);
}

// msiexec with a deferred action failing after the copy (FAIL=1), and actions in sessions. A
// rollback removes what this installation added, not a file there before (overwritten), not
// an installed product's (Wine rolls no maintenance back), nor an earlier run's. Uninstall keeps them.
TEST_F(CopyInfFilesTest, RollbackRemovesWhatThisInstallationAdded)
{
    std::string bin = SampleSource() + "\\..\\..\\bin\\";
    TempFolder folder{"inf road"};
    std::string package =
        PackageBuilder()
            .table("Feature", FeatureTable({"Main"}))
            .table("Binary", "Name\tData\ns72\tv0\nBinary\tName\nhostgate\thostgate.dll\nfailing\thandover.dll\n")
            .stream("Binary", "hostgate.dll", bin + "hostgate.dll")
            .stream("Binary", "handover.dll", bin + "handover.dll")  // fails without its record's path
            .table("CustomAction", "Action\tType\tSource\tTarget\ns72\ti2\tS72\tS255\nCustomAction\tAction\nRollbackInfFiles\t3329\t"
                                   "hostgate\tRollbackInfFiles\nCopyInfFiles\t3073\thostgate\tCopyInfFiles\nFailLate\t1025\tfailing\tRecordHandover\n")
            .table("InstallExecuteSequence",
                   "Action\tCondition\tSequence\ns72\tS255\tI2\nInstallExecuteSequence\tAction\nCostInitialize\t\t800\n"
                   "FileCost\t\t900\nCostFinalize\t\t1000\nInstallValidate\t\t1400\nInstallInitialize\t\t1500\n"
                   "RollbackInfFiles\tNOT Installed\t4090\nCopyInfFiles\tNOT Installed\t4100\nRegisterProduct\t\t6100\n"
                   "PublishFeatures\t\t6300\nPublishProduct\t\t6400\nFailLate\tFAIL\t6500\nInstallFinalize\t\t6600\n")
            .build(folder / "inf.msi");
    const struct { bool fresh; const char* run; DWORD exitCode; bool added; } steps[] = {
        {true, "/i FAIL=1", 1603, false}, {false, "/i", 0, true}, {false, "RollbackInfFiles", 0, true},
        {false, "/x", 0, true}, {true, "CopyInfFiles CopyInfFiles RollbackInfFiles", 0, true}};
    Library dll;
    for (const auto& step : steps) {
        if (step.fresh) Clean();
        for (std::size_t at = 0; step.fresh && at < 3; ++at) WriteFile(source + "\\" + names[at], "driver " + names[at]);
        if (step.fresh) WriteFile(inf + "\\hostgate-b.inf", "old");
        std::string run = step.run;
        std::wstring line = ToWide("msiexec /qn " + run.substr(0, 2) + " \"" + package + "\"" + run.substr(2));
        STARTUPINFOW startup = {};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION process = {};
        DWORD exitCode = run[0] == '/' ? 9999 : 0;
        for (const std::string& action : run[0] == '/' ? std::vector<std::string>() : SplitText(run, ' '))
            exitCode |= dll.run(action.c_str(), Session(package));
        if (run[0] == '/' && CreateProcessW(nullptr, &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process)) {
            WaitForSingleObject(process.hProcess, 120000);
            GetExitCodeProcess(process.hProcess, &exitCode);
            KernelHandle thread(process.hThread), child(process.hProcess);
        }
        EXPECT_EQ(exitCode, step.exitCode) << run;
        std::vector<bool> left = {FileExists(inf + "\\" + names[0]), FileExists(inf + "\\" + names[2]), FileExists(inf + "\\" + names[1])};
        EXPECT_EQ(left, std::vector<bool>({step.added, step.added, true})) << run;
    }
}
