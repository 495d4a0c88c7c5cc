// Standard output and standard error, as both programs write them.
#pragma once

#include <windows.h>

#include <string>

// Writes UTF-8 text to STD_OUTPUT_HANDLE or STD_ERROR_HANDLE: to a console as wide text, which
// it shows whatever its code page, and to a file or a pipe as the UTF-8 bytes themselves.
void WriteStandard(DWORD stream, const std::string& text);
