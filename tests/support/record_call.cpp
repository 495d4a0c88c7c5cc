// A stand-in support program: appends the command line it was started with to the file
// named by HOSTGATE_CALLS, then, a moment later, a line saying that it has ended.
#include <windows.h>

#include <cstdio>

int main()
{
    char log[MAX_PATH] = "";
    if (!GetEnvironmentVariableA("HOSTGATE_CALLS", log, MAX_PATH)) return 2;
    char exe[MAX_PATH] = "";
    GetModuleFileNameA(nullptr, exe, MAX_PATH);
    FILE* file = std::fopen(log, "ab");
    if (!file) return 3;
    std::fprintf(file, "start %s\n", GetCommandLineA());
    std::fclose(file);
    Sleep(100);
    file = std::fopen(log, "ab");
    if (!file) return 3;
    std::fprintf(file, "end %s\n", exe);
    std::fclose(file);
    return 0;
}
