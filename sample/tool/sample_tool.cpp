// The sample's support program: records that it ran, and with which arguments, in the file
// named by its first argument.
#include <windows.h>

#include <cstdio>

int main(int argc, char** argv)
{
    if (argc < 2) return 1;
    FILE* record = std::fopen(argv[1], "ab");
    if (!record) return 2;
    std::fprintf(record, "sample_tool ran: %s\n", GetCommandLineA());
    std::fclose(record);
    return 0;
}
