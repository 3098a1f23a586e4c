/* NTFS: boot sector, MFT records with update-sequence fixups, attribute
 * lists, resident and non-resident attributes (runs with signed offsets,
 * sparse runs read as zeros), folder indexes ($INDEX_ROOT and the INDX
 * blocks of $INDEX_ALLOCATION that $BITMAP marks in use) and $UpCase. */
#include "fsreader_impl.h"

#define ATTR_STANDARD_INFORMATION 0x10
#define ATTR_ATTRIBUTE_LIST 0x20
#define ATTR_FILE_NAME 0x30
#define ATTR_VOLUME_NAME 0x60
#define ATTR_DATA 0x80
#define ATTR_INDEX_ROOT 0x90
#define ATTR_INDEX_ALLOCATION 0xA0
#define ATTR_BITMAP 0xB0
#define ATTR_REPARSE_POINT 0xC0
#define ATTR_END 0xFFFFFFFFu

#define RECORD_VOLUME 3
#define RECORD_ROOT 5
#define RECORD_UPCASE 10
#define FIRST_USER_RECORD 16  /* below: the volume's own files ($MFT...) */

/* Limits that keep a hostile volume from asking for unbounded memory. */
#define MAX_RUNS (1u << 16)
#define MAX_ATTRIBUTE_LIST (256u << 10)
#define MAX_RESIDENT (64u << 10)
#define MAX_BITMAP (1u << 20)
/* The folder cursor keeps the index block above 24 bits of entry number. */
#define MAX_INDEX_BLOCKS ((uint64_t)1 << 39)
#define FILE_ATTRIBUTE_REPARSE_POINT 0x400

typedef struct {
    uint64_t vcn, length;
    int64_t lcn; /* -1: sparse */
} ntfs_run;

typedef struct {
    ntfs_run* runs;
    uint32_t count, capacity;
    uint64_t next_vcn;   /* the first VCN no run maps yet */
    uint64_t clusters;   /* those on the volume: no more than it holds */
} ntfs_runs;

/* An attribute gathered over its extents. */
typedef struct {
    int found, resident;
    uint8_t* value; /* resident: a copy of the value */
    uint32_t value_length;
    ntfs_runs runs;
    uint64_t size, initialized, allocated;
    uint16_t flags;
} ntfs_attr;

typedef struct {
    fsr_volume base;
    uint32_t cluster_bytes, record_bytes;
    uint64_t cluster_count;
    ntfs_attr mft; /* $MFT's $DATA */
    /* The last record read, fixed up: opening a file reads its record once
     * for each attribute it gathers. */
    uint8_t* record_cache;
    uint64_t record_cached; /* its number + 1; 0: none */
} ntfs_volume;

typedef struct {
    fsr_node base;
    uint64_t record;
    int refused;               /* files read as nothing but their header: refused */
    ntfs_attr data;            /* files */
    ntfs_attr root, allocation, bitmap; /* folders: the $I30 index */
    uint32_t block_bytes;
    /* The last INDX block read, fixed up, and the bitmap: a lookup reads
     * the entries one by one. */
    uint8_t* block;
    uint64_t block_number; /* 0: none */
    uint8_t* bitmap_bytes;
} ntfs_node;

static const uint16_t kI30[4] = {'$', 'I', '3', '0'};

static void free_attr(ntfs_attr* a) {
    fsr_free(a->value);
    fsr_free(a->runs.runs);
    fsr_zero(a, sizeof *a);
}

/* A run that maps clusters its predecessor maps too, or that takes the
 * attribute past the volume's clusters, is refused: each would have the
 * same clusters read again and again, a loop in all but name. */
static int add_run(const ntfs_volume* v, ntfs_runs* list, uint64_t vcn, uint64_t length, int64_t lcn) {
    if (lcn >= 0) {
        for (uint32_t r = list->count; r-- > 0;) {
            const ntfs_run* before = &list->runs[r];
            if (before->lcn < 0) continue;
            if ((uint64_t)lcn < (uint64_t)before->lcn + before->length && (uint64_t)before->lcn < (uint64_t)lcn + length)
                return FSR_CORRUPT;
            break;
        }
        if (length > v->cluster_count - list->clusters) return FSR_CORRUPT;
        list->clusters += length;
    }
    if (list->count == list->capacity) {
        if (list->capacity >= MAX_RUNS) return FSR_UNSUPPORTED;
        const uint32_t capacity = list->capacity ? list->capacity * 2 : 16;
        ntfs_run* runs = (ntfs_run*)fsr_alloc(capacity * sizeof *runs);
        if (!runs) return FSR_NO_MEMORY;
        if (list->count) fsr_copy(runs, list->runs, list->count * sizeof *runs);
        fsr_free(list->runs);
        list->runs = runs;
        list->capacity = capacity;
    }
    ntfs_run* run = &list->runs[list->count++];
    run->vcn = vcn;
    run->length = length;
    run->lcn = lcn;
    list->next_vcn = vcn + length;
    return FSR_OK;
}

