// Finding a file's extents in an ISO image. Each on-disk structure is
// declared once below with its layout (ECMA-167/OSTA UDF for UDF, ECMA-119
// with Joliet and Rock Ridge for ISO 9660) and read in one procedure; the
// walks see host-order fields only. Every offset and length read from the
// image is checked against the image's size, and every walk is bounded by
// the image's size or a fixed limit, never by a count from the image alone.
#include "iso/ImageFiles.h"

#include <algorithm>
#include <memory>
#include <unordered_set>

namespace {

const uint64_t kSectorBytes = 2048;
// A folder larger than this is refused rather than read into memory: real
// images hold a few hundred KiB in their largest folder.
const uint64_t kMaxFolderBytes = 64u << 20;

uint16_t Le16(const uint8_t* p) { return uint16_t(p[0] | p[1] << 8); }
uint16_t Be16(const uint8_t* p) { return uint16_t(p[0] << 8 | p[1]); }
uint32_t Le32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
uint64_t Le64(const uint8_t* p) { return uint64_t(Le32(p)) | uint64_t(Le32(p + 4)) << 32; }

// count bytes at offset, all inside the image.
bool ReadImageBytes(const ByteSource& image, uint64_t offset, uint64_t count, std::vector<uint8_t>* bytes) {
    if (offset > image.size || count > image.size - offset || count > SIZE_MAX) return false;
    bytes->resize(size_t(count));
    return count == 0 || image.readAt(offset, bytes->data(), size_t(count));
}

// A file's bytes gathered whole into memory (folders only: bounded by the caller).
bool ReadExtents(const ByteSource& image, const std::vector<Extent>& extents, std::vector<uint8_t>* bytes) {
    bytes->clear();
    std::vector<uint8_t> piece;
    for (const Extent& extent : extents) {
        if (!ReadImageBytes(image, extent.offset, extent.length, &piece)) return false;
        bytes->insert(bytes->end(), piece.begin(), piece.end());
    }
    return true;
}

void AppendUtf8(uint32_t code, std::string* text) {
    if (code < 0x80) {
        *text += char(code);
    } else if (code < 0x800) {
        *text += char(0xC0 | code >> 6);
        *text += char(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
        *text += char(0xE0 | code >> 12);
        *text += char(0x80 | (code >> 6 & 0x3F));
        *text += char(0x80 | (code & 0x3F));
    } else {
        *text += char(0xF0 | code >> 18);
        *text += char(0x80 | (code >> 12 & 0x3F));
        *text += char(0x80 | (code >> 6 & 0x3F));
        *text += char(0x80 | (code & 0x3F));
    }
}

// Big-endian UTF-16 (Joliet, CS0 16-bit) as UTF-8; a lone surrogate is kept
// as it is (it matches no path given in UTF-8).
std::string Utf16BeToUtf8(const uint8_t* bytes, size_t count) {
    std::string text;
    for (size_t i = 0; i + 1 < count; i += 2) {
        uint32_t code = Be16(bytes + i);
        if (code >= 0xD800 && code < 0xDC00 && i + 3 < count) {
            const uint32_t low = Be16(bytes + i + 2);
            if (low >= 0xDC00 && low < 0xE000) {
                code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
                i += 2;
            }
        }
        AppendUtf8(code, &text);
    }
    return text;
}

bool SameNameIgnoringCase(const std::string& name, const std::string& wanted) {
    if (name.size() != wanted.size()) return false;
    for (size_t i = 0; i < name.size(); ++i) {
        char a = name[i], b = wanted[i];
        if (a >= 'a' && a <= 'z') a = char(a - 32);
        if (b >= 'a' && b <= 'z') b = char(b - 32);
        if (a != b) return false;
    }
    return true;
}

// "sources\install.wim" or "/sources/install.wim" as its names; false for
// an empty path or a "." or ".." in it.
bool SplitImagePath(const std::string& path, std::vector<std::string>* names) {
    names->clear();
    std::string name;
    for (size_t i = 0; i <= path.size(); ++i) {
        if (i < path.size() && path[i] != '\\' && path[i] != '/') {
            name += path[i];
            continue;
        }
        if (name == "." || name == "..") return false;
        if (!name.empty()) names->push_back(name);
        name.clear();
    }
    return !names->empty();
}

// ---------------------------------------------------------------- UDF

// ECMA-167 3/7.2 descriptor tag, 16 bytes at the start of every descriptor:
// @0 identifier u16, @2 version u16, @4 checksum u8 (bytes 0-3 and 5-15),
// @6 serial u16, @8 CRC u16 (CRC-16/CCITT of the crcLength bytes after the
// tag), @10 crcLength u16, @12 location u32 (where the descriptor says it
// lies: the sector for volume descriptors, the partition's block otherwise).
struct UdfTag {
    uint16_t identifier;
    uint16_t crc;
    uint16_t crcLength;
    uint32_t location;
};

enum : uint16_t {
    kTagAnchor = 2,
    kTagVolumePointer = 3,
    kTagPartition = 5,
    kTagLogicalVolume = 6,
    kTagTerminating = 8,
    kTagFileSet = 256,
    kTagFileIdentifier = 257,
    kTagAllocationExtent = 258,
    kTagFileEntry = 261,
    kTagExtendedFileEntry = 266,
};

struct Crc16Table {
    uint16_t entries[256];
    Crc16Table() {
        for (int byte = 0; byte < 256; ++byte) {
            uint16_t crc = uint16_t(byte << 8);
            for (int bit = 0; bit < 8; ++bit) crc = uint16_t(crc & 0x8000 ? crc << 1 ^ 0x1021 : crc << 1);
            entries[byte] = crc;
        }
    }
};

uint16_t Crc16Ccitt(const uint8_t* bytes, size_t count) {
    static const Crc16Table table;
    uint16_t crc = 0;
    for (size_t i = 0; i < count; ++i) crc = uint16_t(crc << 8 ^ table.entries[(crc >> 8 ^ bytes[i]) & 0xFF]);
    return crc;
}

// The tag of the descriptor in bytes[0..count), checked: its checksum, and
// its CRC over bytes that must lie within count.
bool ReadUdfTag(const uint8_t* bytes, size_t count, UdfTag* tag) {
    if (count < 16) return false;
    uint8_t sum = 0;
    for (int i = 0; i < 16; ++i)
        if (i != 4) sum = uint8_t(sum + bytes[i]);
    if (sum != bytes[4]) return false;
    tag->identifier = Le16(bytes);
    tag->crc = Le16(bytes + 8);
    tag->crcLength = Le16(bytes + 10);
    tag->location = Le32(bytes + 12);
    return size_t(tag->crcLength) <= count - 16 && Crc16Ccitt(bytes + 16, tag->crcLength) == tag->crc;
}

// ECMA-167 4/14.14.2 long_ad, 16 bytes: @0 length u32 (top two bits: the
// extent's type), @4 block u32, @8 partition reference u16, @10 reserved.
// short_ad (4/14.14.1), 8 bytes: @0 length u32 as above, @4 block u32, in
// the partition of the descriptor that holds it.
struct UdfAllocation {
    uint32_t type;  // 0 recorded, 1 allocated only, 2 neither, 3 more descriptors
    uint32_t length;
    uint32_t block;
    uint16_t partition;
};

UdfAllocation ReadUdfAllocation(const uint8_t* bytes, bool isLong) {
    UdfAllocation ad;
    const uint32_t length = Le32(bytes);
    ad.type = length >> 30;
    ad.length = length & 0x3FFFFFFF;
    ad.block = Le32(bytes + 4);
    ad.partition = isLong ? Le16(bytes + 8) : 0;
    return ad;
}

// ECMA-167 3/10.2 anchor volume descriptor pointer (tag 2), sector 256:
// @16 main volume descriptor sequence (length u32, sector u32), @24 the
// reserve sequence.
struct UdfAnchor {
    uint32_t mainLength, mainSector;
    uint32_t reserveLength, reserveSector;
};

// ECMA-167 3/10.5 partition descriptor (tag 5): @16 sequence number u32,
// @22 partition number u16, @24 contents (regid, "+NSR02" or "+NSR03" at
// @25), @188 start sector u32, @192 length in sectors u32.
struct UdfPartition {
    bool present = false;
    uint32_t sequenceNumber = 0;
    uint16_t number = 0;
    uint32_t startSector = 0;
    uint32_t sectorCount = 0;
};

// ECMA-167 3/10.6 logical volume descriptor (tag 6): @16 sequence number
// u32, @212 block size u32, @248 file set descriptor (long_ad), @264 map
// table length u32, @268 map count u32, @440 the partition maps. Map type 1
// (3/10.7.2), 6 bytes: @0 type 1, @1 length 6, @2 volume sequence u16, @4
// partition number u16. Type 2 maps (virtual, sparable, metadata) are not
// read.
struct UdfLogicalVolume {
    bool present = false;
    uint32_t sequenceNumber = 0;
    uint32_t blockSize = 0;
    UdfAllocation fileSet{};
    uint16_t partitionNumber = 0;  // of its one type 1 map
    bool mapsReadable = false;
};

// ECMA-167 4/14.9 file entry (tag 261) and 4/14.17 extended file entry (tag
// 266). ICB tag at @16 (4/14.6): @20 strategy u16, @27 file type u8, @34
// flags u16 (bits 0-2: allocation descriptors short 0, long 1, extended 2,
// data inside the entry 3). File entry: @56 information length u64, @168
// extended attributes length u32, @172 allocation descriptors length u32,
// @176 the attributes then the descriptors. Extended file entry: @56
// information length u64, @208, @212 the two lengths, @216 the attributes.
struct UdfFileEntry {
    uint16_t strategy;
    uint8_t fileType;  // 4 folder, 5 file
    uint16_t allocationKind;
    uint64_t size;
    uint32_t descriptorsAt;  // within the entry's block
    uint32_t descriptorsLength;
};

// ECMA-167 4/14.4 file identifier descriptor (tag 257), in a folder's data:
// @18 characteristics u8 (2 folder, 4 deleted, 8 parent), @19 name length
// u8, @20 the entry (long_ad), @36 implementation use length u16, @38 that,
// then the name (OSTA CS0: a byte 8 or 16, then 8-bit or big-endian 16-bit
// characters); the whole padded to 4 bytes.
struct UdfFileIdentifier {
    uint8_t characteristics;
    UdfAllocation entry;
    std::string name;  // UTF-8; empty when its compression is unknown
    size_t bytes;      // with padding
};

// ECMA-167 4/14.5 allocation extent descriptor (tag 258): @20 length of the
// descriptors u32, @24 the descriptors.

struct UdfVolume {
    uint64_t partitionOffset;  // bytes
    uint64_t partitionBlocks;
    uint32_t blockSize;
    UdfAllocation fileSet;
};

bool ReadUdfAnchor(const ByteSource& image, UdfAnchor* anchor) {
    std::vector<uint8_t> sector;
    UdfTag tag;
    if (!ReadImageBytes(image, 256 * kSectorBytes, kSectorBytes, &sector) ||
        !ReadUdfTag(sector.data(), sector.size(), &tag) || tag.identifier != kTagAnchor || tag.location != 256)
        return false;
    anchor->mainLength = Le32(&sector[16]);
    anchor->mainSector = Le32(&sector[20]);
    anchor->reserveLength = Le32(&sector[24]);
    anchor->reserveSector = Le32(&sector[28]);
    return true;
}

void ReadUdfPartition(const uint8_t* d, UdfPartition* partition) {
    const uint32_t sequenceNumber = Le32(d + 16);
    if (partition->present && sequenceNumber < partition->sequenceNumber) return;
    const bool nsr = std::equal(d + 25, d + 30, "+NSR0") && (d[30] == '2' || d[30] == '3');
    partition->present = nsr;
    partition->sequenceNumber = sequenceNumber;
    partition->number = Le16(d + 22);
    partition->startSector = Le32(d + 188);
    partition->sectorCount = Le32(d + 192);
}

void ReadUdfLogicalVolume(const uint8_t* d, UdfLogicalVolume* volume) {
    const uint32_t sequenceNumber = Le32(d + 16);
    if (volume->present && sequenceNumber < volume->sequenceNumber) return;
    volume->present = true;
    volume->sequenceNumber = sequenceNumber;
    volume->blockSize = Le32(d + 212);
    volume->fileSet = ReadUdfAllocation(d + 248, true);
    const uint32_t mapTableLength = Le32(d + 264), mapCount = Le32(d + 268);
    // One type 1 map, which reads blocks straight from the partition.
    volume->mapsReadable = mapCount == 1 && mapTableLength >= 6 && d[440] == 1 && d[441] == 6;
    volume->partitionNumber = Le16(d + 444);
}

// One volume descriptor sequence: the last partition and logical volume
// descriptors of each kind (the highest sequence number wins).
bool ReadUdfDescriptorSequence(const ByteSource& image, uint32_t firstSector, uint32_t length,
                               UdfPartition* partition, UdfLogicalVolume* volume) {
    uint64_t sector = firstSector;
    uint64_t end = sector + length / kSectorBytes;
    std::vector<uint8_t> bytes;
    // The sequence may continue elsewhere through pointers (tag 3); a few
    // hops and a few hundred descriptors are more than any image needs.
    for (int hops = 0, read = 0; sector < end && read < 256; ++read) {
        UdfTag tag;
        if (!ReadImageBytes(image, sector * kSectorBytes, kSectorBytes, &bytes)) return false;
        // An unrecorded sector ends the sequence as a terminating descriptor does.
        if (std::all_of(bytes.begin(), bytes.begin() + 16, [](uint8_t b) { return b == 0; })) break;
        if (!ReadUdfTag(bytes.data(), bytes.size(), &tag) || tag.location != sector)
            return false;
        if (tag.identifier == kTagTerminating) break;
        if (tag.identifier == kTagVolumePointer) {
            if (++hops > 8) return false;
            // ECMA-167 3/10.3 volume descriptor pointer: @20 the next extent (length u32, sector u32).
            sector = Le32(&bytes[24]);
            end = sector + Le32(&bytes[20]) / kSectorBytes;
            continue;
        }
        if (tag.identifier == kTagPartition) ReadUdfPartition(bytes.data(), partition);
        if (tag.identifier == kTagLogicalVolume) ReadUdfLogicalVolume(bytes.data(), volume);
        ++sector;
    }
    return partition->present && volume->present;
}

bool ReadUdfVolume(const ByteSource& image, const UdfAnchor& anchor, UdfVolume* udf) {
    UdfPartition partition;
    UdfLogicalVolume volume;
    if (!ReadUdfDescriptorSequence(image, anchor.mainSector, anchor.mainLength, &partition, &volume)) {
        partition = UdfPartition();
        volume = UdfLogicalVolume();
        if (!ReadUdfDescriptorSequence(image, anchor.reserveSector, anchor.reserveLength, &partition, &volume))
            return false;
    }
    const uint32_t blockSize = volume.blockSize;
    if (!volume.mapsReadable || volume.partitionNumber != partition.number || blockSize < 512 ||
        blockSize > 65536 || (blockSize & (blockSize - 1)) != 0)
        return false;
    udf->partitionOffset = uint64_t(partition.startSector) * kSectorBytes;
    const uint64_t partitionBytes = uint64_t(partition.sectorCount) * kSectorBytes;
    if (udf->partitionOffset > image.size || partitionBytes > image.size - udf->partitionOffset) return false;
    udf->partitionBlocks = partitionBytes / blockSize;
    udf->blockSize = blockSize;
    udf->fileSet = volume.fileSet;
    return true;
}

// One block of the partition holding a descriptor of the given kind that
// says it lies there.
bool ReadUdfBlock(const ByteSource& image, const UdfVolume& udf, const UdfAllocation& where,
                  std::vector<uint8_t>* block, UdfTag* tag) {
    if (where.partition != 0 || where.block >= udf.partitionBlocks) return false;
    return ReadImageBytes(image, udf.partitionOffset + uint64_t(where.block) * udf.blockSize, udf.blockSize, block) &&
           ReadUdfTag(block->data(), block->size(), tag) && tag->location == where.block;
}

bool ReadUdfFileEntry(const std::vector<uint8_t>& block, const UdfTag& tag, UdfFileEntry* entry) {
    uint32_t lengthsAt, attributesAt;
    if (tag.identifier == kTagFileEntry) {
        lengthsAt = 168;
        attributesAt = 176;
    } else if (tag.identifier == kTagExtendedFileEntry) {
        lengthsAt = 208;
        attributesAt = 216;
    } else {
        return false;
    }
    const uint8_t* d = block.data();
    entry->strategy = Le16(d + 20);
    entry->fileType = d[27];
    entry->allocationKind = Le16(d + 34) & 7;
    entry->size = Le64(d + 56);
    const uint64_t attributes = Le32(d + lengthsAt), descriptors = Le32(d + lengthsAt + 4);
    if (attributesAt + attributes + descriptors > block.size()) return false;
    entry->descriptorsAt = uint32_t(attributesAt + attributes);
    entry->descriptorsLength = uint32_t(descriptors);
    return true;
}

// The extents of the entry at where: every byte recorded, none merely
// allocated or left out (sparse), the lengths adding up to its size.
bool UdfEntryExtents(const ByteSource& image, const UdfVolume& udf, const UdfAllocation& where, UdfFileEntry* entry,
                     std::vector<Extent>* extents) {
    std::vector<uint8_t> block;
    UdfTag tag;
    // Strategy 4 is the one entry per file that every mastering tool writes.
    if (!ReadUdfBlock(image, udf, where, &block, &tag) || !ReadUdfFileEntry(block, tag, entry) ||
        entry->strategy != 4 || entry->size > image.size)
        return false;
    extents->clear();
    const uint64_t entryOffset = udf.partitionOffset + uint64_t(where.block) * udf.blockSize;
    if (entry->allocationKind == 3) {
        if (entry->size > entry->descriptorsLength) return false;
        if (entry->size) extents->push_back({entryOffset + entry->descriptorsAt, entry->size});
        return true;
    }
    if (entry->allocationKind > 1) return false;
    const bool isLong = entry->allocationKind == 1;
    const size_t step = isLong ? 16 : 8;
    std::vector<uint8_t> area(block.begin() + entry->descriptorsAt,
                              block.begin() + entry->descriptorsAt + entry->descriptorsLength);
    // Each continuation block is visited once: a chain that loops is refused.
    std::unordered_set<uint32_t> continuations;
    uint64_t total = 0;
    size_t at = 0;
    while (total < entry->size) {
        if (area.size() - at < step) return false;
        UdfAllocation ad = ReadUdfAllocation(&area[at], isLong);
        at += step;
        if (!isLong) ad.partition = where.partition;
        if (ad.length == 0) return false;
        if (ad.type == 3) {
            UdfTag next;
            if (!continuations.insert(ad.block).second || !ReadUdfBlock(image, udf, ad, &block, &next) ||
                next.identifier != kTagAllocationExtent)
                return false;
            const uint64_t length = Le32(&block[20]);
            if (24 + length > std::min<uint64_t>(ad.length, block.size())) return false;
            area.assign(block.begin() + 24, block.begin() + 24 + length);
            at = 0;
            continue;
        }
        // Allocated but unrecorded, or not allocated at all: bytes that the
        // image does not hold.
        if (ad.type != 0 || ad.partition != 0) return false;
        // Only the last extent may end inside a block.
        if (total % udf.blockSize != 0) return false;
        const uint64_t blocks = (uint64_t(ad.length) + udf.blockSize - 1) / udf.blockSize;
        if (ad.block > udf.partitionBlocks || blocks > udf.partitionBlocks - ad.block) return false;
        const uint64_t length = std::min<uint64_t>(ad.length, entry->size - total);
        extents->push_back({udf.partitionOffset + uint64_t(ad.block) * udf.blockSize, length});
        total += ad.length;
    }
    return true;
}

bool ReadUdfFileIdentifier(const uint8_t* d, size_t count, UdfFileIdentifier* fid) {
    UdfTag tag;
    if (count < 38) return false;
    const size_t nameLength = d[19], useLength = Le16(d + 36);
    const size_t length = 38 + useLength + nameLength;
    fid->bytes = (length + 3) & ~size_t(3);
    if (fid->bytes > count || !ReadUdfTag(d, fid->bytes, &tag) || tag.identifier != kTagFileIdentifier) return false;
    fid->characteristics = d[18];
    fid->entry = ReadUdfAllocation(d + 20, true);
    fid->name.clear();
    const uint8_t* name = d + 38 + useLength;
    if (nameLength > 0 && name[0] == 8) {
        for (size_t i = 1; i < nameLength; ++i) AppendUtf8(name[i], &fid->name);
    } else if (nameLength > 0 && name[0] == 16 && nameLength % 2 == 1) {
        fid->name = Utf16BeToUtf8(name + 1, nameLength - 1);
    }
    return true;
}

bool FindUdfFile(const ByteSource& image, const std::vector<std::string>& names, std::vector<Extent>* extents,
                 uint64_t* size) {
    UdfAnchor anchor;
    UdfVolume udf;
    std::vector<uint8_t> block;
    UdfTag tag;
    if (!ReadUdfAnchor(image, &anchor) || !ReadUdfVolume(image, anchor, &udf) ||
        !ReadUdfBlock(image, udf, udf.fileSet, &block, &tag) || tag.identifier != kTagFileSet)
        return false;
    // ECMA-167 4/14.1 file set descriptor (tag 256): @400 the root folder's entry (long_ad).
    UdfAllocation where = ReadUdfAllocation(&block[400], true);
    UdfFileEntry entry;
    std::vector<uint8_t> folder;
    for (const std::string& wanted : names) {
        if (!UdfEntryExtents(image, udf, where, &entry, extents) || entry.fileType != 4 ||
            entry.size > kMaxFolderBytes || !ReadExtents(image, *extents, &folder))
            return false;
        bool found = false;
        UdfFileIdentifier fid;
        for (size_t at = 0; at < folder.size() && !found; at += fid.bytes) {
            if (!ReadUdfFileIdentifier(&folder[at], folder.size() - at, &fid)) return false;
            found = !(fid.characteristics & 0x0C) && SameNameIgnoringCase(fid.name, wanted);
        }
        if (!found) return false;
        where = fid.entry;
    }
    if (!UdfEntryExtents(image, udf, where, &entry, extents) || entry.fileType != 5) return false;
    *size = entry.size;
    return true;
}

// ---------------------------------------------------------------- ISO 9660

// ECMA-119 8.4 volume descriptor, one sector from sector 16 on: @0 type u8
// (1 primary, 2 supplementary, 255 the end), @1 "CD001", @6 version 1, @7
// flags (supplementary), @80 volume size in blocks (u32 LE), @88 escape
// sequences (Joliet: "%/@", "%/C" or "%/E"), @128 block size (u16 LE), @156
// the root folder's record.
struct IsoVolume {
    bool present = false;
    uint32_t blockSize = 0;
    uint32_t rootBlock = 0;
    uint32_t rootLength = 0;
    bool joliet = false;
};

// ECMA-119 9.1 directory record: @0 length u8, @1 extended attribute
// length u8 (blocks before the data), @2 first block (u32 LE), @10 data
// length (u32 LE), @25 flags (2 folder, 4 associated, 0x80 more extents
// follow), @26 file unit size, @27 interleave gap, @32 name length, @33 the
// name, then one padding byte when the name's length is even, then the
// system use area (Rock Ridge).
struct IsoRecord {
    uint32_t length;
    uint64_t dataOffset;  // bytes in the image
    uint32_t dataLength;
    uint8_t flags;
    bool interleaved;
    std::string rawName;  // as recorded, to tell the sections of one file
    std::string name;     // UTF-8, version and trailing dot removed; Rock Ridge's when it has one
    bool special;         // "." or ".."
};

// Rock Ridge (SUSP entries: @0 signature, @2 length u8, @3 version): NM
// (@4 flags: 1 continues, 2 ".", 4 ".."; @5 name) and CE (the area goes on
// at @4 block, @12 offset, @20 length; all u32 LE first).
bool ReadRockRidgeName(const ByteSource& image, uint32_t blockSize, std::vector<uint8_t> area, std::string* name,
                       bool* present) {
    *present = false;
    bool continues = false;
    for (int areas = 0; areas < 8; ++areas) {
        uint64_t nextOffset = 0, nextLength = 0;
        for (size_t at = 0; area.size() - at >= 4;) {
            const uint8_t* e = &area[at];
            const size_t length = e[2];
            if (length < 4 || length > area.size() - at) break;
            if (e[0] == 'S' && e[1] == 'T') break;
            if (e[0] == 'C' && e[1] == 'E' && length >= 28) {
                nextOffset = uint64_t(Le32(e + 4)) * blockSize + Le32(e + 12);
                nextLength = Le32(e + 20);
            }
            if (e[0] == 'N' && e[1] == 'M' && length >= 5 && !(e[4] & 6)) {
                if (!continues) name->clear();
                name->append(reinterpret_cast<const char*>(e + 5), length - 5);
                continues = e[4] & 1;
                *present = true;
            }
            at += length;
        }
        if (nextLength == 0) return !continues;
        if (nextLength > kSectorBytes || !ReadImageBytes(image, nextOffset, nextLength, &area)) return false;
    }
    return false;
}

bool ReadIsoRecord(const ByteSource& image, const IsoVolume& volume, const uint8_t* d, size_t count,
                   IsoRecord* record) {
    if (count < 34 || d[0] < 34 || d[0] > count || 33u + d[32] > d[0]) return false;
    record->length = d[0];
    record->dataOffset = (uint64_t(Le32(d + 2)) + d[1]) * volume.blockSize;
    record->dataLength = Le32(d + 10);
    record->flags = d[25];
    record->interleaved = d[26] != 0 || d[27] != 0;
    const size_t nameLength = d[32];
    const uint8_t* name = d + 33;
    record->rawName.assign(reinterpret_cast<const char*>(name), nameLength);
    record->special = nameLength == 1 && name[0] <= 1;
    record->name = volume.joliet ? Utf16BeToUtf8(name, nameLength) : record->rawName;
    record->name = record->name.substr(0, record->name.find(';'));
    if (!record->name.empty() && record->name.back() == '.') record->name.pop_back();
    if (!volume.joliet && !record->special) {
        const size_t systemUse = 33 + nameLength + (nameLength % 2 == 0);
        std::string rockRidge;
        bool present = false;
        if (systemUse < record->length &&
            !ReadRockRidgeName(image, volume.blockSize, std::vector<uint8_t>(d + systemUse, d + record->length),
                               &rockRidge, &present))
            return false;
        if (present) record->name = rockRidge;
    }
    return true;
}

bool ReadIsoVolume(const ByteSource& image, IsoVolume* chosen) {
    IsoVolume primary, joliet;
    std::vector<uint8_t> d;
    for (uint64_t sector = 16; sector < 16 + 64; ++sector) {
        if (!ReadImageBytes(image, sector * kSectorBytes, kSectorBytes, &d) || !std::equal(&d[1], &d[6], "CD001") ||
            d[6] != 1)
            return false;
        if (d[0] == 255) break;
        const bool isJoliet = d[0] == 2 && !(d[7] & 1) && d[88] == '%' && d[89] == '/' &&
                              (d[90] == '@' || d[90] == 'C' || d[90] == 'E');
        if (d[0] != 1 && !isJoliet) continue;
        IsoVolume volume;
        volume.present = true;
        volume.joliet = isJoliet;
        volume.blockSize = Le16(&d[128]);
        volume.rootBlock = Le32(&d[156 + 2]);
        volume.rootLength = Le32(&d[156 + 10]);
        if (volume.blockSize < 512 || volume.blockSize > kSectorBytes || (volume.blockSize & (volume.blockSize - 1)))
            return false;
        (isJoliet ? joliet : primary) = volume;
    }
    *chosen = joliet.present ? joliet : primary;
    return chosen->present;
}

bool FindIsoFile(const ByteSource& image, const std::vector<std::string>& names, std::vector<Extent>* extents,
                 uint64_t* size) {
    IsoVolume volume;
    if (!ReadIsoVolume(image, &volume)) return false;
    uint64_t folderOffset = uint64_t(volume.rootBlock) * volume.blockSize;
    uint64_t folderLength = volume.rootLength;
    std::vector<uint8_t> folder;
    for (size_t depth = 0; depth < names.size(); ++depth) {
        const bool last = depth + 1 == names.size();
        if (folderLength > kMaxFolderBytes || !ReadImageBytes(image, folderOffset, folderLength, &folder))
            return false;
        extents->clear();
        *size = 0;
        bool found = false, inFile = false;
        IsoRecord record;
        std::string sectionsOf;
        for (size_t at = 0; at < folder.size() && !found; at += record.length) {
            // Records never cross a sector; a zero byte pads to the next one,
            // also between the sections of one file.
            const uint64_t nextSector = (at / kSectorBytes + 1) * kSectorBytes;
            const size_t sectorEnd = size_t(std::min<uint64_t>(folder.size(), nextSector));
            if (folder[at] == 0) {
                record.length = uint32_t(sectorEnd - at);
                continue;
            }
            if (!ReadIsoRecord(image, volume, &folder[at], sectorEnd - at, &record)) return false;
            // The sections of a multi-extent file follow one another under one name.
            if (inFile && record.rawName != sectionsOf) return false;
            const bool more = record.flags & 0x80;
            if (record.special || (record.flags & 4) || !SameNameIgnoringCase(record.name, names[depth])) {
                inFile = more;
                sectionsOf = record.rawName;
                continue;
            }
            if (!inFile) {
                extents->clear();
                *size = 0;
            }
            if (record.interleaved || (!last && (more || !(record.flags & 2))) || (last && (record.flags & 2)))
                return false;
            if (record.dataOffset > image.size || record.dataLength > image.size - record.dataOffset) return false;
            if (record.dataLength) extents->push_back({record.dataOffset, record.dataLength});
            *size += record.dataLength;
            folderOffset = record.dataOffset;
            folderLength = record.dataLength;
            inFile = more;
            sectionsOf = record.rawName;
            found = !more;
        }
        if (!found) return false;
    }
    return *size <= image.size;
}

}  // namespace

bool FindImageFile(const ByteSource& image, const std::string& path, std::vector<Extent>* extents, uint64_t* size) {
    std::vector<std::string> names;
    std::vector<Extent> found;
    uint64_t foundSize = 0;
    if (!image.readAt || !SplitImagePath(path, &names)) return false;
    // Where the image has UDF, its tree is the one that holds the real
    // files: ISO 9660 may show a placeholder of the same name.
    UdfAnchor anchor;
    const bool ok = ReadUdfAnchor(image, &anchor) ? FindUdfFile(image, names, &found, &foundSize)
                                                  : FindIsoFile(image, names, &found, &foundSize);
    if (!ok) return false;
    *extents = std::move(found);
    *size = foundSize;
    return true;
}

ByteSource ImageFileSource(const ByteSource& image, std::vector<Extent> extents, uint64_t size) {
    struct Layout {
        ByteSource image;
        std::vector<Extent> extents;
        std::vector<uint64_t> starts;  // each extent's first byte within the file
    };
    auto layout = std::make_shared<Layout>();
    layout->image = image;
    uint64_t start = 0;
    for (const Extent& extent : extents) {
        if (extent.length == 0) continue;
        layout->extents.push_back(extent);
        layout->starts.push_back(start);
        start += extent.length;
    }
    ByteSource file;
    file.size = size;
    file.readAt = [layout, size](uint64_t offset, void* buffer, size_t count) {
        const ByteSource& image = layout->image;
        if (offset > size || count > size - offset) return false;
        uint8_t* out = static_cast<uint8_t*>(buffer);
        size_t index = size_t(std::upper_bound(layout->starts.begin(), layout->starts.end(), offset) -
                              layout->starts.begin());
        while (count > 0) {
            if (index == 0 || index > layout->extents.size()) return false;
            const Extent& extent = layout->extents[index - 1];
            const uint64_t within = offset - layout->starts[index - 1];
            if (within >= extent.length) return false;
            const size_t piece = size_t(std::min<uint64_t>(count, extent.length - within));
            if (!image.readAt(extent.offset + within, out, piece)) return false;
            out += piece;
            offset += piece;
            count -= piece;
            ++index;
        }
        return true;
    };
    return file;
}
