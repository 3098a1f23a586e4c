/* exFAT: boot sector, FAT chains and NoFatChain (contiguous) streams,
 * folder entry sets checked by their checksum, the label and the upcase
 * table (stored compressed: 0xFFFF, n stands for n unchanged units). A
 * stream's chain is walked once, when it is opened, into extents of
 * contiguous clusters: reads then take a whole extent at once (up to
 * 1 MiB), seeking back costs nothing, and a chain that loops or does not
 * end at the stream's last cluster is refused before any byte is read. */
#include "fsreader_impl.h"

#define ENTRY_LABEL 0x83
#define ENTRY_UPCASE 0x82
#define ENTRY_FILE 0x85
#define ENTRY_STREAM 0xC0
#define ENTRY_NAME 0xC1
#define NO_FAT_CHAIN 0x02

#define MAX_FOLDER_BYTES (256u << 20)  /* exFAT's own limit */
#define MAX_UPCASE_BYTES (128u << 10)
#define MAX_EXTENTS (1u << 16)         /* as NTFS's runs: beyond, refused */
#define FAT_CACHE_BYTES (16u << 10)
#define WINDOW_BYTES (32u << 10)       /* of a folder, read at once */
#define MAX_READ (1u << 20)
#define END_OF_CHAIN 0xFFFFFFFFu

typedef struct {
    fsr_volume base;
    uint32_t cluster_shift;
    uint64_t fat, heap;        /* byte offsets */
    uint64_t fat_bytes;        /* the FAT's own length */
    uint32_t cluster_count;    /* clusters 2 .. cluster_count + 1 */
    /* The FAT bytes of the current chain walk: a walk reads each piece once. */
    uint8_t* fat_cache;
    uint64_t fat_cache_at;     /* offset into the FAT */
    uint32_t fat_cache_length; /* 0: empty */
} exfat_volume;

/* Clusters first .. first + count - 1 hold stream clusters index ... */
typedef struct {
    uint32_t first, count;
    uint64_t index;
} exfat_extent;

typedef struct {
    fsr_node base;
    exfat_extent* extents;     /* in stream order; the whole chain, walked at open */
    uint32_t extent_count;
    uint64_t valid;            /* bytes beyond read as zeros */
    /* Folders: the WINDOW_BYTES piece last read. */
    uint8_t* window;
    uint64_t window_at, window_length;
} exfat_node;

static int cluster_ok(const exfat_volume* v, uint64_t cluster) {
    return cluster >= 2 && cluster - 2 < v->cluster_count;
}

static int fat_entry(exfat_volume* v, uint32_t cluster, uint32_t* next) {
    const uint64_t at = 4ull * cluster;
    if (at + 4 > v->fat_bytes) return FSR_CORRUPT;
    if (!v->fat_cache_length || at < v->fat_cache_at || at + 4 > v->fat_cache_at + v->fat_cache_length) {
        if (!v->fat_cache && !(v->fat_cache = (uint8_t*)fsr_alloc(FAT_CACHE_BYTES))) return FSR_NO_MEMORY;
        const uint64_t piece = at - at % FAT_CACHE_BYTES;
        uint64_t length = v->fat_bytes - piece;
        if (length > FAT_CACHE_BYTES) length = FAT_CACHE_BYTES;
        v->fat_cache_length = 0;
        int status = fsr_read_volume(&v->base, v->fat + piece, v->fat_cache, (uint32_t)length);
        if (status) return status;
        v->fat_cache_at = piece;
        v->fat_cache_length = (uint32_t)length;
    }
    *next = fsr_get32(v->fat_cache + (at - v->fat_cache_at));
    return FSR_OK;
}

/* The chain from first as extents of contiguous clusters. known: the
 * number of clusters the stream needs, and the chain must end exactly
 * there; 0 (the root folder, whose size is its chain's): ends at the end
 * mark, after at most limit clusters. A chain that loops is found within
 * about twice its length (Brent's cycle detection), whatever limit says. */
