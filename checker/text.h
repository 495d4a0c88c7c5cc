// Text at the checker's edges: the code holds UTF-8 and converts with session/owned.h at each
// Windows call.
#pragma once

#include "session/owned.h"

#include <string>

// A wide copy of UTF-8 text, for the checker's areas that call Windows with one.
inline std::wstring WideFromUtf8(const std::string& text) { return Wide(text).str(); }
// A name shown in a message: whole when short, else its start and its length, so that a
// 10,000-character name does not bury the line.
std::string Shown(const std::string& name);
