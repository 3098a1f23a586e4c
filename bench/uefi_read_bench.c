/* The UEFI read benchmark's loader (bench/uefi_read_bench.py): started as
 * the drive's bootx64.efi / bootia32.efi, it reads a Windows-like loader
 * set whole through the Simple File System of the partition it was started
 * from, as a loader does (GetInfo with size 0 first, one Read per file),
 * and prints the time-stamp counter ticks that took, then powers off.
 * Built with gnu-efi; efi_main is called with the compiler's own convention. */
#include <efi.h>
#include <efilib.h>

static CHAR16* kFiles[] = {
    L"\\efi\\microsoft\\boot\\bcd",          L"\\efi\\microsoft\\boot\\fonts\\font0.ttf",
    L"\\efi\\microsoft\\boot\\fonts\\font1.ttf", L"\\efi\\microsoft\\boot\\fonts\\font2.ttf",
    L"\\efi\\microsoft\\boot\\fonts\\font3.ttf", L"\\boot\\boot.sdi",
    L"\\sources\\boot.wim",
};

static UINT64 Ticks(VOID) { return __builtin_ia32_rdtsc(); }

EFI_STATUS efi_main(EFI_HANDLE image, EFI_SYSTEM_TABLE* systemTable) {
    InitializeLib(image, systemTable);
    EFI_LOADED_IMAGE* loaded = NULL;
    EFI_STATUS status = uefi_call_wrapper(BS->HandleProtocol, 3, image, &LoadedImageProtocol, (VOID**)&loaded);
    EFI_FILE_HANDLE root = EFI_ERROR(status) ? NULL : LibOpenRoot(loaded->DeviceHandle);
    UINT64 bytes = 0;
    const UINT64 start = Ticks();
    for (UINTN i = 0; root && i < sizeof kFiles / sizeof kFiles[0]; ++i) {
        EFI_FILE_HANDLE file = NULL;
        status = uefi_call_wrapper(root->Open, 5, root, &file, kFiles[i], EFI_FILE_MODE_READ, 0);
        UINTN size = 0;
        EFI_FILE_INFO* info = NULL;
        if (!EFI_ERROR(status)) status = uefi_call_wrapper(file->GetInfo, 4, file, &GenericFileInfo, &size, NULL);
        if (status == EFI_BUFFER_TOO_SMALL && (info = AllocatePool(size)) != NULL)
            status = uefi_call_wrapper(file->GetInfo, 4, file, &GenericFileInfo, &size, info);
        VOID* data = NULL;
        if (!EFI_ERROR(status) && info) {
            size = (UINTN)info->FileSize;
            data = AllocatePool(size ? size : 1);
            status = data ? uefi_call_wrapper(file->Read, 3, file, &size, data) : EFI_OUT_OF_RESOURCES;
            if (!EFI_ERROR(status) && size != info->FileSize) status = EFI_END_OF_FILE;
        }
        if (EFI_ERROR(status)) {
            Print(L"\r\nBENCH FAILED %s %r\r\n", kFiles[i], status);
            root = NULL;
        }
        bytes += size;
        if (data) FreePool(data);
        if (info) FreePool(info);
        if (file) uefi_call_wrapper(file->Close, 1, file);
    }
    if (root) Print(L"\r\nBENCH TICKS %ld BYTES %ld END\r\n", Ticks() - start, bytes);
    uefi_call_wrapper(BS->Stall, 1, 200000);
    uefi_call_wrapper(RT->ResetSystem, 4, EfiResetShutdown, EFI_SUCCESS, 0, NULL);
    return EFI_SUCCESS;
}
