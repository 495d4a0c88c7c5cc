#include "package/package_file.h"

#include "package/contract.h"

#include <windows.h>

#include <algorithm>

namespace packagefile {

File::File(const std::string& path)
    : handle_(CreateFileW(Wide(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                          FILE_ATTRIBUTE_NORMAL, nullptr))
{
    LARGE_INTEGER size = {};
    if (handle_ && GetFileSizeEx(handle_.get(), &size)) size_ = static_cast<uint64_t>(size.QuadPart);
}

bool File::Read(uint64_t offset, std::size_t length, uint8_t fill, Bytes& out) const
{
    out.assign(length, fill);
    if (offset >= size_) return true;
    std::size_t available = size_ - offset < length ? static_cast<std::size_t>(size_ - offset) : length;
    for (std::size_t done = 0; done < available;) {
        OVERLAPPED at = {};
        at.Offset = static_cast<DWORD>(offset + done);
        at.OffsetHigh = static_cast<DWORD>((offset + done) >> 32);
        DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(available - done, 1u << 24));
        DWORD got = 0;
        if (!ReadFile(handle_.get(), out.data() + done, chunk, &got, &at) || got == 0) return false;
        done += got;
    }
    return true;
}

Name NameOf(const wchar_t* text)
{
    Name name;
    while (*text) name.push_back(*text++);
    return name;
}

// The installer's stream names: letters, digits, '.' and '_' packed two to a character in
// U+3800..U+47FF, one alone in U+4800..U+483F; tables carry U+4840 in front.
static int NameDigit(wchar_t c)
{
    for (int digit = 0; digit < 64; ++digit)
        if (static_cast<wchar_t>(kNameAlphabet[digit]) == c) return digit;
    return -1;
}

Name EncodeStreamName(const Name& name, bool table)
{
    Name encoded;
    if (table) encoded.push_back(kTableMark);
    for (std::size_t at = 0; at < name.size(); ++at) {
        int first = NameDigit(name[at]);
        if (first < 0) {
            encoded.push_back(name[at]);
            continue;
        }
        int second = at + 1 < name.size() ? NameDigit(name[at + 1]) : -1;
        if (second >= 0) {
            encoded.push_back(static_cast<wchar_t>(0x3800 + (second << 6) + first));
            ++at;
        } else {
            encoded.push_back(static_cast<wchar_t>(0x4800 + first));
        }
    }
    if (encoded.size() > kMaxStreamName) encoded.resize(kMaxStreamName);
    return encoded;
}

// _StringPool: the code page (its top bit: references are 3 bytes wide), then a length and a
// reference count for each string in _StringData, in order. A string longer than 65535 bytes
// takes two entries: a zero length with the count, then its length's low and high words.
StringPool::Fault StringPool::Parse(const Bytes& pool, Bytes data)
{
    data_ = std::move(data);
    if (pool.size() % 4) return Fault::NotWholeEntries;
    if (pool.size() >= 4) {
        codePage_ = U16(pool, 0) | static_cast<unsigned>(U16(pool, 2) & 0x7FFF) << 16;
        referenceWidth_ = (U16(pool, 2) & 0x8000) ? 3 : 2;
    }
    // The engine decodes every string in this code page (0: neutral); one Windows does not
    // know leaves it reading garbage.
    if (codePage_ != CP_ACP && !IsValidCodePage(codePage_)) return Fault::UnknownCodePage;
    slots_.assign(1, Slot());  // 0 is the null string
    total_ = 0;
    std::size_t count = pool.size() / 4;
    for (std::size_t i = 1; i < count;) {
        Slot slot;
        uint16_t length = U16(pool, 4 * i);
        slot.references = U16(pool, 4 * i + 2);
        if (length == 0 && slot.references == 0) {
            slots_.push_back(slot);
            ++i;
            continue;
        }
        if (length == 0) {
            if (i + 1 >= count) return Fault::LongEntryCut;
            slot.length = U16(pool, 4 * (i + 1)) | static_cast<uint32_t>(U16(pool, 4 * (i + 1) + 2)) << 16;
            i += 2;
        } else {
            slot.length = length;
            i += 1;
        }
        slot.offset = total_;
        slot.held = true;
        total_ += slot.length;
        slots_.push_back(slot);
    }
    return total_ == data_.size() ? Fault::None : Fault::LengthsDiffer;
}

Name StringPool::Text(uint32_t id) const
{
    const Slot& slot = slots_[id];
    const char* bytes = reinterpret_cast<const char*>(data_.data() + slot.offset);
    int length = static_cast<int>(slot.length);
    Name text;
    if (std::all_of(bytes, bytes + length, [](char c) { return static_cast<unsigned char>(c) < 0x80; })) {
        text.assign(bytes, bytes + length);
        return text;
    }
    int wide = MultiByteToWideChar(codePage_, 0, bytes, length, nullptr, 0);
    if (wide <= 0) {
        for (int i = 0; i < length; ++i) text.push_back(static_cast<unsigned char>(bytes[i]));
        return text;
    }
    text.resize(static_cast<std::size_t>(wide));
    MultiByteToWideChar(codePage_, 0, bytes, length, text.data(), wide);
    return text;
}

std::optional<std::vector<CatalogueColumn>> ReadCatalogue(const Bytes& columns, const StringPool& pool, std::size_t& badRow)
{
    badRow = 0;
    const unsigned width = pool.referenceWidth();
    std::size_t rowWidth = 2 * width + 4;
    if (columns.size() % rowWidth) return std::nullopt;
    std::size_t rows = columns.size() / rowWidth;
    std::vector<CatalogueColumn> catalogue;
    for (std::size_t row = 0; row < rows; ++row) {
        CatalogueColumn column;
        column.table = Uint(columns, row * width, width);
        column.number = U16(columns, rows * width + 2 * row) ^ 0x8000u;
        column.name = Uint(columns, rows * (width + 2) + row * width, width);
        column.type = U16(columns, rows * (2 * width + 2) + 2 * row) ^ 0x8000u;
        if (!pool.Holds(column.table) || !pool.Holds(column.name)) {
            badRow = row + 1;
            return std::nullopt;
        }
        catalogue.push_back(column);
    }
    return catalogue;
}

unsigned ColumnWidth(unsigned type, unsigned referenceWidth)
{
    if (IsStreamColumn(type)) return 2;
    if (type & kTypeString) return referenceWidth;
    unsigned width = type & kTypeWidth;
    return width == 2 || width == 4 ? width : 0;
}

namespace {

constexpr uint32_t kEndOfChain = 0xFFFFFFFE;
constexpr uint32_t kNoStream = 0xFFFFFFFF;
constexpr uint32_t kHeaderDifatEntries = 109;
constexpr uint32_t kMiniSectorSize = 64;
constexpr uint32_t kMiniStreamCutoff = 4096;
constexpr uint32_t kEntrySize = 128;
constexpr uint8_t kStreamEntry = 2;

// Sizes are 32-bit here: no package reaches 4 GB, and 64-bit division would bring its runtime in.
uint32_t CeilDiv(uint32_t value, uint32_t unit) { return value / unit + (value % unit != 0); }

// The compound file's streams at its root, read through its allocation tables. It trusts no
// number the file gives: a chain that leaves its table, or a stream larger than what holds it,
// makes the file unreadable (the structure check says where and why).
class RootStreams {
public:
    explicit RootStreams(const File& file) : file_(file) {}

