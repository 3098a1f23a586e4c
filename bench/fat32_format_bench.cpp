// FAT32 format of a 64 GiB sparse image: prints the time taken and the bytes
// written relative to the image's size. Not a test; run it by hand:
//   fat32_format_bench [IMAGE-PATH]   (default: fat32_bench.img beside the program)
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>

#include "bootice/Fat32Format.h"

struct BenchImage {
    int fd = -1;
    uint64_t bytesWritten = 0;
    uint64_t bytesRead = 0;
};

static bool ReadBench(void* context, uint64_t firstSector, uint32_t count, uint8_t* out) {
    BenchImage* image = static_cast<BenchImage*>(context);
    const size_t size = size_t(count) * 512;
    image->bytesRead += size;
    return pread(image->fd, out, size, off_t(firstSector * 512)) == ssize_t(size);
}

static bool WriteBench(void* context, uint64_t firstSector, uint32_t count, const uint8_t* data) {
    BenchImage* image = static_cast<BenchImage*>(context);
    const size_t size = size_t(count) * 512;
    image->bytesWritten += size;
    return pwrite(image->fd, data, size, off_t(firstSector * 512)) == ssize_t(size);
}

int main(int argc, char** argv) {
    const std::string program = argv[0];
    const size_t slash = program.find_last_of('/');
    const std::string path =
        argc > 1 ? argv[1] : (slash == std::string::npos ? "" : program.substr(0, slash + 1)) + "fat32_bench.img";
    const uint64_t imageBytes = 64ull << 30;
    BenchImage image;
    image.fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
    if (image.fd < 0 || ftruncate(image.fd, off_t(imageBytes)) != 0) {
        std::fprintf(stderr, "cannot make %s\n", path.c_str());
        return 1;
    }
    BlockDevice disk;
    disk.sectorCount = imageBytes / 512;
    disk.context = &image;
    disk.read = ReadBench;
    disk.write = WriteBench;
    PartitionLayout layout;
    layout.firstSector = 2048;
    layout.sectorCount = disk.sectorCount - 2048;
    layout.typeCode = 0x0C;

    std::string report, error;
    const auto start = std::chrono::steady_clock::now();
    const bool ok = FormatFat32(&disk, layout, 0x1234ABCD, &report, &error) && fsync(image.fd) == 0;
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    close(image.fd);
    unlink(path.c_str());
    if (!ok) {
        std::fprintf(stderr, "format failed: %s\n", error.c_str());
        return 1;
    }
    std::printf("FAT32 format of a 64 GiB image: %s\n", report.c_str());
    std::printf("time: %.3f s (aim: under 3 s)\n", seconds);
    std::printf("written: %llu bytes = %.4f %% of the image (aim: under 0.1 %%)\n",
                static_cast<unsigned long long>(image.bytesWritten), 100.0 * double(image.bytesWritten) / double(imageBytes));
    std::printf("read back: %llu bytes\n", static_cast<unsigned long long>(image.bytesRead));
    return 0;
}