static int walk_chain(exfat_volume* v, uint32_t first, uint64_t known, uint64_t limit, exfat_node* n) {
    uint32_t c = first, saved = first, capacity = 0;
    uint64_t total = 0, power = 1, steps = 0;
    for (;;) {
        exfat_extent* last = n->extent_count ? &n->extents[n->extent_count - 1] : NULL;
        if (last && c == last->first + last->count) {
            ++last->count;
        } else {
            if (n->extent_count == capacity) {
                if (capacity >= MAX_EXTENTS) return FSR_UNSUPPORTED;
                capacity = capacity ? capacity * 2 : 4;
                exfat_extent* grown = (exfat_extent*)fsr_alloc(capacity * sizeof *grown);
                if (!grown) return FSR_NO_MEMORY;
                if (n->extent_count) fsr_copy(grown, n->extents, n->extent_count * sizeof *grown);
                fsr_free(n->extents);
                n->extents = grown;
            }
            exfat_extent* e = &n->extents[n->extent_count++];
            e->first = c;
            e->count = 1;
            e->index = total;
        }
        ++total;
        uint32_t next;
        int status = fat_entry(v, c, &next);
        if (status) return status;
        if (known && total == known) return next == END_OF_CHAIN ? FSR_OK : FSR_CORRUPT;
        if (next == END_OF_CHAIN) return known ? FSR_CORRUPT : FSR_OK;
        if (!cluster_ok(v, next) || next == saved || total >= limit) return FSR_CORRUPT;
        c = next;
        if (++steps == power) {
            saved = c;
            power *= 2;
            steps = 0;
        }
    }
}

static int exfat_read(fsr_node* node, uint64_t offset, void* buffer, uint32_t length) {
    exfat_node* n = (exfat_node*)node;
    exfat_volume* v = (exfat_volume*)node->volume;
    uint8_t* out = (uint8_t*)buffer;
    if (offset > n->base.info.size || length > n->base.info.size - offset) return FSR_CORRUPT;
    while (length) {
        if (offset >= n->valid) {
            fsr_zero(out, length);
            return FSR_OK;
        }
        const uint64_t index = offset >> v->cluster_shift;
        uint32_t low = 0, high = n->extent_count;
        while (high - low > 1) {
            const uint32_t middle = low + (high - low) / 2;
            if (n->extents[middle].index <= index) low = middle;
            else high = middle;
        }
        if (!n->extent_count || index - n->extents[low].index >= n->extents[low].count) return FSR_CORRUPT;
        const exfat_extent* e = &n->extents[low];
        /* One read for as much of the extent as is asked. */
        const uint64_t into = offset - (e->index << v->cluster_shift);
        uint64_t count = ((uint64_t)e->count << v->cluster_shift) - into;
        if (count > length) count = length;
        if (count > n->valid - offset) count = n->valid - offset;
        if (count > MAX_READ) count = MAX_READ;
        int status = fsr_read_volume(&v->base, v->heap + ((uint64_t)(e->first - 2) << v->cluster_shift) + into, out,
                                     (uint32_t)count);
        if (status) return status;
        out += count;
        offset += count;
        length -= (uint32_t)count;
    }
    return FSR_OK;
}

/* Folder bytes, through the window: a folder is read a piece at a time,
 * not an entry at a time. */
static int folder_bytes(exfat_node* n, uint64_t offset, uint8_t* buffer, uint32_t length) {
    const uint64_t size = n->base.info.size;
    if (offset > size || length > size - offset) return FSR_CORRUPT;
    while (length) {
        if (!n->window_length || offset < n->window_at || offset >= n->window_at + n->window_length) {
            if (!n->window && !(n->window = (uint8_t*)fsr_alloc(WINDOW_BYTES))) return FSR_NO_MEMORY;
            const uint64_t at = offset - offset % WINDOW_BYTES;
            const uint64_t window = size - at < WINDOW_BYTES ? size - at : WINDOW_BYTES;
            n->window_length = 0;
            int status = exfat_read(&n->base, at, n->window, (uint32_t)window);
            if (status) return status;
            n->window_at = at;
            n->window_length = window;
        }
        uint64_t count = n->window_at + n->window_length - offset;
        if (count > length) count = length;
        fsr_copy(buffer, n->window + (offset - n->window_at), (size_t)count);
        buffer += count;
        offset += count;
        length -= (uint32_t)count;
    }
    return FSR_OK;
}

