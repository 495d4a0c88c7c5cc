#include "package/compound_file.h"

#include "package/package_file.h"
#include "session/owned.h"

#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <utility>

namespace {

using namespace packagefile;

// Sector numbers with a meaning of their own (every other value names a sector).
constexpr uint32_t kMaxRegularSector = 0xFFFFFFFA;
constexpr uint32_t kDifatSector = 0xFFFFFFFC;
constexpr uint32_t kFatSector = 0xFFFFFFFD;
constexpr uint32_t kEndOfChain = 0xFFFFFFFE;
constexpr uint32_t kFreeSector = 0xFFFFFFFF;
constexpr uint32_t kNoStream = 0xFFFFFFFF;

constexpr uint32_t kHeaderFields = 512;
constexpr uint32_t kHeaderDifatEntries = 109;
constexpr uint32_t kMiniSectorSize = 64;
constexpr uint32_t kMiniStreamCutoff = 4096;
constexpr uint32_t kEntrySize = 128;

enum EntryType : uint8_t { kUnused = 0, kStorage = 1, kStream = 2, kRoot = 5 };

uint64_t U64(const Bytes& bytes, std::size_t at) { return U32(bytes, at) | static_cast<uint64_t>(U32(bytes, at + 4)) << 32; }
uint64_t CeilDiv(uint64_t value, uint64_t unit) { return value / unit + (value % unit != 0); }

std::string Hex(uint64_t value)
{
    const char* digits = "0123456789ABCDEF";
    std::string text;
    do {
        text.insert(text.begin(), digits[value & 0xF]);
        value >>= 4;
    } while (value);
    return "0x" + text;
}

std::string Number(uint64_t value) { return std::to_string(value); }

void AppendText(Name& name, const std::string& ascii) { name.insert(name.end(), ascii.begin(), ascii.end()); }

// A stored name as people read it: unpacked, the table mark left out, control characters escaped.
std::string ShownName(const Name& stored)
{
    Name shown;
    for (wchar_t c : stored) {
        if (c >= 0x3800 && c < 0x4800) {
            shown.push_back(kNameAlphabet[(c - 0x3800) & 0x3F]);
            shown.push_back(kNameAlphabet[((c - 0x3800) >> 6) & 0x3F]);
        } else if (c >= 0x4800 && c < kTableMark) {
            shown.push_back(kNameAlphabet[c - 0x4800]);
        } else if (c < 0x20) {
            AppendText(shown, std::string("\\x") + "0123456789ABCDEF"[c >> 4] + "0123456789ABCDEF"[c & 0xF]);
        } else if (c != kTableMark) {
            shown.push_back(c);
        }
    }
    return Utf8(shown.data(), shown.size());
}

// Sibling names are ordered by length, then character by character in upper case.
wchar_t UpperCase(wchar_t c)
{
    if (c < 0x80) return c >= L'a' && c <= L'z' ? static_cast<wchar_t>(c - L'a' + L'A') : c;
    wchar_t upper = c;
    return LCMapStringW(LOCALE_INVARIANT, LCMAP_UPPERCASE, &c, 1, &upper, 1) == 1 ? upper : c;
}

int CompareNames(const Name& left, const Name& right)
{
    if (left.size() != right.size()) return left.size() < right.size() ? -1 : 1;
    for (std::size_t at = 0; at < left.size(); ++at) {
        wchar_t a = UpperCase(left[at]), b = UpperCase(right[at]);
        if (a != b) return a < b ? -1 : 1;
    }
    return 0;
}

struct Entry {
    Name name;  // without the terminator
    uint16_t nameLength = 0;
    uint8_t type = kUnused;
    uint8_t color = 0;
    uint32_t left = kNoStream, right = kNoStream, child = kNoStream;
    uint32_t start = kEndOfChain;
    uint64_t size = 0;
    bool nameTerminated = false;  // the terminator where the length puts it, none before
};

// The FAT or the mini FAT, and which chain holds each of its sectors.
struct Allocation {
    const char* unit;              // "sector", "mini sector"
    const char* space;             // "the file", "the mini stream"
    std::vector<uint32_t> next;    // one entry for each sector the space holds
    std::vector<uint32_t> holder;  // 0: none; else an index into the holder names, plus one
};

struct Column {
    unsigned number = 0;
    uint32_t name = 0;
    unsigned type = 0;
};

struct DatabaseStream {
    uint32_t entry;
    std::vector<uint32_t> chain;
    bool mini;
};

class StructureCheck {
public:
    StructureCheck(const File& file, std::vector<std::string>* warnings)
        : file_(file), warnings_(warnings)
    {
        fat_.unit = "sector";
        fat_.space = "the file";
        miniFat_.unit = "mini sector";
        miniFat_.space = "the mini stream";
    }

    std::optional<Damage> Run()
    {
        if (auto damage = ReadHeader()) return damage;
        if (auto damage = ReadFat()) return damage;
        if (auto damage = ReadDirectory()) return damage;
        if (auto damage = WalkDirectoryTree()) return damage;
        if (auto damage = ReadMiniFat()) return damage;
        if (auto damage = ClaimStreams()) return damage;
        WarnUnclaimed(fat_);
        WarnUnclaimed(miniFat_);
        return CheckDatabase();
    }

