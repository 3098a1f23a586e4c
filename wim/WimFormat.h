// The parts of a Windows image (WIM) file that a split reads and writes: the
// 208-byte header and the lookup table. Everything here is little-endian on
// disk and host-order in these structs; WimFormat.cpp is the one place that
// turns the one into the other.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "common/ByteSource.h"

constexpr uint32_t kWimHeaderBytes = 208;
constexpr uint32_t kWimTableEntryBytes = 50;

// Header flags.
constexpr uint32_t kWimFlagSpanned = 0x8;             // one part of a split set
constexpr uint32_t kWimFlagResourceOnly = 0x10;
constexpr uint32_t kWimFlagMetadataOnly = 0x20;
constexpr uint32_t kWimFlagWriteInProgress = 0x40;    // a writer never finished
constexpr uint32_t kWimFlagCompressLzms = 0x80000;

// Resource flags.
constexpr uint8_t kWimResourceMetadata = 0x2;         // an image's metadata, the table or the XML
constexpr uint8_t kWimResourceCompressed = 0x4;
constexpr uint8_t kWimResourceSolid = 0x10;           // several files compressed as one (ESD)

// On disk, 24 bytes: +0 stored size (7 bytes), +7 flags, +8 offset from the
// start of the file, +16 original (uncompressed) size.
struct WimResource {
    uint64_t storedBytes = 0;
    uint8_t flags = 0;
    uint64_t offset = 0;
    uint64_t originalBytes = 0;
};

// On disk, 208 bytes:
//   +0x00 magic "MSWIM\0\0\0"      +0x08 header size (208)   +0x0c version
//   +0x10 flags                     +0x14 chunk size          +0x18 GUID (16)
//   +0x28 part number (16 bits)     +0x2a total parts (16)    +0x2c image count
//   +0x30 lookup table              +0x48 XML data            +0x60 boot metadata
//   +0x78 boot index (1-based, 0 = none)                      +0x7c integrity table
//   +0x94 60 unused bytes, zero
struct WimHeader {
    uint32_t version = 0;
    uint32_t flags = 0;
    uint32_t chunkBytes = 0;
    uint8_t guid[16] = {};
    uint16_t partNumber = 0;
    uint16_t totalParts = 0;
    uint32_t imageCount = 0;
    WimResource lookupTable;
    WimResource xmlData;
    WimResource bootMetadata;
    uint32_t bootIndex = 0;
    WimResource integrityTable;
};

// One entry of the lookup table, on disk 50 bytes: +0 the resource (24),
// +24 part number (16 bits), +26 reference count (32), +30 SHA-1 of the
// uncompressed data (20).
struct WimTableEntry {
    WimResource resource;
    uint16_t partNumber = 0;
    uint32_t referenceCount = 0;
    uint8_t hash[20] = {};
};

// Why an image cannot be split: every value but None is a refusal, decided
// before any part exists.
enum class WimRefusal {
    None,
    Damaged,           // truncated or inconsistent: tables or resources outside the file, bad magic, ...
    Pipable,           // wimlib's pipable layout ("WLPWM")
    Solid,             // solid or LZMS-compressed resources (an ESD)
    AlreadySplit,
    WriteInProgress,   // marked as still being written
    ResourceTooLarge,  // one resource cannot go into a part below 4 GiB
    TooManyParts,      // more than a header's 16-bit part count
    ReadFailed,
};

// A short reason that fits on a status line.
const char* WimRefusalText(WimRefusal refusal);

// Reads and checks the header: magic, header size, part numbers, and the
// lookup table and XML data lying inside the file after the header.
// *detail (may be null) says what was wrong.
WimRefusal ReadWimHeader(const ByteSource& source, WimHeader* header, std::string* detail);

// Reads every entry of the lookup table as stored, in its order. The table
// must be stored uncompressed, a whole number of entries, at most
// kWimTableMaxBytes. The entries are not checked here: what an entry's
// offset means depends on its flags (inside a solid resource it counts in
// the uncompressed data), which is the split's business.
// A Windows image's table is a few MiB; the limit keeps a damaged size from
// costing the 32-bit program its address space.
constexpr uint64_t kWimTableMaxBytes = uint64_t(64) << 20;
WimRefusal ReadWimTable(const ByteSource& source, const WimHeader& header, std::vector<WimTableEntry>* entries,
                        std::string* detail);

// The on-disk forms a part is written with.
void PutWimHeader(const WimHeader& header, uint8_t out[kWimHeaderBytes]);
void PutWimTableEntry(const WimTableEntry& entry, uint8_t out[kWimTableEntryBytes]);