    bool Open()
    {
        Bytes header;
        static const uint8_t signature[8] = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};
        if (file_.size() < 512 || !file_.Read(0, 512, 0, header) || !std::equal(signature, signature + 8, header.begin()))
            return false;
        unsigned shift = U16(header, 0x1E);
        if (shift != 9 && shift != 12) return false;
        sectorSize_ = 1u << shift;
        const uint32_t perSector = sectorSize_ / 4;
        if (file_.size() >= 0xFFFFFFFFu) return false;
        const uint32_t size = static_cast<uint32_t>(file_.size());
        uint32_t sectors = size > sectorSize_ ? CeilDiv(size - sectorSize_, sectorSize_) : 0;
        uint32_t fatSectors = U32(header, 0x2C), difatSectors = U32(header, 0x48);
        if (fatSectors == 0 || fatSectors > sectors || difatSectors > sectors) return false;
        // Where the FAT's sectors are: in the header, then in the DIFAT's chain.
        std::vector<uint32_t> locations;
        for (uint32_t i = 0; i < kHeaderDifatEntries && locations.size() < fatSectors; ++i) locations.push_back(U32(header, 0x4C + 4 * i));
        uint32_t difat = U32(header, 0x44);
        Bytes bytes;
        for (uint32_t k = 0; k < difatSectors && locations.size() < fatSectors; ++k) {
            if (difat >= sectors || !ReadSector(difat, bytes)) return false;
            for (uint32_t i = 0; i + 1 < perSector && locations.size() < fatSectors; ++i) locations.push_back(U32(bytes, 4 * i));
            difat = U32(bytes, sectorSize_ - 4);
        }
        if (locations.size() < fatSectors) return false;
        for (uint32_t location : locations) {
            if (location >= sectors || !ReadSector(location, bytes)) return false;
            for (uint32_t i = 0; i < perSector && fat_.size() < sectors; ++i) fat_.push_back(U32(bytes, 4 * i));
        }
        // The directory's chain has no size: it may not be longer than the file.
        std::vector<uint32_t> chain;
        if (!Follow(fat_, U32(header, 0x30), fat_.size(), true, chain)) return false;
        for (uint32_t sector : chain) {
            if (!ReadSector(sector, bytes)) return false;
            directory_.insert(directory_.end(), bytes.begin(), bytes.end());
        }
        if (directory_.size() < kEntrySize || directory_[0x42] != 5) return false;
        // The mini stream (the root's data) and the mini FAT.
        miniStreamSize_ = U32(directory_, 0x78);
        if (miniStreamSize_ > size) return false;
        if (miniStreamSize_ && !Follow(fat_, U32(directory_, 0x74), CeilDiv(miniStreamSize_, sectorSize_), false, miniStream_))
            return false;
        uint32_t miniFatSectors = U32(header, 0x40);
        if (miniFatSectors > sectors) return false;
        if (miniFatSectors && !Follow(fat_, U32(header, 0x3C), miniFatSectors, false, chain)) return false;
        for (uint32_t k = 0; k < miniFatSectors; ++k) {
            if (!ReadSector(chain[k], bytes)) return false;
            for (uint32_t i = 0; i < perSector; ++i) miniFat_.push_back(U32(bytes, 4 * i));
        }
        return true;
    }

