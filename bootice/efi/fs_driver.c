/* A read-only UEFI file-system driver for NTFS and exFAT partitions: the
 * Simple File System protocol over the partition's Disk I/O, so that the
 * firmware and the loaders it starts read such a partition like FAT. It is
 * a boot-service driver built with gnu-efi; the readers (fsreader.h) know
 * nothing of UEFI. Writing is refused (EFI_WRITE_PROTECTED). It binds only
 * to the partition whose device path the loader gives as its load options:
 * a volume connected later (an internal disk's, after a failed boot) is left
 * to the firmware. */
#include <efi.h>
#include <efilib.h>

#include "fsr_alloc.h"
#include "fsreader.h"

#define VOLUME_SIGNATURE 0x5346444B /* "KDFS" */

typedef struct {
    EFI_SIMPLE_FILE_SYSTEM_PROTOCOL protocol; /* first: the protocol is the volume */
    UINT32 signature;
    EFI_DISK_IO* disk;
    EFI_BLOCK_IO* block;
    UINT32 media;
    BOOLEAN busy;     /* a call is in the readers: their caches are not re-entered */
    fsr_volume* volume;
    UINTN open_files;
} VOLUME;

typedef struct {
    EFI_FILE_PROTOCOL protocol; /* first: the protocol is the handle */
    VOLUME* volume;
    fsr_node* node;
    CHAR16* path;     /* from the root, "\"-separated, no trailing "\" */
    UINT64 position;  /* files: the byte; folders: the reader's cursor */
} FILE_HANDLE;

void* fsr_alloc(size_t size) { return AllocateZeroPool(size); }
void fsr_free(void* pointer) {
    if (pointer) FreePool(pointer);
}

/* The partition the loader named; NULL: none, and nothing is bound. */
static EFI_DEVICE_PATH* gPartition;

/* As the firmware's FAT driver does: calls run at TPL_CALLBACK, so that no
 * event of that level re-enters the readers, and one that comes at a higher
 * level while a call is in them is turned away. */
static EFI_STATUS Enter(VOLUME* v, EFI_TPL* old, BOOLEAN media) {
    EFI_TPL current = uefi_call_wrapper(BS->RaiseTPL, 1, TPL_HIGH_LEVEL);
    uefi_call_wrapper(BS->RestoreTPL, 1, current);
    if (current > TPL_CALLBACK) return EFI_ACCESS_DENIED;
    *old = uefi_call_wrapper(BS->RaiseTPL, 1, TPL_CALLBACK);
    if (v->busy) {
        uefi_call_wrapper(BS->RestoreTPL, 1, *old);
        return EFI_ACCESS_DENIED;
    }
    /* Another medium in the drive: what was read of the old one is no
     * guide to the new one. */
    if (media && (!v->block->Media->MediaPresent || v->block->Media->MediaId != v->media)) {
        uefi_call_wrapper(BS->RestoreTPL, 1, *old);
        return v->block->Media->MediaPresent ? EFI_MEDIA_CHANGED : EFI_NO_MEDIA;
    }
    v->busy = TRUE;
    return EFI_SUCCESS;
}

static VOID Leave(VOLUME* v, EFI_TPL old) {
    v->busy = FALSE;
    uefi_call_wrapper(BS->RestoreTPL, 1, old);
}

/* Every protocol call: |call| runs between Enter and Leave. The volume is
 * taken before the call, which may free the handle it came from (Close). */
#define GUARDED(volume, media, call)                       \
    do {                                                   \
        VOLUME* guarded_ = (volume);                       \
        EFI_TPL old_;                                      \
        EFI_STATUS status_ = Enter(guarded_, &old_, media); \
        if (EFI_ERROR(status_)) return status_;            \
        status_ = (call);                                  \
        Leave(guarded_, old_);                             \
        return status_;                                    \
    } while (0)

