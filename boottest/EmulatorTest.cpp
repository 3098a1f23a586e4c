#include "boottest/EmulatorTest.h"

#include "app/AppState.h"
#include "app/Reporting.h"
#include "boottest/DiskLookup.h"
#include "payload/Payload.h"
#include "platform/Os.h"

namespace {

const wchar_t* FirmwareFile(Firmware firmware) {
    switch (firmware) {
        case Firmware::Efi64: return L"efi64.bin";
        case Firmware::Efi32: return L"efi32.bin";
        default: return L"bios.bin";
    }
}

std::wstring EmulatorFolder() { return PayloadFolder() + L"\\qemu"; }

}  // namespace

Firmware ChosenFirmware() {
    if (OsGetCheck(Control::BootEfi64Option) >= 1) return Firmware::Efi64;
    if (OsGetCheck(Control::BootEfi32Option) >= 1) return Firmware::Efi32;
    return Firmware::Bios;
}

std::wstring ImageTestArguments(Firmware firmware, const std::wstring& imagePath) {
    const wchar_t* title = firmware == Firmware::Efi64   ? L"  Disk: ISO Efi64 boot Memory: "
                           : firmware == Firmware::Efi32 ? L"  Disk: ISO Efi32 boot Memory: "
                                                         : L"  Disk: ISO Memory: ";
    return std::wstring(FirmwareFile(firmware)) + L" -name \"" + title + kMemorySize + L" mb  \"" +
           L" -net none -boot d -cdrom \"" + imagePath + L"\"";
}

std::wstring DriveTestArguments(Firmware firmware, const std::wstring& drive, const std::wstring& devicePath) {
    const wchar_t* title = firmware == Firmware::Efi64   ? L"\\ Efi64 boot Memory: "
                           : firmware == Firmware::Efi32 ? L"\\ Efi32 boot Memory: "
                                                         : L"\\ Memory: ";
    return std::wstring(FirmwareFile(firmware)) + L" -localtime -snapshot -name " + L"\"  Disk: " + drive + title +
           kMemorySize + L" mb  \"" + L" -net none -usb -boot c -drive if=ide,cache=none,file=" + devicePath;
}

std::wstring EmulatorParameters(const std::wstring& tempDir, const std::wstring& firmwareArguments) {
    return L"-L \"" + tempDir + L"\\drovelkit\\qemu\" -m " + kMemorySize + L" -bios " + firmwareArguments;
}

void TestImageInEmulator() {
    if (WorkerAlive()) return;
    const std::wstring imagePath = ImagePath();
    if (OsFileSize(imagePath) <= 0) return;
    EnsurePayloadUnpacked();
    StartEmulator(ImageTestArguments(ChosenFirmware(), imagePath));
}

void TestDriveInEmulator() {
    if (WorkerAlive()) return;
    const std::wstring drive = SelectedDrive();
    if (drive.empty()) return;
    std::wstring devicePath;
    if (!LookupPhysicalDrive(drive, &devicePath)) {
        ShowStatus(L"==  The disk of drive " + drive + L" was not found");
        return;
    }
    EnsurePayloadUnpacked();
    StartEmulator(DriveTestArguments(ChosenFirmware(), drive, devicePath));
}

void StartEmulator(const std::wstring& firmwareArguments) {
    const std::wstring program = EmulatorFolder() + L"\\qemu_test.exe";
    bool refused = false;
    HeldFile* held = HoldPayloadTool(program, &refused);
    if (refused) return;
    // Started from the file that was checked.
    const std::wstring heldPath = OsHeldFilePath(held);
    const std::wstring commandLine = L"\"" + (heldPath.empty() ? program : heldPath) + L"\" " +
                                     EmulatorParameters(appState.tempDir, firmwareArguments);
    const bool started = OsRunHidden(commandLine, EmulatorFolder(), 0, true);
    // Released once started: Windows keeps a running program's file from change.
    OsReleaseFile(held);
    if (!started) {
        ShowStatus(L"==  The emulator could not be started");
        return;
    }
    // The front then shows where to download QEMU; the status line keeps
    // where it must go once that box is closed.
    const EmulatorSearchPlaces places = OsEmulatorSearchPlaces();
    if (FindEmulator(places, [](const std::wstring& path) { return OsFileSize(path) >= 0; }).empty())
        ShowStatus(L"==  QEMU not found: install it in " + EmulatorInstallFolder(places));
}
