#include "payload/Payload.h"

#include <mutex>

#include "app/AppState.h"
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
    OsRunHidden(L"\"" + extractor + L"\" " + kUnpackSwitches, appState.tempDir, kWaitForever, false);
    OsDeleteFile(extractor);
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