static EFI_STATUS Status(int status) {
    switch (status) {
    case FSR_OK: return EFI_SUCCESS;
    case FSR_NOT_FOUND: return EFI_NOT_FOUND;
    case FSR_NOT_FOLDER: return EFI_NOT_FOUND;
    case FSR_NO_MEMORY: return EFI_OUT_OF_RESOURCES;
    case FSR_UNSUPPORTED: return EFI_UNSUPPORTED;
    case FSR_IO: return EFI_DEVICE_ERROR;
    default: return EFI_VOLUME_CORRUPTED;
    }
}

static int ReadDisk(void* context, uint64_t offset, void* buffer, uint32_t length) {
    VOLUME* v = (VOLUME*)context;
    return EFI_ERROR(uefi_call_wrapper(v->disk->ReadDisk, 5, v->disk, v->media, offset, (UINTN)length, buffer));
}

static EFI_FILE_PROTOCOL kFileTemplate;
static FILE_HANDLE* NewHandle(VOLUME* v, fsr_node* node, CHAR16* path) {
    FILE_HANDLE* f = AllocateZeroPool(sizeof *f);
    if (!f) return NULL;
    f->protocol = kFileTemplate;
    f->volume = v;
    f->node = node;
    f->path = path;
    ++v->open_files;
    return f;
}

static EFI_TIME Time(fsr_time t) {
    EFI_TIME e;
    ZeroMem(&e, sizeof e);
    e.Year = t.year;
    e.Month = t.month;
    e.Day = t.day;
    e.Hour = t.hour;
    e.Minute = t.minute;
    e.Second = t.second;
    e.TimeZone = EFI_UNSPECIFIED_TIMEZONE;
    return e;
}

/* An EFI_FILE_INFO for the entry, or the size it needs. */
static EFI_STATUS FileInfo(const fsr_entry* entry, UINTN* size, VOID* buffer) {
    const UINTN needed = SIZE_OF_EFI_FILE_INFO + (entry->name_length + 1) * sizeof(CHAR16);
    if (*size < needed) {
        *size = needed;
        return EFI_BUFFER_TOO_SMALL;
    }
    EFI_FILE_INFO* info = buffer;
    ZeroMem(info, needed);
    info->Size = needed;
    info->FileSize = entry->size;
    info->PhysicalSize = entry->allocated;
    info->CreateTime = Time(entry->created);
    info->LastAccessTime = Time(entry->accessed);
    info->ModificationTime = Time(entry->modified);
    info->Attribute = EFI_FILE_READ_ONLY | (entry->attributes & (EFI_FILE_HIDDEN | EFI_FILE_SYSTEM | EFI_FILE_ARCHIVE)) |
                      (entry->attributes & FSR_ATTR_FOLDER ? EFI_FILE_DIRECTORY : 0);
    CopyMem(info->FileName, (VOID*)entry->name, entry->name_length * sizeof(CHAR16));
    *size = needed;
    return EFI_SUCCESS;
}

/* ------------------------------------------------------------ files */

static EFI_STATUS DoFileClose(EFI_FILE_PROTOCOL* This) {
    FILE_HANDLE* f = (FILE_HANDLE*)This;
    fsr_close(f->node);
    --f->volume->open_files;
    FreePool(f->path);
    FreePool(f);
    return EFI_SUCCESS;
}

