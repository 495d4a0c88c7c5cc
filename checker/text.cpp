#include "checker/text.h"

std::string Shown(const std::string& name)
{
    constexpr std::size_t kShown = 48;
    if (name.size() <= kShown) return name;
    std::size_t cut = kShown;
    while (cut > 0 && (static_cast<unsigned char>(name[cut]) & 0xC0) == 0x80) --cut;  // not inside a UTF-8 letter
    return name.substr(0, cut) + "... (" + std::to_string(name.size()) + " characters)";
}
