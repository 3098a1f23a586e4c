#include "ImageDisk.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <stdexcept>

static bool ReadImage(void* context, uint64_t firstSector, uint32_t count, uint8_t* out) {
    const ImageDisk* disk = static_cast<const ImageDisk*>(context);
    if (firstSector < disk->fileFirstSector) return false;
    const size_t size = size_t(count) * disk->device.sectorSize;
    const off_t offset = off_t((firstSector - disk->fileFirstSector) * disk->device.sectorSize);
    return pread(disk->fd, out, size, offset) == ssize_t(size);
}

static bool WriteImage(void* context, uint64_t firstSector, uint32_t count, const uint8_t* data) {
    ImageDisk* disk = static_cast<ImageDisk*>(context);
    ++disk->writeCalls;
    if (firstSector < disk->fileFirstSector) return false;
    if (disk->failFromWrite != 0 && disk->writeCalls >= disk->failFromWrite) return false;
    const size_t size = size_t(count) * disk->device.sectorSize;
    const off_t offset = off_t((firstSector - disk->fileFirstSector) * disk->device.sectorSize);
    if (pwrite(disk->fd, data, size, offset) != ssize_t(size)) return false;
    disk->bytesWritten += size;
    return true;
}

std::string TestImagePath(const std::string& name) {
    mkdir(BOOTICE_TEST_FOLDER, 0755);
    return std::string(BOOTICE_TEST_FOLDER) + "/" + name;
}

void OpenImageDisk(const std::string& name, uint64_t sectorCount, uint32_t sectorSize, uint64_t fileFirstSector,
                   ImageDisk* disk) {
    disk->path = TestImagePath(name);
    unlink(disk->path.c_str());
    disk->fd = open(disk->path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (disk->fd < 0 || ftruncate(disk->fd, off_t((sectorCount - fileFirstSector) * sectorSize)) != 0)
        throw std::runtime_error("cannot make " + disk->path);
    disk->fileFirstSector = fileFirstSector;
    disk->device.sectorCount = sectorCount;
    disk->device.sectorSize = sectorSize;
    disk->device.context = disk;
    disk->device.read = ReadImage;
    disk->device.write = WriteImage;
}

void CloseImageDisk(ImageDisk* disk, bool keepFile) {
    if (disk->fd >= 0) close(disk->fd);
    disk->fd = -1;
    if (!keepFile) unlink(disk->path.c_str());
}

std::vector<uint8_t> ReadDiskBytes(const ImageDisk& disk, uint64_t diskOffset, size_t size) {
    std::vector<uint8_t> bytes(size);
    const off_t offset = off_t(diskOffset - disk.fileFirstSector * disk.device.sectorSize);
    if (pread(disk.fd, bytes.data(), size, offset) != ssize_t(size)) throw std::runtime_error("short read");
    return bytes;
}

void WriteDiskBytes(const ImageDisk& disk, uint64_t diskOffset, const std::vector<uint8_t>& bytes) {
    const off_t offset = off_t(diskOffset - disk.fileFirstSector * disk.device.sectorSize);
    if (pwrite(disk.fd, bytes.data(), bytes.size(), offset) != ssize_t(bytes.size()))
        throw std::runtime_error("short write");
}
