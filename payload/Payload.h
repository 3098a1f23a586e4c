// The tools stored in the program as one self-extracting block, unpacked on
// demand into tempDir\drovelkit.
#pragma once
#include <string>

struct HeldFile;

// Writes the stored block to tempDir\drovelkit.exe, runs it and deletes it.
void UnpackPayload();

// The calling rule of every tool user: unpack when the marker file is missing.
void EnsurePayloadUnpacked();

bool PayloadMarkerExists();

// The self-extractor's switches: yes to every question, and the password.
constexpr const wchar_t* kUnpackSwitches = L"-y -pvorlint";

// Any process of the user can write to the payload folder, and the program
// often runs with administrator rights: a tool there is started only as the
// program unpacked it. For a tool inside the payload folder this holds the
// file against change and compares it with the digest stored at build time;
// the caller starts the tool, waits as it always does, then releases the
// hold with OsReleaseFile, and starts the tool by OsHeldFilePath: that path
// holds no junction that could be re-pointed, and no real folder on it can
// be renamed while the file is held. Returns null for a tool outside the
// payload folder. *refused: the tool is missing, was changed (or is a link,
// or cannot be read): the status line says so, the tool must not start, and
// the next operation unpacks the payload afresh.
HeldFile* HoldPayloadTool(const std::wstring& toolPath, bool* refused);
