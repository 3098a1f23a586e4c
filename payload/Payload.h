// The tools stored in the program as one self-extracting block, unpacked on
// demand into tempDir\drovelkit.
#pragma once

// Writes the stored block to tempDir\drovelkit.exe, runs it and deletes it.
void UnpackPayload();

// The calling rule of every tool user: unpack when the marker file is missing.
void EnsurePayloadUnpacked();

bool PayloadMarkerExists();

// The self-extractor's switches: yes to every question, and the password.
constexpr const wchar_t* kUnpackSwitches = L"-y -pvorlint";