/* The mapping pairs of one extent: a header byte (low nibble: bytes of the
 * length, high: bytes of the signed offset from the previous run's LCN, 0
 * for a sparse run), from the extent's first VCN up to its last. */
static int decode_runs(const ntfs_volume* v, const uint8_t* p, uint32_t available, uint64_t vcn,
                       uint64_t last_vcn, ntfs_runs* list) {
    /* VCNs beyond this would overflow a byte offset. */
    const uint64_t max_vcn = ((uint64_t)1 << 62) / v->cluster_bytes;
    uint64_t lcn = 0;
    uint32_t i = 0;
    /* Extents follow one another: each begins where the last one ended. */
    if (vcn != list->next_vcn || vcn > last_vcn + 1 || last_vcn >= max_vcn) return FSR_CORRUPT;
    while (i < available && p[i]) {
        const unsigned length_bytes = p[i] & 15, offset_bytes = p[i] >> 4;
        ++i;
        if (length_bytes == 0 || length_bytes > 8 || offset_bytes > 8 ||
            length_bytes + offset_bytes > available - i)
            return FSR_CORRUPT;
        uint64_t length = 0;
        for (unsigned k = 0; k < length_bytes; ++k) length |= (uint64_t)p[i + k] << 8 * k;
        i += length_bytes;
        if (length == 0 || length > max_vcn - vcn) return FSR_CORRUPT;
        int64_t run_lcn = -1;
        if (offset_bytes) {
            uint64_t delta = 0;
            for (unsigned k = 0; k < offset_bytes; ++k) delta |= (uint64_t)p[i + k] << 8 * k;
            if (offset_bytes < 8 && (p[i + offset_bytes - 1] & 0x80)) delta |= ~(uint64_t)0 << 8 * offset_bytes;
            i += offset_bytes;
            lcn += delta; /* unsigned: wraps instead of overflowing, then checked */
            if (lcn >= v->cluster_count || length > v->cluster_count - lcn) return FSR_CORRUPT;
            run_lcn = (int64_t)lcn;
        }
        if (vcn + length - 1 > last_vcn) return FSR_CORRUPT; /* beyond the extent's own VCNs */
        int status = add_run(v, list, vcn, length, run_lcn);
        if (status) return status;
        vcn += length;
    }
    return FSR_OK;
}

/* Reads bytes of a non-resident attribute; those at or beyond its
 * initialized size, and those of sparse runs, are zeros. */
static int read_runs(ntfs_volume* v, const ntfs_attr* a, uint64_t offset, uint8_t* buffer, uint32_t length) {
    const uint64_t cluster = v->cluster_bytes;
    if (offset > a->size || length > a->size - offset) return FSR_CORRUPT;
    while (length) {
        if (offset >= a->initialized) {
            fsr_zero(buffer, length);
            return FSR_OK;
        }
        const uint64_t vcn = offset / cluster;
        const ntfs_run* run = NULL;
        for (uint32_t r = 0; r < a->runs.count && !run; ++r) {
            const ntfs_run* candidate = &a->runs.runs[r];
            if (vcn >= candidate->vcn && vcn - candidate->vcn < candidate->length) run = candidate;
        }
        if (!run) return FSR_CORRUPT;
        const uint64_t into = offset - run->vcn * cluster;
        uint64_t n = run->length * cluster - into;
        if (n > length) n = length;
        if (n > a->initialized - offset) n = a->initialized - offset;
        if (run->lcn < 0) {
            fsr_zero(buffer, (size_t)n);
        } else {
            int status = fsr_read_volume(&v->base, (uint64_t)run->lcn * cluster + into, buffer, (uint32_t)n);
            if (status) return status;
        }
        buffer += n;
        offset += n;
        length -= (uint32_t)n;
    }
    return FSR_OK;
}

/* Undoes the update sequence: the last two bytes of every 512-byte stride
 * were replaced by the sequence number, and the originals kept in the array. */
