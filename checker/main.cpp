// hostgate-check: reports what to mend in a package built for hostgate.
//   hostgate-check.exe [--explain] PACKAGE.msi [SOURCE-FOLDER]   (options in any position)
// Exit code 0 when no error is found, 1 when one is, 2 when the package is damaged or cannot
// be read.
//
// The package file's structure is checked first, from its bytes: the engine reads a damaged
// file without complaint and reports what it misread as the author's mistakes. The engine
// also crashes or hangs on some files (a path longer than about 275 characters), so the
// package is read in a child process of this program: whatever happens there, this one
// still answers.
#include "checker/checks.h"
#include "checker/text.h"
#include "package/compound_file.h"
#include "platform/apart.h"
#include "platform/console.h"
#include "session/database.h"

#include <windows.h>

#include <string>
#include <vector>

namespace {

constexpr int kClean = 0;
constexpr int kErrors = 1;
constexpr int kUnreadable = 2;
// The option that makes this program the reader of one package (internal).
constexpr const char* kReadOption = "--read-apart";
// A sound package is checked in seconds; an engine that hangs is given up on.
constexpr DWORD kReadTimeoutMs = 120 * 1000;

const char* const kUsage =
    "usage: hostgate-check [--explain] PACKAGE.msi [SOURCE-FOLDER]\n"
    "Names what to mend in a package built for hostgate: one line per problem (code, error or\n"
    "warning, table, column, row key, what to change). With SOURCE-FOLDER, the folder the package\n"
    "is installed from, it also looks for every cabinet and support program there.\n"
    "  --explain  also print the decision table: the functions offered and features installed\n"
    "             for every set of installed host releases\n"
    "  --help     print this text\n"
    "Options may come anywhere; after -- every argument is a name.\n"
    "Exit code: 0 no error found, 1 an error found, 2 the package is damaged or cannot be read,\n"
    "or the command line is wrong.\n";

void Out(const std::string& text) { WriteStandard(STD_OUTPUT_HANDLE, text); }
void Err(const std::string& text) { WriteStandard(STD_ERROR_HANDLE, text); }

struct Options {
    bool explain = false;
    bool help = false;
    std::vector<std::string> names;  // the package, then the source folder
    std::string wrong;               // why the command line is wrong; empty when it is right
};

Options ParseOptions(const std::vector<std::string>& arguments)
{
    Options options;
    bool namesOnly = false;
    for (const std::string& argument : arguments) {
        if (!namesOnly && argument == "--") {
            namesOnly = true;
            continue;
        }
        bool option = !namesOnly && ((argument.size() > 1 && argument[0] == '-') || argument == "/?");
        if (!option) options.names.push_back(argument);
        else if (argument == "--explain") options.explain = true;
        else if (argument == "--help" || argument == "-h" || argument == "/?") options.help = true;
        else options.wrong = "unknown option " + Shown(argument);
    }
    if (options.wrong.empty() && !options.help && (options.names.empty() || options.names.size() > 2))
        options.wrong = options.names.empty() ? "no package named" : "more than a package and a source folder named";
    return options;
}

// A crash in the engine ends the reader quietly, with the exception's code, instead of
// starting a debugger.
LONG WINAPI EndQuietly(EXCEPTION_POINTERS* exception)
{
    TerminateProcess(GetCurrentProcess(), exception->ExceptionRecord->ExceptionCode);
    return EXCEPTION_EXECUTE_HANDLER;
}

// The child's side: reads the package, checks it, sends the findings (and the table).
int ReadApart(const std::vector<std::string>& arguments)
{
    SetUnhandledExceptionFilter(EndQuietly);
    ApartWriter answer;
    if (arguments.size() < 3 || arguments.size() > 4) return kUnreadable;
    bool explain = arguments[1] == "1";
    OwnedString source = arguments.size() > 3 ? OwnedString(arguments[3]) : std::nullopt;
    PackageDatabase db;
    std::string problem;
    if (!OpenWholePackage(arguments[2], db, problem)) {
        answer.Add("unreadable");
        answer.Add(problem);
        return answer.Send() ? kClean : kUnreadable;
    }
    std::vector<Finding> findings = CheckPackage(db, source);
    answer.Add("read");
    answer.Add(explain ? ExplainPackage(db, source) : std::string());
    for (const Finding& finding : findings)
        for (const std::string* field : {&finding.code, &finding.severity, &finding.table, &finding.column, &finding.key,
                                         &finding.message})
            answer.Add(*field);
    return answer.Send() ? kClean : kUnreadable;
}

}  // namespace

// The command line arrives wide, whatever the system's code page, and is kept as UTF-8.
int wmain(int argc, wchar_t** argv)
{
    std::vector<std::string> arguments;
    for (int at = 1; at < argc; ++at) arguments.push_back(Utf8(argv[at]));
    if (!arguments.empty() && arguments[0] == kReadOption) return ReadApart(arguments);
    Options options = ParseOptions(arguments);
    if (options.help) {
        Out(kUsage);
        return kClean;
    }
    if (!options.wrong.empty()) {
        Err("hostgate-check: " + options.wrong + "\n" + kUsage);
        return kUnreadable;
    }
    const std::string& package = options.names[0];
    StructureReport structure = CheckPackageStructure(package);
    if (!structure.opened) {
        Err("hostgate-check: cannot read " + package + ": " + structure.damage->what + "\n");
        return kUnreadable;
    }
    if (structure.damage) {
        Err("hostgate-check: " + package + " is damaged: " + structure.damage->what + " (" + structure.damage->where + ")\n");
        return kUnreadable;
    }
    std::vector<std::string> childArguments = {kReadOption, options.explain ? "1" : "0", package};
    if (options.names.size() > 1) childArguments.push_back(options.names[1]);
    ApartAnswer answer = RunApart(childArguments, kReadTimeoutMs);

    std::string failure = answer.failure;
    if (answer.answered) {
        if (answer.fields.size() < 2 || (answer.fields[0] == "read" && (answer.fields.size() - 2) % 6 != 0))
            failure = "its reader answered in pieces";
        else if (answer.fields[0] != "read")
            failure = answer.fields[1];
    }
    if (!failure.empty()) {
        Err("hostgate-check: cannot read " + package + " as a package: " + failure + "\n");
        return kUnreadable;
    }
    for (const std::string& warning : structure.warnings) Out(package + ": warning: the file's structure: " + warning + "\n");
    if (!structure.isSigned)
        Out(package + ": unsigned: a changed byte inside a string or a table cell cannot be detected (the format has no checksum)\n");
    int errors = 0;
    int warnings = static_cast<int>(structure.warnings.size());
    for (std::size_t at = 2; at + 6 <= answer.fields.size(); at += 6) {
        Finding finding{answer.fields[at], answer.fields[at + 1], answer.fields[at + 2],
                        answer.fields[at + 3], answer.fields[at + 4], answer.fields[at + 5]};
        Out(FormatFinding(finding) + "\n");
        (finding.severity == "error" ? errors : warnings) += 1;
    }
    Out(package + ": " + std::to_string(errors) + " error(s), " + std::to_string(warnings) + " warning(s)\n");
    if (options.explain) Out("\n" + answer.fields[1]);
    return errors ? kErrors : kClean;
}
