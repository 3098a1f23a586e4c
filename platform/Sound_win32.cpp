// The completion sound through DirectSound.
#include <windows.h>
#include <mmsystem.h>
#include <mmreg.h>
#include <dsound.h>

#include <cstring>

#include "common/Wave.h"
#include "platform/Os.h"
#include "platform/SystemLibraries_win32.h"

namespace {

IDirectSound* device;
IDirectSoundBuffer* buffer;

}  // namespace

bool OsStartSound(const void* wave, size_t size) {
    WaveData parsed;
    if (!ParseWave(wave, size, &parsed) || parsed.formatSize < sizeof(PCMWAVEFORMAT)) return false;
    // Looked up in System32 rather than imported: dsound.dll is no known
    // DLL, and an import would be searched for first beside the program,
    // often in the Downloads folder, before any code of ours runs.
    typedef HRESULT(WINAPI * CreateProc)(const GUID*, IDirectSound**, IUnknown*);
    static auto create = reinterpret_cast<CreateProc>(
        reinterpret_cast<void*>(GetProcAddress(LoadSystemLibrary(L"dsound.dll"), "DirectSoundCreate")));
    if (create == nullptr || FAILED(create(nullptr, &device, nullptr))) {
        device = nullptr;
        return false;
    }
    device->SetCooperativeLevel(GetDesktopWindow(), DSSCL_NORMAL);
    WAVEFORMATEX format{};
    std::memcpy(&format, parsed.format, sizeof(PCMWAVEFORMAT));
    DSBUFFERDESC description{};
    description.dwSize = sizeof description;
    description.dwFlags = DSBCAPS_GLOBALFOCUS;
    description.dwBufferBytes = DWORD(parsed.samplesSize);
    description.lpwfxFormat = &format;
    void* first = nullptr;
    void* second = nullptr;
    DWORD firstSize = 0, secondSize = 0;
    if (FAILED(device->CreateSoundBuffer(&description, &buffer, nullptr)) ||
        FAILED(buffer->Lock(0, description.dwBufferBytes, &first, &firstSize, &second, &secondSize, 0))) {
        OsStopSound();
        return false;
    }
    std::memcpy(first, parsed.samples, firstSize);
    if (second != nullptr) std::memcpy(second, parsed.samples + firstSize, secondSize);
    buffer->Unlock(first, firstSize, second, secondSize);
    buffer->Play(0, 0, 0);
    return true;
}

void OsStopSound() {
    if (buffer != nullptr) {
        buffer->Stop();
        buffer->Release();
    }
    if (device != nullptr) device->Release();
    buffer = nullptr;
    device = nullptr;
}