static int fix_up(uint8_t* block, uint32_t size, const char* magic) {
    if (!fsr_same(block, magic, 4)) return FSR_CORRUPT;
    const uint32_t array = fsr_get16(block + 4), count = fsr_get16(block + 6);
    if (size % 512 || count != size / 512 + 1 || array < 8 || array + 2 * count > size) return FSR_CORRUPT;
    const uint16_t sequence = fsr_get16(block + array);
    for (uint32_t i = 1; i < count; ++i) {
        uint8_t* end = block + i * 512 - 2;
        if (fsr_get16(end) != sequence) return FSR_CORRUPT;
        end[0] = block[array + 2 * i];
        end[1] = block[array + 2 * i + 1];
    }
    return FSR_OK;
}

static int read_record(ntfs_volume* v, uint64_t number, uint8_t* record) {
    if (number >= v->mft.size / v->record_bytes) return FSR_CORRUPT;
    if (v->record_cached == number + 1) {
        fsr_copy(record, v->record_cache, v->record_bytes);
    } else {
        v->record_cached = 0;
        int status = read_runs(v, &v->mft, number * v->record_bytes, record, v->record_bytes);
        if (status) return status;
        status = fix_up(record, v->record_bytes, "FILE");
        if (status) return status;
        if (!v->record_cache) v->record_cache = (uint8_t*)fsr_alloc(v->record_bytes);
        if (v->record_cache) {
            fsr_copy(v->record_cache, record, v->record_bytes);
            v->record_cached = number + 1;
        }
    }
    if (!(fsr_get16(record + 0x16) & 1)) return FSR_NOT_FOUND; /* not in use */
    const uint32_t first = fsr_get16(record + 0x14), used = fsr_get32(record + 0x18);
    if (used > v->record_bytes || first < 0x18 || first >= used) return FSR_CORRUPT;
    return FSR_OK;
}

/* The record's attribute at *at (advanced past it), checked to lie inside
 * the record with its name and its resident value or mapping pairs; NULL at
 * the end, or at the first attribute that does not. */
static const uint8_t* next_attr(const uint8_t* record, uint32_t* at) {
    const uint32_t used = fsr_get32(record + 0x18);
    if (*at == 0) *at = fsr_get16(record + 0x14);
    if (*at > used || used - *at < 8) return NULL;
    const uint8_t* a = record + *at;
    const uint32_t type = fsr_get32(a), length = fsr_get32(a + 4);
    if (type == ATTR_END || length < 0x18 || length > used - *at) return NULL;
    if (a[9] && fsr_get16(a + 10) + 2u * a[9] > length) return NULL;
    if (a[8]) {
        if (length < 0x40 || fsr_get16(a + 0x20) >= length) return NULL;
    } else if ((uint64_t)fsr_get16(a + 0x14) + fsr_get32(a + 0x10) > length) {
        return NULL;
    }
    *at += length;
    return a;
}

static int attr_named(const uint8_t* a, uint32_t type, const uint16_t* name, uint32_t name_length) {
    if (fsr_get32(a) != type || a[9] != name_length) return 0;
    const uint8_t* stored = a + fsr_get16(a + 10);
    for (uint32_t i = 0; i < name_length; ++i)
        if (fsr_get16(stored + 2 * i) != name[i]) return 0;
    return 1;
}

/* Adds one extent of the attribute to out. */
static int take_extent(ntfs_volume* v, const uint8_t* a, ntfs_attr* out) {
    const uint32_t length = fsr_get32(a + 4);
    if (!a[8]) {
        if (out->found) return FSR_CORRUPT; /* a resident value has one extent */
        const uint32_t size = fsr_get32(a + 0x10);
        if (size > MAX_RESIDENT) return FSR_CORRUPT;
        out->value = (uint8_t*)fsr_alloc(size ? size : 1);
        if (!out->value) return FSR_NO_MEMORY;
        fsr_copy(out->value, a + fsr_get16(a + 0x14), size);
        out->found = out->resident = 1;
        out->value_length = out->size = out->initialized = out->allocated = size;
        out->flags = fsr_get16(a + 12);
        return FSR_OK;
    }
    if (out->resident) return FSR_CORRUPT;
    const uint64_t first = fsr_get64(a + 0x10);
    if (first == 0) {
        out->allocated = fsr_get64(a + 0x28);
        out->size = fsr_get64(a + 0x30);
        out->initialized = fsr_get64(a + 0x38);
        out->flags = fsr_get16(a + 12);
        if (out->initialized > out->size) out->initialized = out->size;
    }
    out->found = 1;
    const uint32_t pairs = fsr_get16(a + 0x20);
    return decode_runs(v, a + pairs, length - pairs, first, fsr_get64(a + 0x18), &out->runs);
}

