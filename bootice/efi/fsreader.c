#include "fsreader_impl.h"

void fsr_zero(void* buffer, size_t length) {
    uint8_t* p = (uint8_t*)buffer;
    while (length--) *p++ = 0;
}

void fsr_copy(void* to, const void* from, size_t length) {
    uint8_t* t = (uint8_t*)to;
    const uint8_t* f = (const uint8_t*)from;
    while (length--) *t++ = *f++;
}

int fsr_same(const void* a, const void* b, size_t length) {
    const uint8_t *x = (const uint8_t*)a, *y = (const uint8_t*)b;
    for (size_t i = 0; i < length; ++i)
        if (x[i] != y[i]) return 0;
    return 1;
}

int fsr_read_volume(fsr_volume* volume, uint64_t offset, void* buffer, uint32_t length) {
    if (volume->bytes && (offset > volume->bytes || length > volume->bytes - offset)) return FSR_CORRUPT;
    return volume->read_fn(volume->context, offset, buffer, length) ? FSR_IO : FSR_OK;
}

int fsr_upcase_plausible(const uint16_t* table) {
    for (uint16_t c = 'a'; c <= 'z'; ++c)
        if (table[c] != c - 32 || table[c - 32] != c - 32) return 0;
    return 1;
}

fsr_time fsr_nt_time(uint64_t ticks) {
    fsr_time t = {0, 0, 0, 0, 0, 0};
    uint64_t seconds = ticks / 10000000u;
    /* Days from 1601-01-01 to 1970-01-01, then the civil-from-days count. */
    int64_t days = (int64_t)(seconds / 86400) - 134774;
    uint32_t rest = (uint32_t)(seconds % 86400);
    days += 719468;
    const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    const uint32_t doe = (uint32_t)(days - era * 146097);
    const uint32_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const uint32_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const uint32_t mp = (5 * doy + 2) / 153;
    const uint32_t month = mp < 10 ? mp + 3 : mp - 9;
    const int64_t year = (int64_t)yoe + era * 400 + (month <= 2);
    if (ticks == 0 || year < 1601 || year > 9999) return t;
    t.year = (uint16_t)year;
    t.month = (uint8_t)month;
    t.day = (uint8_t)(doy - (153 * mp + 2) / 5 + 1);
    t.hour = (uint8_t)(rest / 3600);
    t.minute = (uint8_t)(rest / 60 % 60);
    t.second = (uint8_t)(rest % 60);
    return t;
}

int fsr_mount(fsr_read_fn read, void* context, uint64_t volume_bytes, fsr_volume** volume) {
    uint8_t boot[512];
    *volume = NULL;
    if (volume_bytes && volume_bytes < sizeof boot) return FSR_UNSUPPORTED;
    if (read(context, 0, boot, sizeof boot)) return FSR_IO;
    if (fsr_same(boot + 3, "NTFS    ", 8)) return fsr_ntfs_mount(volume, read, context, volume_bytes, boot);
    if (fsr_same(boot + 3, "EXFAT   ", 8)) return fsr_exfat_mount(volume, read, context, volume_bytes, boot);
    return FSR_UNSUPPORTED;
}

void fsr_unmount(fsr_volume* volume) {
    if (!volume) return;
    fsr_free(volume->upcase);
    volume->ops->unmount(volume);
}

const uint16_t* fsr_label(const fsr_volume* volume) { return volume->label; }
uint64_t fsr_volume_bytes(const fsr_volume* volume) { return volume->bytes; }
uint32_t fsr_cluster_bytes(const fsr_volume* volume) { return volume->cluster_bytes; }

int fsr_open_root(fsr_volume* volume, fsr_node** node) { return volume->ops->open_root(volume, node); }

static uint16_t upper(const fsr_volume* volume, uint16_t c) {
    if (volume->upcase) return volume->upcase[c];
    return c >= 'a' && c <= 'z' ? (uint16_t)(c - 32) : c;
}

int fsr_lookup(fsr_node* folder, const uint16_t* name, uint32_t name_length, fsr_node** node) {
    fsr_volume* volume = folder->volume;
    *node = NULL;
    if (!(folder->info.attributes & FSR_ATTR_FOLDER)) return FSR_NOT_FOLDER;
    if (name_length == 0 || name_length > FSR_NAME_MAX) return FSR_NOT_FOUND;
    fsr_entry* entry = (fsr_entry*)fsr_alloc(sizeof *entry);
    if (!entry) return FSR_NO_MEMORY;
    uint64_t cursor = 0;
    int status, damaged = FSR_OK;
    /* Every entry, not a walk down the index's sort order: the answer does
     * not depend on the volume sorting its entries as this reader would. A
     * matching entry that cannot be opened does not end the search, but
     * when no other opens, its failure is the answer: not "not found". */
    while ((status = volume->ops->read_folder(folder, &cursor, entry)) == FSR_OK) {
        if (entry->name_length != name_length) continue;
        uint32_t i = 0;
        while (i < name_length && upper(volume, entry->name[i]) == upper(volume, name[i])) ++i;
        if (i < name_length) continue;
        status = volume->ops->open_entry(volume, entry, node);
        if (status == FSR_OK || status == FSR_NO_MEMORY || status == FSR_IO) break;
        if (!damaged) damaged = status;
    }
    fsr_free(entry);
    if (status == FSR_END) return damaged ? damaged : FSR_NOT_FOUND;
    return status;
}

int fsr_read(fsr_node* file, uint64_t offset, void* buffer, uint32_t length, uint32_t* done) {
    *done = 0;
    if (file->info.attributes & FSR_ATTR_FOLDER) return FSR_NOT_FOLDER;
    if (offset >= file->info.size) return FSR_OK;
    if (length > file->info.size - offset) length = (uint32_t)(file->info.size - offset);
    int status = file->volume->ops->read(file, offset, buffer, length);
    if (status == FSR_OK) *done = length;
    return status;
}

int fsr_read_folder(fsr_node* folder, uint64_t* cursor, fsr_entry* entry) {
    if (!(folder->info.attributes & FSR_ATTR_FOLDER)) return FSR_NOT_FOLDER;
    /* What the entry's own file says (an index keeps sizes that may be
     * stale): a listing tells what opening the entry would. Entries that
     * name a record since reused are passed over, as a lookup finds none. */
    for (;;) {
        int status = folder->volume->ops->read_folder(folder, cursor, entry);
        if (status) return status;
        fsr_node* node = NULL;
        status = folder->volume->ops->open_entry(folder->volume, entry, &node);
        if (status == FSR_NOT_FOUND) continue;
        if (status) return status;
        fsr_copy(entry, &node->info, sizeof *entry);
        fsr_close(node);
        return FSR_OK;
    }
}

const fsr_entry* fsr_info(const fsr_node* node) { return &node->info; }

void fsr_close(fsr_node* node) {
    if (node) node->volume->ops->close(node);
}
