// The UEFI driver's readers (bootice/efi) on volumes that the real tools
// make. NTFS, made by mkntfs and filled by ntfs-3g: names in any case
// (through $UpCase, beyond ASCII too), a folder whose index spills into INDX
// blocks, a sparse file and a file in many runs read whole; a broken record
// is refused, not followed. exFAT, made by mkfs.exfat and filled by the boot
// tests' writer: a file along a FAT chain of every other cluster, found by a
// name beyond ASCII through the volume's compressed upcase table. (The boot
// tests read both through the firmware; the fuzz targets feed the readers
// hostile volumes.)
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

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