/* Gathers the attribute (type, name) of record number, from the record
 * itself or through its attribute list from the records that list names. */
static int load_attr(ntfs_volume* v, uint64_t number, uint32_t type, const uint16_t* name, uint32_t name_length,
                     ntfs_attr* out) {
    fsr_zero(out, sizeof *out);
    uint8_t* base = (uint8_t*)fsr_alloc(v->record_bytes);
    uint8_t* other = (uint8_t*)fsr_alloc(v->record_bytes);
    ntfs_attr list;
    fsr_zero(&list, sizeof list);
    int status = base && other ? read_record(v, number, base) : FSR_NO_MEMORY;
    const uint8_t* a;
    uint32_t at = 0;
    while (!status && (a = next_attr(base, &at)) != NULL) {
        if (fsr_get32(a) == ATTR_ATTRIBUTE_LIST && !list.found) status = take_extent(v, a, &list);
    }
    if (!status && !list.found) {
        at = 0;
        while (!status && (a = next_attr(base, &at)) != NULL)
            if (attr_named(a, type, name, name_length)) status = take_extent(v, a, out);
    } else if (!status) {
        uint8_t* bytes = list.value;
        if (!list.resident) {
            if (list.size > MAX_ATTRIBUTE_LIST) status = FSR_UNSUPPORTED;
            else if (!(bytes = (uint8_t*)fsr_alloc(list.size ? (size_t)list.size : 1))) status = FSR_NO_MEMORY;
            else status = read_runs(v, &list, 0, bytes, (uint32_t)list.size);
        }
        const uint32_t total = (uint32_t)list.size;
        for (uint32_t pos = 0; !status && total - pos >= 0x1A;) {
            const uint8_t* e = bytes + pos;
            const uint32_t length = fsr_get16(e + 4);
            if (length < 0x1A || length > total - pos || e[7] + 2u * e[6] > length) {
                status = FSR_CORRUPT;
                break;
            }
            pos += length;
            if (fsr_get32(e) != type || e[6] != name_length) continue;
            uint32_t i = 0;
            while (i < name_length && fsr_get16(e + e[7] + 2 * i) == name[i]) ++i;
            if (i < name_length) continue;
            const uint64_t where = fsr_get64(e + 0x10) & 0xFFFFFFFFFFFFull;
            const uint8_t* record = base;
            if (where != number) {
                status = read_record(v, where, other);
                if (status) break;
                /* An extension record belongs to its base record. */
                if ((fsr_get64(other + 0x20) & 0xFFFFFFFFFFFFull) != number) {
                    status = FSR_CORRUPT;
                    break;
                }
                record = other;
            }
            const uint16_t id = fsr_get16(e + 0x18);
            at = 0;
            while ((a = next_attr(record, &at)) != NULL)
                if (attr_named(a, type, name, name_length) && fsr_get16(a + 14) == id) break;
            /* The list says which VCNs the extent maps; it must say so too. */
            if (!a || (a[8] && fsr_get64(a + 0x10) != fsr_get64(e + 8))) status = FSR_CORRUPT;
            else status = take_extent(v, a, out);
        }
        if (bytes != list.value) fsr_free(bytes);
    }
    free_attr(&list);
    fsr_free(base);
    fsr_free(other);
    if (status) free_attr(out);
    return status;
}

/* Reads a whole attribute of at most limit bytes into fresh memory. */
static int attr_bytes(ntfs_volume* v, const ntfs_attr* a, uint32_t limit, uint8_t** bytes) {
    *bytes = NULL;
    if (a->size > limit) return FSR_UNSUPPORTED;
    uint8_t* b = (uint8_t*)fsr_alloc(a->size ? (size_t)a->size : 1);
    if (!b) return FSR_NO_MEMORY;
    int status = FSR_OK;
    if (a->resident) fsr_copy(b, a->value, (size_t)a->size);
    else status = read_runs(v, a, 0, b, (uint32_t)a->size);
    if (status) fsr_free(b);
    else *bytes = b;
    return status;
}

/* ------------------------------------------------------------- folders */

