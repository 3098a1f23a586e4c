#include "wim/WimFormat.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr uint8_t kWimMagic[8] = {'M', 'S', 'W', 'I', 'M', 0, 0, 0};
constexpr uint8_t kPipableMagic[8] = {'W', 'L', 'P', 'W', 'M', 0, 0, 0};

// Where each field of the header lies (see WimFormat.h).
constexpr size_t kAtMagic = 0x00, kAtHeaderSize = 0x08, kAtVersion = 0x0c, kAtFlags = 0x10, kAtChunkSize = 0x14,
                 kAtGuid = 0x18, kAtPartNumber = 0x28, kAtTotalParts = 0x2a, kAtImageCount = 0x2c,
                 kAtLookupTable = 0x30, kAtXmlData = 0x48, kAtBootMetadata = 0x60, kAtBootIndex = 0x78,
                 kAtIntegrityTable = 0x7c;
// And of a lookup table entry.
constexpr size_t kAtEntryPart = 24, kAtEntryReferences = 26, kAtEntryHash = 30;

uint64_t GetLittle(const uint8_t* at, int bytes) {
    uint64_t value = 0;
    for (int i = bytes - 1; i >= 0; --i) value = value << 8 | at[i];
    return value;
}

void PutLittle(uint64_t value, int bytes, uint8_t* at) {
    for (int i = 0; i < bytes; ++i) at[i] = uint8_t(value >> (8 * i));
}

WimResource GetResource(const uint8_t* at) {
    WimResource resource;
    resource.storedBytes = GetLittle(at, 7);
    resource.flags = at[7];
    resource.offset = GetLittle(at + 8, 8);
    resource.originalBytes = GetLittle(at + 16, 8);
    return resource;
}

void PutResource(const WimResource& resource, uint8_t* at) {
    PutLittle(resource.storedBytes, 7, at);
    at[7] = resource.flags;
    PutLittle(resource.offset, 8, at + 8);
    PutLittle(resource.originalBytes, 8, at + 16);
}

// After the header and inside the file; overflow-proof.
bool InsideFile(const WimResource& resource, uint64_t fileBytes) {
    return resource.offset >= kWimHeaderBytes && resource.offset <= fileBytes &&
           resource.storedBytes <= fileBytes - resource.offset;
}

WimRefusal Refuse(WimRefusal refusal, const char* why, std::string* detail) {
    if (detail) *detail = why;
    return refusal;
}

}  // namespace

const char* WimRefusalText(WimRefusal refusal) {
    switch (refusal) {
    case WimRefusal::None: return "";
    case WimRefusal::Damaged: return "the image is damaged or truncated";
    case WimRefusal::Pipable: return "a pipable image can't be split";
    case WimRefusal::Solid: return "a solid (ESD or LZMS) image can't be split";
    case WimRefusal::AlreadySplit: return "the image is already split";
    case WimRefusal::WriteInProgress: return "the image was never finished";
    case WimRefusal::ResourceTooLarge: return "a file inside the image is too large for FAT32";
    case WimRefusal::TooManyParts: return "too many parts for the part size";
    case WimRefusal::ReadFailed: return "the image could not be read";
    }
    return "";
}

WimRefusal ReadWimHeader(const ByteSource& source, WimHeader* header, std::string* detail) {
    *header = WimHeader();
    if (source.size < kWimHeaderBytes) return Refuse(WimRefusal::Damaged, "shorter than a header", detail);
    uint8_t raw[kWimHeaderBytes];
    if (!source.readAt(0, raw, sizeof raw)) return Refuse(WimRefusal::ReadFailed, "header unreadable", detail);
    if (std::memcmp(raw + kAtMagic, kPipableMagic, 8) == 0)
        return Refuse(WimRefusal::Pipable, "pipable magic", detail);
    if (std::memcmp(raw + kAtMagic, kWimMagic, 8) != 0) return Refuse(WimRefusal::Damaged, "no WIM magic", detail);
    if (GetLittle(raw + kAtHeaderSize, 4) != kWimHeaderBytes)
        return Refuse(WimRefusal::Damaged, "header size is not 208", detail);
    header->version = uint32_t(GetLittle(raw + kAtVersion, 4));
    header->flags = uint32_t(GetLittle(raw + kAtFlags, 4));
    header->chunkBytes = uint32_t(GetLittle(raw + kAtChunkSize, 4));
    std::memcpy(header->guid, raw + kAtGuid, 16);
    header->partNumber = uint16_t(GetLittle(raw + kAtPartNumber, 2));
    header->totalParts = uint16_t(GetLittle(raw + kAtTotalParts, 2));
    header->imageCount = uint32_t(GetLittle(raw + kAtImageCount, 4));
    header->lookupTable = GetResource(raw + kAtLookupTable);
    header->xmlData = GetResource(raw + kAtXmlData);
    header->bootMetadata = GetResource(raw + kAtBootMetadata);
    header->bootIndex = uint32_t(GetLittle(raw + kAtBootIndex, 4));
    header->integrityTable = GetResource(raw + kAtIntegrityTable);
    if (header->partNumber == 0 || header->partNumber > header->totalParts)
        return Refuse(WimRefusal::Damaged, "part number out of range", detail);
    if (!InsideFile(header->lookupTable, source.size))
        return Refuse(WimRefusal::Damaged, "lookup table outside the file", detail);
    if (!InsideFile(header->xmlData, source.size))
        return Refuse(WimRefusal::Damaged, "XML data outside the file", detail);
    return WimRefusal::None;
}

