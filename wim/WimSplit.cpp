#include "wim/WimSplit.h"

#include <algorithm>
#include <cstring>

#include "common/Sha256.h"

namespace {

// A Windows image's XML data is some tens of KiB; this only keeps a damaged
// size field from asking for gigabytes.
constexpr uint64_t kXmlMaxBytes = uint64_t(64) << 20;
constexpr uint16_t kMaxParts = 0xFFFF;

WimRefusal Refuse(WimSplitPlan* plan, WimRefusal refusal, const std::string& detail) {
    plan->refusal = refusal;
    plan->detail = detail;
    plan->parts.clear();
    plan->totalBytes = 0;
    return refusal;
}

bool ZeroHash(const WimTableEntry& entry) {
    static const uint8_t zero[20] = {};
    return std::memcmp(entry.hash, zero, 20) == 0;
}

// The entries a split carries over, as wimlib reads a table: entries without
// a hash or without data are placeholders, entries of another part cannot be
// in a file that is no split set, metadata without a reference belongs to no
// image, and of two entries with one hash the first counts.
void KeepEntries(const std::vector<WimTableEntry>& entries, std::vector<WimTableEntry>* metadata,
                 std::vector<WimTableEntry>* files) {
    for (const WimTableEntry& entry : entries) {
        if (ZeroHash(entry) || entry.resource.originalBytes == 0 || entry.partNumber != 1) continue;
        if (entry.resource.flags & kWimResourceMetadata) {
            if (entry.referenceCount != 0) metadata->push_back(entry);
        } else {
            files->push_back(entry);
        }
    }
    // Stable: among equal hashes the one earlier in the table stays first.
    std::stable_sort(files->begin(), files->end(), [](const WimTableEntry& a, const WimTableEntry& b) {
        return std::memcmp(a.hash, b.hash, 20) < 0;
    });
    files->erase(std::unique(files->begin(), files->end(),
                             [](const WimTableEntry& a, const WimTableEntry& b) {
                                 return std::memcmp(a.hash, b.hash, 20) == 0;
                             }),
                 files->end());
    // Source order: the parts are then read from front to back.
    std::sort(files->begin(), files->end(), [](const WimTableEntry& a, const WimTableEntry& b) {
        return a.resource.offset < b.resource.offset;
    });
}

// Every resource inside the file, stored as its flags say, and none
// overlapping another or the tables: this also bounds the whole copy by the
// source's size.
bool CheckResources(const WimHeader& header, const std::vector<WimTableEntry>& metadata,
                    const std::vector<WimTableEntry>& files, uint64_t fileBytes, std::string* detail) {
    std::vector<WimResource> all{header.lookupTable, header.xmlData};
    for (const auto* list : {&metadata, &files})
        for (const WimTableEntry& entry : *list) all.push_back(entry.resource);
    for (const WimResource& resource : all) {
        if (resource.offset < kWimHeaderBytes || resource.offset > fileBytes ||
            resource.storedBytes > fileBytes - resource.offset) {
            *detail = "resource outside the file";
            return false;
        }
        if (!(resource.flags & kWimResourceCompressed) && resource.storedBytes != resource.originalBytes) {
            *detail = "uncompressed resource with two sizes";
            return false;
        }
    }
    std::sort(all.begin(), all.end(), [](const WimResource& a, const WimResource& b) { return a.offset < b.offset; });
    uint64_t end = 0;
    for (const WimResource& resource : all) {
        if (resource.storedBytes == 0) continue;
        if (resource.offset < end) {
            *detail = "resources overlap";
            return false;
        }
        end = resource.offset + resource.storedBytes;
    }
    return true;
}

// A new GUID for the set, shared by its parts so that readers know them for
// one set, and different from the source's. Taken from the source itself, so
// that the same image split the same way gives the same parts.
void DeriveSetGuid(const WimHeader& source, const std::vector<uint8_t>& xml, uint64_t partBytes, uint8_t guid[16]) {
    std::string seed(reinterpret_cast<const char*>(source.guid), 16);
    seed += "split into parts of " + std::to_string(partBytes) + " bytes";
    seed.append(xml.begin(), xml.end());
    const std::string hex = Sha256Hex(seed);
    for (int i = 0; i < 16; ++i) guid[i] = uint8_t(std::stoi(hex.substr(2 * i, 2), nullptr, 16));
}

// Puts the offsets into the part's entries and fills its header.
void FinishPart(const WimSplitPlan& plan, const uint8_t guid[16], int number, int total, WimPlannedPart* part) {
    uint64_t at = kWimHeaderBytes;
    for (WimPlannedResource& resource : part->resources) {
        resource.entry.resource.offset = at;
        resource.entry.partNumber = uint16_t(number);
        at += resource.entry.resource.storedBytes;
    }
    WimHeader& header = part->header;
    header = WimHeader();
    header.version = plan.source.version;
    header.flags = plan.source.flags &
                   ~(kWimFlagSpanned | kWimFlagResourceOnly | kWimFlagMetadataOnly | kWimFlagWriteInProgress);
    // As wimlib: a set of one part is a plain image.
    if (total > 1) header.flags |= kWimFlagSpanned;
    header.chunkBytes = plan.source.chunkBytes;
    std::memcpy(header.guid, guid, 16);
    header.partNumber = uint16_t(number);
    header.totalParts = uint16_t(total);
    header.imageCount = plan.source.imageCount;
    header.lookupTable.flags = kWimResourceMetadata;
    header.lookupTable.offset = at;
    header.lookupTable.storedBytes = header.lookupTable.originalBytes =
        uint64_t(kWimTableEntryBytes) * part->resources.size();
    at += header.lookupTable.storedBytes;
    header.xmlData = plan.source.xmlData;
    header.xmlData.offset = at;
    at += header.xmlData.storedBytes;
    // A split set boots nothing (boot index 0, no boot metadata), and the
    // integrity table is left out: both as wimlib writes a set.
    part->bytes = at;
}

}  // namespace

