/* The image's own UEFI loader in the NTFS and exFAT drive boot tests
 * (bootx64.efi, bootia32.efi on partition 1): it reads the file
 * marker64.txt or marker32.txt beside itself through the Simple File
 * System of its LoadedImage's DeviceHandle, as shim reads grubx64.efi,
 * prints its first line and the device it was started from, then powers
 * the machine off. The marker text is only in that file. Built with
 * gnu-efi; efi_main is called with the compiler's own convention. */
#include <efi.h>
#include <efilib.h>

#if defined(__x86_64__)
#define MARKER_FILE L"marker64.txt"
#else
#define MARKER_FILE L"marker32.txt"
#endif

EFI_STATUS efi_main(EFI_HANDLE image, EFI_SYSTEM_TABLE* systemTable) {
    InitializeLib(image, systemTable);
    EFI_LOADED_IMAGE* loaded = NULL;
    EFI_STATUS status = uefi_call_wrapper(BS->HandleProtocol, 3, image, &LoadedImageProtocol, (void**)&loaded);
    if (EFI_ERROR(status)) {
        Print(L"\r\nNO LOADED IMAGE %r\r\n", status);
        return status;
    }
    EFI_DEVICE_PATH* device = DevicePathFromHandle(loaded->DeviceHandle);
    Print(L"\r\nSTARTED FROM %s\r\n", device ? DevicePathToStr(device) : L"(no device path)");
    /* The partition number of the device's last node: 1 where the image's
     * own files are, not the small FAT partition the firmware started. */
    UINT32 partition = 0;
    for (EFI_DEVICE_PATH* node = device; node && !IsDevicePathEnd(node); node = NextDevicePathNode(node))
        partition = DevicePathType(node) == MEDIA_DEVICE_PATH && DevicePathSubType(node) == MEDIA_HARDDRIVE_DP
                        ? ((HARDDRIVE_DEVICE_PATH*)node)->PartitionNumber
                        : 0;
    Print(L"STARTED FROM PARTITION %d\r\n", partition);
    /* The folder of this loader's own path, such as \efi\boot\. */
    CHAR16* own = DevicePathToStr(loaded->FilePath);
    CHAR16 path[256];
    UINTN folder = 0;
    for (UINTN i = 0; own && own[i] && i < 200; ++i)
        if (own[i] == L'\\' || own[i] == L'/') folder = i + 1;
    for (UINTN i = 0; i < folder; ++i) path[i] = own[i];
    StrCpy(path + folder, MARKER_FILE);
    Print(L"LOADED AS %s, READING %s\r\n", own ? own : L"(none)", path);
    EFI_FILE_HANDLE root = LibOpenRoot(loaded->DeviceHandle);
    EFI_FILE_HANDLE file = NULL;
    status = root ? uefi_call_wrapper(root->Open, 5, root, &file, path, EFI_FILE_MODE_READ, 0) : EFI_NOT_FOUND;
    CHAR8 text[81];
    UINTN size = sizeof text - 1;
    if (!EFI_ERROR(status)) status = uefi_call_wrapper(file->Read, 3, file, &size, text);
    if (EFI_ERROR(status)) {
        Print(L"MARKER FILE UNREADABLE %r\r\n", status);
    } else {
        text[size] = 0;
        for (UINTN i = 0; i < size; ++i)
            if (text[i] == '\r' || text[i] == '\n') text[i] = 0;
        Print(L"%a\r\n", text);
    }
    uefi_call_wrapper(BS->Stall, 1, 200000);
    uefi_call_wrapper(RT->ResetSystem, 4, EfiResetShutdown, EFI_SUCCESS, 0, NULL);
    return EFI_SUCCESS;
}
