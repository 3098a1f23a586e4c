#include "platform/RestoreRecord_win32.h"

#include <windows.h>

#include <vector>

namespace {

const wchar_t kRecordKey[] = L"SOFTWARE\\Drovelkit\\Restore";
const wchar_t kAutoPlayValue[] = L"AutoPlay";
constexpr DWORD kAutoPlayAbsent = 0xFFFFFFFF;
const wchar_t kAutoPlayKey[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\AutoplayHandlers";

HKEY OpenRecord(bool create) {
    HKEY key = nullptr;
    const REGSAM access = KEY_QUERY_VALUE | KEY_SET_VALUE | KEY_WOW64_64KEY;
    LONG status = create ? RegCreateKeyExW(HKEY_LOCAL_MACHINE, kRecordKey, 0, nullptr, 0, access, nullptr, &key,
                                           nullptr)
                         : RegOpenKeyExW(HKEY_LOCAL_MACHINE, kRecordKey, 0, access, &key);
    return status == ERROR_SUCCESS ? key : nullptr;
}

// The volume names the volume now has as mount points; false when the
// system knows no such volume (the stick is not plugged in).
bool VolumePresent(const std::wstring& volumeName, bool* hasLetter) {
    std::vector<wchar_t> names(MAX_PATH + 1);
    DWORD length = 0;
    if (!GetVolumePathNamesForVolumeNameW(volumeName.c_str(), names.data(), DWORD(names.size()), &length)) {
        if (GetLastError() != ERROR_MORE_DATA) return false;
        names.assign(length + 1, L'\0');
        if (!GetVolumePathNamesForVolumeNameW(volumeName.c_str(), names.data(), DWORD(names.size()), &length)) {
            return false;
        }
    }
    *hasLetter = false;
    for (const wchar_t* name = names.data(); *name != L'\0'; name += wcslen(name) + 1) {
        if (wcslen(name) == 3 && name[1] == L':') *hasLetter = true;
    }
    return true;
}

void PutAutoPlayBack(DWORD value) {
    HKEY key = nullptr;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, kAutoPlayKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr) !=
        ERROR_SUCCESS) {
        return;
    }
    if (value == kAutoPlayAbsent) {
        RegDeleteValueW(key, L"DisableAutoplay");
    } else {
        RegSetValueExW(key, L"DisableAutoplay", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
    }
    RegCloseKey(key);
}

}  // namespace

void RecordLetter(wchar_t letter, const std::wstring& volumeName) {
    HKEY key = OpenRecord(!volumeName.empty());
    if (key == nullptr) return;
    const wchar_t name[2] = {letter, L'\0'};
    if (volumeName.empty()) {
        RegDeleteValueW(key, name);
    } else {
        RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(volumeName.c_str()),
                       DWORD((volumeName.size() + 1) * sizeof(wchar_t)));
    }
    RegCloseKey(key);
}

void RecordAutoPlay(bool existed, unsigned long value) {
    HKEY key = OpenRecord(true);
    if (key == nullptr) return;
    DWORD old = existed ? DWORD(value) : kAutoPlayAbsent;
    if (RegQueryValueExW(key, kAutoPlayValue, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) {
        RegSetValueExW(key, kAutoPlayValue, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&old), sizeof old);
    }
    RegCloseKey(key);
}

void ForgetAutoPlay() {
    HKEY key = OpenRecord(false);
    if (key == nullptr) return;
    RegDeleteValueW(key, kAutoPlayValue);
    RegCloseKey(key);
}

void ApplyRestoreRecord() {
    HKEY key = OpenRecord(false);
    if (key == nullptr) return;
    DWORD autoPlay = 0;
    DWORD size = sizeof autoPlay;
    DWORD type = 0;
    if (RegQueryValueExW(key, kAutoPlayValue, nullptr, &type, reinterpret_cast<BYTE*>(&autoPlay), &size) ==
            ERROR_SUCCESS &&
        type == REG_DWORD) {
        PutAutoPlayBack(autoPlay);
        RegDeleteValueW(key, kAutoPlayValue);
    }
    for (wchar_t letter = L'A'; letter <= L'Z'; ++letter) {
        const wchar_t name[2] = {letter, L'\0'};
        wchar_t volume[MAX_PATH + 1] = L"";
        DWORD bytes = sizeof volume - sizeof(wchar_t);
        type = 0;
        if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(volume), &bytes) != ERROR_SUCCESS ||
            type != REG_SZ) {
            continue;
        }
        bool hasLetter = false;
        if (!VolumePresent(volume, &hasLetter)) continue;  // kept until the stick is back
        const wchar_t root[4] = {letter, L':', L'\\', L'\0'};
        wchar_t current[MAX_PATH + 1] = L"";
        const bool letterFree = !GetVolumeNameForVolumeMountPointW(root, current, MAX_PATH + 1);
        // A volume that has a letter again, or a letter another volume took
        // meanwhile, is left as the system has it.
        if (!hasLetter && letterFree) SetVolumeMountPointW(root, volume);
        RegDeleteValueW(key, name);
    }
    RegCloseKey(key);
}
