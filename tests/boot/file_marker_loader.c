/* The image's own UEFI loader in the NTFS and exFAT drive boot tests
 * (bootx64.efi, bootia32.efi on partition 1): it reads the file
 * marker64.txt or marker32.txt beside itself through the Simple File
 * System of its LoadedImage's DeviceHandle, as shim reads grubx64.efi,
 * prints its first line and the device it was started from, then powers
 * the machine off. The marker text is only in that file. Before that it
 * uses the file protocol as loaders do (ProtocolChecks) and prints
 * PROTOCOL CHECKS OK or what failed. Built with gnu-efi; efi_main is
 * called with the compiler's own convention. */
#include <efi.h>
#include <efilib.h>

#if defined(__x86_64__)
#define MARKER_FILE L"marker64.txt"
#else
#define MARKER_FILE L"marker32.txt"
#endif

/* BIG_FILE beside the loader: byte i is BigByte(i). */
#define BIG_FILE L"big.bin"
static UINT8 BigByte(UINTN i) { return (UINT8)(i ^ (i >> 8) ^ (i >> 16)); }

#define CHECK(condition, what)                                                \
    do {                                                                      \
        if (!(condition)) {                                                   \
            Print(L"PROTOCOL CHECK FAILED: %s (%r)\r\n", what, status);     \
            return FALSE;                                                     \
        }                                                                     \
    } while (0)

/* An EFI_FILE_INFO of file, asked for with size 0 first as loaders do. */
static EFI_FILE_INFO* Info(EFI_FILE_HANDLE file, EFI_STATUS* first) {
    UINTN size = 0;
    *first = uefi_call_wrapper(file->GetInfo, 4, file, &GenericFileInfo, &size, NULL);
    if (*first != EFI_BUFFER_TOO_SMALL || size < SIZE_OF_EFI_FILE_INFO) return NULL;
    EFI_FILE_INFO* info = AllocatePool(size);
    if (info && EFI_ERROR(uefi_call_wrapper(file->GetInfo, 4, file, &GenericFileInfo, &size, info))) {
        FreePool(info);
        info = NULL;
    }
    return info;
}