static EFI_STATUS DoFileOpen(EFI_FILE_PROTOCOL* This, EFI_FILE_PROTOCOL** NewHandleOut, CHAR16* FileName,
                                  UINT64 OpenMode, UINT64 Attributes) {
    FILE_HANDLE* from = (FILE_HANDLE*)This;
    VOLUME* v = from->volume;
    (void)Attributes;
    if (!NewHandleOut || !FileName) return EFI_INVALID_PARAMETER;
    const UINT64 write = EFI_FILE_MODE_READ | EFI_FILE_MODE_WRITE;
    if (OpenMode != EFI_FILE_MODE_READ && OpenMode != write && OpenMode != (write | EFI_FILE_MODE_CREATE))
        return EFI_INVALID_PARAMETER;
    if (OpenMode != EFI_FILE_MODE_READ) return EFI_WRITE_PROTECTED;
    /* The whole path from the root, its "." and ".." resolved: the readers
     * know no parent of a folder. Loaders write "\" or "/" between names. */
    const UINTN own = StrLen(from->path), given = StrLen(FileName);
    CHAR16* path = AllocateZeroPool((own + given + 2) * sizeof(CHAR16));
    if (!path) return EFI_OUT_OF_RESOURCES;
    UINTN length = 0;
    if (FileName[0] != L'\\' && FileName[0] != L'/') {
        CopyMem(path, from->path, own * sizeof(CHAR16));
        length = own;
    }
    for (UINTN i = 0; i <= given;) {
        while (FileName[i] == L'\\' || FileName[i] == L'/') ++i;
        UINTN end = i;
        while (FileName[end] && FileName[end] != L'\\' && FileName[end] != L'/') ++end;
        const UINTN part = end - i;
        if (part == 0) break;
        if (part == 1 && FileName[i] == L'.') {
        } else if (part == 2 && FileName[i] == L'.' && FileName[i + 1] == L'.') {
            if (length == 0) {
                FreePool(path);
                return EFI_NOT_FOUND;
            }
            while (length && path[length - 1] != L'\\') --length;
            if (length) --length;
        } else {
            path[length++] = L'\\';
            CopyMem(path + length, FileName + i, part * sizeof(CHAR16));
            length += part;
        }
        i = end;
    }
    path[length] = 0;

    fsr_node* node = NULL;
    int status = fsr_open_root(v->volume, &node);
    for (UINTN i = 0; status == FSR_OK && i < length;) {
        UINTN end = ++i;
        while (end < length && path[end] != L'\\') ++end;
        uint16_t name[FSR_NAME_MAX + 1];
        if (end - i > FSR_NAME_MAX) {
            status = FSR_NOT_FOUND;
            break;
        }
        for (UINTN k = i; k < end; ++k) name[k - i] = path[k];
        fsr_node* next = NULL;
        status = fsr_lookup(node, name, (uint32_t)(end - i), &next);
        fsr_close(node);
        node = next;
        i = end;
    }
    if (status != FSR_OK) {
        fsr_close(node);
        FreePool(path);
        return Status(status);
    }
    FILE_HANDLE* f = NewHandle(v, node, path);
    if (!f) {
        fsr_close(node);
        FreePool(path);
        return EFI_OUT_OF_RESOURCES;
    }
    *NewHandleOut = &f->protocol;
    return EFI_SUCCESS;
}

static EFI_STATUS EFIAPI FileOpen(EFI_FILE_PROTOCOL* This, EFI_FILE_PROTOCOL** NewHandleOut, CHAR16* FileName,
                                  UINT64 OpenMode, UINT64 Attributes) {
    GUARDED(((FILE_HANDLE*)This)->volume, TRUE, DoFileOpen(This, NewHandleOut, FileName, OpenMode, Attributes));
}

static EFI_STATUS EFIAPI FileClose(EFI_FILE_PROTOCOL* This) {
    GUARDED(((FILE_HANDLE*)This)->volume, FALSE, DoFileClose(This));
}

static EFI_STATUS EFIAPI FileDelete(EFI_FILE_PROTOCOL* This) {
    FileClose(This);
    return EFI_WARN_DELETE_FAILURE;
}

