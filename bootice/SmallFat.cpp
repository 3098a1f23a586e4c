#include "bootice/SmallFat.h"

#include <cstring>

#include "bootice/Sectors.h"

static const uint32_t kClusterBytes = 2048;
static const uint32_t kFat12Limit = 4085;   // fewer clusters: FAT12
static const uint32_t kFat16Limit = 65525;  // fewer clusters: FAT16
// Distance kept from those limits: implementations that count a cluster or
// two differently would take the volume for the other FAT type.
static const uint32_t kLimitMargin = 16;
static const uint32_t kMinimumClusters = 16;
// 1980-01-01, the first day FAT can note: the core has no clock.
static const uint16_t kFatEpochDate = 0x0021;

// Sizes the FATs for the volume's sectors: grown until they cover every
// cluster that is left beside them.
static void LayOut(SmallFatGeometry* g) {
    const uint64_t bitsPerSector = uint64_t(g->sectorSize) * 8;
    uint32_t fat = 1;
    for (;;) {
        const int64_t data = int64_t(g->totalSectors) - g->reservedSectors - 2ll * fat - g->rootSectors;
        const uint64_t clusters = data > 0 ? uint64_t(data) / g->sectorsPerCluster : 0;
        const uint64_t needed = ((clusters + 2) * g->fatBits + bitsPerSector - 1) / bitsPerSector;
        if (needed <= fat) {
            g->clusterCount = uint32_t(clusters);
            break;
        }
        fat = uint32_t(needed);
    }
    g->fatSectors = fat;
}

bool PlanSmallFat(uint64_t sectorCount, uint32_t sectorSize, SmallFatGeometry* geometry, std::string* error) {
    if (sectorSize < 512 || sectorSize > 4096 || (sectorSize & (sectorSize - 1)) != 0) {
        *error = "FAT needs sectors of 512 to 4096 bytes, not " + std::to_string(sectorSize);
        return false;
    }
    SmallFatGeometry g;
    g.sectorSize = sectorSize;
    g.sectorsPerCluster = kClusterBytes > sectorSize ? kClusterBytes / sectorSize : 1;
    g.rootSectors = (g.rootEntries * 32 + sectorSize - 1) / sectorSize;
    g.totalSectors = uint32_t(sectorCount < 0xFFFFFFFFull ? sectorCount : 0xFFFFFFFFull);
    g.fatBits = 12;
    LayOut(&g);
    if (g.clusterCount >= kFat12Limit - kLimitMargin) {
        SmallFatGeometry g16 = g;
        g16.fatBits = 16;
        LayOut(&g16);
        if (g16.clusterCount >= kFat12Limit + kLimitMargin) {
            g = g16;
        } else {
            // Near the limit: FAT12 over fewer sectors than the partition has.
            const uint32_t clusters = kFat12Limit - kLimitMargin - 1;
            const uint64_t bitsPerSector = uint64_t(sectorSize) * 8;
            const uint32_t fat = uint32_t(((clusters + 2ull) * 12 + bitsPerSector - 1) / bitsPerSector);
            g.totalSectors = g.reservedSectors + 2 * fat + g.rootSectors + clusters * g.sectorsPerCluster;
            LayOut(&g);
        }
    }
    if (g.clusterCount < kMinimumClusters) {
        *error = "the partition (" + std::to_string(sectorCount * sectorSize / 1024) + " KiB) is too small for FAT";
        return false;
    }
    if (g.clusterCount >= kFat16Limit - kLimitMargin) {
        *error = "the partition is too large for the small FAT formatter";
        return false;
    }
    *geometry = g;
    return true;
}

static void PutFatEntry(const SmallFatGeometry& g, uint8_t* fat, uint32_t cluster, uint32_t value) {
    if (g.fatBits == 16) {
        Put16(fat + 2 * cluster, uint16_t(value));
        return;
    }
    uint8_t* p = fat + cluster * 3 / 2;
    if (cluster & 1) {
        p[0] = uint8_t((p[0] & 0x0F) | ((value & 0x0F) << 4));
        p[1] = uint8_t(value >> 4);
    } else {
        p[0] = uint8_t(value);
        p[1] = uint8_t((p[1] & 0xF0) | ((value >> 8) & 0x0F));
    }
}

