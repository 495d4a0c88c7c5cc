// What PrevInstall and AfterSelectFunction cost inside a real installation, next to the
// installer's own CostFinalize on the same package.
//
// Time: the actions run as DLL custom actions from the package's Binary table, started with
// MsiDoActionA, so every installer call crosses into the custom-action process as it does in
// a real installation. Calls: the same actions run in this process through the DLL, with its
// imports from msi.dll counted one by one; unlike time, the count is exact.
//
//   hostgate_bench.exe [FEATURES ...]      (default 10 100 1000; rules are twice the features)
#include "testbed.h"
#include "windows_rules.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

using namespace testbed;

namespace {

// Counting layer: each msi.dll import of the DLL is redirected through a counter. Inside a
// custom action a call on a view, a database or the installation crosses to the installer
// (a round trip); record calls stay in the action's process (local).
std::map<std::string, unsigned long> g_byFunction;
std::set<MSIHANDLE> g_remote;   // open views and databases: closing one is a round trip
std::set<MSIHANDLE> g_deletes;  // views of DELETE queries: each execution writes a row
std::set<MSIHANDLE> g_updates;  // views of the library's UPDATE query: each names the rows it writes
unsigned long g_updatedRows = 0;

template <int Id, typename F>
struct Hook;
template <int Id, typename R, typename... A>
struct Hook<Id, R(WINAPI*)(A...)> {
    static inline R(WINAPI* real)(A...) = nullptr;
    static inline const char* name = nullptr;
    static R WINAPI call(A... args)
    {
        ++g_byFunction[name];
        return real(args...);
    }
};

template <int Id, typename F>
std::pair<std::string, void*> Entry(const char* name, F function)
{
    Hook<Id, F>::real = function;
    Hook<Id, F>::name = name;
    return {name, reinterpret_cast<void*>(&Hook<Id, F>::call)};
}

#define HOOK(function) Entry<__COUNTER__>(#function, &function)

UINT WINAPI CountedOpenView(MSIHANDLE database, LPCWSTR query, MSIHANDLE* view)
{
    ++g_byFunction["MsiDatabaseOpenViewW"];
    UINT result = MsiDatabaseOpenViewW(database, query, view);
    if (result == ERROR_SUCCESS) g_remote.insert(*view);
    if (result == ERROR_SUCCESS && std::wcsncmp(query, L"DELETE", 6) == 0) g_deletes.insert(*view);
    if (result == ERROR_SUCCESS && std::wcsncmp(query, L"UPDATE", 6) == 0) g_updates.insert(*view);
    return result;
}

UINT WINAPI CountedExecute(MSIHANDLE view, MSIHANDLE params)
{
    ++g_byFunction[g_deletes.count(view) ? "MsiViewExecute (DELETE)" : "MsiViewExecute"];
    if (g_updates.count(view)) {
        // The condition and the level, then the features: a short batch repeats its last.
        std::set<std::wstring> features;
        for (UINT field = 3; field <= MsiRecordGetFieldCount(params); ++field) {
            wchar_t name[256] = L"";
            DWORD size = 256;
            MsiRecordGetStringW(params, field, name, &size);
            features.insert(name);
        }
        g_updatedRows += features.size();
    }
    return MsiViewExecute(view, params);
}

MSIHANDLE WINAPI CountedActiveDatabase(MSIHANDLE install)
{
    ++g_byFunction["MsiGetActiveDatabase"];
    MSIHANDLE database = MsiGetActiveDatabase(install);
    g_remote.insert(database);
    return database;
}

UINT WINAPI CountedCloseHandle(MSIHANDLE handle)
{
    g_deletes.erase(handle);
    g_updates.erase(handle);
    ++g_byFunction[g_remote.erase(handle) ? "MsiCloseHandle (view, database)" : "MsiCloseHandle (record)"];
    return MsiCloseHandle(handle);
}

bool IsLocal(const std::string& name)
{
    return name.rfind("MsiRecord", 0) == 0 || name == "MsiCreateRecord" || name == "MsiCloseHandle (record)" ||
           name == "MsiSetInternalUI";
}

struct Counts {
    unsigned long roundTrips = 0;
    unsigned long local = 0;
    unsigned long modifies = 0;  // rows written: inserted, updated and deleted; feature states set
};

Counts Take()
{
    Counts counts;
    for (const auto& [name, count] : g_byFunction) (IsLocal(name) ? counts.local : counts.roundTrips) += count;
    counts.modifies = g_byFunction["MsiViewModify"] + g_byFunction["MsiViewExecute (DELETE)"] + g_updatedRows +
                      g_byFunction["MsiSetFeatureStateW"];
    g_updatedRows = 0;
    g_byFunction.clear();
    return counts;
}

// Points the module's imports from msi.dll at the counters.
int CountImports(HMODULE module)
{
    std::map<std::string, void*> counters = {
        HOOK(MsiGetPropertyW),         HOOK(MsiSetPropertyW),        HOOK(MsiDoActionW),
        HOOK(MsiProcessMessage),       HOOK(MsiCreateRecord),        HOOK(MsiRecordSetInteger),
        HOOK(MsiRecordSetStringW),     HOOK(MsiRecordGetInteger),    HOOK(MsiRecordGetStringW),
        HOOK(MsiRecordGetFieldCount),  HOOK(MsiOpenDatabaseW),
        HOOK(MsiViewFetch),            HOOK(MsiViewGetColumnInfo),   HOOK(MsiViewModify),
        HOOK(MsiViewClose),            HOOK(MsiQueryProductStateW),  HOOK(MsiSetInternalUI),
        HOOK(MsiInstallProductW),      HOOK(MsiEvaluateConditionW),  HOOK(MsiSetFeatureStateW),
        HOOK(MsiGetFeatureStateW),        HOOK(MsiFormatRecordW),
        {"MsiDatabaseOpenViewW", reinterpret_cast<void*>(&CountedOpenView)},
        {"MsiViewExecute", reinterpret_cast<void*>(&CountedExecute)},
        {"MsiGetActiveDatabase", reinterpret_cast<void*>(&CountedActiveDatabase)},
        {"MsiCloseHandle", reinterpret_cast<void*>(&CountedCloseHandle)}};
    return PatchImports(module, "msi.dll", counters);
}

std::string DllPath()
{
    char exe[MAX_PATH] = "";
    GetModuleFileNameA(nullptr, exe, MAX_PATH);
    std::string path(exe);
    return path.substr(0, path.find_last_of('\\') + 1) + "hostgate.dll";
}

// N features, 2N rules over two hosts (one installed) and three functions; three quarters
// of the cabinets present.
std::string BuildPackage(const TempFolder& folder, int features)
{
    // Each feature installs one component with one file, so that costing has work to do.
    std::string featureRows = kFeatureHeader;
    std::string components = "Component\tComponentId\tDirectory_\tAttributes\tCondition\tKeyPath\n"
                             "s72\tS38\ts72\ti2\tS255\tS72\nComponent\tComponent\n";
    std::string links = "Feature_\tComponent_\ns38\ts72\nFeatureComponents\tFeature_\tComponent_\n";
    std::string files = "File\tComponent_\tFileName\tFileSize\tVersion\tLanguage\tAttributes\tSequence\n"
                        "s72\ts72\tl255\ti4\tS72\tS20\tI2\ti2\nFile\tFile\n";
    for (int f = 1; f <= features; ++f) {
        std::string n = std::to_string(f);
        featureRows += "F" + n + "\t\t\t\t1\t1\t\t0\n";
        components += "C" + n + "\t" + NewGuid() + "\tINSTALLDIR\t0\t\tFile" + n + "\n";
        links += "F" + n + "\tC" + n + "\n";
        files += "File" + n + "\tC" + n + "\tf" + n + ".txt\t1000\t\t\t0\t" + n + "\n";
    }
    std::string rules = "PropertyName\tFunction\tCabinet\tFeature\tFlags\nS72\ts72\tS255\ts38\tI4\n"
                        "SearchCabinet\tPropertyName\tFunction\tCabinet\tFeature\n\tsetup\t\tF1\t0\n";
    for (int i = 0; i < 2 * features; ++i) {
        std::string cabinet = "c" + std::to_string(i) + ".cab";
        if (i % 4 != 3) WriteFile(folder / cabinet, "x");
        rules += std::string(i % 2 ? "HOST_B" : "HOST_A") + "\tf" + std::to_string(i % 3 + 1) + "\t" + cabinet + "\tF" +
                 std::to_string(i % features + 1) + "\t" + (i % 5 == 0 ? "1" : "0") + "\n";
    }
    PackageBuilder builder;
    builder.table("Feature", featureRows)
        .table("Component", components)
        .table("FeatureComponents", links)
        .table("File", files)
        .table("Directory", "Directory\tDirectory_Parent\tDefaultDir\ns72\tS72\tl255\nDirectory\tDirectory\n"
                            "TARGETDIR\t\tSourceDir\nINSTALLDIR\tTARGETDIR\tBench\n")
        .table("Media", "DiskId\tLastSequence\tDiskPrompt\tCabinet\tVolumeLabel\tSource\n"
                        "i2\ti2\tL64\tS255\tS32\tS72\nMedia\tDiskId\n1\t" + std::to_string(features) + "\t\t\t\t\n")
        .table("AutoCAD", "Property\tUnused\tRelease\ns72\tS0\ts32\nAutoCAD\tProperty\nHOST_A\t\tR15.0\nHOST_B\t\tR17.0\n")
        .table("FunctionVersion", "Function\tText\tValue\ns72\tL0\ts64\nFunctionVersion\tFunction\n"
                                  "f1\tOne\tf1\nf2\tTwo\tf2\nf3\tThree\tf3\n")
        .table("SearchCabinet", rules)
        .table("Binary", "Name\tData\ns72\tv0\nBinary\tName\nhostgate\thostgate.dll\n")
        .stream("Binary", "hostgate.dll", DllPath())
        .table("CustomAction", "Action\tType\tSource\tTarget\ns72\ti2\tS72\tS255\nCustomAction\tAction\n"
                               "PrevInstall\t1\thostgate\tPrevInstall\nAfterSelectFunction\t1\thostgate\tAfterSelectFunction\n");
    return builder.build(folder / "bench.msi");
}

double Seconds(LARGE_INTEGER from, LARGE_INTEGER to)
{
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    return double(to.QuadPart - from.QuadPart) / double(frequency.QuadPart);
}

template <typename F>
double Time(F work)
{
    LARGE_INTEGER start, end;
    QueryPerformanceCounter(&start);
    work();
    QueryPerformanceCounter(&end);
    return Seconds(start, end);
}

std::unique_ptr<Session> OpenSession(const std::string& package, const TempFolder& folder)
{
    auto session = std::make_unique<Session>(package);
    session->setProperty("SourceDir", folder.path() + "\\");
    return session;
}

}  // namespace

