#include "platform/apart.h"

#include "session/owned.h"

#include <cstdio>

namespace {

// A temporary file the child can write through an inherited handle; removed by the
// system when the last handle closes, even if this program ends first.
FileHandle AnswerFile()
{
    wchar_t folder[MAX_PATH + 1];
    wchar_t path[MAX_PATH + 1];
    DWORD length = GetTempPathW(MAX_PATH + 1, folder);
    if (length == 0 || length > MAX_PATH || !GetTempFileNameW(folder, L"hgs", 0, path)) return FileHandle();
    SECURITY_ATTRIBUTES inherited = {sizeof inherited, nullptr, TRUE};
    FileHandle file(CreateFileW(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                &inherited, OPEN_EXISTING, FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr));
    if (!file) DeleteFileW(path);
    return file;
}

std::string ReadAll(HANDLE file)
{
    LARGE_INTEGER size = {};
    LARGE_INTEGER start = {};
    if (!GetFileSizeEx(file, &size) || size.QuadPart > 16 * 1024 * 1024 || !SetFilePointerEx(file, start, nullptr, FILE_BEGIN))
        return std::string();
    std::string text(static_cast<std::size_t>(size.QuadPart), '\0');
    DWORD read = 0;
    if (!text.empty() && !ReadFile(file, &text[0], static_cast<DWORD>(text.size()), &read, nullptr)) return std::string();
    text.resize(read);
    return text;
}

// The fields of a whole answer: a count, then that many fields, each ended by a null.
bool ParseAnswer(const std::string& text, std::vector<std::string>& fields)
{
    std::vector<std::string> parts;
    for (std::size_t at = 0; at < text.size();) {
        std::size_t end = text.find('\0', at);
        if (end == std::string::npos) return false;  // cut inside a field
        parts.push_back(text.substr(at, end - at));
        at = end + 1;
    }
    if (parts.empty() || parts[0] != std::to_string(parts.size() - 1)) return false;
    fields.assign(parts.begin() + 1, parts.end());
    return true;
}

// One argument quoted so that the child's command-line parsing gives it back unchanged.
// (No UTF-8 sequence holds a backslash or a quote byte.)
std::string QuoteArgument(const std::string& argument)
{
    std::string quoted = "\"";
    std::size_t backslashes = 0;
    for (char c : argument) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        // Backslashes count as escapes only before a quote: there they are doubled.
        quoted.append(c == '"' ? backslashes * 2 + 1 : backslashes, '\\');
        backslashes = 0;
        quoted += c;
    }
    quoted.append(backslashes * 2, '\\');  // before the closing quote
    return quoted + "\"";
}

}  // namespace

std::string ProgramFile()
{
    std::vector<wchar_t> path(32768, L'\0');
    DWORD length = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    return length < path.size() ? Utf8(path.data(), length) : std::string();
}

ApartAnswer RunApart(const std::vector<std::string>& arguments, DWORD timeoutMs)
{
    ApartAnswer answer;
    answer.failure = "the reader could not be started";
    std::string program = ProgramFile();
    FileHandle output = AnswerFile();
    if (program.empty() || !output) return answer;
    std::string commandLine = QuoteArgument(program);
    for (const std::string& argument : arguments) commandLine += " " + QuoteArgument(argument);

    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = output.get();
    PROCESS_INFORMATION started = {};
    Wide line(commandLine);  // CreateProcessW may write into the line
    if (!CreateProcessW(Wide(program).c_str(), line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &started))
        return answer;
    KernelHandle process(started.hProcess);
    KernelHandle thread(started.hThread);
    if (WaitForSingleObject(process.get(), timeoutMs) != WAIT_OBJECT_0) {
        TerminateProcess(process.get(), ERROR_TIMEOUT);
        WaitForSingleObject(process.get(), INFINITE);
        answer.failure = "the reader did not finish in " + std::to_string(timeoutMs / 1000) + " s";
        return answer;
    }
    GetExitCodeProcess(process.get(), &answer.exitCode);
    answer.answered = ParseAnswer(ReadAll(output.get()), answer.fields);
    if (answer.answered) {
        answer.failure.clear();
    } else {
        // A crash's exit code is its exception's: 0xC0000005.
        char code[16];
        std::snprintf(code, sizeof code, "0x%08lX", static_cast<unsigned long>(answer.exitCode));
        answer.failure = std::string("the reader ended without a whole answer (exit code ") + code + ")";
    }
    return answer;
}

bool ApartWriter::Send() const
{
    std::string text = std::to_string(fields_.size());
    text += '\0';
    for (const std::string& field : fields_) {
        text += field;
        text += '\0';
    }
    HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD written = 0;
    DWORD size = static_cast<DWORD>(text.size());
    return output && output != INVALID_HANDLE_VALUE && WriteFile(output, text.data(), size, &written, nullptr) &&
           written == size;
}
