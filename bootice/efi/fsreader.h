/* Read-only readers of NTFS and exFAT volumes over a "read bytes at offset"
 * callback. The same files build into the UEFI file-system driver and,
 * natively, into the fuzz targets: they use no system call, allocate
 * through fsr_alloc.h (which the host defines) and check every
 * length, run, offset and index read from the volume, which may be hostile. */
#ifndef DROVELKIT_FSREADER_H
#define DROVELKIT_FSREADER_H
#include <stddef.h>
#include <stdint.h>

enum {
    FSR_OK = 0,
    FSR_END,          /* no more folder entries */
    FSR_NOT_FOUND,
    FSR_NOT_FOLDER,
    FSR_CORRUPT,      /* the volume contradicts itself */
    FSR_UNSUPPORTED,  /* not NTFS or exFAT, or compressed or encrypted data */
    FSR_IO,           /* the callback failed */
    FSR_NO_MEMORY
};

/* Reads length bytes at offset of the volume into buffer; 0 on success. */
typedef int (*fsr_read_fn)(void* context, uint64_t offset, void* buffer, uint32_t length);

#define FSR_NAME_MAX 255
#define FSR_ATTR_READ_ONLY 0x01
#define FSR_ATTR_HIDDEN 0x02
#define FSR_ATTR_SYSTEM 0x04
#define FSR_ATTR_FOLDER 0x10
#define FSR_ATTR_ARCHIVE 0x20

typedef struct {
    uint16_t year;  /* 0: unknown */
    uint8_t month, day, hour, minute, second;
} fsr_time;

/* A folder entry, or what an open file or folder knows of itself. */
typedef struct {
    uint16_t name[FSR_NAME_MAX + 1]; /* UTF-16, zero-terminated */
    uint32_t name_length;
    uint32_t attributes;             /* FSR_ATTR_* */
    uint64_t size;
    uint64_t allocated;
    fsr_time created, modified, accessed;
    uint64_t where[4];               /* the reader's own: how to open it */
} fsr_entry;

typedef struct fsr_volume fsr_volume;
typedef struct fsr_node fsr_node;

/* Mounts NTFS or exFAT; volume_bytes (0: unknown) bounds every read. */
int fsr_mount(fsr_read_fn read, void* context, uint64_t volume_bytes, fsr_volume** volume);
void fsr_unmount(fsr_volume* volume);
/* The label (zero-terminated, at most 32 characters), the volume's size and
 * its cluster size. */
const uint16_t* fsr_label(const fsr_volume* volume);
uint64_t fsr_volume_bytes(const fsr_volume* volume);
uint32_t fsr_cluster_bytes(const fsr_volume* volume);

int fsr_open_root(fsr_volume* volume, fsr_node** node);
/* Opens the entry of folder whose name matches name case-insensitively (by
 * the volume's upcase table). */
int fsr_lookup(fsr_node* folder, const uint16_t* name, uint32_t name_length, fsr_node** node);
/* Reads up to length bytes at offset; *done says how many (0 at the end). */
int fsr_read(fsr_node* file, uint64_t offset, void* buffer, uint32_t length, uint32_t* done);
/* The folder's next entry from *cursor (0 at first), FSR_END after the last. */
int fsr_read_folder(fsr_node* folder, uint64_t* cursor, fsr_entry* entry);
const fsr_entry* fsr_info(const fsr_node* node);
void fsr_close(fsr_node* node);

#endif