static EFI_STATUS DoFileRead(EFI_FILE_PROTOCOL* This, UINTN* BufferSize, VOID* Buffer) {
    FILE_HANDLE* f = (FILE_HANDLE*)This;
    const fsr_entry* info = fsr_info(f->node);
    if (!BufferSize || (*BufferSize && !Buffer)) return EFI_INVALID_PARAMETER;
    if (info->attributes & FSR_ATTR_FOLDER) {
        fsr_entry* entry = AllocatePool(sizeof *entry);
        if (!entry) return EFI_OUT_OF_RESOURCES;
        UINT64 cursor = f->position;
        int status = fsr_read_folder(f->node, &cursor, entry);
        EFI_STATUS result;
        if (status == FSR_END) {
            *BufferSize = 0;
            result = EFI_SUCCESS;
        } else if (status != FSR_OK) {
            result = Status(status);
        } else {
            result = FileInfo(entry, BufferSize, Buffer);
            if (!EFI_ERROR(result)) f->position = cursor;
        }
        FreePool(entry);
        return result;
    }
    if (f->position > info->size) return EFI_DEVICE_ERROR;
    UINTN done = 0;
    while (done < *BufferSize) {
        UINTN want = *BufferSize - done;
        if (want > (1u << 20)) want = 1u << 20;
        uint32_t got = 0;
        int status = fsr_read(f->node, f->position, (UINT8*)Buffer + done, (uint32_t)want, &got);
        if (status != FSR_OK) return Status(status);
        if (got == 0) break;
        done += got;
        f->position += got;
    }
    *BufferSize = done;
    return EFI_SUCCESS;
}

static EFI_STATUS EFIAPI FileRead(EFI_FILE_PROTOCOL* This, UINTN* BufferSize, VOID* Buffer) {
    GUARDED(((FILE_HANDLE*)This)->volume, TRUE, DoFileRead(This, BufferSize, Buffer));
}

static EFI_STATUS EFIAPI FileWrite(EFI_FILE_PROTOCOL* This, UINTN* BufferSize, VOID* Buffer) {
    (void)This;
    (void)BufferSize;
    (void)Buffer;
    return EFI_WRITE_PROTECTED;
}

static EFI_STATUS DoFileSetPosition(EFI_FILE_PROTOCOL* This, UINT64 Position) {
    FILE_HANDLE* f = (FILE_HANDLE*)This;
    const fsr_entry* info = fsr_info(f->node);
    if (info->attributes & FSR_ATTR_FOLDER) {
        if (Position != 0) return EFI_UNSUPPORTED;
        f->position = 0;
        return EFI_SUCCESS;
    }
    f->position = Position == 0xFFFFFFFFFFFFFFFFull ? info->size : Position;
    return EFI_SUCCESS;
}

static EFI_STATUS DoFileGetPosition(EFI_FILE_PROTOCOL* This, UINT64* Position) {
    FILE_HANDLE* f = (FILE_HANDLE*)This;
    if (!Position) return EFI_INVALID_PARAMETER;
    if (fsr_info(f->node)->attributes & FSR_ATTR_FOLDER) return EFI_UNSUPPORTED;
    *Position = f->position;
    return EFI_SUCCESS;
}

static EFI_STATUS DoFileGetInfo(EFI_FILE_PROTOCOL* This, EFI_GUID* Type, UINTN* BufferSize, VOID* Buffer) {
    FILE_HANDLE* f = (FILE_HANDLE*)This;
    fsr_volume* volume = f->volume->volume;
    if (!Type || !BufferSize || (*BufferSize && !Buffer)) return EFI_INVALID_PARAMETER;
    const uint16_t* label = fsr_label(volume);
    UINTN label_length = 0;
    while (label[label_length]) ++label_length;
    if (CompareGuid(Type, &GenericFileInfo) == 0) return FileInfo(fsr_info(f->node), BufferSize, Buffer);
    if (CompareGuid(Type, &FileSystemInfo) == 0) {
        const UINTN needed = SIZE_OF_EFI_FILE_SYSTEM_INFO + (label_length + 1) * sizeof(CHAR16);
        if (*BufferSize < needed) {
            *BufferSize = needed;
            return EFI_BUFFER_TOO_SMALL;
        }
        EFI_FILE_SYSTEM_INFO* info = Buffer;
        ZeroMem(info, needed);
        info->Size = needed;
        info->ReadOnly = TRUE;
        info->VolumeSize = fsr_volume_bytes(volume);
        info->FreeSpace = 0; /* nothing can be written */
        info->BlockSize = fsr_cluster_bytes(volume);
        CopyMem(info->VolumeLabel, (VOID*)label, label_length * sizeof(CHAR16));
        *BufferSize = needed;
        return EFI_SUCCESS;
    }
    if (CompareGuid(Type, &FileSystemVolumeLabelInfo) == 0) {
        const UINTN needed = SIZE_OF_EFI_FILE_SYSTEM_VOLUME_LABEL_INFO + (label_length + 1) * sizeof(CHAR16);
        if (*BufferSize < needed) {
            *BufferSize = needed;
            return EFI_BUFFER_TOO_SMALL;
        }
        EFI_FILE_SYSTEM_VOLUME_LABEL* info = Buffer;
        ZeroMem(info, needed);
        CopyMem(info->VolumeLabel, (VOID*)label, label_length * sizeof(CHAR16));
        *BufferSize = needed;
        return EFI_SUCCESS;
    }
    return EFI_UNSUPPORTED;
}