    // A changed byte breaks a signed package's signature, which Windows verifies; an unsigned
    // package has nothing that shows one.
    bool Signed() const
    {
        const Name signature = NameOf(L"\x05" L"DigitalSignature");
        return std::any_of(rootChildren_.begin(), rootChildren_.end(), [&](const auto& child) {
            return child.first == signature && EntryAt(child.second).type == kStream;
        });
    }

private:
    void Warn(const std::string& text)
    {
        if (warnings_) warnings_->push_back(text);
    }

    // ---- Header ----

    std::optional<Damage> ReadHeader()
    {
        if (file_.size() < kHeaderFields) return Damage{"the file is shorter than a compound file's header", "offset 0"};
        if (!file_.Read(0, kHeaderFields, 0, header_)) return Unreadable(0);
        static const uint8_t signature[8] = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};
        if (!std::equal(signature, signature + 8, header_.begin())) return Damage{"the compound file signature is wrong", "offset 0x0"};
        if (std::any_of(header_.begin() + 0x08, header_.begin() + 0x18, [](uint8_t b) { return b != 0; }))
            Warn("offset 0x8: the header's class identifier is not zero");
        if (U16(header_, 0x18) != 0x3E) Warn("offset 0x18: minor version " + Hex(U16(header_, 0x18)) + " (0x3E expected)");
        version_ = U16(header_, 0x1A);
        if (version_ != 3 && version_ != 4) return Damage{"unknown major version " + Number(version_), "offset 0x1A"};
        if (U16(header_, 0x1C) != 0xFFFE) return Damage{"the byte order mark is not 0xFFFE", "offset 0x1C"};
        unsigned sectorShift = U16(header_, 0x1E);
        if (sectorShift != (version_ == 3 ? 9u : 12u))
            return Damage{"sector shift " + Number(sectorShift) + " does not fit version " + Number(version_), "offset 0x1E"};
        sectorSize_ = 1u << sectorShift;
        entriesPerSector_ = sectorSize_ / 4;
        if (U16(header_, 0x20) != 6) return Damage{"the mini sector shift is not 6", "offset 0x20"};
        if (std::any_of(header_.begin() + 0x22, header_.begin() + 0x28, [](uint8_t b) { return b != 0; }))
            Warn("offset 0x22: reserved header bytes are not zero");
        directorySectorCount_ = U32(header_, 0x28);
        if (version_ == 3 && directorySectorCount_ != 0) Warn("offset 0x28: a directory sector count in a version 3 file");
        fatSectorCount_ = U32(header_, 0x2C);
        directoryStart_ = U32(header_, 0x30);
        if (U32(header_, 0x38) != kMiniStreamCutoff) return Damage{"the mini stream cutoff is not 4096", "offset 0x38"};
        miniFatStart_ = U32(header_, 0x3C);
        miniFatSectorCount_ = U32(header_, 0x40);
        difatStart_ = U32(header_, 0x44);
        difatSectorCount_ = U32(header_, 0x48);
        if (version_ == 4) {
            Bytes rest;
            if (!file_.Read(kHeaderFields, sectorSize_ - kHeaderFields, 0, rest)) return Unreadable(kHeaderFields);
            if (std::any_of(rest.begin(), rest.end(), [](uint8_t b) { return b != 0; }))
                Warn("offset 0x200: the rest of a version 4 header is not zero");
        }
        sectorsInFile_ = static_cast<uint32_t>(
            std::min<uint64_t>(file_.size() > sectorSize_ ? CeilDiv(file_.size() - sectorSize_, sectorSize_) : 0, kMaxRegularSector));
        holders_.push_back("the FAT");
        holders_.push_back("the DIFAT");
        fat_.holder.assign(sectorsInFile_, 0);
        return std::nullopt;
    }

    Damage Unreadable(uint64_t offset) const { return Damage{"the file cannot be read", "offset " + Hex(offset)}; }

    uint64_t SectorOffset(uint32_t sector) const { return (static_cast<uint64_t>(sector) + 1) * sectorSize_; }
    std::string SectorName(uint32_t sector) const { return "sector " + Number(sector); }

    // Reads an allocation sector; entries the file does not hold read as free.
    std::optional<Damage> ReadTableSector(uint32_t sector, Bytes& bytes) const
    {
        if (!file_.Read(SectorOffset(sector), sectorSize_, 0xFF, bytes)) return Unreadable(SectorOffset(sector));
        return std::nullopt;
    }

    // ---- FAT and DIFAT ----