static void exfat_close(fsr_node* node) {
    exfat_node* n = (exfat_node*)node;
    if (!n) return;
    fsr_free(n->extents);
    fsr_free(n->window);
    fsr_free(n);
}

#define SIZED_BY_CHAIN (~(uint64_t)0) /* the root folder: no size is stored */

static int new_node(exfat_volume* v, uint32_t first, int contiguous, uint64_t size, uint64_t valid,
                    const fsr_entry* entry, fsr_node** out) {
    *out = NULL;
    const int root = size == SIZED_BY_CHAIN;
    if (root) size = valid = 0;
    if ((size || root) && !cluster_ok(v, first)) return FSR_CORRUPT;
    uint64_t clusters = (size + ((uint64_t)1 << v->cluster_shift) - 1) >> v->cluster_shift;
    /* No stream is larger than the cluster heap. */
    if (clusters > v->cluster_count || (contiguous && size && clusters > v->cluster_count - (first - 2)))
        return FSR_CORRUPT;
    exfat_node* n = (exfat_node*)fsr_alloc(sizeof *n);
    if (!n) return FSR_NO_MEMORY;
    n->base.volume = &v->base;
    if (entry) fsr_copy(&n->base.info, entry, sizeof *entry);
    int status = FSR_OK;
    if (contiguous && clusters) {
        n->extents = (exfat_extent*)fsr_alloc(sizeof *n->extents);
        if (!n->extents) status = FSR_NO_MEMORY;
        else {
            n->extents[0].first = first;
            n->extents[0].count = (uint32_t)clusters;
            n->extent_count = 1;
        }
    } else if (clusters || root) {
        uint64_t limit = MAX_FOLDER_BYTES >> v->cluster_shift;
        if (limit > v->cluster_count) limit = v->cluster_count;
        status = walk_chain(v, first, clusters, root ? (limit ? limit : 1) : clusters, n);
        if (!status && root) {
            const exfat_extent* e = &n->extents[n->extent_count - 1];
            size = valid = (e->index + e->count) << v->cluster_shift;
            clusters = size >> v->cluster_shift;
        }
    }
    if (status) {
        exfat_close(&n->base);
        return status;
    }
    n->base.info.size = size;
    n->base.info.allocated = clusters << v->cluster_shift;
    n->valid = valid < size ? valid : size;
    *out = &n->base;
    return FSR_OK;
}

static fsr_time dos_time(uint32_t stamp) {
    fsr_time t;
    t.year = (uint16_t)(1980 + (stamp >> 25));
    t.month = (uint8_t)(stamp >> 21 & 15);
    t.day = (uint8_t)(stamp >> 16 & 31);
    t.hour = (uint8_t)(stamp >> 11 & 31);
    t.minute = (uint8_t)(stamp >> 5 & 63);
    t.second = (uint8_t)((stamp & 31) * 2);
    if (!stamp || t.month < 1 || t.month > 12 || t.day < 1 || t.hour > 23 || t.minute > 59 || t.second > 59)
        t.year = t.month = t.day = t.hour = t.minute = t.second = 0;
    return t;
}

/* The next file's entry set from *cursor (a byte offset, a multiple of
 * 32); other entries are passed over. A set whose checksum or shape is
 * wrong is passed over too, as Windows does. */
