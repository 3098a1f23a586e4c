/* What the NTFS and exFAT readers share behind fsreader.h. */
#ifndef DROVELKIT_FSREADER_IMPL_H
#define DROVELKIT_FSREADER_IMPL_H
#include "fsr_alloc.h"
#include "fsreader.h"

struct fsr_ops {
    int (*open_root)(fsr_volume* volume, fsr_node** node);
    int (*open_entry)(fsr_volume* volume, const fsr_entry* entry, fsr_node** node);
    int (*read)(fsr_node* file, uint64_t offset, void* buffer, uint32_t length);
    int (*read_folder)(fsr_node* folder, uint64_t* cursor, fsr_entry* entry);
    void (*close)(fsr_node* node);
    void (*unmount)(fsr_volume* volume);
};

struct fsr_volume {
    const struct fsr_ops* ops;
    fsr_read_fn read_fn;
    void* context;
    uint64_t bytes;          /* reads beyond are refused */
    uint32_t cluster_bytes;
    uint16_t* upcase;        /* 65536 entries, or NULL: ASCII only */
    uint16_t label[33];
};

struct fsr_node {
    fsr_volume* volume;
    fsr_entry info;
};

static inline uint16_t fsr_get16(const uint8_t* p) { return (uint16_t)(p[0] | p[1] << 8); }
static inline uint32_t fsr_get32(const uint8_t* p) {
    return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
}
static inline uint64_t fsr_get64(const uint8_t* p) { return fsr_get32(p) | (uint64_t)fsr_get32(p + 4) << 32; }

/* A volume read, refused beyond the volume's end. */
int fsr_read_volume(fsr_volume* volume, uint64_t offset, void* buffer, uint32_t length);
void fsr_zero(void* buffer, size_t length);
void fsr_copy(void* to, const void* from, size_t length);
int fsr_same(const void* a, const void* b, size_t length);
/* A table that does not map a..z to A..Z and keep A..Z is not used: names
 * would then match names they differ from. */
int fsr_upcase_plausible(const uint16_t* table);
/* Windows' time (100 ns since 1601) as a calendar date. */
fsr_time fsr_nt_time(uint64_t ticks);

int fsr_ntfs_mount(fsr_volume** volume, fsr_read_fn read, void* context, uint64_t volume_bytes,
                   const uint8_t* boot);
int fsr_exfat_mount(fsr_volume** volume, fsr_read_fn read, void* context, uint64_t volume_bytes,
                    const uint8_t* boot);
#endif