    std::optional<Damage> ReadFat()
    {
        if (fatSectorCount_ == 0) return Damage{"the header lists no FAT sector", "offset 0x2C"};
        if (fatSectorCount_ > sectorsInFile_)
            return Damage{"the header lists " + Number(fatSectorCount_) + " FAT sectors; the file holds " + Number(sectorsInFile_) + " sectors",
                          "offset 0x2C"};
        // Every FAT sector's location, from the header, then from the DIFAT sectors. Entries past
        // the FAT's count must be free, but no reader uses them.
        std::vector<uint32_t> difat;
        bool listedPastCount = false;
        auto take = [&](uint32_t location) {
            if (difat.size() < fatSectorCount_) difat.push_back(location);
            else if (location != kFreeSector) listedPastCount = true;
        };
        for (uint32_t i = 0; i < kHeaderDifatEntries; ++i) take(U32(header_, 0x4C + 4 * i));
        if (difatSectorCount_ > sectorsInFile_) return Damage{"the DIFAT sector count is larger than the file", "offset 0x48"};
        uint32_t sector = difatStart_;
        std::string from = "offset 0x44";
        for (uint32_t k = 0; k < difatSectorCount_; ++k) {
            if (sector >= sectorsInFile_) return Damage{"DIFAT sector " + Number(k) + " lies past the end of the file", from};
            if (fat_.holder[sector]) return Damage{"the DIFAT chain loops", from};
            fat_.holder[sector] = 2;
            difatSectors_.push_back(sector);
            Bytes bytes;
            if (auto damage = ReadTableSector(sector, bytes)) return damage;
            for (uint32_t i = 0; i + 1 < entriesPerSector_; ++i) take(U32(bytes, 4 * i));
            from = SectorName(sector);
            sector = U32(bytes, sectorSize_ - 4);
        }
        if (listedPastCount) Warn("the DIFAT lists more locations than the FAT has sectors");
        if (difatSectorCount_ == 0 && difatStart_ != kEndOfChain && difatStart_ != kFreeSector)
            Warn("offset 0x44: a first DIFAT sector without DIFAT sectors");
        if (difatSectorCount_ > 0 && sector != kEndOfChain && sector != kFreeSector) Warn(from + ": the DIFAT goes on past its count");
        if (difat.size() < fatSectorCount_)
            return Damage{"the DIFAT lists " + Number(difat.size()) + " of " + Number(fatSectorCount_) + " FAT sectors", "offset 0x48"};

        fat_.next.assign(sectorsInFile_, kFreeSector);
        bool allocatedPastEnd = false;
        for (uint32_t k = 0; k < fatSectorCount_; ++k) {
            uint32_t location = difat[k];
            std::string where = k < kHeaderDifatEntries ? "offset " + Hex(0x4C + 4 * k) : "DIFAT entry " + Number(k);
            if (location >= sectorsInFile_)
                return Damage{"FAT sector " + Number(k) + " is listed at sector " + Number(location) + ", past the end of the file", where};
            if (fat_.holder[location])
                return Damage{"FAT sector " + Number(k) + " is listed at sector " + Number(location) + ", which " +
                                  holders_[fat_.holder[location] - 1] + " already holds",
                              where};
            fat_.holder[location] = 1;
            fatSectors_.push_back(location);
            Bytes bytes;
            if (auto damage = ReadTableSector(location, bytes)) return damage;
            for (uint32_t i = 0; i < entriesPerSector_; ++i) {
                uint64_t described = static_cast<uint64_t>(k) * entriesPerSector_ + i;
                uint32_t value = U32(bytes, 4 * i);
                if (described < sectorsInFile_)
                    fat_.next[described] = value;
                else if (value != kFreeSector)
                    allocatedPastEnd = true;
            }
        }
        if (allocatedPastEnd) Warn("the FAT allocates sectors past the end of the file");
        if (static_cast<uint64_t>(fatSectorCount_) * entriesPerSector_ < sectorsInFile_)
            Warn("the FAT describes fewer sectors than the file holds");
        for (uint32_t location : fatSectors_)
            if (fat_.next[location] != kFatSector) return Damage{"the FAT does not mark its own sector as a FAT sector", SectorName(location)};
        for (uint32_t location : difatSectors_)
            if (fat_.next[location] != kDifatSector) return Damage{"the FAT does not mark a DIFAT sector as one", SectorName(location)};
        return std::nullopt;
    }

    // ---- Chains ----

    uint32_t NewHolder(const std::string& name)
    {
        holders_.push_back(name);
        return static_cast<uint32_t>(holders_.size());
    }

    // Follows a chain from `start`, taking each sector for `holder`. `needed` is the number of
    // sectors its data fills (none when the chain has no size): fewer is damage, more only a
    // warning. `from` names where the chain starts.
    std::optional<Damage> FollowChain(Allocation& table, uint32_t start, uint32_t holder, std::optional<uint64_t> needed,
                                      const std::string& from, std::vector<uint32_t>* sectors)
    {
        const std::string& name = holders_[holder - 1];
        uint64_t count = 0;
        uint32_t at = start;
        std::string where = from;
        if (at != kEndOfChain) {
            for (;;) {
                if (at >= table.next.size())
                    return Damage{"the chain of " + name + " points to " + table.unit + " " + Number(at) + ", outside " + table.space, where};
                if (table.holder[at] == holder) return Damage{"the chain of " + name + " loops", where};
                if (table.holder[at])
                    return Damage{std::string(table.unit) + " " + Number(at) + " is in two chains: " + holders_[table.holder[at] - 1] +
                                      " and " + name,
                                  where};
                table.holder[at] = holder;
                ++count;
                if (sectors) sectors->push_back(at);
                where = std::string(table.unit) + " " + Number(at);
                uint32_t next = table.next[at];
                if (next == kEndOfChain) break;
                if (next == kFreeSector) return Damage{"the chain of " + name + " runs into a free " + table.unit, where};
                if (next > kMaxRegularSector)
                    return Damage{"the chain of " + name + " continues with the mark " + Hex(next), where};
                at = next;
            }
        }
        if (needed && count < *needed)
            return Damage{"the chain of " + name + " holds " + Number(count) + " " + table.unit + "s; its size needs " + Number(*needed), from};
        if (needed && count > *needed) Warn(from + ": the chain of " + name + " is longer than its size needs");
        return std::nullopt;
    }

