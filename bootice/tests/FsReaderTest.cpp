// The UEFI driver's readers (bootice/efi) on volumes that the real tools
// make. NTFS, made by mkntfs and filled by ntfs-3g: names in any case
// (through $UpCase, beyond ASCII too), a folder whose index spills into INDX
// blocks, a sparse file and a file in many runs read whole; a broken record
// is refused, not followed. exFAT, made by mkfs.exfat and filled by the boot
// tests' writer: a file along a FAT chain of every other cluster, found by a
// name beyond ASCII through the volume's compressed upcase table. Then such
// volumes damaged by hand, one row each, every one refused within a bound
// of volume reads counted through the read callback, and the read counts of
// the same files on NTFS and exFAT compared. (The boot tests read both
// through the firmware; the fuzz targets feed the readers hostile volumes.)
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "bootice/tests/ImageDisk.h"

extern "C" {
#include "bootice/efi/fsr_alloc.h"
#include "bootice/efi/fsreader.h"
void* fsr_alloc(size_t size) { return std::calloc(1, size); }
void fsr_free(void* pointer) { std::free(pointer); }
}

namespace {

int ReadFile(void* context, uint64_t offset, void* buffer, uint32_t length) {
    FILE* file = static_cast<FILE*>(context);
    return fseeko(file, off_t(offset), SEEK_SET) != 0 || fread(buffer, 1, length, file) != length;
}

// Opens a "/"-separated path from the root; the status of the first failure.
int OpenPath(fsr_volume* volume, const std::u16string& path, fsr_node** node) {
    int status = fsr_open_root(volume, node);
    for (size_t at = 0; status == FSR_OK && at < path.size();) {
        size_t end = path.find(u'/', at);
        if (end == std::u16string::npos) end = path.size();
        const std::u16string name = path.substr(at, end - at);
        fsr_node* next = nullptr;
        status = fsr_lookup(*node, reinterpret_cast<const uint16_t*>(name.data()), uint32_t(name.size()), &next);
        fsr_close(*node);
        *node = next;
        at = end + 1;
    }
    return status;
}

std::string ReadWhole(fsr_node* node) {
    std::string text(size_t(fsr_info(node)->size), '\0');
    uint64_t offset = 0;
    uint32_t done = 0;
    while (offset < text.size() &&
           fsr_read(node, offset, &text[size_t(offset)], uint32_t(text.size() - offset), &done) == FSR_OK && done)
        offset += done;
    EXPECT_EQ(offset, text.size());
    return text;
}

std::string Expected(const std::string& command) {
    std::string output;
    EXPECT_EQ(RunShell(command, &output), 0) << output;
    return output;
}

}  // namespace

