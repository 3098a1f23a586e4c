// A virtual disk for Wine's kernel: \Device\HarddiskN backed by an image
// file, so that bootice.exe's disk half runs through the same calls as on
// Windows. The service key's values "Disk0".."Disk9" name the images
// ("\??\Z:\...\disk.img"); each becomes disk N.
//
// It refuses what Windows disk drivers refuse: transfers whose offset or
// length is not a whole number of sectors (87), and writes inside the extent
// of a mounted volume that is not locked or dismounted (5). Which extents
// are mounted is told by the test's volume seam through a private control
// call, since Wine itself mounts nothing on such a disk.
#include <ntddk.h>
#include <ntdddisk.h>
#include <ntddstor.h>

#define SECTOR 512
#define MAX_EXTENTS 16
// Private: the extents of mounted, unlocked volumes, and transient faults.
#define IOCTL_VDISK_SET_STATE CTL_CODE(0x8000, 0x900, METHOD_BUFFERED, FILE_ANY_ACCESS)

typedef struct {
    ULONG failTransfers;  // so many more transfers fail with a device error
    ULONG count;
    struct { ULONGLONG first, end; } extents[MAX_EXTENTS];  // byte ranges
} VDISK_STATE;

typedef struct {
    HANDLE file;
    ULONG number;
    ULONGLONG bytes;
    VDISK_STATE state;
    // The layout as the partition manager holds it: read from the medium at
    // the first call and again only after a layout call or UPDATE_PROPERTIES,
    // never because sectors were written.
    BOOLEAN layoutKnown;
    UCHAR layout[FIELD_OFFSET(DRIVE_LAYOUT_INFORMATION_EX, PartitionEntry) + 4 * sizeof(PARTITION_INFORMATION_EX)];
} VDISK;

static NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

static NTSTATUS FileIo(VDISK* disk, BOOLEAN writing, ULONGLONG offset, void* buffer, ULONG length) {
    IO_STATUS_BLOCK io;
    LARGE_INTEGER at;
    at.QuadPart = (LONGLONG)offset;
    NTSTATUS status = writing ? ZwWriteFile(disk->file, NULL, NULL, NULL, &io, buffer, length, &at, NULL)
                              : ZwReadFile(disk->file, NULL, NULL, NULL, &io, buffer, length, &at, NULL);
    if (NT_SUCCESS(status) && io.Information != length) status = STATUS_DEVICE_DATA_ERROR;
    return status;
}

static NTSTATUS NTAPI Transfer(PDEVICE_OBJECT device, PIRP irp) {
    VDISK* disk = device->DeviceExtension;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    BOOLEAN writing = stack->MajorFunction == IRP_MJ_WRITE;
    ULONG length = writing ? stack->Parameters.Write.Length : stack->Parameters.Read.Length;
    ULONGLONG offset = (ULONGLONG)(writing ? stack->Parameters.Write.ByteOffset.QuadPart
                                           : stack->Parameters.Read.ByteOffset.QuadPart);
    if (offset % SECTOR != 0 || length % SECTOR != 0 || offset > disk->bytes || length > disk->bytes - offset) {
        return Complete(irp, STATUS_INVALID_PARAMETER, 0);
    }
    if (disk->state.failTransfers > 0) {
        disk->state.failTransfers--;
        return Complete(irp, STATUS_IO_DEVICE_ERROR, 0);
    }
    if (writing) {
        for (ULONG i = 0; i < disk->state.count && i < MAX_EXTENTS; ++i) {
            if (offset < disk->state.extents[i].end && offset + length > disk->state.extents[i].first) {
                return Complete(irp, STATUS_ACCESS_DENIED, 0);
            }
        }
    }
    NTSTATUS status = FileIo(disk, writing, offset, irp->AssociatedIrp.SystemBuffer, length);
    return Complete(irp, status, NT_SUCCESS(status) ? length : 0);
}