static EFI_STATUS EFIAPI FileSetPosition(EFI_FILE_PROTOCOL* This, UINT64 Position) {
    GUARDED(((FILE_HANDLE*)This)->volume, FALSE, DoFileSetPosition(This, Position));
}

static EFI_STATUS EFIAPI FileGetPosition(EFI_FILE_PROTOCOL* This, UINT64* Position) {
    GUARDED(((FILE_HANDLE*)This)->volume, FALSE, DoFileGetPosition(This, Position));
}

static EFI_STATUS EFIAPI FileGetInfo(EFI_FILE_PROTOCOL* This, EFI_GUID* Type, UINTN* BufferSize, VOID* Buffer) {
    GUARDED(((FILE_HANDLE*)This)->volume, TRUE, DoFileGetInfo(This, Type, BufferSize, Buffer));
}

static EFI_STATUS EFIAPI FileSetInfo(EFI_FILE_PROTOCOL* This, EFI_GUID* Type, UINTN BufferSize, VOID* Buffer) {
    (void)This;
    (void)Type;
    (void)BufferSize;
    (void)Buffer;
    return EFI_WRITE_PROTECTED;
}

static EFI_STATUS EFIAPI FileFlush(EFI_FILE_PROTOCOL* This) {
    (void)This;
    return EFI_ACCESS_DENIED; /* every handle is opened read-only */
}

static EFI_STATUS DoOpenVolume(EFI_SIMPLE_FILE_SYSTEM_PROTOCOL* This, EFI_FILE_PROTOCOL** Root) {
    VOLUME* v = (VOLUME*)This;
    if (!Root) return EFI_INVALID_PARAMETER;
    fsr_node* node = NULL;
    int status = fsr_open_root(v->volume, &node);
    if (status != FSR_OK) return Status(status);
    CHAR16* path = AllocateZeroPool(sizeof(CHAR16));
    FILE_HANDLE* f = path ? NewHandle(v, node, path) : NULL;
    if (!f) {
        fsr_close(node);
        if (path) FreePool(path);
        return EFI_OUT_OF_RESOURCES;
    }
    *Root = &f->protocol;
    return EFI_SUCCESS;
}

static EFI_STATUS EFIAPI OpenVolume(EFI_SIMPLE_FILE_SYSTEM_PROTOCOL* This, EFI_FILE_PROTOCOL** Root) {
    GUARDED((VOLUME*)This, TRUE, DoOpenVolume(This, Root));
}

/* ---------------------------------------------------------- binding */