/* The FILE_NAME key of an index entry as a folder entry. */
static int entry_from_key(const uint8_t* entry, uint32_t length, fsr_entry* out) {
    const uint32_t key_length = fsr_get16(entry + 10);
    if (key_length < 0x42 || 0x10 + key_length > length) return FSR_CORRUPT;
    const uint8_t* key = entry + 0x10;
    const uint32_t name_length = key[0x40];
    if (0x42 + 2 * name_length > key_length || name_length == 0) return FSR_CORRUPT;
    fsr_zero(out, sizeof *out);
    for (uint32_t i = 0; i < name_length; ++i) out->name[i] = fsr_get16(key + 0x42 + 2 * i);
    out->name_length = name_length;
    const uint32_t flags = fsr_get32(key + 0x38);
    out->attributes = (flags & 0x27) | (flags & 0x10000000 ? FSR_ATTR_FOLDER : 0);
    out->allocated = fsr_get64(key + 0x28);
    out->size = out->attributes & FSR_ATTR_FOLDER ? 0 : fsr_get64(key + 0x30);
    out->created = fsr_nt_time(fsr_get64(key + 0x08));
    out->modified = fsr_nt_time(fsr_get64(key + 0x10));
    out->accessed = fsr_nt_time(fsr_get64(key + 0x20));
    out->where[0] = fsr_get64(entry);
    return FSR_OK;
}

/* Entry number *index (counting those this reader lists) of the index node
 * whose header is at header, within a block of size bytes. */
static int node_entry(const uint8_t* block, uint32_t size, uint32_t header, uint64_t* index, fsr_entry* out) {
    if (header > size || size - header < 16) return FSR_CORRUPT;
    const uint32_t first = fsr_get32(block + header), end = fsr_get32(block + header + 4);
    if (end > size - header || first > end) return FSR_CORRUPT;
    uint32_t at = header + first;
    const uint32_t limit = header + end;
    for (uint64_t n = 0;;) {
        if (limit - at < 16) return FSR_CORRUPT;
        const uint8_t* e = block + at;
        const uint32_t length = fsr_get16(e + 8), flags = fsr_get16(e + 12);
        if (flags & 2) return FSR_END;
        if (length < 16 || length > limit - at) return FSR_CORRUPT;
        at += length;
        const uint64_t record = fsr_get64(e) & 0xFFFFFFFFFFFFull;
        const uint32_t key_length = fsr_get16(e + 10);
        /* The volume's own files, and the DOS names that repeat a long one. */
        if (record < FIRST_USER_RECORD || key_length < 0x42 || 0x10 + key_length > length || e[0x51] == 2) continue;
        if (n++ < *index) continue;
        ++*index;
        return entry_from_key(e, length, out);
    }
}

static int block_in_use(const ntfs_node* folder, const uint8_t* bitmap, uint64_t block) {
    return block / 8 < folder->bitmap.size && (bitmap[block / 8] >> (block % 8) & 1);
}

/* The cursor: the index block in the high bits (0: $INDEX_ROOT, n: the
 * INDX block n-1), the entry within it in the low 24. */
static int ntfs_read_folder(fsr_node* node, uint64_t* cursor, fsr_entry* entry) {
    ntfs_node* folder = (ntfs_node*)node;
    ntfs_volume* v = (ntfs_volume*)node->volume;
    uint64_t block = *cursor >> 24, index = *cursor & 0xFFFFFF;
    int status;
    if (block == 0) {
        status = node_entry(folder->root.value, folder->root.value_length, 0x10, &index, entry);
        if (status == FSR_OK) entry->where[1] = folder->record;
        if (status != FSR_END) {
            if (status == FSR_OK) *cursor = index;
            return status;
        }
        block = 1;
        index = 0;
    }
    const uint64_t blocks = folder->allocation.found ? folder->allocation.size / folder->block_bytes : 0;
    if (block > blocks) return FSR_END;
    if (!folder->block) folder->block = (uint8_t*)fsr_alloc(folder->block_bytes);
    uint8_t* bytes = folder->block;
    status = bytes ? FSR_OK : FSR_NO_MEMORY;
    if (!status && folder->bitmap.found && !folder->bitmap_bytes)
        status = attr_bytes(v, &folder->bitmap, MAX_BITMAP, &folder->bitmap_bytes);
    for (; !status && block <= blocks; ++block, index = 0) {
        if (!block_in_use(folder, folder->bitmap_bytes, block - 1)) continue;
        if (folder->block_number != block) {
            folder->block_number = 0;
            status = read_runs(v, &folder->allocation, (block - 1) * folder->block_bytes, bytes,
                               folder->block_bytes);
            if (!status) status = fix_up(bytes, folder->block_bytes, "INDX");
            if (!status) folder->block_number = block;
        }
        if (!status) status = node_entry(bytes, folder->block_bytes, 0x18, &index, entry);
        if (!status) entry->where[1] = folder->record;
        if (status == FSR_END) {
            status = FSR_OK;
            continue;
        }
        if (!status) {
            if (index >= 0xFFFFFF) status = FSR_UNSUPPORTED;
            *cursor = block << 24 | index;
            break;
        }
    }
    if (!status && block > blocks) status = FSR_END;
    return status;
}