static int exfat_read_folder(fsr_node* node, uint64_t* cursor, fsr_entry* entry) {
    const uint64_t size = node->info.size;
    uint8_t set[19 * 32];
    for (;;) {
        uint64_t at = *cursor;
        if (at % 32 || at >= size) return FSR_END;
        int status = folder_bytes((exfat_node*)node, at, set, 32);
        if (status) return status;
        if (set[0] == 0) return FSR_END;
        *cursor = at + 32;
        if (set[0] != ENTRY_FILE) continue;
        const uint32_t secondary = set[1];
        if (secondary < 2 || secondary > 18 || (uint64_t)(secondary + 1) * 32 > size - at) continue;
        status = folder_bytes((exfat_node*)node, at + 32, set + 32, secondary * 32);
        if (status) return status;
        uint16_t sum = 0;
        for (uint32_t i = 0; i < (secondary + 1) * 32; ++i)
            if (i != 2 && i != 3) sum = (uint16_t)(((sum & 1) ? 0x8000 : 0) + (sum >> 1) + set[i]);
        const uint8_t* stream = set + 32;
        const uint32_t name_length = stream[3];
        if (sum != fsr_get16(set + 2) || stream[0] != ENTRY_STREAM || name_length == 0 ||
            (name_length + 14) / 15 > secondary - 1)
            continue;
        uint32_t i = 0;
        for (; i < name_length; ++i) {
            const uint8_t* name = set + 64 + 32 * (i / 15);
            if (name[0] != ENTRY_NAME) break;
            entry->name[i] = fsr_get16(name + 2 + 2 * (i % 15));
        }
        if (i < name_length) continue;
        *cursor = at + 32 * (secondary + 1);
        entry->name[name_length] = 0;
        entry->name_length = name_length;
        entry->attributes = fsr_get16(set + 4) & 0x37;
        entry->size = fsr_get64(stream + 24);
        entry->allocated = entry->size;
        entry->created = dos_time(fsr_get32(set + 8));
        entry->modified = dos_time(fsr_get32(set + 12));
        entry->accessed = dos_time(fsr_get32(set + 16));
        entry->where[0] = fsr_get32(stream + 20);
        entry->where[1] = stream[1];
        entry->where[2] = fsr_get64(stream + 8);
        return FSR_OK;
    }
}

static int exfat_open_entry(fsr_volume* volume, const fsr_entry* entry, fsr_node** node) {
    exfat_volume* v = (exfat_volume*)volume;
    uint64_t size = entry->size, valid = entry->where[2];
    if (entry->attributes & FSR_ATTR_FOLDER) {
        if (size > MAX_FOLDER_BYTES || size == 0) return FSR_CORRUPT;
        valid = size;
    }
    return new_node(v, (uint32_t)entry->where[0], (entry->where[1] & NO_FAT_CHAIN) != 0, size, valid, entry,
                    node);
}

static int open_root(exfat_volume* v, uint32_t root, fsr_node** node) {
    fsr_entry entry;
    fsr_zero(&entry, sizeof entry);
    entry.attributes = FSR_ATTR_FOLDER;
    return new_node(v, root, 0, SIZED_BY_CHAIN, 0, &entry, node);
}

static uint32_t root_cluster_of(const exfat_volume* v);

static int exfat_open_root(fsr_volume* volume, fsr_node** node) {
    exfat_volume* v = (exfat_volume*)volume;
    return open_root(v, root_cluster_of(v), node);
}

static void exfat_unmount(fsr_volume* volume) {
    fsr_free(((exfat_volume*)volume)->fat_cache);
    fsr_free(volume);
}

static const struct fsr_ops kExfatOps = {exfat_open_root, exfat_open_entry, exfat_read,
                                         exfat_read_folder, exfat_close, exfat_unmount};

typedef struct {
    exfat_volume v;
    uint32_t root;
} exfat_volume_root;

static uint32_t root_cluster_of(const exfat_volume* v) { return ((const exfat_volume_root*)v)->root; }