static EFI_STATUS EFIAPI Supported(EFI_DRIVER_BINDING_PROTOCOL* This, EFI_HANDLE Controller,
                                   EFI_DEVICE_PATH* RemainingDevicePath) {
    (void)RemainingDevicePath;
    EFI_DISK_IO* disk = NULL;
    EFI_BLOCK_IO* block = NULL;
    EFI_DEVICE_PATH* path = DevicePathFromHandle(Controller);
    const UINTN size = gPartition ? DevicePathSize(gPartition) : 0;
    if (!path || !size || DevicePathSize(path) != size || CompareMem(path, gPartition, size) != 0)
        return EFI_UNSUPPORTED;
    EFI_STATUS status = uefi_call_wrapper(BS->OpenProtocol, 6, Controller, &BlockIoProtocol, (VOID**)&block,
                                          This->DriverBindingHandle, Controller, EFI_OPEN_PROTOCOL_GET_PROTOCOL);
    if (EFI_ERROR(status)) return status;
    status = uefi_call_wrapper(BS->OpenProtocol, 6, Controller, &DiskIoProtocol, (VOID**)&disk,
                               This->DriverBindingHandle, Controller, EFI_OPEN_PROTOCOL_BY_DRIVER);
    if (EFI_ERROR(status)) return status;
    /* Only volumes that say NTFS or exFAT: the rest is left to others. */
    UINT8 name[8];
    status = uefi_call_wrapper(disk->ReadDisk, 5, disk, block->Media->MediaId, 3, sizeof name, name);
    if (!EFI_ERROR(status) && CompareMem(name, "NTFS    ", 8) != 0 && CompareMem(name, "EXFAT   ", 8) != 0)
        status = EFI_UNSUPPORTED;
    uefi_call_wrapper(BS->CloseProtocol, 4, Controller, &DiskIoProtocol, This->DriverBindingHandle, Controller);
    return EFI_ERROR(status) ? EFI_UNSUPPORTED : EFI_SUCCESS;
}

static EFI_STATUS EFIAPI Start(EFI_DRIVER_BINDING_PROTOCOL* This, EFI_HANDLE Controller,
                               EFI_DEVICE_PATH* RemainingDevicePath) {
    (void)RemainingDevicePath;
    EFI_BLOCK_IO* block = NULL;
    VOLUME* v = AllocateZeroPool(sizeof *v);
    if (!v) return EFI_OUT_OF_RESOURCES;
    EFI_STATUS status = uefi_call_wrapper(BS->OpenProtocol, 6, Controller, &BlockIoProtocol, (VOID**)&block,
                                          This->DriverBindingHandle, Controller, EFI_OPEN_PROTOCOL_GET_PROTOCOL);
    if (!EFI_ERROR(status))
        status = uefi_call_wrapper(BS->OpenProtocol, 6, Controller, &DiskIoProtocol, (VOID**)&v->disk,
                                   This->DriverBindingHandle, Controller, EFI_OPEN_PROTOCOL_BY_DRIVER);
    if (EFI_ERROR(status)) {
        FreePool(v);
        return status;
    }
    v->signature = VOLUME_SIGNATURE;
    v->block = block;
    v->media = block->Media->MediaId;
    v->protocol.Revision = EFI_SIMPLE_FILE_SYSTEM_PROTOCOL_REVISION;
    v->protocol.OpenVolume = OpenVolume;
    const UINT64 bytes = (block->Media->LastBlock + 1) * (UINT64)block->Media->BlockSize;
    int mounted = fsr_mount(ReadDisk, v, bytes, &v->volume);
    status = mounted == FSR_OK ? EFI_SUCCESS : EFI_UNSUPPORTED;
    if (!EFI_ERROR(status))
        status = uefi_call_wrapper(BS->InstallProtocolInterface, 4, &Controller, &FileSystemProtocol,
                                   EFI_NATIVE_INTERFACE, &v->protocol);
    if (EFI_ERROR(status)) {
        fsr_unmount(v->volume);
        uefi_call_wrapper(BS->CloseProtocol, 4, Controller, &DiskIoProtocol, This->DriverBindingHandle, Controller);
        FreePool(v);
    }
    return status;
}

