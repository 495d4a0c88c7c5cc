// The package file's own structure (package/compound_file.h): sound packages of every shape
// the installer writes pass, and generated damage is never called sound unless the bytes it
// touched held no data. Each case's expectation comes from a map of the sound file made here,
// independently of the check, before the damage is done. The engine's reading of the same
// damaged files is measured alongside, in a child process of this program (it can crash), and
// the checker program is run on a few of them.
#include "testbed.h"

#include "package/compound_file.h"
#include "package/package_file.h"
#include "session/owned.h"

#include <gtest/gtest.h>

#include <objbase.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <random>

using namespace testbed;

namespace {

// ---- A map of a sound compound file: what each byte holds ----

enum class Holds : uint8_t {
    Nothing,    // free space, unused entries and tails, fields no reader uses
    Data,       // stream contents, names, times: a change can pass unseen
    Structure,  // allocation, links, lengths: a change must be seen
};
enum class Expect { Sound, Damaged, Either };

constexpr uint32_t kFree = 0xFFFFFFFF;

uint32_t Word(const std::string& bytes, uint64_t at)
{
    uint32_t value = 0;
    std::memcpy(&value, bytes.data() + at, 4);
    return value;
}
uint16_t Half(const std::string& bytes, uint64_t at)
{
    uint16_t value = 0;
    std::memcpy(&value, bytes.data() + at, 2);
    return value;
}

// A table's stream name as the installer packs it (table names use only the packed alphabet).
std::wstring TableStream(const std::string& table)
{
    static const std::string alphabet = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz._";
    std::wstring name(1, wchar_t(0x4840));
    for (std::size_t at = 0; at < table.size(); ++at) {
        std::size_t first = alphabet.find(table[at]);
        std::size_t second = at + 1 < table.size() ? alphabet.find(table[at + 1]) : std::string::npos;
        if (second != std::string::npos) {
            name += wchar_t(0x3800 + (second << 6) + first);
            ++at;
        } else {
            name += wchar_t(0x4800 + first);
        }
    }
    return name;
}

// The installer's stream names unpacked; the table mark (U+4840) shows as '!'.
std::string UnpackedName(const std::wstring& name)
{
    static const std::string alphabet = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz._";
    std::string text;
    for (wchar_t c : name) {
        if (c >= 0x3800 && c < 0x4800) text += std::string(1, alphabet[(c - 0x3800) & 63]) + alphabet[((c - 0x3800) >> 6) & 63];
        else if (c >= 0x4800 && c < 0x4840) text += alphabet[c - 0x4800];
        else if (c == 0x4840) text += '!';
        else text += c < 0x80 ? char(c) : '?';
    }
    return text;
}

bool IsDatabaseStream(const std::wstring& name)
{
    for (const char* own : {"_StringPool", "_StringData", "_Tables", "_Columns"})
        if (name == TableStream(own)) return true;
    return false;
}

// A changed name is seen where something else names the stream: the table list, or a row's
// key (only the Binary table holds streams in these packages). Other names (the summary's, a
// storage's) may change unseen.
Holds NameHolds(const std::wstring& name)
{
    if (!name.empty() && name[0] == 0x4840) return Holds::Structure;
    return UnpackedName(name).rfind("Binary.", 0) == 0 ? Holds::Structure : Holds::Data;
}

struct FileMap {
    std::string bytes;
    uint32_t version = 3;
    uint32_t sectorSize = 512;
    std::vector<Holds> holds;
    // Bytes whose change depends on the bit: a size that still fits its chain, or not.
    std::map<uint64_t, std::function<Expect(int bit)>> byBit;
    // FAT, DIFAT, mini FAT and directory sectors: the header or a chain names them, so losing
    // one whole is damage whatever it held.
    std::vector<uint32_t> tableSectors;
    // Where damage is aimed (file offsets of entries or bytes).
    std::vector<uint64_t> fatUsed, fatFree, miniFatUsed, miniFatFree, stringChains, difatUsed, difatFree;
    std::vector<uint64_t> entriesUsed, entriesUnused, poolBytes;

