#include "payload/Payload.h"

#include <mutex>

#include "app/AppState.h"
#include "app/Reporting.h"
#include "common/Sha256.h"
#include "common/Str.h"
#include "platform/Os.h"

namespace {

// The image inspection runs on a thread of its own and may need the payload
// while an emulator test or the copy operation unpacks it.
std::mutex unpackGuard;

void UnpackLocked() {
    const std::wstring extractor = appState.tempDir + L"\\drovelkit.exe";
    // Always our own bytes: a file of that name in the temporary folder may
    // have been planted by anyone, and running it would lend it our rights.
    OsDeleteFile(extractor);
    const StoredBlock block = OsPayloadBlock();
    if (!OsWriteWholeFile(extractor, block.data, block.size)) return;
    // Held from the read-back to the end of its run: the file could be
    // swapped between our write and the start.
    HeldFile* held = OsHoldFile(extractor);
    std::string bytes;
    if (held != nullptr && OsReadHeldFile(held, &bytes) &&
        bytes == std::string(reinterpret_cast<const char*>(block.data), block.size)) {
        OsRunHidden(L"\"" + extractor + L"\" " + kUnpackSwitches, appState.tempDir, kWaitForever, false);
    } else {
        ShowStatus(L"==  drovelkit.exe was changed after writing: not started");
    }
    OsReleaseFile(held);
    OsDeleteFile(extractor);
}

// The stored digest of a path inside the payload folder; empty when the
// payload holds no such file.
std::string StoredDigest(const std::wstring& relativePath) {
    const StoredBlock list = OsPayloadDigests();
    const std::string text(reinterpret_cast<const char*>(list.data), list.size);
    const std::wstring wanted = ToUpper(relativePath);
    for (std::wstring line : SplitFields(FromUtf8(text), L'\n')) {
        line = RemoveAll(line, L'\r');
        const size_t blank = line.find(L' ');
        if (blank != std::wstring::npos && ToUpper(line.substr(blank + 1)) == wanted)
            return ToUtf8(line.substr(0, blank));
    }
    return "";
}

}  // namespace

bool PayloadMarkerExists() { return OsFileSize(ArchiverPath()) >= 0; }

void UnpackPayload() {
    std::lock_guard<std::mutex> lock(unpackGuard);
    UnpackLocked();
}

void EnsurePayloadUnpacked() {
    std::lock_guard<std::mutex> lock(unpackGuard);
    // Checked under the guard: a caller that waited for another unpacking
    // finds the tools there and must not overwrite them while they run.
    if (!PayloadMarkerExists()) UnpackLocked();
}

HeldFile* HoldPayloadTool(const std::wstring& toolPath, bool* refused) {
    *refused = false;
    const std::wstring folder = PayloadFolder() + L"\\";
    if (!StartsWith(ToUpper(toolPath), ToUpper(folder))) return nullptr;
    const std::wstring relativePath = toolPath.substr(folder.size());
    HeldFile* held = OsHoldFile(toolPath);
    if (held == nullptr && OsFileSize(toolPath) < 0) {
        // Missing now, it could appear before the start and run unchecked.
        *refused = true;
        ShowStatus(L"==  " + FileNamePart(toolPath) + L" is missing from the unpacked tools: not started");
        OsDeleteFile(ArchiverPath());
        return nullptr;
    }
    std::string bytes;
    const std::string stored = StoredDigest(relativePath);
    // Checked once the file is held: a folder on the way that is a link
    // could be pointed elsewhere between the check and the start, while a
    // real folder cannot be renamed while a file in it is open.
    const std::wstring toolFolder = toolPath.substr(0, toolPath.find_last_of(L"\\/"));
    const bool ours = held != nullptr && !OsIsLink(PayloadFolder()) && !OsIsLink(toolFolder) &&
                      OsReadHeldFile(held, &bytes) && !stored.empty() && Sha256Hex(bytes) == stored;
    if (ours) return held;
    OsReleaseFile(held);
    *refused = true;
    ShowStatus(L"==  " + FileNamePart(toolPath) + L" was changed after unpacking: not started");
    // Without the marker the next operation unpacks again, and the
    // self-extractor writes every file over.
    OsDeleteFile(ArchiverPath());
    return nullptr;
}