/* The root folder's label and upcase table entries. */
static int read_root_entries(exfat_volume* v, fsr_node* root) {
    uint8_t e[32];
    uint32_t upcase_first = 0;
    uint64_t upcase_bytes = 0;
    for (uint64_t at = 0; at < root->info.size; at += 32) {
        int status = folder_bytes((exfat_node*)root, at, e, 32);
        if (status) return status;
        if (e[0] == 0) break;
        if (e[0] == ENTRY_LABEL && e[1] <= 11) {
            for (uint32_t i = 0; i < e[1]; ++i) v->base.label[i] = fsr_get16(e + 2 + 2 * i);
            v->base.label[e[1]] = 0;
        } else if (e[0] == ENTRY_UPCASE && !upcase_first) {
            upcase_first = fsr_get32(e + 20);
            upcase_bytes = fsr_get64(e + 24);
        }
    }
    if (!upcase_first || upcase_bytes == 0 || upcase_bytes > MAX_UPCASE_BYTES) return FSR_OK;
    fsr_node* table_node = NULL;
    if (new_node(v, upcase_first, 0, upcase_bytes, upcase_bytes, NULL, &table_node)) return FSR_OK;
    uint8_t* raw = (uint8_t*)fsr_alloc((size_t)upcase_bytes);
    uint16_t* table = (uint16_t*)fsr_alloc(65536 * sizeof *table);
    if (raw && table && exfat_read(table_node, 0, raw, (uint32_t)upcase_bytes) == FSR_OK) {
        for (uint32_t i = 0; i < 65536; ++i) table[i] = (uint16_t)i;
        uint32_t out = 0;
        for (uint64_t i = 0; i + 1 < upcase_bytes && out < 65536; i += 2) {
            const uint16_t unit = fsr_get16(raw + i);
            if (unit == 0xFFFF && i + 3 < upcase_bytes) {
                i += 2;
                out += fsr_get16(raw + i);  /* a run left unchanged */
            } else {
                table[out++] = unit;
            }
        }
        if (fsr_upcase_plausible(table)) {
            v->base.upcase = table;
            table = NULL;
        }
    }
    fsr_free(table);
    fsr_free(raw);
    fsr_close(table_node);
    return FSR_OK;
}

int fsr_exfat_mount(fsr_volume** volume, fsr_read_fn read, void* context, uint64_t volume_bytes,
                    const uint8_t* boot) {
    for (int i = 11; i < 64; ++i)
        if (boot[i]) return FSR_UNSUPPORTED;
    const uint32_t sector_shift = boot[0x6C], cluster_shift = sector_shift + boot[0x6D];
    if (boot[510] != 0x55 || boot[511] != 0xAA || sector_shift < 9 || sector_shift > 12 || cluster_shift > 25 ||
        boot[0x6E] < 1 || boot[0x6E] > 2)
        return FSR_UNSUPPORTED;
    const uint64_t sectors = fsr_get64(boot + 0x48);
    const uint64_t fat = fsr_get32(boot + 0x50), fat_sectors = fsr_get32(boot + 0x54);
    const uint64_t heap = fsr_get32(boot + 0x58), clusters = fsr_get32(boot + 0x5C);
    const uint32_t root = fsr_get32(boot + 0x60);
    const uint32_t active = boot[0x6E] == 2 ? (fsr_get16(boot + 0x6A) & 1) : 0;
    if (sectors > ((uint64_t)1 << 52)) return FSR_UNSUPPORTED;
    uint64_t bytes = sectors << sector_shift;
    if (volume_bytes && bytes > volume_bytes) bytes = volume_bytes;
    if (clusters == 0 || clusters > 0xFFFFFFF5u || fat < 24 || (clusters + 2) * 4 > fat_sectors << sector_shift ||
        heap < fat + fat_sectors * boot[0x6E] || ((heap << sector_shift) + (clusters << cluster_shift)) > bytes)
        return FSR_CORRUPT;

    exfat_volume_root* r = (exfat_volume_root*)fsr_alloc(sizeof *r);
    if (!r) return FSR_NO_MEMORY;
    exfat_volume* v = &r->v;
    v->base.ops = &kExfatOps;
    v->base.read_fn = read;
    v->base.context = context;
    v->base.bytes = bytes;
    v->base.cluster_bytes = (uint32_t)1 << cluster_shift;
    v->cluster_shift = cluster_shift;
    v->fat = (fat + active * fat_sectors) << sector_shift;
    v->fat_bytes = fat_sectors << sector_shift;
    v->heap = heap << sector_shift;
    v->cluster_count = (uint32_t)clusters;
    r->root = root;
    fsr_node* root_node = NULL;
    int status = cluster_ok(v, root) ? open_root(v, root, &root_node) : FSR_CORRUPT;
    if (!status) status = read_root_entries(v, root_node);
    fsr_close(root_node);
    if (status) {
        fsr_free(v->base.upcase);
        fsr_free(v->fat_cache);
        fsr_free(r);
        return status;
    }
    *volume = &v->base;
    return FSR_OK;
}
