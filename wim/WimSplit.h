// Splits a Windows image (install.wim) into parts below FAT32's 4 GiB file
// limit: install.swm, install2.swm, ..., which Windows Setup and wimlib read
// as one image. No resource is decompressed or cut: each is copied byte for
// byte into one part, and only each part's header and lookup table are new.
// First a plan (what goes where, every refusal), then one sequential pass
// per part; the bytes come from a ByteSource and go to a sink of callbacks,
// so that this code makes no system call.
#pragma once
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "common/ByteSource.h"
#include "wim/WimFormat.h"

// FAT32's largest file: no part may be larger, whatever part size is asked for.
constexpr uint64_t kWimPartLimit = 0xFFFFFFFFu;

// One resource in a part: where to copy it from, and its entry in the part's
// lookup table (offset counted from the start of the part, the part's number).
struct WimPlannedResource {
    uint64_t sourceOffset = 0;
    WimTableEntry entry;
};

// A part file: the header, the resources from offset 208 on in this order
// (part 1 begins with every image's metadata, in the source table's order),
// the lookup table listing them in the same order, the XML data.
struct WimPlannedPart {
    WimHeader header;  // complete, the table's and the XML's places included
    std::vector<WimPlannedResource> resources;
    uint64_t bytes = 0;  // the whole file
};

struct WimSplitPlan {
    WimRefusal refusal = WimRefusal::None;
    std::string detail;  // with a refusal: what exactly was found
    WimHeader source;
    std::vector<uint8_t> xml;  // the source's XML data, copied into every part unchanged
    std::vector<WimPlannedPart> parts;
    uint64_t totalBytes = 0;  // of all parts together
};

// Reads the source's header, lookup table and XML data and decides the
// parts: each holds at most partBytes (and never more than kWimPartLimit),
// counting header, resources, lookup table and XML, unless a single resource
// is larger, which then gets a part of its own. Returns plan->refusal.
WimRefusal PlanWimSplit(const ByteSource& source, uint64_t partBytes, WimSplitPlan* plan);

// Where the parts go. Parts are written one after the other, each from its
// first byte to its last: openPart(n), write..., closePart(n, true). After a
// failure or a stop the part being written gets closePart(n, false) and no
// further part is opened; removing the parts is then the caller's business
// (their names come from WimPartName). A callback returning false is a
// write failure.
struct WimPartSink {
    std::function<bool(int part)> openPart;  // parts numbered from 1
    std::function<bool(const void* data, size_t count)> write;
    std::function<bool(int part, bool complete)> closePart;
};

enum class WimWriteOutcome { Written, Stopped, ReadFailed, WriteFailed };

// Copy buffer of the write: stop() is polled before each.
constexpr size_t kWimCopyBufferBytes = size_t(1) << 20;

// Writes the parts of an accepted plan. progress (may be empty) gets the
// bytes written so far and plan.totalBytes after each buffer; stop (may be
// empty) is asked before each buffer and ends the write with Stopped.
WimWriteOutcome WriteWimParts(const ByteSource& source, const WimSplitPlan& plan, const WimPartSink& sink,
                              const std::function<void(uint64_t done, uint64_t total)>& progress,
                              const std::function<bool()>& stop);

// The file name of part n from the first part's: "install.swm" gives
// "install2.swm" for part 2, and itself for part 1 (the number goes before
// the last dot of the file name, or at the end when it has none).
std::string WimPartName(const std::string& firstName, int part);
std::wstring WimPartName(const std::wstring& firstName, int part);