// "BOOTX64.EFI" -> "BOOTX64 EFI"; false for what is not an upper-case 8.3 name.
static bool ShortName(const std::string& name, char out[11]) {
    const size_t dot = name.find('.');
    const std::string base = name.substr(0, dot);
    const std::string extension = dot == std::string::npos ? "" : name.substr(dot + 1);
    if (base.empty() || base.size() > 8 || extension.size() > 3 ||
        (dot != std::string::npos && extension.empty()))
        return false;
    for (char c : base + extension) {
        if (!((c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || std::strchr("_-~!#$%&'()@^`{}", c)))
            return false;
    }
    std::memset(out, ' ', 11);
    std::memcpy(out, base.data(), base.size());
    std::memcpy(out + 8, extension.data(), extension.size());
    return true;
}

struct FatNode {
    char name[11];
    bool folder = false;
    const FatFile* file = nullptr;
    int parent = -1;  // -1: in the root folder
    std::vector<int> children;
    uint32_t firstCluster = 0;
    uint32_t clusters = 0;
};

static void PutEntry(uint8_t* entry, const char name[11], uint8_t attributes, uint32_t cluster, uint32_t size) {
    std::memcpy(entry, name, 11);
    entry[11] = attributes;
    Put16(entry + 16, kFatEpochDate);  // created
    Put16(entry + 18, kFatEpochDate);  // last read
    Put16(entry + 24, kFatEpochDate);  // written
    Put16(entry + 26, uint16_t(cluster));
    Put32(entry + 28, size);
}


static void BuildBootSector(const SmallFatGeometry& g, uint32_t hiddenSectors, uint32_t volumeSerial,
                            const char label[11], uint8_t* sector) {
    sector[0] = 0xEB;
    sector[1] = 0x3C;
    sector[2] = 0x90;
    std::memcpy(sector + 3, "MSWIN4.1", 8);
    Put16(sector + 11, uint16_t(g.sectorSize));
    sector[13] = uint8_t(g.sectorsPerCluster);
    Put16(sector + 14, uint16_t(g.reservedSectors));
    sector[16] = 2;
    Put16(sector + 17, uint16_t(g.rootEntries));
    if (g.totalSectors < 0x10000) Put16(sector + 19, uint16_t(g.totalSectors));
    else Put32(sector + 32, g.totalSectors);
    sector[21] = 0xF8;
    Put16(sector + 22, uint16_t(g.fatSectors));
    Put16(sector + 24, 63);
    Put16(sector + 26, 255);
    Put32(sector + 28, hiddenSectors);
    sector[36] = 0x80;
    sector[38] = 0x29;
    Put32(sector + 39, volumeSerial);
    std::memcpy(sector + 43, label, 11);
    std::memcpy(sector + 54, g.fatBits == 12 ? "FAT12   " : "FAT16   ", 8);
    PutNoBootCode(sector, 62, "This partition holds UEFI loaders only.\r\n");
    sector[510] = 0x55;
    sector[511] = 0xAA;
}

bool BuildSmallFatVolume(const SmallFatGeometry& g, uint32_t hiddenSectors, uint32_t volumeSerial,
                         const std::string& label, const std::vector<FatFile>& files, std::vector<uint8_t>* image,
                         std::string* error) {
    char labelName[11];
    std::memset(labelName, ' ', 11);
    if (label.empty() || label.size() > 11) {
        *error = "the volume label \"" + label + "\" does not fit FAT";
        return false;
    }
    std::memcpy(labelName, label.data(), label.size());

    // The tree: folders as the paths name them, in the order first named.
    std::vector<FatNode> nodes;
    std::vector<int> root;
    for (const FatFile& file : files) {
        int parent = -1;
        size_t at = 0;
        for (;;) {
            const size_t slash = file.path.find('/', at);
            const bool last = slash == std::string::npos;
            const std::string part = file.path.substr(at, last ? std::string::npos : slash - at);
            char name[11];
            if (!ShortName(part, name)) {
                *error = "\"" + file.path + "\" is not a path of upper-case 8.3 names";
                return false;
            }
            int found = -1;
            for (int sibling : parent < 0 ? root : nodes[size_t(parent)].children)
                if (std::memcmp(nodes[size_t(sibling)].name, name, 11) == 0) found = sibling;
            if (found >= 0 && (last || !nodes[size_t(found)].folder)) {
                *error = "\"" + file.path + "\" names a file twice or a file as a folder";
                return false;
            }
            if (found < 0) {
                FatNode node;
                std::memcpy(node.name, name, 11);
                node.folder = !last;
                node.file = last ? &file : nullptr;
                node.parent = parent;
                found = int(nodes.size());
                nodes.push_back(node);  // may move the nodes: their children are found again below
                (parent < 0 ? root : nodes[size_t(parent)].children).push_back(found);
            }
            if (last) break;
            parent = found;
            at = slash + 1;
        }
    }
    if (root.size() + 1 > g.rootEntries) {
        *error = "the root folder cannot hold " + std::to_string(root.size()) + " entries";
        return false;
    }

    // Clusters in order: the folders, then the files, each contiguous.
    const uint64_t clusterBytes = uint64_t(g.sectorsPerCluster) * g.sectorSize;
    uint64_t next = 2;
    for (int pass = 0; pass < 2; ++pass) {
        for (FatNode& node : nodes) {
            if (node.folder != (pass == 0)) continue;
            const uint64_t bytes = node.folder ? (node.children.size() + 2) * 32 : node.file->size;
            node.clusters = uint32_t((bytes + clusterBytes - 1) / clusterBytes);
            node.firstCluster = node.clusters ? uint32_t(next) : 0;
            next += node.clusters;
        }
    }
    const uint64_t used = next - 2;
    if (used > g.clusterCount) {
        *error = "the files need " + std::to_string(used * clusterBytes / 1024) + " KiB; the FAT volume has " +
                 std::to_string(uint64_t(g.clusterCount) * clusterBytes / 1024) + " KiB";
        return false;
    }

    const uint32_t size = g.sectorSize;
    const uint64_t fatStart = uint64_t(g.reservedSectors) * size;
    const uint64_t rootStart = fatStart + 2ull * g.fatSectors * size;
    const uint64_t dataStart = rootStart + uint64_t(g.rootSectors) * size;
    image->assign(size_t(dataStart + used * clusterBytes), 0);
    uint8_t* const bytes = image->data();
    BuildBootSector(g, hiddenSectors, volumeSerial, labelName, bytes);

    uint8_t* const fat = bytes + fatStart;
    PutFatEntry(g, fat, 0, g.fatBits == 12 ? 0xFF8 : 0xFFF8);
    PutFatEntry(g, fat, 1, g.fatBits == 12 ? 0xFFF : 0xFFFF);
    const uint32_t endOfChain = g.fatBits == 12 ? 0xFFF : 0xFFFF;
    for (const FatNode& node : nodes) {
        for (uint32_t i = 0; i < node.clusters; ++i)
            PutFatEntry(g, fat, node.firstCluster + i, i + 1 < node.clusters ? node.firstCluster + i + 1 : endOfChain);
    }
    std::memcpy(fat + uint64_t(g.fatSectors) * size, fat, uint64_t(g.fatSectors) * size);

    PutEntry(bytes + rootStart, labelName, 0x08, 0, 0);
    auto putChildren = [&](const std::vector<int>& children, uint8_t* entry) {
        for (int child : children) {
            const FatNode& node = nodes[size_t(child)];
            PutEntry(entry, node.name, node.folder ? 0x10 : 0x20, node.firstCluster,
                     node.folder ? 0 : uint32_t(node.file->size));
            entry += 32;
        }
    };
    putChildren(root, bytes + rootStart + 32);
    for (const FatNode& node : nodes) {
        if (node.folder) {
            uint8_t* entry = bytes + dataStart + (node.firstCluster - 2) * clusterBytes;
            PutEntry(entry, ".          ", 0x10, node.firstCluster, 0);
            PutEntry(entry + 32, "..         ", 0x10,
                     node.parent < 0 ? 0 : nodes[size_t(node.parent)].firstCluster, 0);
            putChildren(node.children, entry + 64);
        } else if (node.file->size) {
            std::memcpy(bytes + dataStart + (node.firstCluster - 2) * clusterBytes, node.file->bytes, node.file->size);
        }
    }
    return true;
}

bool WriteSmallFatVolume(BlockDevice* disk, uint64_t firstSector, uint64_t sectorCount, uint32_t volumeSerial,
                         const std::string& label, const std::vector<FatFile>& files, std::string* report,
                         std::string* error) {
    SmallFatGeometry g;
    if (!PlanSmallFat(sectorCount, disk->sectorSize, &g, error)) return false;
    if (firstSector + sectorCount > disk->sectorCount || firstSector > 0xFFFFFFFFull) {
        *error = "the FAT partition lies outside the disk";
        return false;
    }
    std::vector<uint8_t> image;
    if (!BuildSmallFatVolume(g, uint32_t(firstSector), volumeSerial, label, files, &image, error)) return false;
    // Sector 0 last: a volume whose writing stopped half-way is not taken
    // for a FAT volume.
    const uint32_t sectors = uint32_t(image.size() / g.sectorSize);
    if (!WriteSectorsVerified(disk, firstSector + 1, sectors - 1, image.data() + g.sectorSize, error) ||
        !WriteSectorsVerified(disk, firstSector, 1, image.data(), error))
        return false;
    *report = std::string(g.fatBits == 12 ? "FAT12" : "FAT16") + " with " + std::to_string(files.size()) +
              (files.size() == 1 ? " file" : " files");
    return true;
}