    // The bytes of a stream of `size` held in `chain` (normal sectors) must be in the file.
    std::optional<Damage> CheckInFile(const std::vector<uint32_t>& chain, uint64_t size, const std::string& name) const
    {
        for (std::size_t i = 0; i < chain.size() && static_cast<uint64_t>(i) * sectorSize_ < size; ++i) {
            uint64_t used = std::min<uint64_t>(sectorSize_, size - static_cast<uint64_t>(i) * sectorSize_);
            if (SectorOffset(chain[i]) + used > file_.size()) return Damage{"the data of " + name + " is cut off", SectorName(chain[i])};
        }
        return std::nullopt;
    }

    void WarnUnclaimed(const Allocation& table)
    {
        std::size_t unclaimed = 0;
        for (std::size_t i = 0; i < table.next.size(); ++i)
            if (table.next[i] != kFreeSector && table.holder[i] == 0) ++unclaimed;
        if (unclaimed)
            Warn(Number(unclaimed) + " " + table.unit + (unclaimed == 1 ? " is" : "s are") + " allocated but in no chain");
    }

    // ---- Directory ----

    std::optional<Damage> ReadDirectory()
    {
        uint32_t holder = NewHolder("the directory");
        if (directoryStart_ == kEndOfChain) return Damage{"the header names no directory", "offset 0x30"};
        if (auto damage = FollowChain(fat_, directoryStart_, holder, std::nullopt, "offset 0x30", &directorySectors_)) return damage;
        if (version_ == 4 && directorySectorCount_ != directorySectors_.size())
            return Damage{"the header counts " + Number(directorySectorCount_) + " directory sectors; the chain holds " +
                              Number(directorySectors_.size()),
                          "offset 0x28"};
        entryCount_ = static_cast<uint32_t>(std::min<uint64_t>(static_cast<uint64_t>(directorySectors_.size()) * (sectorSize_ / kEntrySize), kNoStream));
        // Entries the file does not hold read as unused.
        for (uint32_t sector : directorySectors_) {
            Bytes bytes;
            if (!file_.Read(SectorOffset(sector), sectorSize_, 0, bytes)) return Unreadable(SectorOffset(sector));
            directory_.insert(directory_.end(), bytes.begin(), bytes.end());
        }
        return std::nullopt;
    }

    Entry EntryAt(uint32_t index) const
    {
        Entry entry;
        std::size_t base = static_cast<std::size_t>(index) * kEntrySize;
        entry.nameLength = U16(directory_, base + 0x40);
        entry.type = directory_[base + 0x42];
        entry.color = directory_[base + 0x43];
        entry.left = U32(directory_, base + 0x44);
        entry.right = U32(directory_, base + 0x48);
        entry.child = U32(directory_, base + 0x4C);
        entry.start = U32(directory_, base + 0x74);
        entry.size = U64(directory_, base + 0x78);
        if (version_ == 3) entry.size &= 0xFFFFFFFFu;  // older writers left the high half uninitialised
        std::size_t characters = entry.nameLength / 2;
        if (entry.nameLength % 2 == 0 && characters >= 1 && characters <= 32) {
            entry.nameTerminated = U16(directory_, base + 2 * (characters - 1)) == 0;
            for (std::size_t i = 0; i + 1 < characters; ++i) {
                wchar_t c = static_cast<wchar_t>(U16(directory_, base + 2 * i));
                if (c == 0) entry.nameTerminated = false;
                entry.name.push_back(c);
            }
        }
        return entry;
    }

    std::string EntryName(uint32_t index) const { return "directory entry " + Number(index); }

    // What the chain of an entry is called in findings.
    std::string StreamLabel(const Entry& entry) const { return "stream " + ShownName(entry.name); }

    // One link of the tree, from entry `from` to `to`: within the directory, to a storage or a
    // stream that no other link reaches, with a well-formed name.
    std::optional<Damage> Reach(uint32_t from, uint32_t to, const char* link, std::vector<uint8_t>& reached)
    {
        if (to >= entryCount_)
            return Damage{"the " + std::string(link) + " link points to entry " + Number(to) + ", past the directory", EntryName(from)};
        if (reached[to]) return Damage{"the " + std::string(link) + " link reaches entry " + Number(to) + " a second time", EntryName(from)};
        Entry entry = EntryAt(to);
        if (entry.type == kUnused) return Damage{"the " + std::string(link) + " link points to an unused entry", EntryName(from)};
        if (entry.type == kRoot) return Damage{"the " + std::string(link) + " link points back to the root", EntryName(from)};
        if (entry.type != kStorage && entry.type != kStream) return Damage{"unknown entry type " + Number(entry.type), EntryName(to)};
        if (!entry.nameTerminated) return Damage{"the name does not end where its length says", EntryName(to)};
        for (wchar_t c : entry.name)
            if (c == L'/' || c == L'\\' || c == L':' || c == L'!') return Damage{"the name holds a character names may not hold", EntryName(to)};
        if (entry.color > 1) Warn(EntryName(to) + ": colour " + Number(entry.color) + " is neither red nor black");
        return std::nullopt;
    }