TEST(FsReader, NtfsVolumeReadThroughTheDriversReader) {
    const std::string image = TestImagePath("fsreader-ntfs.img");
    const std::string mount = TestImagePath("fsreader-ntfs.mnt");
    std::string output;
    // 512-byte clusters: the 180 KiB file needs many runs between the
    // small files left behind.
    const std::string fill =
        "cd " + mount + " && mkdir -p EFI/Boot crowded && printf 'LOADER' > EFI/Boot/BOOTX64.EFI && "
        "printf 'umlaut' > $(printf 'EFI/Boot/\\303\\204rger.txt') && "
        "for i in $(seq 1 120); do printf \"note $i\" > crowded/Note$i.TXT; head -c 700 /dev/zero > gap$i; done && "
        "for i in $(seq 1 120 | sed -n 'p;n'); do rm gap$i; done && "
        "seq 1 40000 > crowded/runs.txt && truncate -s 3M sparse.bin && printf 'END' >> sparse.bin";
    ASSERT_EQ(RunShell("rm -rf " + mount + " && mkdir -p " + mount + " && rm -f " + image + " && truncate -s 8M " +
                           image + " && mkntfs -F -Q -q -c 512 -L READER " + image + " && ntfs-3g " + image + " " +
                           mount + " && (" + fill + "); status=$?; umount " + mount + "; exit $status",
                       &output),
              0)
        << output;
    FILE* file = fopen(image.c_str(), "rb");
    ASSERT_NE(file, nullptr);
    fsr_volume* volume = nullptr;
    ASSERT_EQ(fsr_mount(ReadFile, file, 8u << 20, &volume), FSR_OK);
    EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(fsr_label(volume))), u"READER");

    const std::string sparse = std::string(3u << 20, '\0') + "END";
    const struct {
        std::u16string path;
        std::string content;
    } rows[] = {
        {u"efi/boot/bootx64.efi", "LOADER"},
        {u"EFI/BOOT/\u00e4RGER.TXT", "umlaut"},  // U+00E4 upper-cases to U+00C4 only through $UpCase
        {u"crowded/note1.txt", "note 1"},
        {u"CROWDED/NOTE119.txt", "note 119"},
        {u"crowded/runs.txt", Expected("seq 1 40000")},
        {u"sparse.bin", sparse},
    };
    for (const auto& row : rows) {
        fsr_node* node = nullptr;
        ASSERT_EQ(OpenPath(volume, row.path, &node), FSR_OK);
        EXPECT_TRUE(ReadWhole(node) == row.content) << std::string(row.path.begin(), row.path.end());
        fsr_close(node);
    }
    fsr_node* node = nullptr;
    EXPECT_EQ(OpenPath(volume, u"efi/boot/missing.efi", &node), FSR_NOT_FOUND);
    EXPECT_EQ(OpenPath(volume, u"efi/boot/bootx64.efi/more", &node), FSR_NOT_FOLDER);
    // A folder lists each entry once: the 120 notes and runs.txt.
    ASSERT_EQ(OpenPath(volume, u"crowded", &node), FSR_OK);
    fsr_entry entry;
    uint64_t cursor = 0;
    int entries = 0;
    while (fsr_read_folder(node, &cursor, &entry) == FSR_OK) ++entries;
    EXPECT_EQ(entries, 121);
    fsr_close(node);
    fsr_unmount(volume);
    fclose(file);

    // The root folder's record (5) with a broken update sequence: refused.
    FILE* broken = fopen(image.c_str(), "r+b");
    ASSERT_NE(broken, nullptr);
    uint8_t boot[512];
    ASSERT_EQ(fread(boot, 1, sizeof boot, broken), sizeof boot);
    uint64_t mft = 0;
    std::memcpy(&mft, boot + 0x30, 8);
    const long record = long(mft * 512 + 5 * 1024 + 510);
    ASSERT_EQ(fseek(broken, record, SEEK_SET), 0);
    ASSERT_EQ(fputc(0x5A, broken), 0x5A);
    fflush(broken);
    EXPECT_EQ(fsr_mount(ReadFile, broken, 8u << 20, &volume), FSR_CORRUPT);
    fclose(broken);
    unlink(image.c_str());
    rmdir(mount.c_str());
}

TEST(FsReader, ExfatVolumeReadThroughTheDriversReader) {
    const std::string image = TestImagePath("fsreader-exfat.img");
    std::string output;
    ASSERT_EQ(RunShell("rm -f " + image + " && truncate -s 4M " + image + " && mkfs.exfat -c 512 " + image +
                           " >/dev/null && python3 -c \"import os, sys, tempfile; sys.path.insert(0, '" BOOTICE_SOURCE_DIR
                           "/../tests/boot'); import boot_table as t; tree = tempfile.mkdtemp(); "
                           "open(os.path.join(tree, '\\u00c4rger chain.txt'), 'wb').write(bytes(range(256)) * 12); "
                           "open(os.path.join(tree, 'plain.txt'), 'wb').write(b'plain'); "
                           "t.ExfatWriter(open('" + image + "', 'r+b')).put_folder(tree, "
                           "fragment='\\u00c4rger chain.txt'); import shutil; shutil.rmtree(tree)\"",
                       &output),
              0)
        << output;
    FILE* file = fopen(image.c_str(), "rb");
    ASSERT_NE(file, nullptr);
    fsr_volume* volume = nullptr;
    ASSERT_EQ(fsr_mount(ReadFile, file, 4u << 20, &volume), FSR_OK);
    std::string chain;
    for (int i = 0; i < 12 * 256; ++i) chain += char(i % 256);
    const struct {
        std::u16string path;
        std::string content;
    } rows[] = {{u"\u00e4RGER CHAIN.TXT", chain}, {u"PLAIN.txt", "plain"}};
    for (const auto& row : rows) {
        fsr_node* node = nullptr;
        ASSERT_EQ(OpenPath(volume, row.path, &node), FSR_OK);
        EXPECT_TRUE(ReadWhole(node) == row.content);
        fsr_close(node);
    }
    fsr_unmount(volume);
    fclose(file);
    unlink(image.c_str());
}

