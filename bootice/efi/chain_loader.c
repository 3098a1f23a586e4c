/* The UEFI loader on the small FAT partition at the end of NTFS and exFAT
 * drives (EFI/BOOT/BOOTX64.EFI, BOOTIA32.EFI): firmware reads only FAT, so
 * it starts this one, which loads the file-system driver beside it, connects
 * it to partition 1 of the same disk (unless the firmware reads partition 1
 * itself, and finds the loader there), and starts partition 1's own UEFI
 * loader from there, with a device path on partition 1 so that the started
 * loader reads its further files through the firmware. Built with gnu-efi. */
#include <efi.h>
#include <efilib.h>

#if defined(__x86_64__)
#define LOADER L"bootx64.efi"
#define DRIVER L"\\EFI\\BOOT\\FSX64.EFI"
#else
#define LOADER L"bootia32.efi"
#define DRIVER L"\\EFI\\BOOT\\FSIA32.EFI"
#endif
#define LOADER_PATH L"\\efi\\boot\\" LOADER

/* The partition node that ends path, or NULL. */
static HARDDRIVE_DEVICE_PATH* PartitionNode(EFI_DEVICE_PATH* path) {
    EFI_DEVICE_PATH* last = NULL;
    for (EFI_DEVICE_PATH* node = path; node && !IsDevicePathEnd(node); node = NextDevicePathNode(node))
        last = node;
    if (!last || DevicePathType(last) != MEDIA_DEVICE_PATH || DevicePathSubType(last) != MEDIA_HARDDRIVE_DP ||
        (UINTN)DevicePathNodeLength(last) < 42)  /* the node's size: gnu-efi's struct is padded */
        return NULL;
    return (HARDDRIVE_DEVICE_PATH*)last;
}

/* The handle of partition 1 of the disk that holds this loader's partition:
 * a path with the same nodes up to the partition node, whose partition
 * number is 1. Never a partition of another disk. */
static EFI_HANDLE FirstPartition(EFI_DEVICE_PATH* own) {
    HARDDRIVE_DEVICE_PATH* ownPartition = PartitionNode(own);
    if (!ownPartition) return NULL;
    const UINTN prefix = (UINT8*)ownPartition - (UINT8*)own;
    EFI_HANDLE* handles = NULL;
    UINTN count = 0;
    EFI_HANDLE found = NULL;
    if (EFI_ERROR(LibLocateHandle(ByProtocol, &BlockIoProtocol, NULL, &count, &handles))) return NULL;
    for (UINTN i = 0; i < count && !found; ++i) {
        EFI_DEVICE_PATH* path = DevicePathFromHandle(handles[i]);
        HARDDRIVE_DEVICE_PATH* partition = path ? PartitionNode(path) : NULL;
        if (partition && (UINT8*)partition - (UINT8*)path == (INTN)prefix &&
            CompareMem(path, own, prefix) == 0 && partition->PartitionNumber == 1)
            found = handles[i];
    }
    FreePool(handles);
    return found;
}

static BOOLEAN HasFile(EFI_HANDLE partition, CHAR16* name) {
    EFI_FILE_HANDLE root = LibOpenRoot(partition);
    if (!root) return FALSE;
    EFI_FILE_HANDLE file = NULL;
    EFI_STATUS status = uefi_call_wrapper(root->Open, 5, root, &file, name, EFI_FILE_MODE_READ, 0);
    if (!EFI_ERROR(status)) uefi_call_wrapper(file->Close, 1, file);
    uefi_call_wrapper(root->Close, 1, root);
    return !EFI_ERROR(status);
}

/* Loads and starts the driver from this loader's own partition, naming the
 * partition it is to read (its device path, as the driver's load options:
 * it binds to no other), then connects it to the partition. */
static VOID ConnectDriver(EFI_HANDLE image, EFI_HANDLE ownDevice, EFI_HANDLE partition) {
    static EFI_HANDLE driver;
    if (!driver) {
        EFI_DEVICE_PATH* path = FileDevicePath(ownDevice, DRIVER);
        EFI_DEVICE_PATH* named = DuplicateDevicePath(DevicePathFromHandle(partition));
        EFI_LOADED_IMAGE* loaded = NULL;
        EFI_STATUS status = path && named ? uefi_call_wrapper(BS->LoadImage, 6, FALSE, image, path, NULL, 0, &driver)
                                          : EFI_OUT_OF_RESOURCES;
        if (path) FreePool(path);
        if (!EFI_ERROR(status))
            status = uefi_call_wrapper(BS->HandleProtocol, 3, driver, &LoadedImageProtocol, (VOID**)&loaded);
        if (!EFI_ERROR(status)) {
            loaded->LoadOptions = named; /* kept: the driver copies it, and stays */
            loaded->LoadOptionsSize = (UINT32)DevicePathSize(named);
            status = uefi_call_wrapper(BS->StartImage, 3, driver, NULL, NULL);
        }
        if (EFI_ERROR(status)) {
            driver = NULL;
            return;
        }
    }
    EFI_HANDLE drivers[2] = {driver, NULL};
    uefi_call_wrapper(BS->ConnectController, 4, partition, drivers, NULL, FALSE);
}