    std::optional<Damage> WalkDirectoryTree()
    {
        if (entryCount_ == 0) return Damage{"the directory is empty", "offset 0x30"};
        Entry root = EntryAt(0);
        if (root.type != kRoot) return Damage{"the first directory entry is not the root", EntryName(0)};
        if (root.name != NameOf(L"Root Entry")) Warn(EntryName(0) + ": the root is not named Root Entry");
        if (root.left != kNoStream || root.right != kNoStream) Warn(EntryName(0) + ": the root has siblings");
        // The engine opens a package only under the installer database's class.
        static const uint8_t databaseClass[16] = {0x84, 0x10, 0x0C, 0x00, 0x00, 0x00, 0x00, 0x00, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46};
        if (!std::equal(databaseClass, databaseClass + 16, directory_.begin() + 0x50))
            return Damage{"the root's class is not an installer database's", EntryName(0)};
        std::vector<uint8_t> reached(entryCount_, 0);
        reached[0] = 1;
        std::vector<uint32_t> storages{0};
        for (std::size_t next = 0; next < storages.size(); ++next) {
            uint32_t storage = storages[next];
            std::vector<uint32_t> ordered;  // the storage's children, in the tree's order
            std::vector<std::pair<uint32_t, Entry>> path;
            uint32_t from = storage;
            const char* link = "child";
            uint32_t node = EntryAt(storage).child;
            while (node != kNoStream || !path.empty()) {
                while (node != kNoStream) {
                    if (auto damage = Reach(from, node, link, reached)) return damage;
                    reached[node] = 1;
                    path.emplace_back(node, EntryAt(node));
                    from = node;
                    link = "left sibling";
                    node = path.back().second.left;
                }
                uint32_t visited = path.back().first;
                Entry entry = std::move(path.back().second);
                path.pop_back();
                if (!ordered.empty() && CompareNames(EntryAt(ordered.back()).name, entry.name) >= 0)
                    return Damage{"sibling names are out of order (" + ShownName(EntryAt(ordered.back()).name) + ", " + ShownName(entry.name) + ")",
                                  EntryName(visited)};
                ordered.push_back(visited);
                if (entry.type == kStorage) storages.push_back(visited);
                else if (entry.child != kNoStream) Warn(EntryName(visited) + ": a stream has a child link");
                from = visited;
                link = "right sibling";
                node = entry.right;
            }
            if (storage == 0) {
                atRoot_.assign(entryCount_, 0);
                for (uint32_t child : ordered) {
                    rootChildren_.emplace_back(EntryAt(child).name, child);
                    atRoot_[child] = 1;
                }
            }
            for (uint32_t child : ordered)
                if (EntryAt(child).type == kStream) streams_.push_back(child);
        }
        uint32_t unlinked = 0;
        for (uint32_t i = 0; i < entryCount_; ++i)
            if (!reached[i] && directory_[static_cast<std::size_t>(i) * kEntrySize + 0x42] != kUnused) ++unlinked;
        if (unlinked) Warn(Number(unlinked) + " directory entries are in use but linked from nowhere");
        return std::nullopt;
    }

    // ---- Mini FAT and mini stream ----

    std::optional<Damage> ReadMiniFat()
    {
        Entry root = EntryAt(0);
        miniStreamSize_ = root.size;
        uint32_t streamHolder = NewHolder("the mini stream");
        if (miniStreamSize_ == 0) {
            if (root.start != kEndOfChain && root.start != kFreeSector && root.start != 0) Warn(EntryName(0) + ": an empty mini stream has a first sector");
        } else {
            if (CeilDiv(miniStreamSize_, sectorSize_) > sectorsInFile_) return Damage{"the mini stream is larger than the file", EntryName(0)};
            if (auto damage = FollowChain(fat_, root.start, streamHolder, CeilDiv(miniStreamSize_, sectorSize_), EntryName(0), &miniStreamSectors_))
                return damage;
            if (auto damage = CheckInFile(miniStreamSectors_, miniStreamSize_, "the mini stream")) return damage;
        }
        uint64_t miniSectors = CeilDiv(miniStreamSize_, kMiniSectorSize);

        uint32_t fatHolder = NewHolder("the mini FAT");
        std::vector<uint32_t> sectors;
        if (miniFatSectorCount_ == 0) {
            if (miniFatStart_ != kEndOfChain && miniFatStart_ != kFreeSector) Warn("offset 0x3C: a first mini FAT sector without mini FAT sectors");
        } else {
            if (miniFatSectorCount_ > sectorsInFile_) return Damage{"the mini FAT sector count is larger than the file", "offset 0x40"};
            if (auto damage = FollowChain(fat_, miniFatStart_, fatHolder, std::nullopt, "offset 0x3C", &sectors)) return damage;
            if (sectors.size() != miniFatSectorCount_)
                return Damage{"the header counts " + Number(miniFatSectorCount_) + " mini FAT sectors; the chain holds " + Number(sectors.size()),
                              "offset 0x40"};
        }
        uint64_t described = static_cast<uint64_t>(sectors.size()) * entriesPerSector_;
        miniFat_.next.assign(static_cast<std::size_t>(std::min(miniSectors, described)), kFreeSector);
        miniFat_.holder.assign(miniFat_.next.size(), 0);
        bool allocatedPastEnd = false;
        for (std::size_t k = 0; k < sectors.size(); ++k) {
            Bytes bytes;
            if (auto damage = ReadTableSector(sectors[k], bytes)) return damage;
            for (uint32_t i = 0; i < entriesPerSector_; ++i) {
                uint64_t index = static_cast<uint64_t>(k) * entriesPerSector_ + i;
                uint32_t value = U32(bytes, 4 * i);
                if (index < miniFat_.next.size())
                    miniFat_.next[index] = value;
                else if (value != kFreeSector)
                    allocatedPastEnd = true;
            }
        }
        if (allocatedPastEnd) Warn("the mini FAT allocates mini sectors past the end of the mini stream");
        return std::nullopt;
    }

    // ---- Streams ----