// A GPT (a protective MBR and an "EFI PART" header in sector 1): its first
// four used entries, as the partition manager reports them.
static BOOLEAN GetGptLayout(VDISK* disk, DRIVE_LAYOUT_INFORMATION_EX* layout, const UCHAR* sector0) {
    UCHAR header[SECTOR], entries[SECTOR];
    if (sector0[446 + 4] != 0xEE || !NT_SUCCESS(FileIo(disk, FALSE, SECTOR, header, SECTOR)) ||
        RtlCompareMemory(header, "EFI PART", 8) != 8) {
        return FALSE;
    }
    ULONGLONG first = *(ULONGLONG*)(header + 72);
    ULONG count = *(ULONG*)(header + 80), size = *(ULONG*)(header + 84);
    if (size != 128) return FALSE;
    layout->PartitionStyle = PARTITION_STYLE_GPT;
    RtlCopyMemory(&layout->Gpt.DiskId, header + 56, 16);
    for (ULONG i = 0; i < count && i < 128 && layout->PartitionCount < 4; ++i) {
        if (i % 4 == 0 && !NT_SUCCESS(FileIo(disk, FALSE, (first + i / 4) * SECTOR, entries, SECTOR))) return FALSE;
        const UCHAR* entry = entries + (i % 4) * 128;
        ULONGLONG start = *(ULONGLONG*)(entry + 32), end = *(ULONGLONG*)(entry + 40);
        if (start == 0) continue;
        PARTITION_INFORMATION_EX* out = &layout->PartitionEntry[layout->PartitionCount++];
        out->PartitionStyle = PARTITION_STYLE_GPT;
        out->StartingOffset.QuadPart = (LONGLONG)(start * SECTOR);
        out->PartitionLength.QuadPart = (LONGLONG)((end - start + 1) * SECTOR);
        out->PartitionNumber = i + 1;
        RtlCopyMemory(&out->Gpt.PartitionType, entry, 16);
    }
    return TRUE;
}

// The four primary entries of sector 0 as the layout call gives them.
static NTSTATUS GetLayout(VDISK* disk, DRIVE_LAYOUT_INFORMATION_EX* layout, ULONG bytes, ULONG_PTR* written) {
    ULONG need = FIELD_OFFSET(DRIVE_LAYOUT_INFORMATION_EX, PartitionEntry) + 4 * sizeof(PARTITION_INFORMATION_EX);
    UCHAR sector[SECTOR];
    if (bytes < need) return STATUS_BUFFER_TOO_SMALL;
    NTSTATUS status = FileIo(disk, FALSE, 0, sector, SECTOR);
    if (!NT_SUCCESS(status)) return status;
    RtlZeroMemory(layout, need);
    if (GetGptLayout(disk, layout, sector)) {
        *written = need;
        return STATUS_SUCCESS;
    }
    RtlZeroMemory(layout, need);
    layout->PartitionStyle = PARTITION_STYLE_MBR;
    layout->PartitionCount = 4;
    layout->Mbr.Signature = *(ULONG*)(sector + 440);
    for (ULONG i = 0; i < 4; ++i) {
        const UCHAR* entry = sector + 446 + 16 * i;
        PARTITION_INFORMATION_EX* out = &layout->PartitionEntry[i];
        out->PartitionStyle = PARTITION_STYLE_MBR;
        out->StartingOffset.QuadPart = (LONGLONG)*(ULONG*)(entry + 8) * SECTOR;
        out->PartitionLength.QuadPart = (LONGLONG)*(ULONG*)(entry + 12) * SECTOR;
        out->PartitionNumber = entry[4] != 0 ? i + 1 : 0;
        out->Mbr.PartitionType = entry[4];
        out->Mbr.BootIndicator = entry[0] == 0x80;
        out->Mbr.HiddenSectors = *(ULONG*)(entry + 8);
    }
    *written = need;
    return STATUS_SUCCESS;
}

// CREATE_DISK and SET_DRIVE_LAYOUT_EX rewrite sector 0's signature and table,
// keeping its boot code, as the partition manager does.
static NTSTATUS SetTable(VDISK* disk, ULONG signature, const DRIVE_LAYOUT_INFORMATION_EX* layout) {
    UCHAR sector[SECTOR];
    NTSTATUS status = FileIo(disk, FALSE, 0, sector, SECTOR);
    if (!NT_SUCCESS(status)) return status;
    *(ULONG*)(sector + 440) = signature;
    RtlZeroMemory(sector + 446, 64);
    for (ULONG i = 0; layout != NULL && i < layout->PartitionCount && i < 4; ++i) {
        const PARTITION_INFORMATION_EX* in = &layout->PartitionEntry[i];
        UCHAR* entry = sector + 446 + 16 * i;
        if (in->Mbr.PartitionType == 0) continue;
        entry[0] = in->Mbr.BootIndicator ? 0x80 : 0;
        entry[1] = 0xFE; entry[2] = 0xFF; entry[3] = 0xFF;
        entry[4] = in->Mbr.PartitionType;
        entry[5] = 0xFE; entry[6] = 0xFF; entry[7] = 0xFF;
        *(ULONG*)(entry + 8) = (ULONG)(in->StartingOffset.QuadPart / SECTOR);
        *(ULONG*)(entry + 12) = (ULONG)(in->PartitionLength.QuadPart / SECTOR);
    }
    sector[510] = 0x55;
    sector[511] = 0xAA;
    return FileIo(disk, TRUE, 0, sector, SECTOR);
}