static EFI_STATUS EFIAPI Stop(EFI_DRIVER_BINDING_PROTOCOL* This, EFI_HANDLE Controller, UINTN NumberOfChildren,
                              EFI_HANDLE* ChildHandleBuffer) {
    (void)NumberOfChildren;
    (void)ChildHandleBuffer;
    EFI_SIMPLE_FILE_SYSTEM_PROTOCOL* protocol = NULL;
    EFI_STATUS status = uefi_call_wrapper(BS->OpenProtocol, 6, Controller, &FileSystemProtocol, (VOID**)&protocol,
                                          This->DriverBindingHandle, Controller, EFI_OPEN_PROTOCOL_GET_PROTOCOL);
    if (EFI_ERROR(status)) return EFI_UNSUPPORTED;
    VOLUME* v = (VOLUME*)protocol;
    if (v->signature != VOLUME_SIGNATURE) return EFI_UNSUPPORTED;
    /* Open files point into the volume: it stays while any is open. */
    if (v->open_files || v->busy) return EFI_ACCESS_DENIED;
    status = uefi_call_wrapper(BS->UninstallProtocolInterface, 3, Controller, &FileSystemProtocol, &v->protocol);
    if (EFI_ERROR(status)) return status;
    uefi_call_wrapper(BS->CloseProtocol, 4, Controller, &DiskIoProtocol, This->DriverBindingHandle, Controller);
    fsr_unmount(v->volume);
    v->signature = 0;
    FreePool(v);
    return EFI_SUCCESS;
}

static EFI_DRIVER_BINDING_PROTOCOL kBinding = {Supported, Start, Stop, 0x10, NULL, NULL};

/* Whether bytes hold a whole device path, its end node included. */
static BOOLEAN PathWithin(const VOID* bytes, UINT32 size) {
    const UINT8* p = bytes;
    for (UINT32 at = 0; p && size - at >= 4;) {
        const UINT32 length = p[at + 2] | p[at + 3] << 8;
        if (length < 4 || length > size - at) return FALSE;
        if (p[at] == END_DEVICE_PATH_TYPE && p[at + 1] == END_ENTIRE_DEVICE_PATH_SUBTYPE) return TRUE;
        at += length;
    }
    return FALSE;
}

/* Called by gnu-efi's start-up code with the compiler's own convention. */
EFI_STATUS efi_main(EFI_HANDLE image, EFI_SYSTEM_TABLE* systemTable) {
    InitializeLib(image, systemTable);
    EFI_LOADED_IMAGE* loaded = NULL;
    if (!EFI_ERROR(uefi_call_wrapper(BS->HandleProtocol, 3, image, &LoadedImageProtocol, (VOID**)&loaded)) &&
        PathWithin(loaded->LoadOptions, loaded->LoadOptionsSize))
        gPartition = DuplicateDevicePath((EFI_DEVICE_PATH*)loaded->LoadOptions);
    if (!gPartition) return EFI_INVALID_PARAMETER; /* bound to nothing: not kept */
    kFileTemplate.Revision = EFI_FILE_PROTOCOL_REVISION;
    kFileTemplate.Open = FileOpen;
    kFileTemplate.Close = FileClose;
    kFileTemplate.Delete = FileDelete;
    kFileTemplate.Read = FileRead;
    kFileTemplate.Write = FileWrite;
    kFileTemplate.GetPosition = FileGetPosition;
    kFileTemplate.SetPosition = FileSetPosition;
    kFileTemplate.GetInfo = FileGetInfo;
    kFileTemplate.SetInfo = FileSetInfo;
    kFileTemplate.Flush = FileFlush;
    kBinding.ImageHandle = image;
    kBinding.DriverBindingHandle = image;
    return uefi_call_wrapper(BS->InstallProtocolInterface, 4, &kBinding.DriverBindingHandle, &DriverBindingProtocol,
                             EFI_NATIVE_INTERFACE, &kBinding);
}