namespace {

// A volume in memory whose reads are counted: a damaged volume must be
// refused within a bound of reads, never spun on. Past kReadLimit every
// read fails, so that a reader that would spin ends the test instead.
struct CountedImage {
    std::vector<uint8_t> bytes;
    uint64_t reads = 0;
};
const uint64_t kReadLimit = 100000;

int ReadCounted(void* context, uint64_t offset, void* buffer, uint32_t length) {
    CountedImage& image = *static_cast<CountedImage*>(context);
    if (++image.reads > kReadLimit || offset > image.bytes.size() || length > image.bytes.size() - offset) return 1;
    std::memcpy(buffer, image.bytes.data() + offset, length);
    return 0;
}

std::vector<uint8_t> LoadImage(const std::string& path) {
    std::vector<uint8_t> bytes;
    FILE* file = fopen(path.c_str(), "rb");
    if (!file) return bytes;
    fseeko(file, 0, SEEK_END);
    bytes.resize(size_t(ftello(file)));
    fseeko(file, 0, SEEK_SET);
    if (fread(bytes.data(), 1, bytes.size(), file) != bytes.size()) bytes.clear();
    fclose(file);
    return bytes;
}

uint16_t Get16(const uint8_t* p) { return uint16_t(p[0] | p[1] << 8); }
uint32_t Get32(const uint8_t* p) { return Get16(p) | uint32_t(Get16(p + 2)) << 16; }
uint64_t Get64(const uint8_t* p) { return Get32(p) | uint64_t(Get32(p + 4)) << 32; }
void Put32(uint8_t* p, uint32_t value) { std::memcpy(p, &value, 4); }
void Put64(uint8_t* p, uint64_t value) { std::memcpy(p, &value, 8); }

// An NTFS volume's MFT record, edited with its update sequence undone and
// then done again, as a damaged but well-formed record.
struct Ntfs {
    std::vector<uint8_t>& image;
    uint64_t mft = 0;
    explicit Ntfs(std::vector<uint8_t>& bytes) : image(bytes) {
        mft = Get64(&image[0x30]) * Get16(&image[0x0B]) * image[0x0D];
    }
    uint8_t* Record(uint64_t number) { return &image[mft + number * 1024]; }
    // The record whose $FILE_NAME is name (ASCII); 0 if none (the MFT of
    // a fresh small volume lies in one piece).
    uint64_t Find(const std::string& name) {
        for (uint64_t n = 16; n < 256; ++n) {
            uint8_t* r = Record(n);
            if (std::memcmp(r, "FILE", 4) != 0) continue;
            for (uint32_t at = Get16(r + 0x14); at + 8 < 1024 && Get32(r + at) != 0xFFFFFFFFu; at += Get32(r + at + 4)) {
                if (Get32(r + at + 4) == 0) break;
                if (Get32(r + at) != 0x30) continue;
                const uint8_t* key = r + at + Get16(r + at + 0x14);
                std::string stored;
                for (int i = 0; i < key[0x40]; ++i) stored += char(key[0x42 + 2 * i]);
                if (stored == name) return n;
            }
        }
        return 0;
    }
    void Edit(uint64_t number, const std::function<void(uint8_t*)>& edit) {
        uint8_t* r = Record(number);
        const uint32_t array = Get16(r + 4), count = Get16(r + 6);
        for (uint32_t i = 1; i < count; ++i) std::memcpy(r + i * 512 - 2, r + array + 2 * i, 2);
        edit(r);
        for (uint32_t i = 1; i < count; ++i) {
            std::memcpy(r + array + 2 * i, r + i * 512 - 2, 2);
            std::memcpy(r + i * 512 - 2, r + array, 2);
        }
    }
    // The attribute of type (and, with a name, of that name) in record r.
    static uint8_t* Attribute(uint8_t* r, uint32_t type) {
        for (uint32_t at = Get16(r + 0x14); at + 8 < 1024 && Get32(r + at) != 0xFFFFFFFFu; at += Get32(r + at + 4))
            if (Get32(r + at) == type) return r + at;
        return nullptr;
    }
};

// The exFAT volume's FAT entry of cluster.
uint8_t* FatEntry(std::vector<uint8_t>& image, uint32_t cluster) {
    return &image[(uint64_t(Get32(&image[0x50])) << image[0x6C]) + 4ull * cluster];
}

// The entry named name in folder node, as the reader lists it.
fsr_entry ListedEntry(fsr_node* folder, const std::u16string& name) {
    fsr_entry entry{};
    uint64_t cursor = 0;
    while (fsr_read_folder(folder, &cursor, &entry) == FSR_OK)
        if (std::u16string(reinterpret_cast<const char16_t*>(entry.name), entry.name_length) == name) return entry;
    ADD_FAILURE() << "not listed";
    return entry;
}

// Mounts, opens path ("" lists the root), reads it whole or lists it; the
// first failure.
int Exercise(CountedImage* image, const std::u16string& path) {
    fsr_volume* volume = nullptr;
    int status = fsr_mount(ReadCounted, image, image->bytes.size(), &volume);
    if (status) return status;
    fsr_node* node = nullptr;
    status = OpenPath(volume, path, &node);
    if (!status && (fsr_info(node)->attributes & FSR_ATTR_FOLDER)) {
        fsr_entry entry;
        uint64_t cursor = 0;
        while ((status = fsr_read_folder(node, &cursor, &entry)) == FSR_OK) {
        }
        if (status == FSR_END) status = FSR_OK;
    } else if (!status) {
        std::vector<uint8_t> buffer(1u << 20);
        uint32_t done = 0;
        for (uint64_t offset = 0; !(status = fsr_read(node, offset, buffer.data(), uint32_t(buffer.size()), &done)) && done;)
            offset += done;
    }
    fsr_close(node);
    fsr_unmount(volume);
    return status;
}

}  // namespace