static NTSTATUS NTAPI Control(PDEVICE_OBJECT device, PIRP irp) {
    VDISK* disk = device->DeviceExtension;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    void* buffer = irp->AssociatedIrp.SystemBuffer;
    ULONG in = stack->Parameters.DeviceIoControl.InputBufferLength;
    ULONG out = stack->Parameters.DeviceIoControl.OutputBufferLength;
    ULONG_PTR written = 0;
    NTSTATUS status = STATUS_SUCCESS;
    switch (stack->Parameters.DeviceIoControl.IoControlCode) {
        case IOCTL_DISK_GET_DRIVE_GEOMETRY_EX: {
            DISK_GEOMETRY_EX* geometry = buffer;
            ULONG need = FIELD_OFFSET(DISK_GEOMETRY_EX, Data);
            if (out < need) { status = STATUS_BUFFER_TOO_SMALL; break; }
            RtlZeroMemory(geometry, need);
            geometry->Geometry.MediaType = RemovableMedia;
            geometry->Geometry.TracksPerCylinder = 255;
            geometry->Geometry.SectorsPerTrack = 63;
            geometry->Geometry.BytesPerSector = SECTOR;
            geometry->Geometry.Cylinders.QuadPart = (LONGLONG)(disk->bytes / (255 * 63 * SECTOR));
            geometry->DiskSize.QuadPart = (LONGLONG)disk->bytes;
            written = need;
            break;
        }
        case IOCTL_DISK_GET_LENGTH_INFO:
            if (out < sizeof(GET_LENGTH_INFORMATION)) { status = STATUS_BUFFER_TOO_SMALL; break; }
            ((GET_LENGTH_INFORMATION*)buffer)->Length.QuadPart = (LONGLONG)disk->bytes;
            written = sizeof(GET_LENGTH_INFORMATION);
            break;
        case IOCTL_STORAGE_GET_DEVICE_NUMBER: {
            STORAGE_DEVICE_NUMBER* number = buffer;
            if (out < sizeof *number) { status = STATUS_BUFFER_TOO_SMALL; break; }
            number->DeviceType = FILE_DEVICE_DISK;
            number->DeviceNumber = disk->number;
            number->PartitionNumber = (ULONG)-1;
            written = sizeof *number;
            break;
        }
        case IOCTL_DISK_GET_DRIVE_LAYOUT_EX:
            if (out < sizeof disk->layout) { status = STATUS_BUFFER_TOO_SMALL; break; }
            if (!disk->layoutKnown) {
                status = GetLayout(disk, (DRIVE_LAYOUT_INFORMATION_EX*)disk->layout, sizeof disk->layout, &written);
                disk->layoutKnown = NT_SUCCESS(status);
            }
            if (NT_SUCCESS(status)) {
                RtlCopyMemory(buffer, disk->layout, sizeof disk->layout);
                written = sizeof disk->layout;
            }
            break;
        case IOCTL_DISK_CREATE_DISK: {
            // CREATE_DISK: the style, then the MBR signature (24 bytes in all).
            const ULONG* create = buffer;
            if (in < 24 || create[0] != PARTITION_STYLE_MBR) {
                status = STATUS_INVALID_PARAMETER;
                break;
            }
            status = SetTable(disk, create[1], NULL);
            disk->layoutKnown = FALSE;
            break;
        }
        case IOCTL_DISK_SET_DRIVE_LAYOUT_EX: {
            const DRIVE_LAYOUT_INFORMATION_EX* layout = buffer;
            ULONG head = FIELD_OFFSET(DRIVE_LAYOUT_INFORMATION_EX, PartitionEntry);
            if (in < head || layout->PartitionStyle != PARTITION_STYLE_MBR ||
                in < head + layout->PartitionCount * sizeof(PARTITION_INFORMATION_EX)) {
                status = STATUS_INVALID_PARAMETER;
                break;
            }
            status = SetTable(disk, layout->Mbr.Signature, layout);
            disk->layoutKnown = FALSE;
            break;
        }
        case IOCTL_DISK_UPDATE_PROPERTIES:
            disk->layoutKnown = FALSE;
            break;
        case IOCTL_VDISK_SET_STATE:
            if (in < FIELD_OFFSET(VDISK_STATE, extents)) { status = STATUS_INVALID_PARAMETER; break; }
        {
            // Faults add up until transfers use them; the extents are replaced.
            ULONG pending = disk->state.failTransfers;
            RtlZeroMemory(&disk->state, sizeof disk->state);
            RtlCopyMemory(&disk->state, buffer, in < sizeof disk->state ? in : sizeof disk->state);
            disk->state.failTransfers += pending;
        }
            break;
        default:
            status = STATUS_INVALID_DEVICE_REQUEST;
            break;
    }
    return Complete(irp, status, written);
}

