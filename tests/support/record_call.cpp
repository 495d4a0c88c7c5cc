// A stand-in support program: appends the command line it was started with to the file
// named by HOSTGATE_CALLS (as UTF-8), then, a moment later, a line saying that it has ended.
// "/exit N" on its command line makes N its exit code.
#include <windows.h>

#include <cstdio>
#include <string>

namespace {

std::string Utf8(const wchar_t* text)
{
    int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    std::string bytes(static_cast<std::size_t>(size > 0 ? size : 1), '\0');
    if (size > 0) WideCharToMultiByte(CP_UTF8, 0, text, -1, &bytes[0], size, nullptr, nullptr);
    bytes.resize(bytes.size() - 1);
    return bytes;
}

bool Append(const wchar_t* log, const std::string& line)
{
    FILE* file = _wfopen(log, L"ab");
    if (!file) return false;
    std::fprintf(file, "%s\n", line.c_str());
    std::fclose(file);
    return true;
}

}  // namespace

int main()
{
    wchar_t log[MAX_PATH] = L"";
    if (!GetEnvironmentVariableW(L"HOSTGATE_CALLS", log, MAX_PATH)) return 2;
    wchar_t exe[MAX_PATH] = L"";
    GetModuleFileNameW(nullptr, exe, MAX_PATH);
    if (!Append(log, "start " + Utf8(GetCommandLineW()))) return 3;
    Sleep(100);
    const wchar_t* exit = wcsstr(GetCommandLineW(), L"/exit ");
    return Append(log, "end " + Utf8(exe)) ? (exit ? _wtoi(exit + 6) : 0) : 3;
}