WimRefusal ReadWimTable(const ByteSource& source, const WimHeader& header, std::vector<WimTableEntry>* entries,
                        std::string* detail) {
    entries->clear();
    const WimResource& table = header.lookupTable;
    if (!InsideFile(table, source.size)) return Refuse(WimRefusal::Damaged, "lookup table outside the file", detail);
    if (table.flags & (kWimResourceCompressed | kWimResourceSolid) || table.storedBytes != table.originalBytes)
        return Refuse(WimRefusal::Damaged, "lookup table stored compressed", detail);
    if (table.storedBytes % kWimTableEntryBytes != 0)
        return Refuse(WimRefusal::Damaged, "lookup table not a whole number of entries", detail);
    if (table.storedBytes > kWimTableMaxBytes) return Refuse(WimRefusal::Damaged, "lookup table too large", detail);
    entries->reserve(size_t(table.storedBytes / kWimTableEntryBytes));
    // Read in slices of whole entries, so that memory follows the entry count.
    std::vector<uint8_t> slice(kWimTableEntryBytes * 8192);
    for (uint64_t done = 0; done < table.storedBytes;) {
        const size_t count = size_t(std::min<uint64_t>(slice.size(), table.storedBytes - done));
        if (!source.readAt(table.offset + done, slice.data(), count))
            return Refuse(WimRefusal::ReadFailed, "lookup table unreadable", detail);
        for (size_t at = 0; at < count; at += kWimTableEntryBytes) {
            const uint8_t* raw = slice.data() + at;
            WimTableEntry entry;
            entry.resource = GetResource(raw);
            entry.partNumber = uint16_t(GetLittle(raw + kAtEntryPart, 2));
            entry.referenceCount = uint32_t(GetLittle(raw + kAtEntryReferences, 4));
            std::memcpy(entry.hash, raw + kAtEntryHash, 20);
            entries->push_back(entry);
        }
        done += count;
    }
    return WimRefusal::None;
}

void PutWimHeader(const WimHeader& header, uint8_t out[kWimHeaderBytes]) {
    std::memset(out, 0, kWimHeaderBytes);
    std::memcpy(out + kAtMagic, kWimMagic, 8);
    PutLittle(kWimHeaderBytes, 4, out + kAtHeaderSize);
    PutLittle(header.version, 4, out + kAtVersion);
    PutLittle(header.flags, 4, out + kAtFlags);
    PutLittle(header.chunkBytes, 4, out + kAtChunkSize);
    std::memcpy(out + kAtGuid, header.guid, 16);
    PutLittle(header.partNumber, 2, out + kAtPartNumber);
    PutLittle(header.totalParts, 2, out + kAtTotalParts);
    PutLittle(header.imageCount, 4, out + kAtImageCount);
    PutResource(header.lookupTable, out + kAtLookupTable);
    PutResource(header.xmlData, out + kAtXmlData);
    PutResource(header.bootMetadata, out + kAtBootMetadata);
    PutLittle(header.bootIndex, 4, out + kAtBootIndex);
    PutResource(header.integrityTable, out + kAtIntegrityTable);
}

void PutWimTableEntry(const WimTableEntry& entry, uint8_t out[kWimTableEntryBytes]) {
    PutResource(entry.resource, out);
    PutLittle(entry.partNumber, 2, out + kAtEntryPart);
    PutLittle(entry.referenceCount, 4, out + kAtEntryReferences);
    std::memcpy(out + kAtEntryHash, entry.hash, 20);
}
