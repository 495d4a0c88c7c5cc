// Work done apart: a program runs itself again, in a child process, for a job whose fault
// must not end it (the installer's engine reading a hostile or damaged package can crash).
// The child answers with text fields on its standard output, which is a temporary file that
// disappears when the last handle to it closes. Arguments and fields are UTF-8.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

struct ApartAnswer {
    bool answered = false;  // the child wrote its whole answer
    DWORD exitCode = 0;
    std::vector<std::string> fields;
    std::string failure;    // else why not, for a message: not started, timed out, a crash
};

// Runs this program with `arguments` and waits at most `timeoutMs` for its answer.
ApartAnswer RunApart(const std::vector<std::string>& arguments, DWORD timeoutMs);

// The child's side: collects the fields and writes them to standard output in one piece,
// led by their count, so that an answer cut short by a crash is never taken as whole.
class ApartWriter {
public:
    void Add(const std::string& field) { fields_.push_back(field); }
    bool Send() const;

private:
    std::vector<std::string> fields_;
};

// This program's own path.
std::string ProgramFile();
