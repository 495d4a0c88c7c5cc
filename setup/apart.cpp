#include "setup/apart.h"

#include <memory>

namespace {

// Owns one kernel handle.
struct HandleCloser {
    void operator()(HANDLE h) const
    {
        if (h && h != INVALID_HANDLE_VALUE) CloseHandle(h);
    }
};
using KernelHandle = std::unique_ptr<void, HandleCloser>;

// A temporary file the child can write through an inherited handle; removed by the
// system when the last handle closes, even if this program ends first.
KernelHandle AnswerFile()
{
    wchar_t folder[MAX_PATH + 1];
    wchar_t path[MAX_PATH + 1];
    DWORD length = GetTempPathW(MAX_PATH + 1, folder);
    if (length == 0 || length > MAX_PATH || !GetTempFileNameW(folder, L"hgs", 0, path)) return nullptr;
    SECURITY_ATTRIBUTES inherited = {sizeof inherited, nullptr, TRUE};
    HANDLE file = CreateFileW(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              &inherited, OPEN_EXISTING, FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        DeleteFileW(path);
        return nullptr;
    }
    return KernelHandle(file);
}

std::wstring ReadAll(HANDLE file)
{
    LARGE_INTEGER size = {};
    LARGE_INTEGER start = {};
    if (!GetFileSizeEx(file, &size) || size.QuadPart > 16 * 1024 * 1024 || !SetFilePointerEx(file, start, nullptr, FILE_BEGIN))
        return std::wstring();
    std::wstring text(static_cast<std::size_t>(size.QuadPart) / sizeof(wchar_t), L'\0');
    DWORD read = 0;
    if (!text.empty() && !ReadFile(file, &text[0], static_cast<DWORD>(text.size() * sizeof(wchar_t)), &read, nullptr))
        return std::wstring();
    text.resize(read / sizeof(wchar_t));
    return text;
}

// The fields of a whole answer: a count, then that many fields, each ended by a null.
bool ParseAnswer(const std::wstring& text, std::vector<std::wstring>& fields)
{
    std::vector<std::wstring> parts;
    for (std::size_t at = 0; at < text.size();) {
        std::size_t end = text.find(L'\0', at);
        if (end == std::wstring::npos) return false;  // cut inside a field
        parts.push_back(text.substr(at, end - at));
        at = end + 1;
    }
    if (parts.empty() || parts[0].empty() || parts[0].find_first_not_of(L"0123456789") != std::wstring::npos) return false;
    if (std::stoul(parts[0]) != parts.size() - 1) return false;
    fields.assign(parts.begin() + 1, parts.end());
    return true;
}

}  // namespace

std::wstring ProgramFile()
{
    std::wstring path(32768, L'\0');
    DWORD length = GetModuleFileNameW(nullptr, &path[0], static_cast<DWORD>(path.size()));
    path.resize(length < path.size() ? length : 0);
    return path;
}

std::wstring QuoteArgument(const std::wstring& argument)
{
    std::wstring quoted = L"\"";
    std::size_t backslashes = 0;
    for (wchar_t c : argument) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        // Backslashes count as escapes only before a quote: there they are doubled.
        quoted.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
        backslashes = 0;
        quoted += c;
    }
    quoted.append(backslashes * 2, L'\\');  // before the closing quote
    return quoted + L"\"";
}

ApartAnswer RunApart(const std::vector<std::wstring>& arguments, DWORD timeoutMs)
{
    ApartAnswer answer;
    std::wstring program = ProgramFile();
    KernelHandle output = AnswerFile();
    if (program.empty() || !output) return answer;
    std::wstring commandLine = QuoteArgument(program);
    for (const std::wstring& argument : arguments) commandLine += L" " + QuoteArgument(argument);

    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = output.get();
    PROCESS_INFORMATION started = {};
    if (!CreateProcessW(program.c_str(), &commandLine[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &started))
        return answer;
    KernelHandle process(started.hProcess);
    KernelHandle thread(started.hThread);
    if (WaitForSingleObject(process.get(), timeoutMs) != WAIT_OBJECT_0) {
        TerminateProcess(process.get(), ERROR_TIMEOUT);
        WaitForSingleObject(process.get(), INFINITE);
        answer.outcome = ApartAnswer::Outcome::TimedOut;
        return answer;
    }
    GetExitCodeProcess(process.get(), &answer.exitCode);
    answer.outcome = ParseAnswer(ReadAll(output.get()), answer.fields) ? ApartAnswer::Outcome::Answered
                                                                        : ApartAnswer::Outcome::Failed;
    return answer;
}

bool ApartWriter::Send() const
{
    std::wstring text = std::to_wstring(fields_.size());
    text += L'\0';
    for (const std::wstring& field : fields_) {
        text += field;
        text += L'\0';
    }
    HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD written = 0;
    DWORD size = static_cast<DWORD>(text.size() * sizeof(wchar_t));
    return output && output != INVALID_HANDLE_VALUE && WriteFile(output, text.data(), size, &written, nullptr) &&
           written == size;
}