WimRefusal PlanWimSplit(const ByteSource& source, uint64_t partBytes, WimSplitPlan* plan) {
    *plan = WimSplitPlan();
    std::string detail;
    WimRefusal refusal = ReadWimHeader(source, &plan->source, &detail);
    if (refusal != WimRefusal::None) return Refuse(plan, refusal, detail);
    const WimHeader& header = plan->source;
    if (header.totalParts != 1 || header.flags & kWimFlagSpanned)
        return Refuse(plan, WimRefusal::AlreadySplit, "part " + std::to_string(header.partNumber) + " of " +
                                                          std::to_string(header.totalParts));
    if (header.flags & kWimFlagWriteInProgress)
        return Refuse(plan, WimRefusal::WriteInProgress, "write-in-progress flag set");
    if (header.flags & kWimFlagCompressLzms) return Refuse(plan, WimRefusal::Solid, "LZMS compression");
    if (header.imageCount == 0) return Refuse(plan, WimRefusal::Damaged, "no images");
    if (header.xmlData.storedBytes == 0 || header.xmlData.storedBytes > kXmlMaxBytes)
        return Refuse(plan, WimRefusal::Damaged, "XML data missing or too large");

    std::vector<WimTableEntry> entries;
    refusal = ReadWimTable(source, header, &entries, &detail);
    if (refusal != WimRefusal::None) return Refuse(plan, refusal, detail);
    for (const WimTableEntry& entry : entries)
        if (entry.resource.flags & kWimResourceSolid) return Refuse(plan, WimRefusal::Solid, "solid resource");
    std::vector<WimTableEntry> metadata, files;
    KeepEntries(entries, &metadata, &files);
    entries = std::vector<WimTableEntry>();
    if (metadata.size() != header.imageCount)
        return Refuse(plan, WimRefusal::Damaged, std::to_string(metadata.size()) + " metadata resources for " +
                                                     std::to_string(header.imageCount) + " images");
    if (!CheckResources(header, metadata, files, source.size, &detail))
        return Refuse(plan, WimRefusal::Damaged, detail);

    plan->xml.resize(size_t(header.xmlData.storedBytes));
    if (!source.readAt(header.xmlData.offset, plan->xml.data(), plan->xml.size()))
        return Refuse(plan, WimRefusal::ReadFailed, "XML data unreadable");

    // Every part carries a header and the XML data; each resource brings
    // its own bytes and its table entry.
    const uint64_t limit = std::min(partBytes, kWimPartLimit);
    const uint64_t fixedBytes = kWimHeaderBytes + header.xmlData.storedBytes;
    plan->parts.emplace_back();
    uint64_t used = fixedBytes;
    for (const WimTableEntry& entry : metadata) {
        plan->parts.back().resources.push_back({entry.resource.offset, entry});
        used += entry.resource.storedBytes + kWimTableEntryBytes;
    }
    for (const WimTableEntry& entry : files) {
        const uint64_t adds = entry.resource.storedBytes + kWimTableEntryBytes;
        if (!plan->parts.back().resources.empty() && used + adds > limit) {
            if (plan->parts.size() == kMaxParts)
                return Refuse(plan, WimRefusal::TooManyParts, "more than 65535 parts");
            plan->parts.emplace_back();
            used = fixedBytes;
        }
        plan->parts.back().resources.push_back({entry.resource.offset, entry});
        used += adds;
    }

    uint8_t guid[16];
    DeriveSetGuid(header, plan->xml, partBytes, guid);
    const int total = int(plan->parts.size());
    for (int n = 1; n <= total; ++n) {
        WimPlannedPart& part = plan->parts[n - 1];
        FinishPart(*plan, guid, n, total, &part);
        if (part.bytes > kWimPartLimit)
            return Refuse(plan, WimRefusal::ResourceTooLarge,
                          "part " + std::to_string(n) + " would hold " + std::to_string(part.bytes) + " bytes");
        plan->totalBytes += part.bytes;
    }
    return WimRefusal::None;
}

