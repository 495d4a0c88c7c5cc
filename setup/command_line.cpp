#include "setup/command_line.h"

#include <cwctype>

namespace {

std::wstring Lower(std::wstring text)
{
    for (wchar_t& c : text) c = static_cast<wchar_t>(std::towlower(c));
    return text;
}

struct UiOption {
    const wchar_t* name;
    INSTALLUILEVEL level;
};
constexpr UiOption kUiOptions[] = {
    {L"qn", INSTALLUILEVEL_NONE}, {L"q", INSTALLUILEVEL_NONE}, {L"qb", INSTALLUILEVEL_BASIC},
    {L"qr", INSTALLUILEVEL_REDUCED}, {L"qf", INSTALLUILEVEL_FULL},
};

struct LogLetter {
    wchar_t letter;
    DWORD mode;
};
// msiexec's log letters; "*" stands for all of them but v and x.
constexpr LogLetter kLogLetters[] = {
    {L'i', INSTALLLOGMODE_INFO},          {L'w', INSTALLLOGMODE_WARNING},      {L'e', INSTALLLOGMODE_ERROR},
    {L'a', INSTALLLOGMODE_ACTIONSTART},   {L'r', INSTALLLOGMODE_ACTIONDATA},   {L'u', INSTALLLOGMODE_USER},
    {L'c', INSTALLLOGMODE_COMMONDATA},    {L'm', INSTALLLOGMODE_FATALEXIT},    {L'o', INSTALLLOGMODE_OUTOFDISKSPACE},
    {L'p', INSTALLLOGMODE_PROPERTYDUMP},  {L'v', INSTALLLOGMODE_VERBOSE},      {L'x', INSTALLLOGMODE_EXTRADEBUG},
};

// Every letter that "*" stands for: all but v and x.
DWORD AllButVerbose()
{
    DWORD mode = 0;
    for (const LogLetter& entry : kLogLetters)
        if (entry.letter != L'v' && entry.letter != L'x') mode |= entry.mode;
    return mode;
}

// The letters after "/l"; false for one it does not know. "/l LOG" alone logs what "/l*" logs.
bool ParseLogLetters(const std::wstring& letters, Options& options)
{
    DWORD mode = 0;
    for (wchar_t letter : letters) {
        if (letter == L'+') options.logAppend = true;
        else if (letter == L'*') mode |= AllButVerbose();
        else if (letter != L'!') {  // "!", flushing each line, is how the installer writes here anyway
            const LogLetter* found = nullptr;
            for (const LogLetter& entry : kLogLetters)
                if (entry.letter == letter) found = &entry;
            if (!found) return false;
            mode |= found->mode;
        }
    }
    options.logMode = mode ? mode : AllButVerbose();
    return true;
}

}  // namespace

ParsedCommandLine ParseCommandLine(const std::vector<std::wstring>& arguments)
{
    ParsedCommandLine parsed;
    Options& options = parsed.options;
    auto fail = [&parsed](const std::wstring& error) {
        if (parsed.error.empty()) parsed.error = error;
    };
    for (std::size_t at = 0; at < arguments.size(); ++at) {
        const std::wstring& argument = arguments[at];
        if (argument == L"--plan") {
            options.planOnly = true;
            continue;
        }
        if (!argument.empty() && (argument[0] == L'/' || argument[0] == L'-')) {
            std::wstring option = Lower(argument.substr(1));
            bool known = false;
            for (const UiOption& ui : kUiOptions)
                if (option == ui.name) {
                    options.ui = ui.level;
                    known = true;
                }
            if (!known && option[0] == L'l' && ParseLogLetters(option.substr(1), options)) {
                known = true;
                if (at + 1 >= arguments.size()) fail(L"the option " + argument + L" needs the log file's name after it");
                else options.log = arguments[++at];
            }
            if (!known) fail(L"unknown option " + argument);
            continue;
        }
        std::size_t equals = argument.find(L'=');
        if (equals != std::wstring::npos && equals > 0) {
            options.properties.push_back(argument);
            continue;
        }
        if (options.package) {
            fail(L"only one package can be named: " + *options.package + L" and " + argument);
            continue;
        }
        options.package = argument;
    }
    return parsed;
}

std::wstring PropertyCommandLine(const std::vector<std::wstring>& properties)
{
    std::wstring line;
    for (const std::wstring& property : properties) {
        std::size_t equals = property.find(L'=');
        std::wstring value = property.substr(equals + 1);
        if (!line.empty()) line += L' ';
        line += property.substr(0, equals + 1);
        if (!value.empty() && value.find_first_of(L" \t\"") == std::wstring::npos) {
            line += value;
            continue;
        }
        // The installer's own quoting: the value in quotes, a quote inside it doubled.
        line += L'"';
        for (wchar_t c : value) line += c == L'"' ? std::wstring(L"\"\"") : std::wstring(1, c);
        line += L'"';
    }
    return line;
}
