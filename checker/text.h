// Text at the checker's edges: the command line and the package path arrive as wide text,
// the rest of the code holds UTF-8, and the output goes out as UTF-8 (or wide to a console).
#pragma once

#include <string>

std::wstring WideFromUtf8(const std::string& text);
std::string Utf8FromWide(const std::wstring& text);
// A name shown in a message: whole when short, else its start and its length, so that a
// 10,000-character name does not bury the line.
std::string Shown(const std::string& name);
