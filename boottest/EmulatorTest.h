// Test-booting the chosen image, or the whole disk behind the selected drive,
// in the emulator that the payload brings.
#pragma once
#include <string>

enum class Firmware { Bios, Efi32, Efi64 };

Firmware ChosenFirmware();  // read from the option buttons when a test starts

// Everything after "-bios" for the two tests.
std::wstring ImageTestArguments(Firmware firmware, const std::wstring& imagePath);
std::wstring DriveTestArguments(Firmware firmware, const std::wstring& drive, const std::wstring& devicePath);
// The emulator's whole parameter text for the given firmware arguments.
std::wstring EmulatorParameters(const std::wstring& tempDir, const std::wstring& firmwareArguments);

void TestImageInEmulator();
void TestDriveInEmulator();
void StartEmulator(const std::wstring& firmwareArguments);

// Guest memory in MiB.
constexpr const wchar_t* kMemorySize = L"1024";
