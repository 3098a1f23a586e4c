// The WIM splitter over a damaged image: the input is the image file. Every
// accepted plan is written into memory, and each part must read back through
// the same header and table reader as a well-formed part of its set.
#include <cstring>
#include <vector>

#include "wim/WimSplit.h"

static void Check(bool condition) {
    if (!condition) __builtin_trap();
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    ByteSource source;
    source.size = size;
    source.readAt = [&](uint64_t offset, void* buffer, size_t count) {
        if (offset > size || count > size - offset) return false;
        std::memcpy(buffer, data + offset, count);
        return true;
    };
    WimSplitPlan plan;
    // Parts of a few KiB, so that small images make several.
    const uint64_t partBytes = 1024 + size % 4096;
    if (PlanWimSplit(source, partBytes, &plan) != WimRefusal::None) return 0;

    std::vector<uint8_t> part;
    uint64_t written = 0;
    int open = 0;
    WimPartSink sink;
    sink.openPart = [&](int number) {
        Check(open == 0 && number >= 1 && size_t(number) <= plan.parts.size());
        open = number;
        part.clear();
        return true;
    };
    sink.write = [&](const void* bytes, size_t count) {
        Check(open != 0 && count <= kWimCopyBufferBytes);
        part.insert(part.end(), static_cast<const uint8_t*>(bytes), static_cast<const uint8_t*>(bytes) + count);
        return true;
    };
    sink.closePart = [&](int number, bool complete) {
        Check(number == open && complete);
        const WimPlannedPart& planned = plan.parts[number - 1];
        Check(part.size() == planned.bytes && part.size() <= kWimPartLimit);
        written += part.size();
        ByteSource back;
        back.size = part.size();
        back.readAt = [&](uint64_t offset, void* buffer, size_t count) {
            if (offset > part.size() || count > part.size() - offset) return false;
            std::memcpy(buffer, part.data() + offset, count);
            return true;
        };
        WimHeader header;
        std::vector<WimTableEntry> entries;
        Check(ReadWimHeader(back, &header, nullptr) == WimRefusal::None);
        Check(ReadWimTable(back, header, &entries, nullptr) == WimRefusal::None);
        Check(header.partNumber == number && header.totalParts == plan.parts.size());
        Check(header.imageCount == plan.source.imageCount && header.bootIndex == 0);
        Check(entries.size() == planned.resources.size());
        for (const WimTableEntry& entry : entries) {
            Check(entry.partNumber == number);
            Check(entry.resource.offset >= kWimHeaderBytes &&
                  entry.resource.offset + entry.resource.storedBytes <= header.lookupTable.offset);
        }
        open = 0;
        return true;
    };
    uint64_t reported = 0;
    const WimWriteOutcome outcome = WriteWimParts(
        source, plan, sink,
        [&](uint64_t done, uint64_t total) {
            Check(done > reported && done <= total && total == plan.totalBytes);
            reported = done;
        },
        nullptr);
    Check(outcome == WimWriteOutcome::Written && written == plan.totalBytes && reported == written);
    // Nothing but the source's bytes and the new tables: bounded by the input.
    Check(plan.totalBytes <= size + plan.parts.size() * (kWimHeaderBytes + plan.xml.size()) +
                                 kWimTableEntryBytes * (size / kWimTableEntryBytes));
    return 0;
}