/* --------------------------------------------------------------- nodes */

static void ntfs_close(fsr_node* node) {
    ntfs_node* n = (ntfs_node*)node;
    free_attr(&n->data);
    free_attr(&n->root);
    free_attr(&n->allocation);
    free_attr(&n->bitmap);
    fsr_free(n->block);
    fsr_free(n->bitmap_bytes);
    fsr_free(n);
}

static int open_record(ntfs_volume* v, uint64_t reference, const fsr_entry* entry, fsr_node** out) {
    *out = NULL;
    const uint64_t number = reference & 0xFFFFFFFFFFFFull;
    const uint16_t sequence = (uint16_t)(reference >> 48);
    ntfs_node* n = (ntfs_node*)fsr_alloc(sizeof *n);
    uint8_t* record = (uint8_t*)fsr_alloc(v->record_bytes);
    int status = n && record ? read_record(v, number, record) : FSR_NO_MEMORY;
    /* A stale index entry names a record that has since been reused. */
    if (!status && sequence && fsr_get16(record + 0x10) != sequence) status = FSR_NOT_FOUND;
    if (!status && (fsr_get64(record + 0x20) & 0xFFFFFFFFFFFFull) != 0) status = FSR_CORRUPT;
    if (status) {
        fsr_free(record);
        fsr_free(n);
        return status;
    }
    n->base.volume = &v->base;
    if (entry) fsr_copy(&n->base.info, entry, sizeof *entry);
    n->record = number;
    const int folder = fsr_get16(record + 0x16) & 2;
    uint32_t at = 0;
    const uint8_t* a;
    /* Reached through a folder entry: the record names itself so, in that
     * folder (unless its names lie in other records, past an attribute
     * list). An entry that leads elsewhere is damaged, never followed. */
    int named = entry == NULL;
    while (!named && (a = next_attr(record, &at)) != NULL) {
        const uint32_t type = fsr_get32(a);
        if (type == ATTR_ATTRIBUTE_LIST) named = 1;
        if (type != ATTR_FILE_NAME || a[8] || fsr_get32(a + 0x10) < 0x42) continue;
        const uint8_t* key = a + fsr_get16(a + 0x14);
        if ((fsr_get64(key) & 0xFFFFFFFFFFFFull) != entry->where[1] || key[0x40] != entry->name_length ||
            0x42u + 2u * key[0x40] > fsr_get32(a + 0x10))
            continue;
        uint32_t i = 0;
        while (i < entry->name_length && fsr_get16(key + 0x42 + 2 * i) == entry->name[i]) ++i;
        named = i == entry->name_length;
    }
    if (!named) {
        fsr_free(record);
        fsr_free(n);
        return FSR_CORRUPT;
    }
    at = 0;
    while ((a = next_attr(record, &at)) != NULL) {
        /* A reparse point (a link, or a file Windows keeps compressed in
         * another stream) has no data of its own to show. */
        if (fsr_get32(a) == ATTR_REPARSE_POINT) n->refused = 1;
        if (fsr_get32(a) == ATTR_STANDARD_INFORMATION && !a[8] && fsr_get32(a + 0x10) >= 0x24) {
            const uint8_t* info = a + fsr_get16(a + 0x14);
            n->base.info.created = fsr_nt_time(fsr_get64(info));
            n->base.info.modified = fsr_nt_time(fsr_get64(info + 0x08));
            n->base.info.accessed = fsr_nt_time(fsr_get64(info + 0x18));
            n->base.info.attributes = fsr_get32(info + 0x20) & 0x27;
            if (fsr_get32(info + 0x20) & FILE_ATTRIBUTE_REPARSE_POINT) n->refused = 1;
        }
    }
    fsr_free(record);
    if (folder) {
        n->base.info.attributes |= FSR_ATTR_FOLDER;
        n->base.info.size = n->base.info.allocated = 0;
        status = load_attr(v, number, ATTR_INDEX_ROOT, kI30, 4, &n->root);
        if (!status && (!n->root.resident || n->root.value_length < 0x20)) status = FSR_CORRUPT;
        if (!status) {
            n->block_bytes = fsr_get32(n->root.value + 8);
            if (n->block_bytes < 512 || n->block_bytes > 65536 || (n->block_bytes & (n->block_bytes - 1)))
                status = FSR_CORRUPT;
        }
        if (!status && (n->root.value[0x1C] & 1)) {
            status = load_attr(v, number, ATTR_INDEX_ALLOCATION, kI30, 4, &n->allocation);
            if (!status && (!n->allocation.found || n->allocation.resident)) status = FSR_CORRUPT;
            if (!status) status = load_attr(v, number, ATTR_BITMAP, kI30, 4, &n->bitmap);
            /* The index's size is only believed within what is allocated,
             * what its runs map and what its bitmap counts: a walk of the
             * blocks otherwise goes on for as long as the size says. */
            const ntfs_attr* index = &n->allocation;
            if (!status && (!n->bitmap.found || index->size > index->allocated ||
                            index->size / v->cluster_bytes > index->runs.next_vcn ||
                            index->size / n->block_bytes > 8 * n->bitmap.size ||
                            index->size / n->block_bytes >= MAX_INDEX_BLOCKS))
                status = FSR_CORRUPT;
        }
    } else {
        n->base.info.attributes &= ~(uint32_t)FSR_ATTR_FOLDER;
        status = load_attr(v, number, ATTR_DATA, NULL, 0, &n->data);
        n->base.info.size = n->data.size;
        n->base.info.allocated = n->data.allocated;
    }
    if (status) {
        ntfs_close(&n->base);
        return status;
    }
    *out = &n->base;
    return FSR_OK;
}

