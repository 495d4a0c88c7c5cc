// hostgate-check: reports what to mend in a package built for hostgate.
//   hostgate-check.exe [--explain] PACKAGE.msi [SOURCE-FOLDER]   (options in any position)
// Exit code 0 when no error is found, 1 when one is, 2 when the package cannot be read.
//
// The installer's engine crashes or hangs on some files (a path longer than about 275
// characters, a damaged allocation chain), so the package is read in a child process of
// this program: whatever happens there, this one still answers.
#include "checker/checks.h"
#include "checker/text.h"
#include "session/database.h"
#include "setup/apart.h"

#include <windows.h>
#include <shellapi.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

constexpr int kClean = 0;
constexpr int kErrors = 1;
constexpr int kUnreadable = 2;
// The option that makes this program the reader of one package (internal).
constexpr const wchar_t* kReadOption = L"--read-apart";
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
    "Exit code: 0 no error found, 1 an error found, 2 the package cannot be read or the command\n"
    "line is wrong.\n";

// Writes UTF-8 text: as wide text to a console, as UTF-8 bytes to a file or pipe.
void Write(DWORD stream, const std::string& text)
{
    HANDLE handle = GetStdHandle(stream);
    if (!handle || handle == INVALID_HANDLE_VALUE || text.empty()) return;
    DWORD mode = 0;
    DWORD written = 0;
    if (GetConsoleMode(handle, &mode)) {
        std::wstring wide = WideFromUtf8(text);
        WriteConsoleW(handle, wide.data(), static_cast<DWORD>(wide.size()), &written, nullptr);
    } else {
        WriteFile(handle, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    }
}

void Out(const std::string& text) { Write(STD_OUTPUT_HANDLE, text); }
void Err(const std::string& text) { Write(STD_ERROR_HANDLE, text); }

// The command line as the system gave it, each argument in UTF-8.
std::vector<std::string> Arguments()
{
    std::vector<std::string> arguments;
    int count = 0;
    LPWSTR* list = CommandLineToArgvW(GetCommandLineW(), &count);
    if (!list) return arguments;
    for (int i = 1; i < count; ++i) arguments.push_back(Utf8FromWide(list[i]));
    LocalFree(list);
    return arguments;
}

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
        answer.Add(L"unreadable");
        answer.Add(WideFromUtf8(problem));
        return answer.Send() ? kClean : kUnreadable;
    }
    std::vector<Finding> findings = CheckPackage(db, source);
    answer.Add(L"read");
    answer.Add(explain ? WideFromUtf8(ExplainPackage(db, source)) : std::wstring());
    for (const Finding& finding : findings)
        for (const std::string* field : {&finding.code, &finding.severity, &finding.table, &finding.column, &finding.key,
                                         &finding.message})
            answer.Add(WideFromUtf8(*field));
    return answer.Send() ? kClean : kUnreadable;
}

std::string Hex(DWORD code)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%08lX", static_cast<unsigned long>(code));
    return text;
}

}  // namespace

// The command line is read wide (see Arguments); the wide entry point keeps the runtime's
// start-up on the wide API too.
int wmain()
{
    std::vector<std::string> arguments = Arguments();
    if (!arguments.empty() && arguments[0] == Utf8FromWide(kReadOption)) return ReadApart(arguments);
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
    std::vector<std::wstring> childArguments = {kReadOption, options.explain ? L"1" : L"0", WideFromUtf8(package)};
    if (options.names.size() > 1) childArguments.push_back(WideFromUtf8(options.names[1]));
    ApartAnswer answer = RunApart(childArguments, kReadTimeoutMs);

    std::string failure;
    switch (answer.outcome) {
    case ApartAnswer::Outcome::NotStarted: failure = "its reader could not be started"; break;
    case ApartAnswer::Outcome::TimedOut:
        failure = "the installer's engine did not finish reading it in " + std::to_string(kReadTimeoutMs / 1000) + " s";
        break;
    case ApartAnswer::Outcome::Failed:
        failure = "the installer's engine failed while reading it (reader exit code " + Hex(answer.exitCode) + ")";
        break;
    case ApartAnswer::Outcome::Answered:
        if (answer.fields.size() < 2 || (answer.fields[0] == L"read" && (answer.fields.size() - 2) % 6 != 0))
            failure = "its reader answered in pieces";
        else if (answer.fields[0] != L"read")
            failure = Utf8FromWide(answer.fields[1]);
        break;
    }
    if (!failure.empty()) {
        Err("hostgate-check: cannot read " + package + " as a package: " + failure + "\n");
        return kUnreadable;
    }
    int errors = 0;
    int warnings = 0;
    for (std::size_t at = 2; at + 6 <= answer.fields.size(); at += 6) {
        Finding finding;
        std::string* fields[] = {&finding.code, &finding.severity, &finding.table, &finding.column, &finding.key,
                                 &finding.message};
        for (std::size_t i = 0; i < 6; ++i) *fields[i] = Utf8FromWide(answer.fields[at + i]);
        Out(FormatFinding(finding) + "\n");
        (finding.severity == "error" ? errors : warnings) += 1;
    }
    Out(package + ": " + std::to_string(errors) + " error(s), " + std::to_string(warnings) + " warning(s)\n");
    if (options.explain) Out("\n" + Utf8FromWide(answer.fields[1]));
    return errors ? kErrors : kClean;
}