    enum class Found { Read, Absent, Unreadable };

    // The stream of that stored name among the root storage's children.
    Found ReadStream(const Name& stored, Bytes& data) const
    {
        uint32_t entry = FindChild(stored);
        if (entry == kNoStream) return Found::Absent;
        std::size_t base = static_cast<std::size_t>(entry) * kEntrySize;
        uint32_t size = U32(directory_, base + 0x78);
        uint32_t start = U32(directory_, base + 0x74);
        data.clear();
        if (size == 0) return Found::Read;
        std::vector<uint32_t> chain;
        Bytes part;
        if (size < kMiniStreamCutoff) {
            if (size > miniStreamSize_ || !Follow(miniFat_, start, CeilDiv(size, kMiniSectorSize), false, chain)) return Found::Unreadable;
            for (uint32_t mini : chain) {
                // Within the mini stream, whose size is below the file's.
                uint32_t inMini = mini * kMiniSectorSize;
                if (mini >= miniStreamSize_ / kMiniSectorSize + 1 || inMini / sectorSize_ >= miniStream_.size()) return Found::Unreadable;
                uint64_t offset = SectorOffset(miniStream_[inMini / sectorSize_]) + inMini % sectorSize_;
                if (!file_.Read(offset, std::min<uint32_t>(kMiniSectorSize, size - static_cast<uint32_t>(data.size())), 0, part))
                    return Found::Unreadable;
                data.insert(data.end(), part.begin(), part.end());
            }
            return Found::Read;
        }
        if (size > file_.size() || !Follow(fat_, start, CeilDiv(size, sectorSize_), false, chain)) return Found::Unreadable;
        for (uint32_t sector : chain) {
            if (!file_.Read(SectorOffset(sector), std::min<uint32_t>(sectorSize_, size - static_cast<uint32_t>(data.size())), 0, part))
                return Found::Unreadable;
            data.insert(data.end(), part.begin(), part.end());
        }
        return Found::Read;
    }

private:
    uint64_t SectorOffset(uint32_t sector) const { return (static_cast<uint64_t>(sector) + 1) * sectorSize_; }
    bool ReadSector(uint32_t sector, Bytes& bytes) const { return file_.Read(SectorOffset(sector), sectorSize_, 0xFF, bytes); }

    // `count` links of a chain from `start` (up to its end, when `open`); false when it leaves
    // its table or ends early.
    static bool Follow(const std::vector<uint32_t>& next, uint32_t at, uint32_t count, bool open, std::vector<uint32_t>& chain)
    {
        chain.clear();
        while (chain.size() < count) {
            if (open && at == kEndOfChain) return true;
            if (at >= next.size()) return false;
            chain.push_back(at);
            at = next[at];
        }
        return !open || at == kEndOfChain;
    }

    // The root's children form a tree through their sibling links: each entry is visited at
    // most once, so a link that loops ends the search.
    uint32_t FindChild(const Name& stored) const
    {
        const std::size_t entries = directory_.size() / kEntrySize;
        std::vector<uint8_t> seen(entries, 0);
        std::vector<uint32_t> pending{U32(directory_, 0x4C)};
        while (!pending.empty()) {
            uint32_t entry = pending.back();
            pending.pop_back();
            if (entry >= entries || seen[entry]) continue;
            seen[entry] = 1;
            std::size_t base = static_cast<std::size_t>(entry) * kEntrySize;
            std::size_t length = U16(directory_, base + 0x40) / 2;
            bool same = length == stored.size() + 1 && directory_[base + 0x42] == kStreamEntry;
            for (std::size_t i = 0; same && i < stored.size(); ++i) same = U16(directory_, base + 2 * i) == stored[i];
            if (same) return entry;
            pending.push_back(U32(directory_, base + 0x44));
            pending.push_back(U32(directory_, base + 0x48));
        }
        return kNoStream;
    }

