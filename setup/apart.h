// Work done apart: this program runs itself again, in a child process, for a job whose
// fault must not end it (the installer's engine reading a hostile or damaged package can
// crash). The child answers with text fields on its standard output, which is a temporary
// file that disappears when the last handle to it closes.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

struct ApartAnswer {
    enum class Outcome {
        Answered,    // the child wrote its whole answer
        Failed,      // it ended without one: a crash, or an early exit
        TimedOut,    // it was ended after the time allowed
        NotStarted,  // no child could be started
    };
    Outcome outcome = Outcome::NotStarted;
    DWORD exitCode = 0;
    std::vector<std::wstring> fields;
};

// Runs this program with `arguments` and waits at most `timeoutMs` for its answer.
ApartAnswer RunApart(const std::vector<std::wstring>& arguments, DWORD timeoutMs);

// The child's side: collects the fields and writes them to standard output in one piece,
// led by their count, so that an answer cut short by a crash is never taken as whole.
class ApartWriter {
public:
    void Add(const std::wstring& field) { fields_.push_back(field); }
    bool Send() const;

private:
    std::vector<std::wstring> fields_;
};

// One argument quoted so that the child's command-line parsing gives it back unchanged.
std::wstring QuoteArgument(const std::wstring& argument);

// This program's own path.
std::wstring ProgramFile();
