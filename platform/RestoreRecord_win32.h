// What the boot tool changed of the user's and has not yet put back: drive
// letters it took off volumes and AutoPlay's old setting. The tool writes the
// record before each change and clears it as it puts things back; a tool that
// is killed, crashes or loses its stick leaves it for drovelkit.exe, which
// applies it after every boot tool run and at its next start.
//
// Both programs run elevated and trust nothing a normal user can write: the
// record lives under HKEY_LOCAL_MACHINE\SOFTWARE\Drovelkit\Restore (the
// 64-bit view for both builds), which only administrators can change.
#pragma once
#include <string>

// |letter| is to go back to |volumeName| ("\\?\Volume{...}\"); an empty name
// forgets the letter.
void RecordLetter(wchar_t letter, const std::wstring& volumeName);

// AutoPlay's "DisableAutoplay" as it was before the tool held it off
// (|existed| false: the value was absent). Only the first record counts, so
// that a second run never records the setting the first one left.
void RecordAutoPlay(bool existed, unsigned long value);
void ForgetAutoPlay();

// Puts back every recorded letter whose volume is present and letter-less
// while the letter is free, and AutoPlay's setting. Entries whose volume is
// not present stay for a later run; the others are cleared.
void ApplyRestoreRecord();