    const File& file_;
    uint32_t sectorSize_ = 512;
    std::vector<uint32_t> fat_, miniFat_, miniStream_;
    Bytes directory_;
    uint32_t miniStreamSize_ = 0;
};

// One of the database's own streams, which every package has.
bool ReadTableStream(const RootStreams& streams, const wchar_t* name, Bytes& data)
{
    return streams.ReadStream(EncodeStreamName(NameOf(name), true), data) == RootStreams::Found::Read;
}

std::string TextOf(const Name& name) { return Utf8(name.data(), name.size()); }

}  // namespace

}  // namespace packagefile

using namespace packagefile;

std::optional<std::vector<PackageRow>> ReadPackageTable(const std::string& path, const char* table)
{
    File file(path);
    RootStreams streams(file);
    if (!file.opened() || !streams.Open()) return std::nullopt;
    Bytes poolBytes, data, columnBytes;
    StringPool pool;
    std::size_t badRow = 0;
    if (!ReadTableStream(streams, L"_StringPool", poolBytes) || !ReadTableStream(streams, L"_StringData", data) ||
        !ReadTableStream(streams, L"_Columns", columnBytes) || pool.Parse(poolBytes, std::move(data)) != StringPool::Fault::None)
        return std::nullopt;
    std::optional<std::vector<CatalogueColumn>> catalogue = ReadCatalogue(columnBytes, pool, badRow);
    if (!catalogue) return std::nullopt;
    std::vector<CatalogueColumn> found, columns;
    for (const CatalogueColumn& column : *catalogue)
        if (TextOf(pool.Text(column.table)) == table) found.push_back(column);
    // In the order of their numbers, 1 to n.
    for (std::size_t number = 1; number <= found.size(); ++number) {
        std::size_t before = columns.size();
        for (const CatalogueColumn& column : found)
            if (column.number == number) columns.push_back(column);
        if (columns.size() != before + 1) return std::nullopt;
    }
    std::vector<PackageRow> rows;
    if (columns.empty()) return rows;
    // Stored a column at a time: each column's values for every row, then the next column.
    std::size_t rowWidth = 0;
    for (const CatalogueColumn& column : columns) {
        if (column.type & kTypeTemporary) continue;
        unsigned width = ColumnWidth(column.type, pool.referenceWidth());
        if (width == 0) return std::nullopt;
        rowWidth += width;
    }
    Bytes cells;
    if (streams.ReadStream(EncodeStreamName(pool.Text(columns[0].table), true), cells) == RootStreams::Found::Unreadable ||
        rowWidth == 0 || cells.size() % rowWidth)
        return std::nullopt;
    for (std::size_t row = cells.size() / rowWidth; row > 0; --row) rows.emplace_back(columns.size());
    std::size_t start = 0;
    for (std::size_t c = 0; c < columns.size(); ++c) {
        unsigned type = columns[c].type;
        if (type & kTypeTemporary) continue;
        unsigned width = ColumnWidth(type, pool.referenceWidth());
        for (std::size_t row = 0; row < rows.size(); ++row, start += width) {
            OwnedString& field = rows[row][c];
            if (IsStringColumn(type)) {
                uint32_t id = Uint(cells, start, width);
                if (id != 0 && !pool.Holds(id)) return std::nullopt;
                if (id != 0 && pool.slots()[id].length) field = TextOf(pool.Text(id));
            } else if (!IsStreamColumn(type)) {
                int32_t value = width == 2 ? static_cast<int32_t>(U16(cells, start)) - 0x8000
                                           : static_cast<int32_t>(U32(cells, start) ^ 0x80000000u);
                if (width == 2 ? U16(cells, start) != 0 : U32(cells, start) != 0) field = std::to_string(value);
            }
        }
    }
    return rows;
}

OwnedString ReadPackageProperty(const std::string& path, const char* name)
{
    std::optional<std::vector<PackageRow>> rows = ReadPackageTable(path, table::Property);
    if (!rows) return std::nullopt;
    for (const PackageRow& row : *rows)
        if (row.size() >= property::Value && row[property::Property - 1] == std::string(name))
            return row[property::Value - 1];
    return std::nullopt;
}
