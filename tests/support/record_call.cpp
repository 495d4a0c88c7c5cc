// A stand-in support program: appends the command line it was started with to the file
// named by HOSTGATE_CALLS, then, a moment later, a line saying that it has ended.
// Started as "record_call --exclusive <file>" it records instead whether it could open the
// file for itself alone, that is whether nobody else holds it open.
#include <windows.h>

#include <cstdio>
#include <cstring>

int main(int argc, char** argv)
{
    char log[MAX_PATH] = "";
    if (!GetEnvironmentVariableA("HOSTGATE_CALLS", log, MAX_PATH)) return 2;
    char exe[MAX_PATH] = "";
    GetModuleFileNameA(nullptr, exe, MAX_PATH);
    FILE* file = std::fopen(log, "ab");
    if (!file) return 3;
    if (argc == 3 && std::strcmp(argv[1], "--exclusive") == 0) {
        HANDLE probe = CreateFileA(argv[2], GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        std::fprintf(file, "exclusive %s\n", probe == INVALID_HANDLE_VALUE ? "denied" : "granted");
        if (probe != INVALID_HANDLE_VALUE) CloseHandle(probe);
        std::fclose(file);
        return 0;
    }
    std::fprintf(file, "start %s\n", GetCommandLineA());
    std::fclose(file);
    Sleep(100);
    file = std::fopen(log, "ab");
    if (!file) return 3;
    std::fprintf(file, "end %s\n", exe);
    std::fclose(file);
    return 0;
}
