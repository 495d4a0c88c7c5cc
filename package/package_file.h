// The package file's format, read from its bytes without the installer's engine: the file at
// any offset, the stream names, the string pool and the column catalogue, shared by the
// structure check (package/compound_file.cpp, which checks every part of it) and by
// ReadPackageTable below, which the library uses where Windows forbids a custom action to open
// another package through the engine. Every read is bounded by the file's size, never by a
// count the file gives.
#pragma once

#include "session/owned.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace packagefile {

using Bytes = std::vector<uint8_t>;
// Names are kept as UTF-16 units in a vector: std::wstring would bring its whole runtime into
// the library.
using Name = std::vector<wchar_t>;

inline uint16_t U16(const Bytes& bytes, std::size_t at) { return static_cast<uint16_t>(bytes[at] | bytes[at + 1] << 8); }
inline uint32_t U32(const Bytes& bytes, std::size_t at) { return U16(bytes, at) | static_cast<uint32_t>(U16(bytes, at + 2)) << 16; }
// A little-endian value of 2 or 3 bytes (a string reference).
inline uint32_t Uint(const Bytes& bytes, std::size_t at, unsigned width)
{
    uint32_t value = 0;
    for (unsigned i = 0; i < width; ++i) value |= static_cast<uint32_t>(bytes[at + i]) << (8 * i);
    return value;
}

// The file, read at any offset; bytes past its end read as `fill`, so that a structure cut
// short shows as free entries (0xFF) or unused directory entries (0x00).
class File {
public:
    explicit File(const std::string& path);
    bool opened() const { return bool(handle_); }
    uint64_t size() const { return size_; }
    bool Read(uint64_t offset, std::size_t length, uint8_t fill, Bytes& out) const;

private:
    FileHandle handle_;
    uint64_t size_ = 0;
};

Name NameOf(const wchar_t* text);
// The name of a table's stream (`table`) or of another stream in the root storage, as the
// installer stores it.
Name EncodeStreamName(const Name& name, bool table);
constexpr std::size_t kMaxStreamName = 31;
inline constexpr char kNameAlphabet[] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz._";
constexpr wchar_t kTableMark = 0x4840;

// _StringPool and _StringData: the code page, the width of a reference, and each string.
class StringPool {
public:
    struct Slot {
        uint64_t offset = 0;
        uint32_t length = 0;
        uint32_t references = 0;
        bool held = false;  // false for an empty slot
    };
    // What is wrong with the two streams (the structure check says it in words, the library
    // only needs to know).
    enum class Fault { None, NotWholeEntries, UnknownCodePage, LongEntryCut, LengthsDiffer };
    Fault Parse(const Bytes& pool, Bytes data);
    uint64_t lengthsTotal() const { return total_; }
    std::size_t dataSize() const { return data_.size(); }
    bool Holds(uint32_t id) const { return id < slots_.size() && slots_[id].held; }
    // The string's text, decoded in the pool's code page (held strings only).
    Name Text(uint32_t id) const;
    unsigned codePage() const { return codePage_; }
    unsigned referenceWidth() const { return referenceWidth_; }
    const std::vector<Slot>& slots() const { return slots_; }

private:
    unsigned codePage_ = 0;
    unsigned referenceWidth_ = 2;
    uint64_t total_ = 0;
    Bytes data_;
    std::vector<Slot> slots_;
};

// One row of _Columns.
struct CatalogueColumn {
    uint32_t table = 0;  // string ids
    unsigned number = 0;
    uint32_t name = 0;
    unsigned type = 0;
};
// The rows of _Columns (stored a column at a time, like every table); none when they are not
// whole rows (`badRow` 0) or row `badRow` names a string the pool does not hold.
std::optional<std::vector<CatalogueColumn>> ReadCatalogue(const Bytes& columns, const StringPool& pool, std::size_t& badRow);

// Column types of the catalogue.
constexpr unsigned kTypeWidth = 0x00FF;
constexpr unsigned kTypeValid = 0x0100;
constexpr unsigned kTypeString = 0x0800;
constexpr unsigned kTypeNullable = 0x1000;
constexpr unsigned kTypeKey = 0x2000;
constexpr unsigned kTypeTemporary = 0x4000;
inline bool IsStreamColumn(unsigned type) { return (type & ~kTypeNullable) == (kTypeString | kTypeValid); }
inline bool IsStringColumn(unsigned type) { return (type & kTypeString) && !(type & kTypeTemporary) && !IsStreamColumn(type); }
// The bytes a column takes in a row; 0 for a type the installer does not store.
unsigned ColumnWidth(unsigned type, unsigned referenceWidth);

}  // namespace packagefile

// The rows of one table of the package at `path` (UTF-8), each field as text (a number in
// decimal, a stream column empty), none for null. None when the file cannot be read as a
// package (damaged, or not one at all); an empty list when it has no such table.
using PackageRow = std::vector<OwnedString>;
std::optional<std::vector<PackageRow>> ReadPackageTable(const std::string& path, const char* table);

// A property of the package at `path` from its Property table; none when it cannot be read or
// has no such property.
OwnedString ReadPackageProperty(const std::string& path, const char* name);
