// Name sets and maps: sorted vectors, which the library prefers to the standard trees for
// the small code they make (the DLL is loaded into the installer's process for every call).
#pragma once

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

// A set of names.
class NameSet {
public:
    NameSet() = default;
    template <typename It>
    NameSet(It first, It last)
    {
        for (; first != last; ++first) insert(*first);
    }
    bool count(const std::string& name) const;
    bool insert(const std::string& name);  // false when it was there
    bool erase(const std::string& name);   // false when it was not there
    std::vector<std::string>::const_iterator begin() const { return names_.begin(); }
    std::vector<std::string>::const_iterator end() const { return names_.end(); }
    bool empty() const { return names_.empty(); }
    std::size_t size() const { return names_.size(); }

private:
    std::vector<std::string> names_;
};

// A map from names to values.
template <typename T>
class NameMap {
public:
    using Entry = std::pair<std::string, T>;
    const T* find(const std::string& name) const
    {
        auto at = Lower(name);
        return at != entries_.end() && at->first == name ? &at->second : nullptr;
    }
    bool count(const std::string& name) const { return find(name) != nullptr; }
    bool empty() const { return entries_.empty(); }
    T& operator[](const std::string& name)
    {
        auto at = std::lower_bound(entries_.begin(), entries_.end(), name,
                                   [](const Entry& entry, const std::string& key) { return entry.first < key; });
        if (at == entries_.end() || at->first != name) at = entries_.insert(at, Entry(name, T()));
        return at->second;
    }
    void erase(const std::string& name)
    {
        auto at = Lower(name);
        if (at != entries_.end() && at->first == name) entries_.erase(at);
    }
    typename std::vector<Entry>::iterator begin() { return entries_.begin(); }
    typename std::vector<Entry>::iterator end() { return entries_.end(); }
    typename std::vector<Entry>::const_iterator begin() const { return entries_.begin(); }
    typename std::vector<Entry>::const_iterator end() const { return entries_.end(); }

private:
    typename std::vector<Entry>::const_iterator Lower(const std::string& name) const
    {
        return std::lower_bound(entries_.begin(), entries_.end(), name,
                                [](const Entry& entry, const std::string& key) { return entry.first < key; });
    }
    std::vector<Entry> entries_;
};