    std::optional<Damage> ClaimStreams()
    {
        for (uint32_t index : streams_) {
            Entry entry = EntryAt(index);
            std::string label = StreamLabel(entry);
            uint32_t holder = NewHolder(label);
            bool database = atRoot_[index] && !entry.name.empty() && entry.name[0] == kTableMark;
            std::vector<uint32_t> chain;
            if (entry.size == 0) {
                if (entry.start != kEndOfChain && entry.start != kFreeSector && entry.start != 0)
                    Warn(EntryName(index) + ": an empty stream has a first sector");
            } else if (entry.size < kMiniStreamCutoff) {
                if (auto damage = FollowChain(miniFat_, entry.start, holder, CeilDiv(entry.size, kMiniSectorSize), EntryName(index), &chain))
                    return damage;
                uint64_t end = static_cast<uint64_t>(chain[CeilDiv(entry.size, kMiniSectorSize) - 1]) * kMiniSectorSize +
                               (entry.size - 1) % kMiniSectorSize + 1;
                if (end > miniStreamSize_) return Damage{"the data of " + label + " runs past the end of the mini stream", EntryName(index)};
            } else {
                if (CeilDiv(entry.size, sectorSize_) > sectorsInFile_) return Damage{label + " is larger than the file", EntryName(index)};
                if (auto damage = FollowChain(fat_, entry.start, holder, CeilDiv(entry.size, sectorSize_), EntryName(index), &chain))
                    return damage;
                if (auto damage = CheckInFile(chain, entry.size, label)) return damage;
            }
            if (database) databaseStreams_.push_back({index, std::move(chain), entry.size < kMiniStreamCutoff});
        }
        return std::nullopt;
    }

    const DatabaseStream* FindStream(const Name& name) const
    {
        Name encoded = EncodeStreamName(name, true);
        for (const DatabaseStream& stream : databaseStreams_)
            if (EntryAt(stream.entry).name == encoded) return &stream;
        return nullptr;
    }

    // A stream's bytes, through the chain already checked.
    std::optional<Damage> ReadStream(const DatabaseStream& stream, Bytes& data) const
    {
        uint64_t size = EntryAt(stream.entry).size;
        data.clear();
        data.reserve(static_cast<std::size_t>(size));
        Bytes part;
        if (stream.mini) {
            for (uint32_t miniSector : stream.chain) {
                uint64_t inMini = static_cast<uint64_t>(miniSector) * kMiniSectorSize;
                uint64_t offset = SectorOffset(miniStreamSectors_[static_cast<std::size_t>(inMini / sectorSize_)]) + inMini % sectorSize_;
                std::size_t length = static_cast<std::size_t>(std::min<uint64_t>(kMiniSectorSize, size - data.size()));
                if (!file_.Read(offset, length, 0, part)) return Unreadable(offset);
                data.insert(data.end(), part.begin(), part.end());
                if (data.size() == size) break;
            }
            return std::nullopt;
        }
        // Runs of consecutive sectors are read at once.
        for (std::size_t first = 0; first < stream.chain.size() && data.size() < size;) {
            std::size_t last = first;
            while (last + 1 < stream.chain.size() && stream.chain[last + 1] == stream.chain[last] + 1) ++last;
            uint64_t length = std::min<uint64_t>(static_cast<uint64_t>(last - first + 1) * sectorSize_, size - data.size());
            if (!file_.Read(SectorOffset(stream.chain[first]), static_cast<std::size_t>(length), 0, part))
                return Unreadable(SectorOffset(stream.chain[first]));
            data.insert(data.end(), part.begin(), part.end());
            first = last + 1;
        }
        return std::nullopt;
    }

    // ---- The installer's database ----

    std::optional<Damage> CheckDatabase()
    {
        const DatabaseStream* pool = FindStream(NameOf(L"_StringPool"));
        const DatabaseStream* data = FindStream(NameOf(L"_StringData"));
        if (!pool || !data) return Damage{"the package has no string pool", "the root storage"};
        if (auto damage = ReadStringPool(*pool, *data)) return damage;
        if (auto damage = ReadCatalogue()) return damage;
        return CheckTables();
    }

    // _StringPool: the code page (its top bit: references are 3 bytes wide), then a length and a
    // reference count for each string in _StringData, in order. A string longer than 65535 bytes
    // takes two entries: a zero length with the count, then its length's low and high words.
    std::optional<Damage> ReadStringPool(const DatabaseStream& poolStream, const DatabaseStream& dataStream)
    {
        Bytes pool, data;
        if (auto damage = ReadStream(poolStream, pool)) return damage;
        if (auto damage = ReadStream(dataStream, data)) return damage;
        std::string problem;
        switch (pool_.Parse(pool, std::move(data))) {
        case StringPool::Fault::None: return std::nullopt;
        case StringPool::Fault::NotWholeEntries: problem = "the string pool is not a whole number of entries"; break;
        case StringPool::Fault::UnknownCodePage: problem = "the string pool's code page " + Number(pool_.codePage()) + " is unknown"; break;
        case StringPool::Fault::LongEntryCut: problem = "the string pool ends inside a long string's entry"; break;
        case StringPool::Fault::LengthsDiffer:
            problem = "the string pool's lengths add up to " + Number(pool_.lengthsTotal()) + " bytes; the string data holds " + Number(pool_.dataSize());
            break;
        }
        return Damage{problem, "stream _StringPool"};
    }

    bool IsString(uint32_t id) const { return pool_.Holds(id); }
    Name StringText(uint32_t id) const { return pool_.Text(id); }