int main(int argc, char** argv)
{
    std::vector<int> sizes;
    for (int i = 1; i < argc; ++i) sizes.push_back(std::atoi(argv[i]));
    if (sizes.empty()) sizes = {10, 100, 1000};
    HostRegistry hosts;
    hosts.install("R15.0", "ACAD-1");

    std::printf("%8s %6s %9s | %-19s %9s %6s | %11s %6s %6s | %6s %7s %9s\n", "features", "rules", "CostFin", "action",
                "time", "ratio", "round trips", "floor", "bar", "read", "written", "evaluated");
    for (int features : sizes) {
        TempFolder folder{"bench"};
        std::string package = BuildPackage(folder, features);
        int rules = 2 * features + 1;
        const int runs = 3;
        std::vector<double> prev, after, cost, costed;
        for (int run = 0; run < runs; ++run) {
            auto session = OpenSession(package, folder);
            prev.push_back(Time([&] { session->doAction("PrevInstall"); }));
            session->setProperty("FUNCTION_VER", "f2");
            // AfterSelectFunction ends with the installer's own CostFinalize.
            after.push_back(Time([&] { session->doAction("AfterSelectFunction"); }));
            auto yardstick = OpenSession(package, folder);
            cost.push_back(Time([&] { yardstick->doAction("CostFinalize"); }));
            // The costing AfterSelectFunction runs: over the rows PrevInstall left.
            auto before = OpenSession(package, folder);
            before->doAction("PrevInstall");
            costed.push_back(Time([&] { before->doAction("CostFinalize"); }));
        }
        for (auto* times : {&prev, &after, &cost, &costed}) std::sort(times->begin(), times->end());
        double c = cost[runs / 2];
        // PrevInstall's time, and AfterSelectFunction's less the CostFinalize it runs, as a
        // share of one CostFinalize of the same package.
        double times[2] = {prev[runs / 2], after[runs / 2]};
        double ratios[2] = {times[0] / c, (times[1] - costed[runs / 2]) / c};

        // PrevInstall reads the package: its floor is one fetch per SearchCabinet, Condition and
        // Feature row and one call per row written. AfterSelectFunction reads PrevInstall's
        // snapshot: its floor is the rows it writes, the package's own Condition rows it
        // evaluates (each distinct condition once) and the snapshot read.
        HMODULE dll = LoadLibraryA(DllPath().c_str());
        if (CountImports(dll) == 0) std::fprintf(stderr, "bench: no import patched\n");
        auto counted = OpenSession(package, folder);
        std::set<std::string> own;
        for (const Row& row : counted->rows("SELECT `Condition` FROM `Condition`")) own.insert(row[0]);
        int index = 0;
        for (const char* name : {"PrevInstall", "AfterSelectFunction"}) {
            bool chosen = index == 1;
            if (chosen) counted->setProperty("FUNCTION_VER", "f2");
            unsigned long read = static_cast<unsigned long>(rules + counted->rows("SELECT * FROM `Condition`").size() + features);
            g_byFunction.clear();
            reinterpret_cast<Action>(reinterpret_cast<void*>(GetProcAddress(dll, name)))(counted->handle());
            std::map<std::string, unsigned long> detail = g_byFunction;
            Counts counts = Take();
            unsigned long evaluated = own.size();
            unsigned long floor = chosen ? counts.modifies + evaluated + 1 : read + counts.modifies;
            double bar = chosen ? double(counts.modifies + evaluated + 20) : 1.1 * double(floor) + 100;
            if (index == 0) std::printf("%8d %6d %7.1fms |", features, rules, c * 1000);
            else std::printf("%8s %6s %7.1fms |", "", "", costed[runs / 2] * 1000);
            std::printf(" %-19s %7.1fms %6.2f | %11lu %6lu %6.0f | %6lu %7lu %9lu%s\n", name, times[index] * 1000,
                        ratios[index], counts.roundTrips, floor, bar, chosen ? 1ul : read, counts.modifies, evaluated,
                        counts.roundTrips <= bar ? "" : "  over");
            if (getenv("HOSTGATE_BENCH_DETAIL"))
                for (const auto& [function, count] : detail) std::printf("      %-34s %lu\n", function.c_str(), count);
            ++index;
        }
        counted.reset();
        FreeLibrary(dll);
    }
    return 0;
}