/* folder: this loader's folder from the root, ending with a separator. */
static BOOLEAN ProtocolChecks(EFI_FILE_HANDLE root, CHAR16* folder) {
    EFI_STATUS status = EFI_SUCCESS;
    EFI_FILE_HANDLE file = NULL, dir = NULL, other = NULL;
    CHAR16 path[300];
    StrCpy(path, folder);
    StrCat(path, MARKER_FILE);
    status = uefi_call_wrapper(root->Open, 5, root, &file, path, EFI_FILE_MODE_READ, 0);
    CHECK(!EFI_ERROR(status), L"open of the marker");
    EFI_FILE_INFO* info = Info(file, &status);
    CHECK(info && info->FileSize > 0 && !(info->Attribute & EFI_FILE_DIRECTORY) &&
              StriCmp(info->FileName, MARKER_FILE) == 0,
          L"GetInfo with size 0 first");
    const UINT64 marker_size = info->FileSize;
    /* SetPosition(~0) goes to the end, where a read gives 0 bytes. */
    status = uefi_call_wrapper(file->SetPosition, 2, file, 0xFFFFFFFFFFFFFFFFULL);
    UINT64 position = 0;
    if (!EFI_ERROR(status)) status = uefi_call_wrapper(file->GetPosition, 2, file, &position);
    CHECK(!EFI_ERROR(status) && position == marker_size, L"SetPosition(~0)");
    CHAR8 bytes[16];
    UINTN size = sizeof bytes;
    status = uefi_call_wrapper(file->Read, 3, file, &size, bytes);
    CHECK(!EFI_ERROR(status) && size == 0, L"a read at the end");
    /* Nothing is written: writing alone is no open mode, Flush is refused. */
    status = uefi_call_wrapper(root->Open, 5, root, &other, path, EFI_FILE_MODE_WRITE, 0);
    CHECK(status == EFI_INVALID_PARAMETER, L"open for writing alone");
    status = uefi_call_wrapper(file->Flush, 1, file);
    CHECK(status == EFI_ACCESS_DENIED, L"Flush of a read-only handle");
    uefi_call_wrapper(file->Close, 1, file);

    /* "..\" from the folder, and "/" among "\" from the root. */
    StrCpy(path, folder);
    path[StrLen(path) - 1] = 0;
    status = uefi_call_wrapper(root->Open, 5, root, &dir, path, EFI_FILE_MODE_READ, 0);
    CHECK(!EFI_ERROR(status), L"open of the folder");
    CHAR16* leaf = path + StrLen(path);
    while (leaf > path && leaf[-1] != L'\\' && leaf[-1] != L'/') --leaf;
    CHAR16 relative[300];
    StrCpy(relative, L"..\\");
    StrCat(relative, leaf);
    StrCat(relative, L"\\" MARKER_FILE);
    status = uefi_call_wrapper(dir->Open, 5, dir, &other, relative, EFI_FILE_MODE_READ, 0);
    CHECK(!EFI_ERROR(status), L"open of ..\\folder\\marker");
    uefi_call_wrapper(other->Close, 1, other);
    StrCpy(relative, folder + 1);
    for (UINTN i = 0; relative[i]; ++i)
        if (relative[i] == L'\\') {
            relative[i] = L'/';
            break;
        }
    StrCat(relative, MARKER_FILE);
    status = uefi_call_wrapper(root->Open, 5, root, &other, relative, EFI_FILE_MODE_READ, 0);
    CHECK(!EFI_ERROR(status), L"open with mixed separators");
    uefi_call_wrapper(other->Close, 1, other);

    /* A folder read into a buffer too small says the size and loses no entry. */
    UINT8 small[4];
    size = sizeof small;
    status = uefi_call_wrapper(dir->Read, 3, dir, &size, small);
    CHECK(status == EFI_BUFFER_TOO_SMALL && size > SIZE_OF_EFI_FILE_INFO, L"folder read into 4 bytes");
    EFI_FILE_INFO* first = AllocatePool(size);
    status = uefi_call_wrapper(dir->Read, 3, dir, &size, first);
    CHECK(!EFI_ERROR(status) && size > SIZE_OF_EFI_FILE_INFO, L"folder read at the size it said");
    UINTN entries = 1, found = 0;
    UINT64 listed_big = 0;
    EFI_FILE_INFO* entry = AllocatePool(SIZE_OF_EFI_FILE_INFO + 512);
    uefi_call_wrapper(dir->SetPosition, 2, dir, 0);
    for (UINTN n = 0;; ++n) {
        size = SIZE_OF_EFI_FILE_INFO + 512;
        status = uefi_call_wrapper(dir->Read, 3, dir, &size, entry);
        CHECK(!EFI_ERROR(status), L"folder listing");
        if (size == 0) break;
        CHECK(n > 0 || StriCmp(entry->FileName, first->FileName) == 0, L"the entry after a too-small read");
        if (n > 0) ++entries;
        if (StriCmp(entry->FileName, MARKER_FILE) == 0 && entry->FileSize == marker_size) ++found;
        if (StriCmp(entry->FileName, BIG_FILE) == 0) listed_big = entry->FileSize;
    }
    CHECK(found == 1 && entries >= 3, L"the marker listed once with its size");

    /* A big file read whole in one call, as loaders read a kernel. */
    StrCpy(path, folder);
    StrCat(path, BIG_FILE);
    status = uefi_call_wrapper(root->Open, 5, root, &file, path, EFI_FILE_MODE_READ, 0);
    CHECK(!EFI_ERROR(status), L"open of big.bin");
    info = Info(file, &status);
    CHECK(info && info->FileSize >= (4u << 20) && info->FileSize == listed_big, L"GetInfo of big.bin as listed");
    size = (UINTN)info->FileSize;
    UINT8* big = AllocatePool(size);
    CHECK(big != NULL, L"memory for big.bin");
    status = uefi_call_wrapper(file->Read, 3, file, &size, big);
    CHECK(!EFI_ERROR(status) && size == info->FileSize, L"big.bin read whole");
    UINTN i = 0;
    while (i < size && big[i] == BigByte(i)) ++i;
    CHECK(i == size, L"big.bin's bytes");
    uefi_call_wrapper(file->Close, 1, file);
    uefi_call_wrapper(dir->Close, 1, dir);
    return TRUE;
}

/* Connects every controller, as firmware does after a failed boot, then
 * says whether any file system carries the label OTHERDISK (a second
 * disk's NTFS volume in one boot test): Drovelkit's driver binds only to
 * the partition its loader names. */
static VOID BindingCheck(VOID) {
    EFI_HANDLE* handles = NULL;
    UINTN count = 0, others = 0;
    if (!EFI_ERROR(LibLocateHandle(AllHandles, NULL, NULL, &count, &handles))) {
        for (UINTN i = 0; i < count; ++i) uefi_call_wrapper(BS->ConnectController, 4, handles[i], NULL, NULL, TRUE);
        FreePool(handles);
    }
    if (!EFI_ERROR(LibLocateHandle(ByProtocol, &FileSystemProtocol, NULL, &count, &handles))) {
        for (UINTN i = 0; i < count; ++i) {
            EFI_FILE_HANDLE root = LibOpenRoot(handles[i]);
            EFI_FILE_SYSTEM_INFO* info = root ? LibFileSystemInfo(root) : NULL;
            if (info && StrCmp(info->VolumeLabel, L"OTHERDISK") == 0) ++others;
            if (info) FreePool(info);
            if (root) uefi_call_wrapper(root->Close, 1, root);
        }
        FreePool(handles);
    }
    Print(others ? L"OTHER DISK'S VOLUME BOUND\r\n" : L"ONLY PARTITION 1 BOUND\r\n");
}

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
    path[folder] = 0;
    if (root && ProtocolChecks(root, path)) Print(L"PROTOCOL CHECKS OK\r\n");
    BindingCheck();
    uefi_call_wrapper(BS->Stall, 1, 200000);
    uefi_call_wrapper(RT->ResetSystem, 4, EfiResetShutdown, EFI_SUCCESS, 0, NULL);
    return EFI_SUCCESS;
}