/* Stops the drivers that read partition 1 through its Disk I/O (the
 * firmware's own file-system driver), so that this drive's driver may. */
static VOID DisconnectFileSystem(EFI_HANDLE partition) {
    EFI_OPEN_PROTOCOL_INFORMATION_ENTRY* entries = NULL;
    UINTN count = 0;
    if (EFI_ERROR(uefi_call_wrapper(BS->OpenProtocolInformation, 4, partition, &DiskIoProtocol, &entries, &count)))
        return;
    for (UINTN i = 0; i < count; ++i)
        if ((entries[i].Attributes & EFI_OPEN_PROTOCOL_BY_DRIVER) && entries[i].ControllerHandle == partition)
            uefi_call_wrapper(BS->DisconnectController, 3, partition, entries[i].AgentHandle, NULL);
    FreePool(entries);
}

/* Partition 1's loader, loaded (not started): EFI_NOT_FOUND when the file
 * system on the partition shows none. */
static EFI_STATUS LoadLoader(EFI_HANDLE image, EFI_HANDLE partition, EFI_HANDLE* started) {
    if (!HasFile(partition, LOADER_PATH)) return EFI_NOT_FOUND;
    EFI_DEVICE_PATH* path = FileDevicePath(partition, LOADER_PATH);
    EFI_STATUS status =
        path ? uefi_call_wrapper(BS->LoadImage, 6, FALSE, image, path, NULL, 0, started) : EFI_OUT_OF_RESOURCES;
    if (path) FreePool(path);
    return status;
}

static VOID WaitForEnter(VOID) {
    Print(L"\r\nPress Enter to return to the firmware.\r\n");
    uefi_call_wrapper(ST->ConIn->Reset, 2, ST->ConIn, FALSE);
    for (;;) {
        UINTN index;
        EFI_INPUT_KEY key;
        uefi_call_wrapper(BS->WaitForEvent, 3, 1, &ST->ConIn->WaitForKey, &index);
        if (!EFI_ERROR(uefi_call_wrapper(ST->ConIn->ReadKeyStroke, 2, ST->ConIn, &key)) &&
            (key.UnicodeChar == L'\r' || key.UnicodeChar == L'\n'))
            return;
    }
}

/* Called by gnu-efi's start-up code with the compiler's own convention. */
EFI_STATUS efi_main(EFI_HANDLE image, EFI_SYSTEM_TABLE* systemTable) {
    InitializeLib(image, systemTable);
    EFI_LOADED_IMAGE* loaded = NULL;
    EFI_STATUS status = uefi_call_wrapper(BS->HandleProtocol, 3, image, &LoadedImageProtocol, (VOID**)&loaded);
    EFI_DEVICE_PATH* own = EFI_ERROR(status) ? NULL : DevicePathFromHandle(loaded->DeviceHandle);
    EFI_HANDLE partition = own ? FirstPartition(own) : NULL;
    if (!partition) {
        Print(L"\r\nThis drive's UEFI loader cannot tell which disk it was started from.\r\n");
        WaitForEnter();
        return EFI_NOT_FOUND;
    }
    /* A file system the firmware put on the partition itself is tried
     * first; when it shows no loader or one that does not load, it may be
     * a driver of the firmware's that reads this file system poorly: this
     * drive's own driver then reads the partition instead. */
    VOID* existing = NULL;
    const BOOLEAN firmware =
        !EFI_ERROR(uefi_call_wrapper(BS->HandleProtocol, 3, partition, &FileSystemProtocol, &existing));
    if (!firmware) ConnectDriver(image, loaded->DeviceHandle, partition);
    EFI_HANDLE started = NULL;
    status = LoadLoader(image, partition, &started);
    if (EFI_ERROR(status) && firmware) {
        DisconnectFileSystem(partition);
        ConnectDriver(image, loaded->DeviceHandle, partition);
        status = LoadLoader(image, partition, &started);
    }
    if (status == EFI_NOT_FOUND) {
        Print(L"\r\nThis drive cannot start in UEFI mode: its first partition holds no\r\n"
              L"UEFI loader /efi/boot/%s. Copy the image onto the drive again, or\r\n"
              L"start the computer from this drive in legacy BIOS (CSM) mode.\r\n",
              LOADER);
        WaitForEnter();
        return EFI_NOT_FOUND;
    }
    if (!EFI_ERROR(status)) status = uefi_call_wrapper(BS->StartImage, 3, started, NULL, NULL);
    Print(L"\r\nThe UEFI loader /efi/boot/%s of this drive did not start.\r\n(%r)\r\n", LOADER, status);
    WaitForEnter();
    return EFI_ERROR(status) ? status : EFI_NOT_FOUND;
}