namespace {

struct PartWriter {
    const WimPartSink& sink;
    const std::function<void(uint64_t, uint64_t)>& progress;
    const std::function<bool()>& stop;
    uint64_t done;
    uint64_t total;

    WimWriteOutcome Write(const void* data, size_t count) {
        if (stop && stop()) return WimWriteOutcome::Stopped;
        if (!sink.write(data, count)) return WimWriteOutcome::WriteFailed;
        done += count;
        if (progress) progress(done, total);
        return WimWriteOutcome::Written;
    }
};

WimWriteOutcome WritePart(const ByteSource& source, const WimSplitPlan& plan, const WimPlannedPart& part,
                          std::vector<uint8_t>* buffer, PartWriter* writer) {
    uint8_t header[kWimHeaderBytes];
    PutWimHeader(part.header, header);
    WimWriteOutcome outcome = writer->Write(header, sizeof header);
    for (const WimPlannedResource& resource : part.resources) {
        const uint64_t bytes = resource.entry.resource.storedBytes;
        for (uint64_t copied = 0; copied < bytes && outcome == WimWriteOutcome::Written;) {
            const size_t count = size_t(std::min<uint64_t>(buffer->size(), bytes - copied));
            if (!source.readAt(resource.sourceOffset + copied, buffer->data(), count))
                return WimWriteOutcome::ReadFailed;
            outcome = writer->Write(buffer->data(), count);
            copied += count;
        }
    }
    // The table, in pieces of whole entries no larger than the copy buffer.
    const size_t perBuffer = buffer->size() / kWimTableEntryBytes;
    for (size_t first = 0; first < part.resources.size() && outcome == WimWriteOutcome::Written;
         first += perBuffer) {
        const size_t count = std::min(perBuffer, part.resources.size() - first);
        for (size_t i = 0; i < count; ++i)
            PutWimTableEntry(part.resources[first + i].entry, buffer->data() + i * kWimTableEntryBytes);
        outcome = writer->Write(buffer->data(), count * kWimTableEntryBytes);
    }
    for (size_t at = 0; at < plan.xml.size() && outcome == WimWriteOutcome::Written; at += buffer->size())
        outcome = writer->Write(plan.xml.data() + at, std::min(buffer->size(), plan.xml.size() - at));
    return outcome;
}

}  // namespace

WimWriteOutcome WriteWimParts(const ByteSource& source, const WimSplitPlan& plan, const WimPartSink& sink,
                              const std::function<void(uint64_t done, uint64_t total)>& progress,
                              const std::function<bool()>& stop) {
    if (plan.refusal != WimRefusal::None || plan.parts.empty()) return WimWriteOutcome::WriteFailed;
    std::vector<uint8_t> buffer(kWimCopyBufferBytes);
    PartWriter writer{sink, progress, stop, 0, plan.totalBytes};
    for (size_t n = 1; n <= plan.parts.size(); ++n) {
        if (stop && stop()) return WimWriteOutcome::Stopped;
        if (!sink.openPart(int(n))) return WimWriteOutcome::WriteFailed;
        WimWriteOutcome outcome = WritePart(source, plan, plan.parts[n - 1], &buffer, &writer);
        const bool closed = sink.closePart(int(n), outcome == WimWriteOutcome::Written);
        if (outcome == WimWriteOutcome::Written && !closed) outcome = WimWriteOutcome::WriteFailed;
        if (outcome != WimWriteOutcome::Written) return outcome;
    }
    return WimWriteOutcome::Written;
}

namespace {

template <typename Text>
Text PartName(const Text& firstName, int part, const Text& number) {
    if (part <= 1) return firstName;
    const size_t slash = firstName.find_last_of(Text(1, '/') + Text(1, '\\'));
    const size_t nameStart = slash == Text::npos ? 0 : slash + 1;
    size_t dot = firstName.rfind('.');
    if (dot == Text::npos || dot < nameStart) dot = firstName.size();
    return firstName.substr(0, dot) + number + firstName.substr(dot);
}

}  // namespace

std::string WimPartName(const std::string& firstName, int part) {
    return PartName(firstName, part, std::to_string(part));
}

std::wstring WimPartName(const std::wstring& firstName, int part) {
    return PartName(firstName, part, std::to_wstring(part));
}
