// The image reader on images that the real mastering tools make: genisoimage
// with UDF (the big file hidden from ISO 9660, as in Microsoft's images, and
// UDF beside Joliet), xorriso's ISO 9660 level 3 with Rock Ridge and with
// Joliet, and plain ISO 9660 names. Every file is read back through its
// extents and compared with its source. Damaged images are refused, never
// followed round a loop. The Large cases (ctest -L large) write images past
// 1 GiB (UDF: several extents) and past 4 GiB (ISO 9660 multi-extent) and
// delete them afterwards.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "iso/ImageFiles.h"
#include "tests/support/RunShell_linux.h"

namespace {

// A folder per test: ctest may run them side by side.
std::string TestPath(const std::string& name) {
    const std::string folder =
        std::string(IMAGE_FILES_TEST_FOLDER) + "/" + ::testing::UnitTest::GetInstance()->current_test_info()->name();
    mkdir(IMAGE_FILES_TEST_FOLDER, 0755);
    mkdir(folder.c_str(), 0755);
    return folder + "/" + name;
}

std::vector<uint8_t> ReadWholeFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

void WriteWholeFile(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

// An image file as the program gives it to the reader.
struct OpenImage {
    FILE* file = nullptr;
    ByteSource source;
    explicit OpenImage(const std::string& path) {
        file = std::fopen(path.c_str(), "rb");
        if (!file) return;
        fseeko(file, 0, SEEK_END);
        source.size = uint64_t(ftello(file));
        FILE* f = file;
        const uint64_t size = source.size;
        source.readAt = [f, size](uint64_t offset, void* buffer, size_t count) {
            return offset <= size && count <= size - offset && fseeko(f, off_t(offset), SEEK_SET) == 0 &&
                   fread(buffer, 1, count, f) == count;
        };
    }
    ~OpenImage() {
        if (file) std::fclose(file);
    }
};

// Finds path and compares its bytes, read through the extents in pieces that
// cross their ends, with the source file (a chunk at a time for big files).
void ExpectFileAsSource(const std::string& image, const std::string& path, const std::string& source,
                        size_t minExtents = 0) {
    SCOPED_TRACE(image + ": " + path);
    OpenImage open(image);
    ASSERT_TRUE(open.file);
    std::vector<Extent> extents;
    uint64_t size = 0;
    ASSERT_TRUE(FindImageFile(open.source, path, &extents, &size));
    uint64_t total = 0;
    for (const Extent& extent : extents) {
        EXPECT_LE(extent.offset + extent.length, open.source.size);
        total += extent.length;
    }
    EXPECT_EQ(total, size);
    EXPECT_GE(extents.size(), minExtents);
    FILE* expected = std::fopen(source.c_str(), "rb");
    ASSERT_TRUE(expected);
    fseeko(expected, 0, SEEK_END);
    ASSERT_EQ(uint64_t(ftello(expected)), size);
    fseeko(expected, 0, SEEK_SET);
    const ByteSource file = ImageFileSource(open.source, extents, size);
    std::vector<uint8_t> got(4u << 20), want(got.size());
    // Pieces of 4 MiB - 1 straddle extent ends wherever the extents lie.
    const size_t chunk = got.size() - 1;
    for (uint64_t at = 0; at < size;) {
        const size_t count = size_t(std::min<uint64_t>(chunk, size - at));
        ASSERT_TRUE(file.readAt(at, got.data(), count)) << "at " << at;
        ASSERT_EQ(fread(want.data(), 1, count, expected), count);
        ASSERT_TRUE(std::equal(got.begin(), got.begin() + long(count), want.begin())) << "at " << at;
        at += count;
    }
    std::fclose(expected);
    uint8_t byte;
    EXPECT_FALSE(file.readAt(size, &byte, 1));
}

bool Finds(const std::string& image, const std::string& path) {
    OpenImage open(image);
    std::vector<Extent> extents;
    uint64_t size = 0;
    return open.file && FindImageFile(open.source, path, &extents, &size);
}

// The source tree of the small images: the big file is a few hundred KiB of
// varied bytes, folders in mixed case, an empty file.
std::string MakeTree() {
    const std::string tree = TestPath("tree");
    std::string output;
    EXPECT_EQ(RunShell("rm -rf " + tree + " && mkdir -p " + tree + "/Sources/Deep/Er && cd " + tree +
                           " && seq 1 90000 > Sources/install.wim && printf 'placeholder' > README.TXT && "
                           "printf 'deep down' > Sources/Deep/Er/MixedCase.Txt && : > Sources/empty.dat && "
                           "printf 'a longer name with blanks' > 'Sources/A Rather Long File Name.text'",
                       &output),
              0)
        << output;
    return tree;
}

struct ImageCase {
    const char* name;
    const char* command;  // makes IMAGE from TREE
    const char* fileSystem;
};

const ImageCase kImages[] = {
    {"udf-hidden", "genisoimage -quiet -udf -allow-limited-size -hide install.wim -o IMAGE TREE", "UDF only"},
    {"udf-joliet", "genisoimage -quiet -udf -J -allow-limited-size -o IMAGE TREE", "UDF"},
    {"xorriso-rr", "xorriso -as mkisofs -quiet -iso-level 3 -o IMAGE TREE", "Rock Ridge"},
    {"xorriso-joliet", "xorriso -as mkisofs -quiet -iso-level 3 -J -o IMAGE TREE", "Joliet"},
    {"plain-iso", "genisoimage -quiet -iso-level 3 -o IMAGE TREE", "ISO 9660 names"},
};

std::string MakeImage(const ImageCase& row, const std::string& tree) {
    std::string command = row.command, output;
    const std::string image = TestPath(std::string(row.name) + ".iso");
    command.replace(command.find("IMAGE"), 5, image);
    command.replace(command.find("TREE"), 4, tree);
    EXPECT_EQ(RunShell("rm -f " + image + " && " + command, &output), 0) << output;
    return image;
}

TEST(ImageFiles, FilesOfRealImagesReadThroughTheirExtents) {
    const std::string tree = MakeTree();
    for (const ImageCase& row : kImages) {
        SCOPED_TRACE(row.name);
        const std::string image = MakeImage(row, tree);
        ExpectFileAsSource(image, "sources\\install.wim", tree + "/Sources/install.wim");
        ExpectFileAsSource(image, "/SOURCES/deep/eR/mixedcase.TXT", tree + "/Sources/Deep/Er/MixedCase.Txt");
        ExpectFileAsSource(image, "Sources/empty.dat", tree + "/Sources/empty.dat");
        ExpectFileAsSource(image, "readme.txt", tree + "/README.TXT");
        if (std::string(row.fileSystem) != "ISO 9660 names")
            ExpectFileAsSource(image, "sources/a rather long file name.TEXT",
                               tree + "/Sources/A Rather Long File Name.text");
        for (const char* missing : {"sources/install.swm", "sources", "sources/install.wim/x", "sources/../README.TXT",
                                    "", "/", "sources/deep/er/mixedcase.tx"})
            EXPECT_FALSE(Finds(image, missing)) << missing;
    }
    // What makes the first row Microsoft's layout: ISO 9660 alone does not see the file.
    std::string listing;
    EXPECT_EQ(RunShell("isoinfo -f -i " + TestPath("udf-hidden.iso"), &listing), 0);
    EXPECT_EQ(listing.find("INSTALL"), std::string::npos) << listing;
}

// ---------------------------------------------------------------- damage

uint16_t Crc16(const uint8_t* bytes, size_t count) {
    uint16_t crc = 0;
    for (size_t i = 0; i < count; ++i) {
        crc = uint16_t(crc ^ bytes[i] << 8);
        for (int bit = 0; bit < 8; ++bit) crc = uint16_t(crc & 0x8000 ? crc << 1 ^ 0x1021 : crc << 1);
    }
    return crc;
}

uint32_t Le32At(const std::vector<uint8_t>& d, size_t at) {
    return d[at] | d[at + 1] << 8 | d[at + 2] << 16 | uint32_t(d[at + 3]) << 24;
}

void PutLe32(std::vector<uint8_t>* d, size_t at, uint32_t value) {
    for (int i = 0; i < 4; ++i) (*d)[at + size_t(i)] = uint8_t(value >> (8 * i));
}

// Sets a UDF descriptor's CRC and checksum again after a change.
void SealTag(std::vector<uint8_t>* d, size_t at) {
    const uint16_t crc = Crc16(&(*d)[at + 16], (*d)[at + 10] | (*d)[at + 11] << 8);
    (*d)[at + 8] = uint8_t(crc);
    (*d)[at + 9] = uint8_t(crc >> 8);
    uint8_t sum = 0;
    for (int i = 0; i < 16; ++i)
        if (i != 4) sum = uint8_t(sum + (*d)[at + size_t(i)]);
    (*d)[at + 4] = sum;
}

// The UDF file entry (tag 261) of the one file of this size.
size_t UdfEntryOfSize(const std::vector<uint8_t>& d, uint64_t size) {
    for (size_t at = 0; at + 2048 <= d.size(); at += 2048)
        if (d[at] == 5 && d[at + 1] == 1 && d[at + 27] == 5 && Le32At(d, at + 56) == size) return at;
    return 0;
}

// The ISO 9660 record whose name begins so.
size_t IsoRecordNamed(const std::vector<uint8_t>& d, const std::string& name) {
    for (size_t at = 16 * 2048; at + 33 + name.size() < d.size(); ++at)
        if (d[at + 32] >= name.size() && std::equal(name.begin(), name.end(), &d[at + 33]) && d[at] >= 33 + name.size())
            return at;
    return 0;
}

// The UDF file identifier descriptor of this name (8-bit CS0).
size_t UdfIdentifierNamed(const std::vector<uint8_t>& d, const std::string& name) {
    for (size_t at = 0; at + 38 + name.size() < d.size(); at += 4)
        if (d[at] == 1 && d[at + 1] == 1 && d[at + 19] == name.size() + 1 && d[at + 38] == 8 &&
            std::equal(name.begin(), name.end(), &d[at + 39]))
            return at;
    return 0;
}

struct DamageCase {
    const char* name;
    const char* image;  // a row of kImages
    const char* path;
    std::function<void(std::vector<uint8_t>*, uint64_t wimSize)> damage;
};

TEST(ImageFiles, DamagedImagesAreRefusedNeverFollowed) {
    const std::string tree = MakeTree();
    const uint64_t wimSize = ReadWholeFile(tree + "/Sources/install.wim").size();
    const DamageCase cases[] = {
        // genisoimage pads its images with 150 sectors.
        {"udf truncated inside the file", "udf-hidden", "sources/install.wim",
         [](std::vector<uint8_t>* d, uint64_t size) { d->resize(d->size() - 300 * 1024 - size / 2); }},
        {"udf truncated before the anchor", "udf-hidden", "sources/install.wim",
         [](std::vector<uint8_t>* d, uint64_t) { d->resize(200 * 2048); }},
        {"udf file entry checksum", "udf-hidden", "sources/install.wim",
         [](std::vector<uint8_t>* d, uint64_t size) { (*d)[UdfEntryOfSize(*d, size) + 4] ^= 1; }},
        {"udf file entry CRC", "udf-hidden", "sources/install.wim",
         [](std::vector<uint8_t>* d, uint64_t size) { (*d)[UdfEntryOfSize(*d, size) + 100] ^= 1; }},
        {"udf extent allocated, not recorded", "udf-hidden", "sources/install.wim",
         [](std::vector<uint8_t>* d, uint64_t size) {
             const size_t entry = UdfEntryOfSize(*d, size), ad = entry + 176 + Le32At(*d, entry + 168);
             (*d)[ad + 3] |= 0x40;
             SealTag(d, entry);
         }},
        // The file's first short_ad made a continuation to an allocation
        // extent descriptor (in the file's first data block) that names itself.
        {"udf allocation extent chain loops", "udf-hidden", "sources/install.wim",
         [](std::vector<uint8_t>* d, uint64_t size) {
             const size_t entry = UdfEntryOfSize(*d, size), ad = entry + 176 + Le32At(*d, entry + 168);
             const uint32_t block = Le32At(*d, ad + 4), partitionBlock = Le32At(*d, entry + 12);
             const size_t aed = entry + size_t(block - partitionBlock) * 2048;
             std::fill(d->begin() + long(aed), d->begin() + long(aed) + 2048, 0);
             (*d)[aed] = 2, (*d)[aed + 1] = 1, (*d)[aed + 2] = 2;
             (*d)[aed + 10] = 16;
             PutLe32(d, aed + 12, block);
             PutLe32(d, aed + 20, 8);
             PutLe32(d, aed + 24, 0xC0000000u | 2048);
             PutLe32(d, aed + 28, block);
             SealTag(d, aed);
             PutLe32(d, ad, 0xC0000000u | 2048);
             SealTag(d, entry);
         }},
        // Deep's entry made the entry of Sources: a loop in the tree, walked
        // as far as the path goes and no further.
        {"udf folder that holds itself", "udf-hidden", "sources/deep/er/mixedcase.txt",
         [](std::vector<uint8_t>* d, uint64_t) {
             const size_t deep = UdfIdentifierNamed(*d, "Deep");
             PutLe32(d, deep + 24, Le32At(*d, UdfIdentifierNamed(*d, "Sources") + 24));
             SealTag(d, deep);
         }},
        {"iso truncated inside the file", "xorriso-rr", "sources/install.wim",
         [](std::vector<uint8_t>* d, uint64_t) { d->resize(d->size() - 400 * 1024); }},
        {"iso record longer than the image", "xorriso-rr", "sources/install.wim",
         [](std::vector<uint8_t>* d, uint64_t) { PutLe32(d, IsoRecordNamed(*d, "INSTALL.WIM") + 10, 0x7FFFFFFF); }},
        // Joliet's record of the file says more sections follow; none does.
        {"iso multi-extent never ends", "xorriso-joliet", "sources/install.wim",
         [](std::vector<uint8_t>* d, uint64_t) {
             (*d)[IsoRecordNamed(*d, std::string("\0i\0n\0s\0t\0a\0l\0l", 14)) + 25] |= 0x80;
         }},
        {"iso record shorter than its name", "xorriso-joliet", "sources/install.wim",
         [](std::vector<uint8_t>* d, uint64_t) {
             (*d)[IsoRecordNamed(*d, std::string("\0S\0o\0u\0r\0c\0e\0s", 14))] = 40;
         }},
    };
    for (const ImageCase& row : kImages) MakeImage(row, tree);
    for (const DamageCase& row : cases) {
        SCOPED_TRACE(row.name);
        const std::string original = TestPath(std::string(row.image) + ".iso");
        ASSERT_TRUE(Finds(original, row.path));
        std::vector<uint8_t> bytes = ReadWholeFile(original);
        row.damage(&bytes, wimSize);
        const std::string damaged = TestPath("damaged.iso");
        WriteWholeFile(damaged, bytes);
        EXPECT_FALSE(Finds(damaged, row.path));
        if (std::string(row.name) == "udf folder that holds itself") {
            EXPECT_TRUE(Finds(damaged, "sources/deep/deep/deep/install.wim"));
        }
    }
}

// Forms of UDF file entries that genisoimage does not write but other
// mastering tools do, made by rewriting its entries as ECMA-167 allows:
// extended file entries, long allocation descriptors, data inside the entry,
// and a descriptor list continued in an allocation extent descriptor.
void RewriteUdfEntry(std::vector<uint8_t>* d, size_t entry, uint16_t tag, uint16_t allocation,
                     const std::vector<uint8_t>& descriptors) {
    const size_t lengths = tag == 266 ? 208 : 168, first = lengths + 8;
    std::fill(d->begin() + long(entry + 64), d->begin() + long(entry + 2048), 0);
    (*d)[entry] = uint8_t(tag), (*d)[entry + 1] = uint8_t(tag >> 8);
    (*d)[entry + 34] = uint8_t(((*d)[entry + 34] & ~7) | allocation);
    PutLe32(d, entry + lengths + 4, uint32_t(descriptors.size()));
    std::copy(descriptors.begin(), descriptors.end(), d->begin() + long(entry + first));
    const size_t crcLength = first + descriptors.size() - 16;
    (*d)[entry + 10] = uint8_t(crcLength), (*d)[entry + 11] = uint8_t(crcLength >> 8);
    SealTag(d, entry);
}

std::vector<uint8_t> ShortAd(uint32_t length, uint32_t block) {
    std::vector<uint8_t> ad(8);
    PutLe32(&ad, 0, length);
    PutLe32(&ad, 4, block);
    return ad;
}

std::vector<uint8_t> LongAd(uint32_t length, uint32_t block) {
    std::vector<uint8_t> ad = ShortAd(length, block);
    ad.resize(16);
    return ad;
}

std::vector<uint8_t> operator+(std::vector<uint8_t> a, const std::vector<uint8_t>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

struct UdfFile {
    size_t entry;        // byte offset of its file entry
    uint32_t entryBlock; // in the partition
    uint32_t dataBlock;  // its first short_ad's
    std::vector<uint8_t> content;
};

UdfFile UdfFileOf(const std::vector<uint8_t>& d, const std::string& source) {
    UdfFile file;
    file.content = ReadWholeFile(source);
    file.entry = UdfEntryOfSize(d, file.content.size());
    file.entryBlock = Le32At(d, file.entry + 12);
    file.dataBlock = Le32At(d, file.entry + 176 + Le32At(d, file.entry + 168) + 4);
    return file;
}

TEST(ImageFiles, UdfEntryFormsOfOtherMasteringTools) {
    const std::string tree = MakeTree();
    const std::string original = MakeImage(kImages[0], tree);
    using Rewrite = std::function<void(std::vector<uint8_t>*, const UdfFile& wim, const UdfFile& deep,
                                       const UdfFile& readme)>;
    const struct {
        const char* name;
        Rewrite rewrite;
    } cases[] = {
        {"long allocation descriptors",
         [](std::vector<uint8_t>* d, const UdfFile& wim, const UdfFile& deep, const UdfFile&) {
             RewriteUdfEntry(d, wim.entry, 261, 1, LongAd(uint32_t(wim.content.size()), wim.dataBlock));
             RewriteUdfEntry(d, deep.entry, 261, 1, LongAd(uint32_t(deep.content.size()), deep.dataBlock));
         }},
        {"extended file entries, one holding its data",
         [](std::vector<uint8_t>* d, const UdfFile& wim, const UdfFile&, const UdfFile& readme) {
             RewriteUdfEntry(d, wim.entry, 266, 0, ShortAd(uint32_t(wim.content.size()), wim.dataBlock));
             RewriteUdfEntry(d, readme.entry, 266, 3, readme.content);
         }},
        // The data of MixedCase.Txt moves into its entry, and its block then
        // holds the rest of install.wim's descriptors, the file cut in two.
        {"data in the entry, descriptors continued",
         [](std::vector<uint8_t>* d, const UdfFile& wim, const UdfFile& deep, const UdfFile&) {
             RewriteUdfEntry(d, deep.entry, 261, 3, deep.content);
             const uint32_t head = 100 * 2048, aedBlock = deep.dataBlock;
             RewriteUdfEntry(d, wim.entry, 261, 0,
                             ShortAd(head, wim.dataBlock) + ShortAd(0xC0000000u | 2048, aedBlock));
             const size_t aed = deep.entry + size_t(aedBlock - deep.entryBlock) * 2048;
             std::fill(d->begin() + long(aed), d->begin() + long(aed) + 2048, 0);
             (*d)[aed] = 2, (*d)[aed + 1] = 1, (*d)[aed + 2] = 2, (*d)[aed + 10] = 16;
             PutLe32(d, aed + 12, aedBlock);
             PutLe32(d, aed + 20, 8);
             const std::vector<uint8_t> rest = ShortAd(uint32_t(wim.content.size()) - head, wim.dataBlock + 100);
             std::copy(rest.begin(), rest.end(), d->begin() + long(aed + 24));
             SealTag(d, aed);
         }},
    };
    for (const auto& row : cases) {
        SCOPED_TRACE(row.name);
        std::vector<uint8_t> bytes = ReadWholeFile(original);
        const UdfFile wim = UdfFileOf(bytes, tree + "/Sources/install.wim");
        const UdfFile deep = UdfFileOf(bytes, tree + "/Sources/Deep/Er/MixedCase.Txt");
        const UdfFile readme = UdfFileOf(bytes, tree + "/README.TXT");
        ASSERT_TRUE(wim.entry && deep.entry && readme.entry);
        row.rewrite(&bytes, wim, deep, readme);
        const std::string rewritten = TestPath("rewritten.iso");
        WriteWholeFile(rewritten, bytes);
        ExpectFileAsSource(rewritten, "sources/install.wim", tree + "/Sources/install.wim");
        ExpectFileAsSource(rewritten, "sources/deep/er/mixedcase.txt", tree + "/Sources/Deep/Er/MixedCase.Txt");
        ExpectFileAsSource(rewritten, "readme.txt", tree + "/README.TXT");
    }
}

void PutBothEndian32(std::vector<uint8_t>* d, size_t at, uint32_t value) {
    PutLe32(d, at, value);
    for (int i = 0; i < 4; ++i) (*d)[at + 4 + size_t(i)] = uint8_t(value >> (24 - 8 * i));
}

// A fault fixed: the sections of one multi-extent file with the zero padding
// at a sector's end between them were refused. The folder Sources of an
// xorriso image moves to two new sectors at the image's end, install.wim cut
// into two sections: the first is the last record of the first sector, the
// second opens the next.
TEST(ImageFiles, IsoSectionsOnBothSidesOfASectorEnd) {
    const std::string tree = MakeTree();
    std::vector<uint8_t> d = ReadWholeFile(MakeImage(kImages[2], tree));
    const size_t sources = IsoRecordNamed(d, "SOURCES");
    ASSERT_NE(sources, 0u);
    const size_t folder = size_t(Le32At(d, sources + 2)) * 2048;
    std::vector<uint8_t> first, wim;
    for (size_t at = folder; d[at] != 0; at += d[at]) {
        const std::vector<uint8_t> record(d.begin() + long(at), d.begin() + long(at + d[at]));
        const bool isWim = std::equal(record.begin() + 33, record.begin() + 44, "INSTALL.WIM");
        (isWim ? wim : first).insert((isWim ? wim : first).end(), record.begin(), record.end());
    }
    ASSERT_FALSE(wim.empty());
    std::vector<uint8_t> second = wim;
    const uint32_t head = 100 * 2048;
    wim[25] |= 0x80;
    PutBothEndian32(&wim, 10, head);
    PutBothEndian32(&second, 2, Le32At(wim, 2) + 100);
    PutBothEndian32(&second, 10, Le32At(second, 10) - head);
    first.insert(first.end(), wim.begin(), wim.end());
    first.resize(2048);
    first.insert(first.end(), second.begin(), second.end());
    first.resize(4096);
    PutBothEndian32(&d, sources + 2, uint32_t(d.size() / 2048));
    PutBothEndian32(&d, sources + 10, 4096);
    d.insert(d.end(), first.begin(), first.end());
    const std::string image = TestPath("sections.iso");
    WriteWholeFile(image, d);
    ExpectFileAsSource(image, "sources/install.wim", tree + "/Sources/install.wim", 2);
    ExpectFileAsSource(image, "sources/deep/er/mixedcase.txt", tree + "/Sources/Deep/Er/MixedCase.Txt");
}

// The front that the tests and people use: the bytes on stdout, exit 1 when missing.
TEST(ImageFiles, FrontPrintsExtentsAndCatsTheFile) {
    const std::string tree = MakeTree();
    const std::string image = MakeImage(kImages[0], tree);
    std::string output;
    EXPECT_EQ(RunShell(std::string(ISOFILE_TOOL) + " " + image + " 'sources\\install.wim' --cat | cmp - " + tree +
                           "/Sources/install.wim",
                       &output),
              0)
        << output;
    EXPECT_EQ(RunShell(std::string(ISOFILE_TOOL) + " " + image + " sources/install.wim", &output), 0);
    EXPECT_EQ(output.substr(0, output.find('\n')), std::to_string(ReadWholeFile(tree + "/Sources/install.wim").size()));
    EXPECT_EQ(RunShell(std::string(ISOFILE_TOOL) + " " + image + " sources/missing.wim", &output), 1);
}

// ---------------------------------------------------------------- large

// A sparse source with marked bytes at its start, around each place where
// the mastering tool cuts an extent, and at its end.
std::string MakeLargeSource(const std::string& name, uint64_t size, const std::vector<uint64_t>& marks) {
    const std::string tree = TestPath(name);
    std::string output, command = "rm -rf " + tree + " && mkdir -p " + tree + "/sources && truncate -s " +
                                  std::to_string(size) + " " + tree + "/sources/install.wim";
    for (uint64_t mark : marks)
        command += " && head -c 65536 /dev/urandom | dd of=" + tree + "/sources/install.wim bs=65536 seek=" +
                   std::to_string(mark - 32768) + " oflag=seek_bytes iflag=fullblock conv=notrunc status=none";
    EXPECT_EQ(RunShell(command, &output), 0) << output;
    return tree;
}

TEST(ImageFiles, LargeFilesInSeveralExtents) {
    const uint64_t GiB = 1ull << 30;
    struct LargeCase {
        const char* name;
        const char* command;
        uint64_t size;
        std::vector<uint64_t> marks;
        size_t minExtents;
    } cases[] = {
        // UDF: extents of 1 GiB - 2 KiB.
        {"large-udf", "genisoimage -quiet -udf -allow-limited-size -hide install.wim -o IMAGE TREE",
         GiB + 5 * 1024 * 1024,
         {32768, GiB - 2048, GiB + 5 * 1024 * 1024 - 32768}, 2},
        // ISO 9660: sections of 4 GiB - 2 KiB.
        {"large-iso", "xorriso -as mkisofs -quiet -iso-level 3 -o IMAGE TREE", 4 * GiB + 3 * 1024 * 1024,
         {32768, 4 * GiB - 2048, 4 * GiB + 3 * 1024 * 1024 - 32768}, 2},
    };
    for (const LargeCase& row : cases) {
        SCOPED_TRACE(row.name);
        const std::string tree = MakeLargeSource(row.name, row.size, row.marks);
        const ImageCase image = {row.name, row.command, ""};
        const std::string path = MakeImage(image, tree);
        ExpectFileAsSource(path, "SOURCES\\INSTALL.WIM", tree + "/sources/install.wim", row.minExtents);
        std::string output;
        RunShell("rm -rf " + path + " " + tree, &output);
    }
}

}  // namespace