    void Count(uint32_t id)
    {
        if (id < references_.size()) ++references_[id];
    }

    // _Tables (one string column: the names) and _Columns (table, number, name, type), stored a
    // column at a time like every table.
    std::optional<Damage> ReadCatalogue()
    {
        references_.assign(pool_.slots().size(), 0);
        Bytes tables;
        if (const DatabaseStream* stream = FindStream(NameOf(L"_Tables")))
            if (auto damage = ReadStream(*stream, tables)) return damage;
        if (tables.size() % pool_.referenceWidth()) return Damage{"the table list is not a whole number of rows", "stream _Tables"};
        for (std::size_t at = 0; at < tables.size(); at += pool_.referenceWidth()) {
            uint32_t name = Uint(tables, at, pool_.referenceWidth());
            if (!IsString(name)) return Damage{"the table list names string " + Number(name) + ", which the pool does not hold", "stream _Tables"};
            if (std::find(tableNames_.begin(), tableNames_.end(), name) != tableNames_.end())
                return Damage{"table " + ShownName(StringText(name)) + " is listed twice", "stream _Tables"};
            tableNames_.push_back(name);
            Count(name);
        }

        Bytes columns;
        if (const DatabaseStream* stream = FindStream(NameOf(L"_Columns")))
            if (auto damage = ReadStream(*stream, columns)) return damage;
        std::size_t badRow = 0;
        std::optional<std::vector<CatalogueColumn>> catalogue = packagefile::ReadCatalogue(columns, pool_, badRow);
        if (!catalogue)
            return Damage{badRow ? "column row " + Number(badRow) + " names a string the pool does not hold" : "the column list is not a whole number of rows",
                          "stream _Columns"};
        for (const CatalogueColumn& column : *catalogue) {
            Count(column.table);
            Count(column.name);
            columnsOf_[column.table].push_back({column.number, column.name, column.type});
        }
        return std::nullopt;
    }

    unsigned ColumnWidth(unsigned type) const { return packagefile::ColumnWidth(type, pool_.referenceWidth()); }

    std::optional<Damage> CheckTables()
    {
        for (uint32_t table : tableNames_)
            if (auto damage = CheckTable(table)) return damage;
        if (auto damage = CheckTableStreamsListed()) return damage;
        return CheckReferenceCounts();
    }

    // A listed table: its columns numbered 1 to n, of types the installer stores; its stream,
    // where it has one (an empty table has none), whole rows whose strings the pool holds; and
    // a stream for each row whose stream column is set.
    std::optional<Damage> CheckTable(uint32_t table)
    {
        const Name name = StringText(table);
        const std::string shown = ShownName(name);
        std::vector<Column>* columns = columnsOf_.find(table);
        if (!columns) return Damage{"table " + shown + " has no columns", "stream _Columns"};
        std::sort(columns->begin(), columns->end(), [](const Column& a, const Column& b) { return a.number < b.number; });
        std::size_t rowWidth = 0;
        for (std::size_t i = 0; i < columns->size(); ++i) {
            const Column& column = (*columns)[i];
            if (column.number != i + 1) return Damage{"the columns of table " + shown + " are not numbered 1 to " + Number(columns->size()), "stream _Columns"};
            if (column.type & kTypeTemporary) continue;
            unsigned width = ColumnWidth(column.type);
            if (width == 0) return Damage{"column " + Number(column.number) + " of table " + shown + " has an unknown type " + Hex(column.type), "stream _Columns"};
            rowWidth += width;
        }
        const DatabaseStream* stream = FindStream(name);
        if (!stream) return std::nullopt;
        Bytes rows;
        if (auto damage = ReadStream(*stream, rows)) return damage;
        if (rowWidth == 0 || rows.size() % rowWidth)
            return Damage{"the stream of table " + shown + " is not a whole number of " + Number(rowWidth) + "-byte rows (" + Number(rows.size()) + " bytes)",
                          "stream " + shown};
        // Stored a column at a time: each column's values for every row, then the next column.
        const std::size_t rowCount = rows.size() / rowWidth;
        std::vector<std::size_t> starts;
        std::size_t start = 0;
        for (const Column& column : *columns) {
            starts.push_back(start);
            if (!(column.type & kTypeTemporary)) start += rowCount * ColumnWidth(column.type);
        }
        for (std::size_t c = 0; c < columns->size(); ++c) {
            const Column& column = (*columns)[c];
            if (!IsStringColumn(column.type)) continue;
            for (std::size_t row = 0; row < rowCount; ++row) {
                uint32_t id = Uint(rows, starts[c] + row * pool_.referenceWidth(), pool_.referenceWidth());
                if (id != 0 && !IsString(id))
                    return Damage{"row " + Number(row + 1) + " of table " + shown + " refers to string " + Number(id) + ", which the pool does not hold",
                                  "stream " + shown};
                Count(id);
            }
        }
        for (std::size_t c = 0; c < columns->size(); ++c) {
            const Column& column = (*columns)[c];
            if ((column.type & kTypeTemporary) || !IsStreamColumn(column.type)) continue;
            for (std::size_t row = 0; row < rowCount; ++row) {
                if (U16(rows, starts[c] + 2 * row) == 0) continue;  // null: no stream
                Name rowStream = name;
                for (std::size_t k = 0; k < columns->size(); ++k) {
                    const Column& key = (*columns)[k];
                    if (!(key.type & kTypeKey) || (key.type & kTypeTemporary)) continue;
                    rowStream.push_back(L'.');
                    if (IsStringColumn(key.type)) {
                        uint32_t id = Uint(rows, starts[k] + row * pool_.referenceWidth(), pool_.referenceWidth());
                        Name value = id ? StringText(id) : Name();
                        rowStream.insert(rowStream.end(), value.begin(), value.end());
                    } else {
                        int64_t value = ColumnWidth(key.type) == 2 ? static_cast<int64_t>(U16(rows, starts[k] + 2 * row)) - 0x8000
                                                                   : static_cast<int32_t>(U32(rows, starts[k] + 4 * row) ^ 0x80000000u);
                        AppendText(rowStream, (value < 0 ? "-" : "") + Number(static_cast<uint64_t>(value < 0 ? -value : value)));
                    }
                }
                Name encoded = EncodeStreamName(rowStream, false);
                if (encoded.size() > kMaxStreamName) continue;  // no compound file holds such a name
                bool found = std::any_of(rootChildren_.begin(), rootChildren_.end(), [&](const auto& child) {
                    return child.first == encoded && EntryAt(child.second).type == kStream;
                });
                if (!found) return Damage{"row " + Number(row + 1) + " of table " + shown + " has no stream " + ShownName(encoded), "stream " + shown};
            }
        }
        return std::nullopt;
    }