// Volumes made by mkntfs / ntfs-3g and mkfs.exfat, then damaged by hand as
// a failing stick damages them: each is refused (never read back as good
// bytes), within a bound of volume reads.
TEST(FsReader, DamagedVolumesAreRefusedWithinFewReads) {
    const std::string ntfs = TestImagePath("damaged-ntfs.img"), exfat = TestImagePath("damaged-exfat.img");
    const std::string mount = TestImagePath("damaged-ntfs.mnt");
    std::string output;
    // 40 long names crowd the root until ntfs-3g gives it an attribute list.
    const std::string fill =
        "cd " + mount + " && for i in $(seq 10 49); do printf 'filler' > \"$i$(printf ' long name %.0s' $(seq 1 8))\"; done && "
        "mkdir pair && printf 'first' > pair/a.txt && printf 'second one' > pair/b.txt && "
        "for i in $(seq 1 60); do head -c 700 /dev/zero > gap$i; done && "
        "for i in $(seq 1 60 | sed -n 'p;n'); do rm gap$i; done && seq 1 20000 > frag.txt && "
        "printf 'elsewhere' > wof.txt && printf 'x' > dedup.txt && python3 -c \"import os; "
        "os.setxattr('wof.txt', 'system.ntfs_reparse_data', bytes.fromhex('170000801000000001000000020000000100000000000000')); "
        "os.setxattr('dedup.txt', 'system.ntfs_reparse_data', bytes.fromhex('130000800400000061626364'))\"";
    ASSERT_EQ(RunShell("rm -rf " + mount + " && mkdir -p " + mount + " && rm -f " + ntfs + " && truncate -s 4M " + ntfs +
                           " && mkntfs -F -Q -q -c 512 " + ntfs + " && ntfs-3g " + ntfs + " " + mount + " && (" + fill +
                           "); status=$?; umount " + mount + "; exit $status",
                       &output),
              0)
        << output;
    ASSERT_EQ(RunShell("rm -f " + exfat + " && truncate -s 4M " + exfat + " && mkfs.exfat -c 512 " + exfat +
                           " >/dev/null && python3 -c \"import os, sys, tempfile; sys.path.insert(0, '" BOOTICE_SOURCE_DIR
                           "/../tests/boot'); import boot_table as t; tree = tempfile.mkdtemp(); "
                           "open(os.path.join(tree, 'chain.txt'), 'wb').write(bytes(range(256)) * 12); "
                           "os.mkdir(os.path.join(tree, 'sub')); open(os.path.join(tree, 'sub', 'in.txt'), 'wb').write(b'in'); "
                           "t.ExfatWriter(open('" + exfat + "', 'r+b')).put_folder(tree, fragment='chain.txt'); "
                           "import shutil; shutil.rmtree(tree)\"",
                       &output),
              0)
        << output;
    const std::vector<uint8_t> ntfs_clean = LoadImage(ntfs), exfat_clean = LoadImage(exfat);
    ASSERT_FALSE(ntfs_clean.empty());
    ASSERT_FALSE(exfat_clean.empty());
    unlink(ntfs.c_str());
    unlink(exfat.c_str());
    rmdir(mount.c_str());

    // Where the exFAT streams lie, as the reader lists them.
    fsr_entry chain{}, sub{};
    {
        CountedImage image{exfat_clean};
        fsr_volume* volume = nullptr;
        ASSERT_EQ(fsr_mount(ReadCounted, &image, image.bytes.size(), &volume), FSR_OK);
        fsr_node* root = nullptr;
        ASSERT_EQ(fsr_open_root(volume, &root), FSR_OK);
        chain = ListedEntry(root, u"chain.txt");
        sub = ListedEntry(root, u"sub");
        fsr_close(root);
        fsr_unmount(volume);
    }
    const uint32_t root_cluster = Get32(&exfat_clean[0x60]);
    const uint32_t chain_first = uint32_t(chain.where[0]);

    const struct {
        const char* what;
        bool is_ntfs;
        std::function<void(std::vector<uint8_t>&)> damage;
        std::u16string path;
        int status;
    } rows[] = {
        {"root index 2^60 bytes long", true,
         [](std::vector<uint8_t>& image) {
             Ntfs(image).Edit(5, [](uint8_t* r) { Put64(Ntfs::Attribute(r, 0xA0) + 0x30, uint64_t(1) << 60); });
         },
         u"", FSR_CORRUPT},
        {"root index allocated 2^50 blocks beyond its runs", true,
         [](std::vector<uint8_t>& image) {
             Ntfs(image).Edit(5, [](uint8_t* r) {
                 Put64(Ntfs::Attribute(r, 0xA0) + 0x28, uint64_t(1) << 62);
                 Put64(Ntfs::Attribute(r, 0xA0) + 0x30, uint64_t(1) << 62);
             });
         },
         u"", FSR_CORRUPT},
        {"runs that map the same clusters again", true,
         [](std::vector<uint8_t>& image) {
             Ntfs volume(image);
             // Its one run split in two, the second at offset 0 from the
             // first: the same clusters again.
             volume.Edit(volume.Find("frag.txt"), [](uint8_t* r) {
                 uint8_t* data = Ntfs::Attribute(r, 0x80);
                 uint8_t* pairs = data + Get16(data + 0x20);
                 const unsigned length_bytes = pairs[0] & 15, offset_bytes = pairs[0] >> 4;
                 ASSERT_LE(6 + offset_bytes, Get32(data + 4) - Get16(data + 0x20));
                 unsigned length = 0;
                 for (unsigned k = 0; k < length_bytes; ++k) length |= unsigned(pairs[1 + k]) << 8 * k;
                 ASSERT_LT(length, 256u);  // each half then takes one byte
                 uint8_t lcn[8];
                 std::memcpy(lcn, pairs + 1 + length_bytes, offset_bytes);
                 uint8_t* p = pairs;
                 *p++ = uint8_t(offset_bytes << 4 | 1);
                 *p++ = uint8_t(length / 2);
                 p = std::copy(lcn, lcn + offset_bytes, p);
                 *p++ = 0x11;
                 *p++ = uint8_t(length - length / 2);
                 *p++ = 0;
                 *p = 0;
             });
         },
         u"frag.txt", FSR_CORRUPT},
        {"attribute list that says the root's index begins at VCN 1", true,
         [](std::vector<uint8_t>& image) {
             // The root's list is non-resident: its first run holds it.
             Ntfs volume(image);
             uint64_t list = 0;
             volume.Edit(5, [&](uint8_t* r) {
                 const uint8_t* a = Ntfs::Attribute(r, 0x20);
                 ASSERT_TRUE(a && a[8]);
                 const uint8_t* pairs = a + Get16(a + 0x20);
                 for (unsigned k = 0; k < unsigned(pairs[0] >> 4); ++k)
                     list |= uint64_t(pairs[1 + (pairs[0] & 15) + k]) << 8 * k;
             });
             uint8_t* e = &image[list * Get16(&image[0x0B]) * image[0x0D]];
             while (Get32(e) != 0xA0) e += Get16(e + 4);
             Put64(e + 8, 1);
         },
         u"", FSR_CORRUPT},
        {"file kept compressed by Windows (WOF)", true, [](std::vector<uint8_t>&) {}, u"wof.txt", FSR_UNSUPPORTED},
        {"reparse point (deduplicated file)", true, [](std::vector<uint8_t>&) {}, u"dedup.txt", FSR_UNSUPPORTED},
        {"folder entry that leads to another file's record", true,
         [](std::vector<uint8_t>& image) {
             Ntfs volume(image);
             const uint64_t b = volume.Find("b.txt");
             const uint64_t reference = b | uint64_t(Get16(volume.Record(b) + 0x10)) << 48;
             volume.Edit(volume.Find("pair"), [reference](uint8_t* r) {
                 uint8_t* root = Ntfs::Attribute(r, 0x90);
                 const uint8_t* name = reinterpret_cast<const uint8_t*>(u"a.txt");
                 uint8_t* at = std::search(root, r + 1024, name, name + 10);
                 Put64(at - 0x52, reference);  // the entry's file reference
             });
         },
         u"pair/a.txt", FSR_CORRUPT},
        {"exFAT root cluster chained to itself", false,
         [root_cluster](std::vector<uint8_t>& image) { Put32(FatEntry(image, root_cluster), root_cluster); }, u"",
         FSR_CORRUPT},
        {"exFAT file chain that loops (a -> b -> a)", false,
         [chain_first](std::vector<uint8_t>& image) {
             Put32(FatEntry(image, Get32(FatEntry(image, chain_first))), chain_first);
         },
         u"chain.txt", FSR_CORRUPT},
        {"exFAT file chain longer than the file", false,
         [chain_first](std::vector<uint8_t>& image) {
             uint32_t c = chain_first;
             while (Get32(FatEntry(image, c)) != 0xFFFFFFFFu) c = Get32(FatEntry(image, c));
             Put32(FatEntry(image, c), c + 1);
         },
         u"chain.txt", FSR_CORRUPT},
        {"exFAT folder claiming the whole heap along a chain to itself", false,
         [&sub](std::vector<uint8_t>& image) {
             // The folder's stream entry: FAT-chained, as long as the heap;
             // the entry set's checksum made right again.
             const uint64_t heap_clusters = Get32(&image[0x5C]);
             const uint32_t cluster = uint32_t(sub.where[0]);
             Put32(FatEntry(image, cluster), cluster);
             for (size_t at = 0; at + 96 <= image.size(); at += 32) {
                 uint8_t* set = &image[at];
                 if (set[0] != 0x85 || set[32] != 0xC0 || Get32(set + 52) != cluster || set[35] != 3) continue;
                 set[33] = 0x01;
                 Put64(set + 56, heap_clusters * 512);
                 Put64(set + 40, heap_clusters * 512);
                 uint16_t sum = 0;
                 for (uint32_t i = 0; i < (set[1] + 1u) * 32; ++i)
                     if (i != 2 && i != 3) sum = uint16_t(((sum & 1) ? 0x8000 : 0) + (sum >> 1) + set[i]);
                 std::memcpy(set + 2, &sum, 2);
                 return;
             }
             ADD_FAILURE() << "no entry set of the folder";
         },
         u"sub", FSR_CORRUPT},
    };
    for (const auto& row : rows) {
        CountedImage image{row.is_ntfs ? ntfs_clean : exfat_clean};
        row.damage(image.bytes);
        EXPECT_EQ(Exercise(&image, row.path), row.status) << row.what;
        EXPECT_LE(image.reads, 200u) << row.what;
    }

    // The clean volumes read whole, and list what their files hold now: a
    // size the index keeps but the file no longer has is not reported.
    CountedImage clean{ntfs_clean};
    Ntfs volume(clean.bytes);
    volume.Edit(volume.Find("pair"), [](uint8_t* r) {
        const uint8_t* name = reinterpret_cast<const uint8_t*>(u"b.txt");
        uint8_t* at = std::search(r, r + 1024, name, name + 10);
        Put64(at - 0x42 + 0x30, 999);  // the index key's data size
    });
    EXPECT_EQ(Exercise(&clean, u"frag.txt"), FSR_OK);
    fsr_volume* mounted = nullptr;
    ASSERT_EQ(fsr_mount(ReadCounted, &clean, clean.bytes.size(), &mounted), FSR_OK);
    fsr_node* pair = nullptr;
    ASSERT_EQ(OpenPath(mounted, u"pair", &pair), FSR_OK);
    EXPECT_EQ(ListedEntry(pair, u"b.txt").size, 10u);
    fsr_close(pair);
    fsr_unmount(mounted);
    CountedImage exfat_image{exfat_clean};
    EXPECT_EQ(Exercise(&exfat_image, u"chain.txt"), FSR_OK);
    EXPECT_EQ(Exercise(&exfat_image, u"sub/in.txt"), FSR_OK);
}