    uint64_t Offset(uint32_t sector) const { return (uint64_t(sector) + 1) * sectorSize; }
    void Mark(uint64_t at, uint64_t length, Holds what)
    {
        for (uint64_t i = at; i < at + length && i < holds.size(); ++i) holds[i] = what;
    }
    Expect ExpectFlip(uint64_t at, int bit) const
    {
        auto found = byBit.find(at);
        if (found != byBit.end()) return found->second(bit);
        return holds[at] == Holds::Structure ? Expect::Damaged : holds[at] == Holds::Data ? Expect::Either : Expect::Sound;
    }
    Expect ExpectCut(uint64_t length) const
    {
        for (uint32_t sector : tableSectors)
            if (Offset(sector) >= length) return Expect::Damaged;
        for (uint64_t i = length; i < holds.size(); ++i)
            if (holds[i] != Holds::Nothing) return Expect::Damaged;
        return Expect::Sound;
    }
};

std::vector<uint32_t> Chain(uint32_t start, const std::vector<uint32_t>& table)
{
    std::vector<uint32_t> chain;
    for (uint32_t at = start; at < table.size() && chain.size() <= table.size(); at = table[at]) chain.push_back(at);
    return chain;
}

FileMap MapFile(const std::string& bytes)
{
    FileMap map;
    map.bytes = bytes;
    map.holds.assign(bytes.size(), Holds::Nothing);
    map.version = Half(bytes, 0x1A);
    map.sectorSize = 1u << Half(bytes, 0x1E);
    const uint32_t sectorSize = map.sectorSize, perSector = sectorSize / 4;
    const uint64_t sectors = (bytes.size() - sectorSize + sectorSize - 1) / sectorSize;
    const uint32_t fatCount = Word(bytes, 0x2C), miniFatCount = Word(bytes, 0x40), difatCount = Word(bytes, 0x48);
    const Holds S = Holds::Structure, D = Holds::Data;

    // The header's fields that reading depends on.
    map.Mark(0x00, 8, S);     // signature
    map.Mark(0x1A, 8, S);     // major version, byte order, sector shifts
    if (map.version == 4) map.Mark(0x28, 4, S);  // directory sector count
    map.Mark(0x2C, 8, S);     // FAT sector count, first directory sector
    map.Mark(0x38, 4, S);     // mini stream cutoff
    if (miniFatCount) map.Mark(0x3C, 4, S);
    map.Mark(0x40, 4, S);
    if (difatCount) map.Mark(0x44, 4, S);
    map.Mark(0x48, 4, S);

    std::vector<uint32_t> fatSectors;
    for (uint32_t i = 0; i < std::min<uint32_t>(fatCount, 109); ++i) {
        fatSectors.push_back(Word(bytes, 0x4C + 4 * i));
        map.Mark(0x4C + 4 * i, 4, S);
    }
    uint32_t difat = Word(bytes, 0x44);
    for (uint32_t k = 0; k < difatCount; ++k) {
        map.tableSectors.push_back(difat);
        uint64_t base = map.Offset(difat);
        for (uint32_t i = 0; i + 1 < perSector; ++i) {
            bool used = fatSectors.size() < fatCount;
            (used ? map.difatUsed : map.difatFree).push_back(base + 4 * i);
            if (used) {
                fatSectors.push_back(Word(bytes, base + 4 * i));
                map.Mark(base + 4 * i, 4, S);
            }
        }
        if (k + 1 < difatCount) map.Mark(base + sectorSize - 4, 4, S);
        difat = Word(bytes, base + sectorSize - 4);
    }

    std::vector<uint32_t> fat;
    for (uint32_t sector : fatSectors) {
        map.tableSectors.push_back(sector);
        for (uint32_t i = 0; i < perSector; ++i) fat.push_back(Word(bytes, map.Offset(sector) + 4 * i));
    }
    for (uint64_t index = 0; index < fat.size(); ++index) {
        uint64_t at = map.Offset(fatSectors[index / perSector]) + 4 * (index % perSector);
        bool used = index < sectors && fat[index] != kFree;
        map.Mark(at, 4, used ? S : Holds::Nothing);
        (used ? map.fatUsed : map.fatFree).push_back(at);
    }

    std::vector<uint32_t> directorySectors = Chain(Word(bytes, 0x30), fat);
    std::vector<uint32_t> miniFatSectors = Chain(Word(bytes, 0x3C), fat);
    map.tableSectors.insert(map.tableSectors.end(), directorySectors.begin(), directorySectors.end());
    map.tableSectors.insert(map.tableSectors.end(), miniFatSectors.begin(), miniFatSectors.end());
    const uint32_t perDirectorySector = sectorSize / 128;
    auto entryAt = [&](uint32_t index) { return map.Offset(directorySectors[index / perDirectorySector]) + 128 * (index % perDirectorySector); };
    auto sizeAt = [&](uint64_t entry) { return map.version == 3 ? uint64_t(Word(bytes, entry + 0x78)) : Word(bytes, entry + 0x78) | uint64_t(Word(bytes, entry + 0x7C)) << 32; };

    const uint64_t rootSize = sizeAt(entryAt(0));
    const std::vector<uint32_t> rootChain = rootSize ? Chain(Word(bytes, entryAt(0) + 0x74), fat) : std::vector<uint32_t>();
    std::vector<uint32_t> miniFat;
    for (uint32_t sector : miniFatSectors)
        for (uint32_t i = 0; i < perSector; ++i) miniFat.push_back(Word(bytes, map.Offset(sector) + 4 * i));
    const uint64_t miniSectors = (rootSize + 63) / 64;
    for (uint64_t index = 0; index < miniFat.size(); ++index) {
        uint64_t at = map.Offset(miniFatSectors[index / perSector]) + 4 * (index % perSector);
        bool used = index < miniSectors && miniFat[index] != kFree;
        map.Mark(at, 4, used ? S : Holds::Nothing);
        (used ? map.miniFatUsed : map.miniFatFree).push_back(at);
    }
    // A stream's byte, in the file.
    auto streamByte = [&](bool mini, const std::vector<uint32_t>& chain, uint64_t k) {
        if (!mini) return map.Offset(chain[k / sectorSize]) + k % sectorSize;
        uint64_t inMini = uint64_t(chain[k / 64]) * 64 + k % 64;
        return map.Offset(rootChain[inMini / sectorSize]) + inMini % sectorSize;
    };
    auto allocationEntry = [&](bool mini, uint32_t unit) {
        return mini ? map.Offset(miniFatSectors[unit / perSector]) + 4 * (unit % perSector)
                    : map.Offset(fatSectors[unit / perSector]) + 4 * (unit % perSector);
    };

    struct Stream {
        uint64_t entry;
        uint64_t size;
        bool mini;
        std::vector<uint32_t> chain;
        std::wstring name;
    };
    std::vector<Stream> streams;
    uint64_t miniEnd = 0;  // where the last byte of data in the mini stream ends
    const uint32_t entries = uint32_t(directorySectors.size()) * perDirectorySector;
    for (uint32_t index = 0; index < entries; ++index) {
        uint64_t at = entryAt(index);
        uint8_t type = uint8_t(bytes[at + 0x42]);
        if (type == 0) {
            map.entriesUnused.push_back(at);
            continue;
        }
        map.entriesUsed.push_back(at);
        uint16_t nameLength = Half(bytes, at + 0x40);
        std::wstring name;
        for (uint16_t i = 0; i + 1 < nameLength / 2; ++i) name += wchar_t(Half(bytes, at + 2 * i));
        if (type != 5) {  // the root's name is read by no one
            map.Mark(at, nameLength - 2, NameHolds(name));
            // A table's stream whose mark changes becomes an ordinary stream, and the table
            // merely looks empty.
            if (!name.empty() && name[0] == 0x4840 && !IsDatabaseStream(name)) map.Mark(at, 2, D);
            map.Mark(at + nameLength - 2, 2, S);  // the terminator
            map.Mark(at + 0x40, 2, S);            // the name's length
            map.Mark(at + 0x44, 8, S);            // siblings
        }
        map.Mark(at + 0x42, 1, S);                 // type
        if (type != 2) map.Mark(at + 0x4C, 4, S);  // child
        if (type != 2) map.Mark(at + 0x50, 0x24, D);  // class, state bits, times: a stream's are unused
        if (type == 5) map.Mark(at + 0x50, 16, S);    // the root's class: an installer database's
        uint64_t size = sizeAt(at);
        if ((type == 2 || type == 5) && size) map.Mark(at + 0x74, 4, S);
        if (type == 2) {
            Stream stream{at, size, size < 4096, {}, name};
            if (size) stream.chain = Chain(Word(bytes, at + 0x74), stream.mini ? miniFat : fat);
            if (stream.mini && size) miniEnd = std::max(miniEnd, uint64_t(stream.chain[(size - 1) / 64]) * 64 + (size - 1) % 64 + 1);
            streams.push_back(stream);
        }
    }

    // A changed size is damage when the chain cannot hold it; otherwise it may pass.
    auto sizeFields = [&](uint64_t entry, std::function<Expect(uint64_t)> judge) {
        for (uint32_t k = 0; k < (map.version == 3 ? 4u : 8u); ++k) {
            uint64_t size = sizeAt(entry);
            map.byBit[entry + 0x78 + k] = [=](int bit) { return judge(size ^ (uint64_t(1) << (8 * k + bit))); };
        }
    };
    const uint64_t rootSectors = rootChain.size();
    sizeFields(entryAt(0), [=](uint64_t size) {
        return (size + sectorSize - 1) / sectorSize > rootSectors || size < miniEnd ? Expect::Damaged : Expect::Either;
    });
    // The mini stream's whole extent is named by the root's size, used or not.
    for (uint64_t k = 0; k < rootSize; ++k) map.Mark(map.Offset(rootChain[k / sectorSize]) + k % sectorSize, 1, D);
    for (const Stream& stream : streams) {
        const uint64_t unit = stream.mini ? 64 : sectorSize, units = stream.chain.size();
        const bool mini = stream.mini;
        sizeFields(stream.entry, [=](uint64_t size) {
            if (units == 0) return size ? Expect::Damaged : Expect::Sound;  // an empty stream has no chain
            if (size == 0 || (size < 4096) != mini) return Expect::Either;
            return (size + unit - 1) / unit > units ? Expect::Damaged : Expect::Either;
        });
        for (uint64_t k = 0; k < stream.size; ++k) map.Mark(streamByte(stream.mini, stream.chain, k), 1, D);
        bool strings = stream.name == TableStream("_StringPool") || stream.name == TableStream("_StringData");
        if (strings)
            for (uint32_t held : stream.chain) map.stringChains.push_back(allocationEntry(stream.mini, held));
        if (stream.name != TableStream("_StringPool")) continue;
        // Its entries: the lengths must add up; a reference count may change unseen unless it
        // drops to zero (every string in a sound pool is in use), or an empty slot's turns it
        // into the start of a long string's two entries.
        auto poolAt = [&](uint64_t k) { return streamByte(stream.mini, stream.chain, k); };
        auto halfAt = [&](uint64_t k) { return uint16_t(uint8_t(bytes[poolAt(k)]) | uint8_t(bytes[poolAt(k + 1)]) << 8); };
        for (uint64_t k = 0; k < stream.size; ++k) map.poolBytes.push_back(poolAt(k));
        // The code page: one Windows does not know is damage; the top bit (3-byte references)
        // changes every row's width, which may pass.
        const uint32_t codePage = halfAt(0) | uint32_t(halfAt(2)) << 16;
        for (uint64_t k = 0; k < 4; ++k) {
            map.byBit[poolAt(k)] = [codePage, k](int bit) {
                uint32_t changed = codePage ^ (1u << (8 * k + bit));
                if ((changed ^ codePage) & 0x80000000u) return Expect::Either;
                changed &= 0x7FFFFFFF;
                return changed == 0 || IsValidCodePage(changed) ? Expect::Either : Expect::Damaged;
            };
        }
        const uint64_t count = stream.size / 4;
        for (uint64_t i = 1; i < count;) {
            uint16_t length = halfAt(4 * i), references = halfAt(4 * i + 2);
            map.Mark(poolAt(4 * i), 1, S);
            map.Mark(poolAt(4 * i + 1), 1, S);
            if (length == 0 && references == 0) {
                bool seen = i + 1 >= count || (halfAt(4 * (i + 1)) != 0 && halfAt(4 * (i + 1) + 2) != 0);
                for (uint64_t b = 2; b < 4; ++b)
                    map.byBit[poolAt(4 * i + b)] = [seen](int) { return seen ? Expect::Damaged : Expect::Either; };
                i += 1;
                continue;
            }
            for (uint64_t b = 2; b < 4; ++b)
                map.byBit[poolAt(4 * i + b)] = [references, b](int bit) {
                    return (references ^ (1u << (8 * (b - 2) + bit))) == 0 ? Expect::Damaged : Expect::Either;
                };
            if (length == 0) {
                for (uint64_t b = 4; b < 8; ++b) map.Mark(poolAt(4 * i + b), 1, S);
                i += 2;
            } else {
                i += 1;
            }
        }
    }
    return map;
}

// ---- Damage ----

struct DamageCase {
    std::string kind;
    bool cut = false;
    uint64_t offset = 0;  // the byte flipped, or the length the file is cut to
    int bit = 0;
    uint32_t seed = 0;
    std::string Describe() const
    {
        char text[160];
        if (cut)
            std::snprintf(text, sizeof text, "%s: cut to %llu bytes (seed %u)", kind.c_str(), static_cast<unsigned long long>(offset), seed);
        else
            std::snprintf(text, sizeof text, "%s: bit %d of byte 0x%llX (seed %u)", kind.c_str(), bit, static_cast<unsigned long long>(offset), seed);
        return text;
    }
};

using Target = std::optional<std::pair<uint64_t, int>>;  // (offset, bit), or (length, -1) for a cut

uint64_t Below(std::mt19937& random, uint64_t bound) { return std::uniform_int_distribution<uint64_t>(0, bound - 1)(random); }

// A bit in one of `targets`, each `width` bytes long.
Target FlipIn(const std::vector<uint64_t>& targets, uint64_t width, std::mt19937& random)
{
    if (targets.empty()) return std::nullopt;
    uint64_t at = targets[Below(random, targets.size())] + Below(random, width);
    return std::make_pair(at, int(Below(random, 8)));
}

Target CutTo(uint64_t length) { return std::make_pair(length, -1); }

struct DamageKind {
    const char* name;
    int count;
    Target (*make)(const FileMap&, std::mt19937&);
};

const DamageKind kDamageKinds[] = {
    {"bit in the header's fields", 14, [](const FileMap&, std::mt19937& r) -> Target { return std::make_pair(Below(r, 0x4C), int(Below(r, 8))); }},
    {"bit in the header's FAT sector list", 6,
     [](const FileMap&, std::mt19937& r) -> Target { return std::make_pair(0x4C + Below(r, 512 - 0x4C), int(Below(r, 8))); }},
    {"bit in a FAT entry in use", 14, [](const FileMap& m, std::mt19937& r) { return FlipIn(m.fatUsed, 4, r); }},
    {"bit in a free FAT entry", 6, [](const FileMap& m, std::mt19937& r) { return FlipIn(m.fatFree, 4, r); }},
    {"bit in a mini FAT entry in use", 12, [](const FileMap& m, std::mt19937& r) { return FlipIn(m.miniFatUsed, 4, r); }},
    {"bit in a free mini FAT entry", 6, [](const FileMap& m, std::mt19937& r) { return FlipIn(m.miniFatFree, 4, r); }},
    {"bit in the strings' allocation chain", 10, [](const FileMap& m, std::mt19937& r) { return FlipIn(m.stringChains, 4, r); }},
    {"bit in a DIFAT sector's FAT sector list", 32, [](const FileMap& m, std::mt19937& r) { return FlipIn(m.difatUsed, 4, r); }},
    {"bit in a DIFAT sector's free entries", 8, [](const FileMap& m, std::mt19937& r) { return FlipIn(m.difatFree, 4, r); }},
    {"bit in a directory entry in use", 18, [](const FileMap& m, std::mt19937& r) { return FlipIn(m.entriesUsed, 128, r); }},
    {"bit in an unused directory entry", 4, [](const FileMap& m, std::mt19937& r) { return FlipIn(m.entriesUnused, 128, r); }},
    {"bit in the string pool", 16, [](const FileMap& m, std::mt19937& r) { return FlipIn(m.poolBytes, 1, r); }},
    {"bit anywhere", 8, [](const FileMap& m, std::mt19937& r) -> Target { return std::make_pair(Below(r, m.bytes.size()), int(Below(r, 8))); }},
    {"cut at a sector boundary", 6,
     [](const FileMap& m, std::mt19937& r) { return CutTo(m.Offset(uint32_t(Below(r, (m.bytes.size() - 1) / m.sectorSize)))); }},
    {"cut inside a sector", 6, [](const FileMap& m, std::mt19937& r) { return CutTo(1 + Below(r, m.bytes.size() - 1)); }},
    {"cut of the last byte", 1, [](const FileMap& m, std::mt19937&) { return CutTo(m.bytes.size() - 1); }},
    {"cut of the file's unused end", 2,
     [](const FileMap& m, std::mt19937& r) -> Target {
         uint64_t keep = m.bytes.size();
         while (keep > 0 && m.holds[keep - 1] == Holds::Nothing) --keep;
         for (uint32_t sector : m.tableSectors) keep = std::max(keep, m.Offset(sector) + 1);
         if (keep >= m.bytes.size()) return std::nullopt;
         return CutTo(keep + Below(r, m.bytes.size() - keep));
     }},
};

uint32_t BaseSeed()
{
    const char* given = std::getenv("HOSTGATE_DAMAGE_SEED");
    return given ? uint32_t(std::strtoul(given, nullptr, 10)) : 20240607u;
}

// Every case for one package, `scale` times the table's counts (at least one of each kind).
std::vector<DamageCase> MakeCases(const FileMap& map, uint32_t packageSeed, double scale)
{
    std::vector<DamageCase> cases;
    uint32_t kindIndex = 0;
    for (const DamageKind& kind : kDamageKinds) {
        int count = std::max(1, int(kind.count * scale + 0.5));
        for (int i = 0; i < count; ++i) {
            DamageCase c;
            c.kind = kind.name;
            c.seed = packageSeed + kindIndex * 1000 + uint32_t(i);
            std::mt19937 random(c.seed);
            Target target = kind.make(map, random);
            if (!target) break;
            c.cut = target->second < 0;
            c.offset = target->first;
            c.bit = std::max(target->second, 0);
            cases.push_back(c);
        }
        ++kindIndex;
    }
    return cases;
}

std::string Damaged(const std::string& bytes, const DamageCase& c)
{
    if (c.cut) return bytes.substr(0, c.offset);
    std::string damaged = bytes;
    damaged[c.offset] = char(uint8_t(damaged[c.offset]) ^ (1u << c.bit));
    return damaged;
}

// ---- The engine's reading, in a child process ----

enum class Reading { Same, Differs, TableMissing, Refused, Crashed, Hung, Count };
const char* const kReadingNames[] = {"read as before", "rows differ", "a table missing", "refused", "crashed", "hung"};
const wchar_t kProbeVariable[] = L"HOSTGATE_ENGINE_PROBE";

// Every row of a table folded into one number (each field's text, or a stream's size); none
// when the engine cannot open or read the table.
std::optional<uint64_t> ReadTable(MSIHANDLE database, const std::string& table)
{
    MsiHandle view;
    if (MsiDatabaseOpenViewW(database, Wide("SELECT * FROM `" + table + "`").c_str(), view.put()) != ERROR_SUCCESS) return std::nullopt;
    if (MsiViewExecute(view.get(), 0) != ERROR_SUCCESS) return std::nullopt;
    uint64_t hash = 1469598103934665603ull;
    auto fold = [&](const std::wstring& text) {
        for (wchar_t c : text) hash = (hash ^ uint64_t(c)) * 1099511628211ull;
        hash = (hash ^ 0x1F) * 1099511628211ull;
    };
    MsiHandle record;
    UINT fetched;
    while ((fetched = MsiViewFetch(view.get(), record.put())) == ERROR_SUCCESS) {
        UINT fields = MsiRecordGetFieldCount(record.get());
        for (UINT field = 1; field <= fields; ++field) {
            wchar_t empty[1] = {0};
            DWORD size = 0;
            UINT read = MsiRecordGetStringW(record.get(), field, empty, &size);
            std::wstring text;
            if (read == ERROR_MORE_DATA || read == ERROR_SUCCESS) {
                text.resize(size + 1);
                ++size;
                MsiRecordGetStringW(record.get(), field, &text[0], &size);
                text.resize(size);
            } else {
                text = L"#" + std::to_wstring(MsiRecordDataSize(record.get(), field));
            }
            fold(text);
        }
        fold(L"\n");
    }
    if (fetched != ERROR_NO_MORE_ITEMS) return std::nullopt;
    return hash;
}

// A crash ends the child at once, without a debugger's backtrace.
LONG WINAPI EndAtOnce(EXCEPTION_POINTERS*)
{
    TerminateProcess(GetCurrentProcess(), 0xDEAD);
    return EXCEPTION_EXECUTE_HANDLER;
}

// The child's side: the list names the sound package, then each damaged file; one line is
// appended to the list's ".out" file as each file is done, so a crash loses only its own case.
int ProbeTheEngine(const std::string& list)
{
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
    SetUnhandledExceptionFilter(EndAtOnce);
    std::vector<std::string> lines = SplitText(ReadFile(list).value_or(""), '\n');
    if (lines.empty()) return 3;
    MsiHandle sound;
    if (MsiOpenDatabaseW(Wide(lines[0]).c_str(), reinterpret_cast<LPCWSTR>(MSIDBOPEN_READONLY), sound.put()) != ERROR_SUCCESS) return 4;
    std::vector<std::pair<std::string, std::optional<uint64_t>>> tables;
    for (const Row& row : QueryRows(sound.get(), "SELECT `Name` FROM `_Tables`")) tables.emplace_back(row[0], ReadTable(sound.get(), row[0]));
    FileHandle out(CreateFileW(Wide(list + ".out").c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!out) return 5;
    for (std::size_t k = 1; k < lines.size(); ++k) {
        Reading reading = Reading::Same;
        MsiHandle database;
        if (MsiOpenDatabaseW(Wide(lines[k]).c_str(), reinterpret_cast<LPCWSTR>(MSIDBOPEN_READONLY), database.put()) != ERROR_SUCCESS) {
            reading = Reading::Refused;
        } else {
            for (const auto& [name, digest] : tables) {
                std::optional<uint64_t> read = ReadTable(database.get(), name);
                if (!read) {
                    reading = Reading::TableMissing;
                    break;
                }
                if (read != digest) reading = Reading::Differs;
            }
        }
        std::string line = std::to_string(k - 1) + " " + std::to_string(int(reading)) + "\n";
        DWORD written = 0;
        ::WriteFile(out.get(), line.data(), DWORD(line.size()), &written, nullptr);
    }
    return 0;
}

// This program started as the engine's child runs the probe instead of the tests.
[[maybe_unused]] const int kEngineProbe = [] {
    wchar_t list[2048];
    DWORD length = GetEnvironmentVariableW(kProbeVariable, list, 2048);
    if (length > 0 && length < 2048) ExitProcess(UINT(ProbeTheEngine(Utf8(list))));
    return 0;
}();

// This test program's path; the build puts the programs beside it.
std::wstring SelfPath()
{
    wchar_t self[MAX_PATH];
    DWORD length = GetModuleFileNameW(nullptr, self, MAX_PATH);
    return std::wstring(self, length < MAX_PATH ? length : 0);
}

// A child process with its output discarded; no process when it cannot be started.
struct Child {
    KernelHandle process, thread;
};
Child StartQuietly(const std::wstring& program, const std::wstring& arguments)
{
    SECURITY_ATTRIBUTES inherited = {sizeof inherited, nullptr, TRUE};
    FileHandle quiet(CreateFileW(L"NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherited, OPEN_EXISTING, 0, nullptr));
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = quiet.get();
    startup.hStdError = quiet.get();
    PROCESS_INFORMATION process = {};
    std::wstring commandLine = L"\"" + program + L"\" " + arguments;
    if (!CreateProcessW(program.c_str(), &commandLine[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process)) return {};
    return {KernelHandle(process.hProcess), KernelHandle(process.hThread)};
}

// The engine's reading of each file, in as many children as crashes need.
std::vector<Reading> ReadWithTheEngine(const std::string& sound, const std::vector<std::string>& files, const TempFolder& folder)
{
    std::vector<Reading> readings(files.size(), Reading::Count);
    const std::wstring self = SelfPath();
    const std::string list = folder / "engine-cases.txt";
    for (std::size_t next = 0; next < files.size();) {
        std::string text = sound + "\n";
        for (std::size_t i = next; i < files.size(); ++i) text += files[i] + "\n";
        WriteFile(list, text);
        DeleteFileW(Wide(list + ".out").c_str());
        SetEnvironmentVariableW(kProbeVariable, Wide(list).c_str());
        Child child = StartQuietly(self, L"");
        SetEnvironmentVariableW(kProbeVariable, nullptr);
        if (!child.process) break;
        // A case that makes no progress for 8 s has hung the engine (a case takes milliseconds).
        bool hung = false;
        uint64_t answered = 0;
        for (int idle = 0; WaitForSingleObject(child.process.get(), 1000) == WAIT_TIMEOUT;) {
            WIN32_FILE_ATTRIBUTE_DATA out = {};
            uint64_t size = GetFileAttributesExW(Wide(list + ".out").c_str(), GetFileExInfoStandard, &out) ? out.nFileSizeLow : 0;
            idle = size == answered ? idle + 1 : 0;
            answered = size;
            if (idle >= 8) {
                hung = true;
                TerminateProcess(child.process.get(), 1);
                WaitForSingleObject(child.process.get(), 10000);
                break;
            }
        }
        for (const std::string& line : SplitText(ReadFile(list + ".out").value_or(""), '\n')) {
            std::size_t space = line.find(' ');
            if (space == std::string::npos) continue;
            std::size_t index = next + std::stoul(line.substr(0, space));
            if (index < files.size()) readings[index] = Reading(std::stoi(line.substr(space + 1)));
        }
        while (next < files.size() && readings[next] != Reading::Count) ++next;
        if (next < files.size()) readings[next++] = hung ? Reading::Hung : Reading::Crashed;
    }
    return readings;
}

// ---- The packages ----

// A package's storage rewritten with 4,096-byte sectors.
bool CopyWithLargeSectors(const std::string& from, const std::string& to)
{
    IStorage* source = nullptr;
    IStorage* target = nullptr;
    STGOPTIONS options = {};
    options.usVersion = 1;
    options.ulSectorSize = 4096;
    bool copied = SUCCEEDED(StgOpenStorage(Wide(from).c_str(), nullptr, STGM_READ | STGM_SHARE_DENY_WRITE, nullptr, 0, &source)) &&
                  SUCCEEDED(StgCreateStorageEx(Wide(to).c_str(), STGM_CREATE | STGM_READWRITE | STGM_SHARE_EXCLUSIVE, STGFMT_DOCFILE, 0,
                                               &options, nullptr, __uuidof(IStorage), reinterpret_cast<void**>(&target)));
    STATSTG stat = {};
    copied = copied && SUCCEEDED(source->CopyTo(0, nullptr, nullptr, target)) && SUCCEEDED(source->Stat(&stat, STATFLAG_NONAME)) &&
             SUCCEEDED(target->SetClass(stat.clsid)) && SUCCEEDED(target->Commit(STGC_DEFAULT));
    if (target) target->Release();
    if (source) source->Release();
    return copied;
}

// A storage inside the package, as an embedded transform or sub-package is kept, with one
// small and one large stream.
bool AddStorage(const std::string& package)
{
    IStorage* root = nullptr;
    IStorage* inner = nullptr;
    bool added = SUCCEEDED(StgOpenStorage(Wide(package).c_str(), nullptr, STGM_READWRITE | STGM_SHARE_EXCLUSIVE, nullptr, 0, &root)) &&
                 SUCCEEDED(root->CreateStorage(L"Embedded", STGM_CREATE | STGM_READWRITE | STGM_SHARE_EXCLUSIVE, 0, 0, &inner));
    for (ULONG size : {300ul, 9000ul}) {
        IStream* stream = nullptr;
        std::string content(size, char('a' + size % 26));
        ULONG written = 0;
        added = added && SUCCEEDED(inner->CreateStream((L"Part" + std::to_wstring(size)).c_str(), STGM_CREATE | STGM_READWRITE | STGM_SHARE_EXCLUSIVE,
                                                       0, 0, &stream)) &&
                SUCCEEDED(stream->Write(content.data(), size, &written));
        if (stream) stream->Release();
    }
    added = added && SUCCEEDED(inner->Commit(STGC_DEFAULT)) && SUCCEEDED(root->Commit(STGC_DEFAULT));
    if (inner) inner->Release();
    if (root) root->Release();
    return added;
}

// A stream at the package's root, as a signature is kept.
bool AddRootStream(const std::string& package, const wchar_t* name)
{
    IStorage* root = nullptr;
    IStream* stream = nullptr;
    ULONG written = 0;
    bool added = SUCCEEDED(StgOpenStorage(Wide(package).c_str(), nullptr, STGM_READWRITE | STGM_SHARE_EXCLUSIVE, nullptr, 0, &root)) &&
                 SUCCEEDED(root->CreateStream(name, STGM_CREATE | STGM_READWRITE | STGM_SHARE_EXCLUSIVE, 0, 0, &stream)) &&
                 SUCCEEDED(stream->Write("signature", 9, &written));
    if (stream) stream->Release();
    added = added && SUCCEEDED(root->Commit(STGC_DEFAULT));
    if (root) root->Release();
    return added;
}

std::string RandomBytes(std::size_t size, uint32_t seed)
{
    std::mt19937 random(seed);
    std::string bytes(size, '\0');
    for (char& b : bytes) b = char(random());
    return bytes;
}

// The Property table as the library's own reader gives it, in QueryRows' form.
std::vector<Row> ReaderRows(const std::string& path)
{
    std::vector<Row> rows;
    for (const PackageRow& row : ReadPackageTable(path, "Property").value_or(std::vector<PackageRow>{{std::string("<unreadable>")}})) {
        rows.emplace_back();
        for (const OwnedString& field : row) rows.back().push_back(field.value_or("<null>"));
    }
    return rows;
}

std::vector<Row> EngineRows(const std::string& path)
{
    MsiHandle database;
    if (MsiOpenDatabaseW(Wide(path).c_str(), reinterpret_cast<LPCWSTR>(MSIDBOPEN_READONLY), database.put()) != 0) return {{"<unopened>"}};
    return QueryRows(database.get(), "SELECT * FROM `Property`");
}

struct SoundPackage {
    const char* name;
    std::string path;
    double scale;  // of the damage table's counts
};

// The sound packages, built once for the whole program.
const std::vector<SoundPackage>& SoundPackages()
{
    static TempFolder folder{"compound"};
    static std::vector<SoundPackage> packages;
    if (!packages.empty()) return packages;
    CoInitialize(nullptr);
    WriteFile(folder / "small.bin", RandomBytes(100, 1));
    WriteFile(folder / "large.bin", RandomBytes(10000, 2));
    WriteFile(folder / "huge.bin", RandomBytes(7500000, 3));
    std::string api = PackageBuilder()
                          .table("AutoCAD", std::string(kAutoCadHeader) + "HOST_R16\t\tR16.0\nHOST_R17\t\tR17.0\n")
                          .table("Binary", "Name\tData\ns72\tv0\nBinary\tName\nsmall\tsmall.bin\nlarge\tlarge.bin\n")
                          .stream("Binary", "small.bin", folder / "small.bin")
                          .stream("Binary", "large.bin", folder / "large.bin")
                          .table("Unfilled", "Key\tCount\ns32\tI2\nUnfilled\tKey\n")
                          .build(folder / "api.msi");
    AddStorage(api);
    std::string large = folder / "large-sectors.msi";
    CopyWithLargeSectors(api, large);
    std::string properties;
    for (int i = 0; i < 66000; ++i) properties += "P" + std::to_string(i) + "\tv" + std::to_string(i % 7) + "\n";
    std::string wide = PackageBuilder().table("Property", std::string(kPropertyHeader) + properties).build(folder / "wide-references.msi");
    std::string longText = PackageBuilder().rows("Property", "Long\t" + std::string(70000, 'x') + "\n").build(folder / "long-string.msi");
    std::string difat = PackageBuilder()
                            .table("Binary", "Name\tData\ns72\tv0\nBinary\tName\nhuge\thuge.bin\n")
                            .stream("Binary", "huge.bin", folder / "huge.bin")
                            .build(folder / "difat.msi");
    packages = {
        {"the sample (msibuild)", SampleSource() + "\\hostgate-sample.msi", 1.0},
        {"database API, 512-byte sectors, a storage inside", api, 1.0},
        {"4,096-byte sectors", large, 1.0},
        {"3-byte string references", wide, 0.6},
        {"a string over 64 KB", longText, 0.6},
        {"DIFAT sectors", difat, 0.25},
    };
    return packages;
}

}  // namespace

// Each shape passes, without a warning: a sound package from the engine or msibuild has no
// loose ends, and the map of each is what the damage below is judged by.
TEST(CompoundFile, SoundPackagesPass)
{
    for (const SoundPackage& package : SoundPackages()) {
        StructureReport report = CheckPackageStructure(package.path);
        EXPECT_FALSE(report.damage) << package.name << ": " << report.damage->what << " (" << report.damage->where << ")";
        for (const std::string& warning : report.warnings) ADD_FAILURE() << package.name << ": warning " << warning;
        EXPECT_FALSE(report.isSigned) << package.name;
        MsiHandle database;
        EXPECT_EQ(MsiOpenDatabaseW(Wide(package.path).c_str(), reinterpret_cast<LPCWSTR>(MSIDBOPEN_READONLY), database.put()), 0u) << package.name;
        // The library's reader sees the rows the engine sees; Wine's engine misreads a string
        // over 64 KB, which the reader gives as written.
        if (std::string(package.name) == "a string over 64 KB")
            EXPECT_EQ(ReadPackageProperty(package.path, "Long"), std::optional<std::string>(std::string(70000, 'x')));
        else
            EXPECT_TRUE(ReaderRows(package.path) == EngineRows(package.path)) << package.name;
    }
    // Names and values in any script, each package in its code page (65001: UTF-8).
    TempFolder scripts{"compound-scripts"};
    const struct {
        int codepage;
        const char* name;
        const char* value;
    } scriptCases[] = {{1251, "Студия", "Студия 2"}, {932, "日本", "名前"}, {65001, "Łódź", "Łódź Студия 日本"}};
    for (const auto& c : scriptCases) {
        const int codepage = c.codepage;
        std::string path = PackageBuilder()
                               .codepage(codepage)
                               .rows("Property", std::string(c.name) + "\t" + c.value + "\n")
                               .build(scripts / ("cp" + std::to_string(codepage) + ".msi"));
        EXPECT_TRUE(ReaderRows(path) == EngineRows(path)) << codepage;
        EXPECT_EQ(ReadPackageProperty(path, c.name), std::optional<std::string>(c.value)) << codepage;
    }
    // Each shape is what it claims to be.
    const auto& packages = SoundPackages();
    FileMap large = MapFile(ReadFile(packages[2].path).value_or(""));
    EXPECT_EQ(large.sectorSize, 4096u);
    FileMap difat = MapFile(ReadFile(packages[5].path).value_or(""));
    EXPECT_FALSE(difat.difatUsed.empty());
    // A signature stream makes a package signed, and nothing else.
    TempFolder folder{"compound-signed"};
    const std::string signedCopy = folder / "signed.msi";
    ASSERT_TRUE(CopyFileW(Wide(packages[1].path).c_str(), Wide(signedCopy).c_str(), FALSE));
    ASSERT_TRUE(AddRootStream(signedCopy, L"\x05" L"DigitalSignature"));
    StructureReport report = CheckPackageStructure(signedCopy);
    EXPECT_TRUE(report.isSigned);
    EXPECT_FALSE(report.damage);
    EXPECT_TRUE(report.warnings.empty());
}

TEST(CompoundFile, OtherFilesAreDamaged)
{
    TempFolder folder{"compound-other"};
    std::string storage = folder / "storage.bin";
    IStorage* created = nullptr;
    CoInitialize(nullptr);
    ASSERT_TRUE(SUCCEEDED(StgCreateDocfile(Wide(storage).c_str(), STGM_CREATE | STGM_READWRITE | STGM_SHARE_EXCLUSIVE, 0, &created)));
    created->Release();
    WriteFile(folder / "empty.msi", "");
    WriteFile(folder / "text.msi", std::string(2048, 'x'));
    const std::string sample = ReadFile(SoundPackages()[0].path).value_or("");
    WriteFile(folder / "header-only.msi", sample.substr(0, 512));
    for (const std::string& path : {folder / "absent.msi", folder / "empty.msi", folder / "text.msi", folder / "header-only.msi", storage}) {
        std::optional<Damage> damage = CheckPackageStructure(path).damage;
        EXPECT_TRUE(damage) << path;
        EXPECT_EQ(ReadPackageTable(path, "Property"), std::nullopt) << path;
        if (damage) {
            EXPECT_FALSE(damage->what.empty() || damage->where.empty()) << path;
        }
    }
}

// Generated damage on every shape; then the engine's reading of the same files, by kind.
TEST(CompoundFile, DamageIsNeverCalledSound)
{
    TempFolder folder{"compound-damage"};
    const uint32_t seed = BaseSeed();
    struct Tally {
        int cases = 0, called = 0;
        int readings[int(Reading::Count)] = {};
    };
    std::map<std::string, Tally> byKind;
    Tally byVerdict[2];  // the check's verdict: sound, damaged
    std::vector<std::string> soundButMisread, passedButMisread;
    const auto& packages = SoundPackages();
    for (std::size_t p = 0; p < packages.size(); ++p) {
        const SoundPackage& package = packages[p];
        const FileMap map = MapFile(ReadFile(package.path).value_or(""));
        ASSERT_FALSE(map.bytes.empty()) << package.name;
        std::vector<DamageCase> generated = MakeCases(map, seed + uint32_t(p) * 100000, package.scale);
        const std::vector<Row> soundRows = ReaderRows(package.path);
        std::vector<std::vector<Row>> readerRows;
        std::vector<std::string> files;
        std::vector<bool> called;
        std::vector<Expect> expected;
        for (std::size_t i = 0; i < generated.size(); ++i) {
            const DamageCase& c = generated[i];
            Expect expect = c.cut ? map.ExpectCut(c.offset) : map.ExpectFlip(c.offset, c.bit);
            std::string path = folder / ("case" + std::to_string(i) + ".msi");
            WriteFile(path, Damaged(map.bytes, c));
            std::optional<Damage> damage = CheckPackageStructure(path).damage;
            if (expect == Expect::Damaged) {
                EXPECT_TRUE(damage) << package.name << ", " << c.Describe() << ": expected damaged, called sound";
            }
            if (expect == Expect::Sound) {
                EXPECT_FALSE(damage) << package.name << ", " << c.Describe() << ": expected sound, called damaged: " << damage->what << " ("
                                     << damage->where << ")";
            }
            readerRows.push_back(ReaderRows(path));  // bounded on any damage: it never crashes
            files.push_back(path);
            called.push_back(damage.has_value());
            expected.push_back(expect);
        }
        std::vector<Reading> read = ReadWithTheEngine(package.path, files, folder);
        for (std::size_t i = 0; i < files.size(); ++i) {
            for (Tally* tally : {&byKind[generated[i].kind], &byVerdict[called[i]]}) {
                ++tally->cases;
                tally->called += called[i];
                ++tally->readings[int(read[i])];
            }
            std::string seen = std::string(package.name) + ", " + generated[i].Describe() + ": " + kReadingNames[int(read[i])];
            // What held no data, the engine reads as before.
            if (expected[i] == Expect::Sound && read[i] != Reading::Same) soundButMisread.push_back(seen);
            if (!called[i] && read[i] == Reading::Same && readerRows[i] != soundRows) soundButMisread.push_back(seen + ", but not by the library's reader");
            else if (!called[i] && read[i] != Reading::Same) passedButMisread.push_back(seen);
            DeleteFileW(Wide(files[i]).c_str());
        }
    }
    std::printf("Generated damage (base seed %u): cases, called damaged by the check, then the engine's reading\n"
                "(opened, every table read):\n%-38s %5s %7s",
                seed, "", "cases", "damaged");
    for (const char* name : kReadingNames) std::printf(" %9.9s", name);
    auto print = [](const std::string& label, const Tally& tally) {
        std::printf("\n%-38s %5d %7d", label.c_str(), tally.cases, tally.called);
        for (int reading : tally.readings) std::printf(" %9d", reading);
    };
    for (const DamageKind& kind : kDamageKinds)
        if (byKind.count(kind.name)) print(kind.name, byKind[kind.name]);
    print("all, called damaged", byVerdict[1]);
    print("all, called sound", byVerdict[0]);
    std::printf("\nChanged data the check cannot see, read otherwise by the engine:\n");
    for (const std::string& line : passedButMisread) std::printf("  %s\n", line.c_str());
    for (const std::string& line : soundButMisread) ADD_FAILURE() << line;
}

namespace {

// hostgate-check.exe's exit code on a package.
DWORD CheckerExitCode(const std::string& package)
{
    std::wstring program = SelfPath();
    program = program.substr(0, program.rfind(L'\\') + 1) + L"hostgate-check.exe";
    Child child = StartQuietly(program, L"\"" + Wide(package).str() + L"\"");
    DWORD code = 9999;
    if (child.process && WaitForSingleObject(child.process.get(), 180000) == WAIT_OBJECT_0) GetExitCodeProcess(child.process.get(), &code);
    return code;
}

}  // namespace

// The checker on the sample damaged by the generator above: damage gives exit code 2, never
// a verdict on the tables the engine misread, and a cut of what holds no data reads as the
// sound sample does.
TEST(CompoundFile, TheCheckerRefusesDamage)
{
    TempFolder folder{"compound-checker"};
    const SoundPackage& sample = SoundPackages()[0];
    const FileMap map = MapFile(ReadFile(sample.path).value_or(""));
    const std::vector<DamageCase> generated = MakeCases(map, BaseSeed(), sample.scale);
    auto inMiniFat = [&](const DamageCase& c) {
        return std::count(map.miniFatUsed.begin(), map.miniFatUsed.end(), c.offset - c.offset % 4) > 0;
    };
    const struct {
        const char* kind;
        Expect expect;
        bool miniFat;  // the flipped bit in the mini FAT
    } cases[] = {
        {"bit in the string pool", Expect::Damaged, false},
        {"bit in the strings' allocation chain", Expect::Damaged, true},
        {"cut inside a sector", Expect::Damaged, false},
        {"cut of the file's unused end", Expect::Sound, false},
    };
    const DWORD soundCode = CheckerExitCode(sample.path);
    for (const auto& c : cases) {
        auto chosen = std::find_if(generated.begin(), generated.end(), [&](const DamageCase& d) {
            Expect expect = d.cut ? map.ExpectCut(d.offset) : map.ExpectFlip(d.offset, d.bit);
            return d.kind == c.kind && expect == c.expect && (!c.miniFat || inMiniFat(d));
        });
        ASSERT_NE(chosen, generated.end()) << c.kind;
        const std::string path = folder / "case.msi";
        WriteFile(path, Damaged(map.bytes, *chosen));
        EXPECT_EQ(CheckerExitCode(path), c.expect == Expect::Damaged ? 2u : soundCode) << chosen->Describe();
    }
}
