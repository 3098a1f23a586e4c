// Prints the parameter text that Drovelkit gives the emulator front, so that
// the boot tests boot exactly what the program would start:
//   emulator_cmdline image|drive bios|efi32|efi64 TEMPDIR IMAGE_OR_DRIVE DEVICEPATH
#include <cstdio>
#include <string>

#include "boottest/EmulatorTest.h"
#include "common/Str.h"

int main(int argc, char** argv) {
    if (argc != 6) {
        std::fprintf(stderr, "usage: %s image|drive bios|efi32|efi64 TEMPDIR IMAGE_OR_DRIVE DEVICEPATH\n", argv[0]);
        return 2;
    }
    const std::string test = argv[1], name = argv[2];
    const Firmware firmware = name == "efi64" ? Firmware::Efi64 : name == "efi32" ? Firmware::Efi32 : Firmware::Bios;
    const std::wstring tempDir = FromUtf8(argv[3]), target = FromUtf8(argv[4]), device = FromUtf8(argv[5]);
    const std::wstring arguments = test == "drive" ? DriveTestArguments(firmware, target, device)
                                                   : ImageTestArguments(firmware, target);
    std::fputs(ToUtf8(EmulatorParameters(tempDir, arguments)).c_str(), stdout);
    std::fputs("\n", stdout);
    return 0;
}
