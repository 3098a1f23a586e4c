// The restore record as the boot tool leaves it after a crash, applied by
// drovelkit.exe through the real registry and volume calls.
#include <gtest/gtest.h>
#include <windows.h>

#include "platform/Os.h"
#include "platform/RestoreRecord_win32.h"

namespace {

const wchar_t kRecordKey[] = L"SOFTWARE\\Drovelkit\\Restore";
const wchar_t kAutoPlayKey[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\AutoplayHandlers";
// A volume that no system has: the stick that is not plugged in.
const wchar_t kAbsentVolume[] = L"\\\\?\\Volume{0badc0de-0000-4000-8000-000000000001}\\";

bool RecordHas(const wchar_t* name) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kRecordKey, 0, KEY_QUERY_VALUE | KEY_WOW64_64KEY, &key) != ERROR_SUCCESS)
        return false;
    const bool has = RegQueryValueExW(key, name, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
    RegCloseKey(key);
    return has;
}

// The user's DisableAutoplay; -1 when absent.
long long UserAutoPlay() {
    DWORD value = 0;
    DWORD size = sizeof value;
    if (RegGetValueW(HKEY_CURRENT_USER, kAutoPlayKey, L"DisableAutoplay", RRF_RT_REG_DWORD, nullptr, &value,
                     &size) != ERROR_SUCCESS)
        return -1;
    return value;
}

void SetUserAutoPlay(long long value) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, kAutoPlayKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    if (value < 0) {
        RegDeleteValueW(key, L"DisableAutoplay");
    } else {
        const DWORD v = DWORD(value);
        RegSetValueExW(key, L"DisableAutoplay", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&v), sizeof v);
    }
    RegCloseKey(key);
}

bool LetterInUse(wchar_t letter) {
    const wchar_t root[4] = {letter, L':', L'\\', L'\0'};
    wchar_t volume[MAX_PATH + 1];
    return GetVolumeNameForVolumeMountPointW(root, volume, MAX_PATH + 1) != 0;
}

// A tool that ended mid-way: AutoPlay held off, letters taken. What the
// program puts back, what it keeps for the stick's return, and that it
// never takes a letter for a volume that has one.
TEST(RestoreRecord, WhatACrashedToolLeftIsPutBackOnceAndAnAbsentStickKeepsItsEntry) {
    wchar_t systemVolume[MAX_PATH + 1] = L"";
    ASSERT_TRUE(GetVolumeNameForVolumeMountPointW(L"C:\\", systemVolume, MAX_PATH + 1));
    ASSERT_FALSE(LetterInUse(L'R'));
    for (long long userValue : {5LL, -1LL}) {
        SCOPED_TRACE(userValue);
        SetUserAutoPlay(userValue);
        RecordAutoPlay(userValue >= 0, userValue < 0 ? 0 : unsigned(userValue));
        SetUserAutoPlay(0xFF);             // the tool holds AutoPlay off
        RecordAutoPlay(true, 0xFF);        // a second run must not record what the first left
        RecordLetter(L'Q', kAbsentVolume);
        RecordLetter(L'R', systemVolume);  // C:'s volume still has its letter
        RecordLetter(L'S', L"\\\\?\\Volume{0badc0de-0000-4000-8000-000000000002}\\");
        RecordLetter(L'S', L"");           // put back by the tool itself

        OsRestoreDiskChanges();
        EXPECT_EQ(UserAutoPlay(), userValue);
        EXPECT_FALSE(RecordHas(L"AutoPlay"));
        EXPECT_TRUE(RecordHas(L"Q")) << "the absent stick's letter was forgotten";
        EXPECT_FALSE(RecordHas(L"R"));
        EXPECT_FALSE(RecordHas(L"S"));
        EXPECT_FALSE(LetterInUse(L'R')) << "a second letter was given to a volume that has one";

        // Applied once: the user's later change stays.
        SetUserAutoPlay(7);
        OsRestoreDiskChanges();
        EXPECT_EQ(UserAutoPlay(), 7);
        RecordLetter(L'Q', L"");
    }
    SetUserAutoPlay(-1);
    RegDeleteKeyExW(HKEY_LOCAL_MACHINE, kRecordKey, KEY_WOW64_64KEY, 0);
}

}  // namespace
