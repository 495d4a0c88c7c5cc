// hostgate-check: reports what to mend in a package built for hostgate.
//   hostgate-check.exe [--explain] PACKAGE.msi [SOURCE-FOLDER]
// Exit code 0 when no error is found, 1 when one is, 2 when the package cannot be read.
#include "checker/checks.h"

#include <cstdio>
#include <cstring>

namespace {

int Check(int argc, char** argv)
{
    bool explain = argc > 1 && std::strcmp(argv[1], "--explain") == 0;
    int first = explain ? 2 : 1;
    if (argc <= first || argc > first + 2) {
        std::fprintf(stderr, "usage: hostgate-check [--explain] PACKAGE.msi [SOURCE-FOLDER]\n");
        return 2;
    }
    std::string package = argv[first];
    OwnedString source = argc > first + 1 ? OwnedString(argv[first + 1]) : std::nullopt;
    std::optional<std::vector<Finding>> findings = CheckPackage(package, source);
    if (!findings) {
        std::fprintf(stderr, "hostgate-check: cannot open %s as a package\n", package.c_str());
        return 2;
    }
    int errors = 0;
    for (const Finding& finding : *findings) {
        std::printf("%s\n", FormatFinding(finding).c_str());
        errors += finding.severity == "error";
    }
    std::printf("%s: %d error(s), %d warning(s)\n", package.c_str(), errors, static_cast<int>(findings->size()) - errors);
    if (explain) {
        std::optional<std::string> table = ExplainPackage(package, source);
        if (table) std::printf("\n%s", table->c_str());
    }
    return errors ? 1 : 0;
}

}  // namespace

// The arguments arrive as UTF-16 and are passed on as the library's UTF-8 text, so that a
// path in any language reaches the package exactly.
int wmain(int argc, wchar_t** wideArgs)
{
    std::vector<std::string> args;
    for (int at = 0; at < argc; ++at) args.push_back(Utf8(wideArgs[at]));
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(&arg[0]);
    return Check(argc, argv.data());
}