static int ntfs_open_root(fsr_volume* volume, fsr_node** node) {
    return open_record((ntfs_volume*)volume, RECORD_ROOT, NULL, node);
}

static int ntfs_open_entry(fsr_volume* volume, const fsr_entry* entry, fsr_node** node) {
    return open_record((ntfs_volume*)volume, entry->where[0], entry, node);
}

static int ntfs_read(fsr_node* node, uint64_t offset, void* buffer, uint32_t length) {
    ntfs_node* n = (ntfs_node*)node;
    const ntfs_attr* a = &n->data;
    /* Compressed and encrypted data are not read: never shown garbled. */
    if (n->refused || (a->found && (a->flags & 0x40FF))) return FSR_UNSUPPORTED;
    if (!a->found) return length ? FSR_CORRUPT : FSR_OK;
    if (offset > a->size || length > a->size - offset) return FSR_CORRUPT;
    if (a->resident) {
        fsr_copy(buffer, a->value + offset, length);
        return FSR_OK;
    }
    return read_runs((ntfs_volume*)node->volume, a, offset, (uint8_t*)buffer, length);
}

static void ntfs_unmount(fsr_volume* volume) {
    ntfs_volume* v = (ntfs_volume*)volume;
    free_attr(&v->mft);
    fsr_free(v->record_cache);
    fsr_free(v);
}

static const struct fsr_ops kNtfsOps = {ntfs_open_root, ntfs_open_entry, ntfs_read,
                                        ntfs_read_folder, ntfs_close, ntfs_unmount};

/* Sizes given as a cluster count, or when negative as a power of two. */
static uint64_t clusters_or_power(uint8_t value, uint32_t cluster) {
    if (value <= 0x7F) return (uint64_t)value * cluster;
    return value >= 0xE1 ? (uint64_t)1 << (256 - value) : 0;
}

