#include "package/names.h"

bool NameSet::count(const std::string& name) const
{
    return std::binary_search(names_.begin(), names_.end(), name);
}

bool NameSet::insert(const std::string& name)
{
    auto at = std::lower_bound(names_.begin(), names_.end(), name);
    if (at != names_.end() && *at == name) return false;
    names_.insert(at, name);
    return true;
}

bool NameSet::erase(const std::string& name)
{
    auto at = std::lower_bound(names_.begin(), names_.end(), name);
    if (at == names_.end() || *at != name) return false;
    names_.erase(at);
    return true;
}
