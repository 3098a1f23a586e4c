/* A tiny EFI program (x64 or IA32, by the compiler's target) that reports on
 * the console, which OVMF mirrors on the serial port: that it runs, on which
 * kind of medium it was found, and whether a file could be written there.
 * Then it powers the machine off. Built with gnu-efi; efi_main is called by
 * gnu-efi's start-up code with the compiler's own convention, not EFIAPI. */
#include <efi.h>
#include <efilib.h>

#if defined(__x86_64__)
#define ARCH_NAME L"X64"
#else
#define ARCH_NAME L"IA32"
#endif

static const CHAR16* MediaKind(EFI_DEVICE_PATH* path) {
    const CHAR16* kind = L"UNKNOWN";
    EFI_DEVICE_PATH* node = path;
    while (node && !IsDevicePathEnd(node)) {
        if (DevicePathType(node) == MEDIA_DEVICE_PATH) {
            if (DevicePathSubType(node) == MEDIA_CDROM_DP) kind = L"CDROM";
            if (DevicePathSubType(node) == MEDIA_HARDDRIVE_DP) kind = L"HD";
        }
        node = NextDevicePathNode(node);
    }
    return kind;
}

/* A write the test can see in the disk image, unless a snapshot takes it. */
static void WriteTest(EFI_HANDLE device) {
    EFI_FILE_HANDLE root = LibOpenRoot(device);
    if (!root) {
        Print(L"DROVELKIT GUEST WRITE FAILED no file system\r\n");
        return;
    }
    EFI_FILE_HANDLE file = NULL;
    EFI_STATUS status = uefi_call_wrapper(root->Open, 5, root, &file, L"\\DROVELKIT.TXT",
                                          EFI_FILE_MODE_CREATE | EFI_FILE_MODE_READ |
                                              EFI_FILE_MODE_WRITE,
                                          0);
    if (EFI_ERROR(status)) {
        Print(L"DROVELKIT GUEST WRITE REFUSED %r\r\n", status);
    } else {
        static CHAR8 text[] = "DROVELKIT GUEST WROTE THIS FILE\r\n";
        UINTN size = sizeof(text) - 1;
        status = uefi_call_wrapper(file->Write, 3, file, &size, text);
        /* Close flushes the FAT driver's cache to the disk. */
        EFI_STATUS closed = uefi_call_wrapper(file->Close, 1, file);
        if (EFI_ERROR(status) || EFI_ERROR(closed)) {
            Print(L"DROVELKIT GUEST WRITE FAILED %r %r\r\n", status, closed);
        } else {
            Print(L"DROVELKIT GUEST WRITE DONE\r\n");
        }
    }
    uefi_call_wrapper(root->Close, 1, root);
}

EFI_STATUS efi_main(EFI_HANDLE image, EFI_SYSTEM_TABLE* systemTable) {
    InitializeLib(image, systemTable);
    EFI_LOADED_IMAGE* loaded = NULL;
    EFI_STATUS status =
        uefi_call_wrapper(BS->HandleProtocol, 3, image, &LoadedImageProtocol, (void**)&loaded);
    EFI_DEVICE_PATH* path = EFI_ERROR(status) ? NULL : DevicePathFromHandle(loaded->DeviceHandle);

    Print(L"\r\nDROVELKIT BOOT OK %s MEDIA=%s\r\n", ARCH_NAME, MediaKind(path));
    CHAR16* pathText = path ? DevicePathToStr(path) : NULL;
    Print(L"DROVELKIT DEVICE %s\r\n", pathText ? pathText : L"(unknown)");
    if (!EFI_ERROR(status)) WriteTest(loaded->DeviceHandle);
    Print(L"DROVELKIT END\r\n");

    uefi_call_wrapper(BS->Stall, 1, 200000);
    uefi_call_wrapper(RT->ResetSystem, 4, EfiResetShutdown, EFI_SUCCESS, 0, NULL);
    return EFI_SUCCESS;
}