static NTSTATUS NTAPI Open(PDEVICE_OBJECT device, PIRP irp) {
    (void)device;
    return Complete(irp, STATUS_SUCCESS, 0);
}

// "PREFIX<n>" without the C library, which a kernel driver does not have.
static void NumberedName(WCHAR* out, PCWSTR prefix, ULONG number) {
    while (*prefix) *out++ = *prefix++;
    *out++ = (WCHAR)(L'0' + number);
    *out = 0;
}

static NTSTATUS AddDisk(PDRIVER_OBJECT driver, ULONG number, PCWSTR image) {
    WCHAR name[64];
    UNICODE_STRING deviceName, linkName, imageName;
    PDEVICE_OBJECT device;
    OBJECT_ATTRIBUTES attributes;
    IO_STATUS_BLOCK io;
    FILE_STANDARD_INFORMATION info;
    HANDLE file;
    RtlInitUnicodeString(&imageName, image);
    InitializeObjectAttributes(&attributes, &imageName, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, NULL, NULL);
    NTSTATUS status = ZwCreateFile(&file, GENERIC_READ | GENERIC_WRITE | SYNCHRONIZE, &attributes, &io, NULL, 0,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_OPEN,
                                   FILE_SYNCHRONOUS_IO_NONALERT | FILE_NON_DIRECTORY_FILE, NULL, 0);
    if (!NT_SUCCESS(status)) return status;
    status = ZwQueryInformationFile(file, &io, &info, sizeof info, FileStandardInformation);
    if (!NT_SUCCESS(status)) return status;
    NumberedName(name, L"\\Device\\Harddisk", number);
    RtlInitUnicodeString(&deviceName, name);
    status = IoCreateDevice(driver, sizeof(VDISK), &deviceName, FILE_DEVICE_DISK, 0, FALSE, &device);
    if (!NT_SUCCESS(status)) return status;
    device->Flags |= DO_BUFFERED_IO;
    VDISK* disk = device->DeviceExtension;
    RtlZeroMemory(disk, sizeof *disk);
    disk->file = file;
    disk->number = number;
    disk->bytes = (ULONGLONG)info.EndOfFile.QuadPart / SECTOR * SECTOR;
    WCHAR link[64];
    NumberedName(link, L"\\??\\PhysicalDrive", number);
    RtlInitUnicodeString(&linkName, link);
    IoCreateSymbolicLink(&linkName, &deviceName);
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

NTSTATUS WINAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
    OBJECT_ATTRIBUTES attributes;
    HANDLE key;
    InitializeObjectAttributes(&attributes, registryPath, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, NULL, NULL);
    NTSTATUS status = ZwOpenKey(&key, KEY_READ, &attributes);
    if (!NT_SUCCESS(status)) return status;
    driver->MajorFunction[IRP_MJ_CREATE] = Open;
    driver->MajorFunction[IRP_MJ_CLOSE] = Open;
    driver->MajorFunction[IRP_MJ_CLEANUP] = Open;
    driver->MajorFunction[IRP_MJ_READ] = Transfer;
    driver->MajorFunction[IRP_MJ_WRITE] = Transfer;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = Control;
    ULONG disks = 0;
    for (ULONG number = 0; number < 10; ++number) {
        WCHAR valueText[8] = L"Disk0";
        UNICODE_STRING valueName;
        UCHAR data[sizeof(KEY_VALUE_PARTIAL_INFORMATION) + 1024];
        ULONG size = 0;
        valueText[4] = (WCHAR)(L'0' + number);
        RtlInitUnicodeString(&valueName, valueText);
        RtlZeroMemory(data, sizeof data);
        if (!NT_SUCCESS(ZwQueryValueKey(key, &valueName, KeyValuePartialInformation, data, sizeof data - 2, &size))) {
            continue;
        }
        status = AddDisk(driver, number, (PCWSTR)((KEY_VALUE_PARTIAL_INFORMATION*)data)->Data);
        if (!NT_SUCCESS(status)) break;
        ++disks;
    }
    ZwClose(key);
    if (NT_SUCCESS(status) && disks == 0) status = STATUS_OBJECT_NAME_NOT_FOUND;
    return status;
}