// The same files on NTFS and on exFAT (4 KiB clusters) cost about the same
// number of volume reads: a 20 MiB file read in the driver's 1 MiB pieces
// (exFAT merges contiguous clusters as NTFS reads a run), and a name found
// in a folder of 301 files (exFAT reads the folder a window at a time).
TEST(FsReader, ExfatReadsAboutAsOftenAsNtfs) {
    const std::string ntfs = TestImagePath("reads-ntfs.img"), exfat = TestImagePath("reads-exfat.img");
    const std::string mount = TestImagePath("reads-ntfs.mnt"), tree = TestImagePath("reads-tree");
    std::string output;
    ASSERT_EQ(RunShell("rm -rf " + tree + " && mkdir -p " + tree + "/many && head -c 20971520 /dev/urandom > " + tree +
                           "/big.bin && for i in $(seq 1 301); do printf \"file $i\" > " + tree +
                           "/many/file$i.txt; done && rm -rf " + mount + " && mkdir -p " + mount + " && rm -f " + ntfs +
                           " && truncate -s 48M " + ntfs + " && mkntfs -F -Q -q " + ntfs + " && ntfs-3g " + ntfs + " " +
                           mount + " && (cp -r " + tree + "/. " + mount + "); status=$?; umount " + mount +
                           "; [ $status = 0 ] && rm -f " + exfat + " && truncate -s 48M " + exfat + " && mkfs.exfat -c 4096 " +
                           exfat + " >/dev/null && python3 -c \"import sys; sys.path.insert(0, '" BOOTICE_SOURCE_DIR
                           "/../tests/boot'); import boot_table as t; t.ExfatWriter(open('" + exfat +
                           "', 'r+b')).put_folder('" + tree + "')\"",
                       &output),
              0)
        << output;
    const std::vector<uint8_t> images[2] = {LoadImage(ntfs), LoadImage(exfat)};
    RunShell("rm -rf " + tree + " " + mount + " " + ntfs + " " + exfat, &output);
    for (const std::u16string path : {u"big.bin", u"many/file301.txt"}) {
        uint64_t reads[2] = {0, 0};
        for (int fs = 0; fs < 2; ++fs) {
            CountedImage image{images[fs]};
            fsr_volume* volume = nullptr;
            ASSERT_EQ(fsr_mount(ReadCounted, &image, image.bytes.size(), &volume), FSR_OK);
            const uint64_t mounted = image.reads;
            fsr_node* node = nullptr;
            ASSERT_EQ(OpenPath(volume, path, &node), FSR_OK);
            std::vector<uint8_t> buffer(1u << 20);
            uint64_t offset = 0;
            uint32_t done = 0;
            while (fsr_read(node, offset, buffer.data(), uint32_t(buffer.size()), &done) == FSR_OK && done) offset += done;
            EXPECT_EQ(offset, fsr_info(node)->size);
            reads[fs] = image.reads - mounted;
            fsr_close(node);
            fsr_unmount(volume);
        }
        EXPECT_LE(reads[1] * 10, reads[0] * 12) << "NTFS " << reads[0] << " reads, exFAT " << reads[1];
        std::printf("%s: NTFS %llu reads, exFAT %llu\n", std::string(path.begin(), path.end()).c_str(),
                    (unsigned long long)reads[0], (unsigned long long)reads[1]);
    }
}