    // Every stream under a table's name belongs to a listed table, or is the database's own.
    std::optional<Damage> CheckTableStreamsListed() const
    {
        static const wchar_t* const own[] = {L"_StringPool", L"_StringData", L"_Tables", L"_Columns"};
        for (const DatabaseStream& stream : databaseStreams_) {
            const Name name = EntryAt(stream.entry).name;
            bool known = std::any_of(std::begin(own), std::end(own), [&](const wchar_t* n) { return EncodeStreamName(NameOf(n), true) == name; }) ||
                         std::any_of(tableNames_.begin(), tableNames_.end(), [&](uint32_t t) { return EncodeStreamName(StringText(t), true) == name; });
            if (!known) return Damage{"stream " + ShownName(name) + " has a table's name, but no such table is listed", EntryName(stream.entry)};
        }
        return std::nullopt;
    }

    // Writers keep the counts loosely (some leave a count on a string no table uses any more),
    // but never at zero for a string in use: the engine drops such a string, and every row that
    // refers to it then reads otherwise.
    std::optional<Damage> CheckReferenceCounts()
    {
        std::size_t unreferenced = 0;
        for (uint32_t id = 1; id < pool_.slots().size(); ++id) {
            if (!pool_.slots()[id].held) continue;
            if (!pool_.slots()[id].references && references_[id] % 0x10000)  // 65536 references are counted as 0
                return Damage{"string " + Number(id) + " (" + ShownName(StringText(id)).substr(0, 40) + ") is counted as unused, but tables refer to it",
                              "stream _StringPool"};
            if (pool_.slots()[id].references && !references_[id]) ++unreferenced;
        }
        if (unreferenced) Warn("stream _StringPool: " + Number(unreferenced) + " strings are counted as used, but no table refers to them");
        return std::nullopt;
    }

    // A small map from a table's name (its string) to its columns.
    class ColumnMap {
    public:
        std::vector<Column>& operator[](uint32_t table)
        {
            for (auto& entry : entries_)
                if (entry.first == table) return entry.second;
            entries_.emplace_back(table, std::vector<Column>());
            return entries_.back().second;
        }
        std::vector<Column>* find(uint32_t table)
        {
            for (auto& entry : entries_)
                if (entry.first == table) return &entry.second;
            return nullptr;
        }

    private:
        std::vector<std::pair<uint32_t, std::vector<Column>>> entries_;
    };

    const File& file_;
    std::vector<std::string>* warnings_;

    Bytes header_;
    unsigned version_ = 0;
    uint32_t sectorSize_ = 512;
    uint32_t entriesPerSector_ = 128;
    uint32_t sectorsInFile_ = 0;
    uint32_t directorySectorCount_ = 0, fatSectorCount_ = 0, directoryStart_ = 0;
    uint32_t miniFatStart_ = 0, miniFatSectorCount_ = 0, difatStart_ = 0, difatSectorCount_ = 0;

    std::vector<std::string> holders_;  // what holds each chain, by holder number - 1
    Allocation fat_, miniFat_;
    std::vector<uint32_t> fatSectors_, difatSectors_, directorySectors_, miniStreamSectors_;
    uint64_t miniStreamSize_ = 0;

    Bytes directory_;
    uint32_t entryCount_ = 0;
    std::vector<std::pair<Name, uint32_t>> rootChildren_;
    std::vector<uint8_t> atRoot_;  // by entry: a child of the root storage
    std::vector<uint32_t> streams_;  // every stream the tree reaches
    std::vector<DatabaseStream> databaseStreams_;

    StringPool pool_;
    std::vector<uint32_t> references_;
    std::vector<uint32_t> tableNames_;
    ColumnMap columnsOf_;
};

}  // namespace

StructureReport CheckPackageStructure(const std::string& path)
{
    StructureReport report;
    File file(path);
    if (!file.opened()) {
        report.damage = Damage{"the file cannot be opened (error " + Number(GetLastError()) + ")", path};
        return report;
    }
    report.opened = true;
    StructureCheck check(file, &report.warnings);
    report.damage = check.Run();
    report.isSigned = check.Signed();
    return report;
}