int fsr_ntfs_mount(fsr_volume** volume, fsr_read_fn read, void* context, uint64_t volume_bytes,
                   const uint8_t* boot) {
    const uint32_t sector = fsr_get16(boot + 0x0B);
    const uint8_t per_cluster = boot[0x0D];
    if (sector < 512 || sector > 4096 || (sector & (sector - 1))) return FSR_UNSUPPORTED;
    uint64_t cluster;
    if (per_cluster == 0) return FSR_UNSUPPORTED;
    if (per_cluster <= 0x80) cluster = (uint64_t)sector * per_cluster;
    else if (per_cluster >= 0xE0) cluster = (uint64_t)sector << (256 - per_cluster);
    else return FSR_UNSUPPORTED;
    if ((cluster & (cluster - 1)) || cluster > (2u << 20)) return FSR_UNSUPPORTED;
    const uint64_t record = clusters_or_power(boot[0x40], (uint32_t)cluster);
    if (record < 512 || record > 65536 || (record & (record - 1))) return FSR_UNSUPPORTED;
    const uint64_t sectors = fsr_get64(boot + 0x28);
    if (sectors > ((uint64_t)1 << 52)) return FSR_UNSUPPORTED;
    uint64_t bytes = sectors * sector;
    if (volume_bytes && bytes > volume_bytes) bytes = volume_bytes;
    const uint64_t mft_lcn = fsr_get64(boot + 0x30);

    ntfs_volume* v = (ntfs_volume*)fsr_alloc(sizeof *v);
    if (!v) return FSR_NO_MEMORY;
    v->base.ops = &kNtfsOps;
    v->base.read_fn = read;
    v->base.context = context;
    v->base.bytes = volume_bytes ? volume_bytes : bytes;
    v->base.cluster_bytes = v->cluster_bytes = (uint32_t)cluster;
    v->record_bytes = (uint32_t)record;
    v->cluster_count = bytes / cluster;
    int status = mft_lcn < v->cluster_count && record <= (v->cluster_count - mft_lcn) * cluster
                     ? FSR_OK : FSR_CORRUPT;

    /* $MFT's first record, read where the boot sector says, maps the rest of
     * $MFT; an attribute list in it is then read through that first map. */
    uint8_t* first = status ? NULL : (uint8_t*)fsr_alloc(v->record_bytes);
    if (!status && !first) status = FSR_NO_MEMORY;
    if (!status) status = fsr_read_volume(&v->base, mft_lcn * cluster, first, v->record_bytes);
    if (!status) status = fix_up(first, v->record_bytes, "FILE");
    const uint32_t first_used = status ? 0 : fsr_get32(first + 0x18);
    if (!status && (first_used > v->record_bytes || fsr_get16(first + 0x14) < 0x18)) status = FSR_CORRUPT;
    int has_list = 0;
    if (!status) {
        uint32_t at = 0;
        const uint8_t* a;
        while (!status && (a = next_attr(first, &at)) != NULL) {
            if (fsr_get32(a) == ATTR_ATTRIBUTE_LIST) has_list = 1;
            if (attr_named(a, ATTR_DATA, NULL, 0)) status = a[8] ? take_extent(v, a, &v->mft) : FSR_CORRUPT;
        }
        if (!status && (!v->mft.found || v->mft.size < RECORD_UPCASE * record + record)) status = FSR_CORRUPT;
    }
    fsr_free(first);
    if (!status && has_list) {
        ntfs_attr full;
        status = load_attr(v, 0, ATTR_DATA, NULL, 0, &full);
        if (!status && (!full.found || full.resident)) status = FSR_CORRUPT;
        if (!status) {
            free_attr(&v->mft);
            v->mft = full;
        } else {
            free_attr(&full);
        }
    }

    /* $UpCase names the upper case of every UTF-16 unit; without it the
     * names compare in ASCII only. */
    fsr_node* upcase = NULL;
    if (!status && open_record(v, RECORD_UPCASE, NULL, &upcase) == FSR_OK) {
        uint32_t done = 0;
        uint16_t* table = (uint16_t*)fsr_alloc(65536 * sizeof *table);
        if (table && upcase->info.size == 131072 && !(upcase->info.attributes & FSR_ATTR_FOLDER) &&
            fsr_read(upcase, 0, table, 131072, &done) == FSR_OK && done == 131072) {
            for (uint32_t i = 0; i < 65536; ++i) table[i] = fsr_get16((const uint8_t*)&table[i]);
        }
        if (table && done == 131072 && fsr_upcase_plausible(table)) {
            v->base.upcase = table;
        } else {
            fsr_free(table);
        }
        fsr_close(upcase);
    }
    ntfs_attr name;
    if (!status && load_attr(v, RECORD_VOLUME, ATTR_VOLUME_NAME, NULL, 0, &name) == FSR_OK) {
        if (name.resident)
            for (uint32_t i = 0; i < 32 && 2 * i + 1 < name.value_length; ++i)
                v->base.label[i] = fsr_get16(name.value + 2 * i);
        free_attr(&name);
    }
    if (!status) {
        fsr_node* root = NULL;
        status = ntfs_open_root(&v->base, &root);
        fsr_close(root);
    }
    if (status) {
        fsr_free(v->base.upcase);
        ntfs_unmount(&v->base);
        return status;
    }
    *volume = &v->base;
    return FSR_OK;
}
