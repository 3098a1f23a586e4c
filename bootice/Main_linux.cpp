// bootice for Linux: the boot tool's three commands on a disk image file
// (/device=IMAGEFILE). NTFS and exFAT are made by Debian's mkntfs and
// mkfs.exfat on a partition-sized file that is then spliced into the image.
#include <fcntl.h>
#include <spawn.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "bootice/BootTool.h"
#include "bootice/PartitionTable.h"
#include "bootice/Sectors.h"

extern char** environ;

struct ImageFile {
    int fd = -1;
    std::string path;
    BlockDevice* disk = nullptr;
};

static bool ReadImage(void* context, uint64_t firstSector, uint32_t count, uint8_t* out) {
    const ImageFile* image = static_cast<const ImageFile*>(context);
    size_t left = size_t(count) * image->disk->sectorSize;
    off_t offset = off_t(firstSector * image->disk->sectorSize);
    while (left > 0) {
        const ssize_t n = pread(image->fd, out, left, offset);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        out += n;
        offset += n;
        left -= size_t(n);
    }
    return true;
}

static bool WriteImage(void* context, uint64_t firstSector, uint32_t count, const uint8_t* data) {
    const ImageFile* image = static_cast<const ImageFile*>(context);
    size_t left = size_t(count) * image->disk->sectorSize;
    off_t offset = off_t(firstSector * image->disk->sectorSize);
    while (left > 0) {
        const ssize_t n = pwrite(image->fd, data, left, offset);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        offset += n;
        left -= size_t(n);
    }
    return true;
}

static uint32_t RandomSignature(void*) {
    uint32_t value = 0;
    while (getrandom(&value, sizeof value, 0) < 0 && errno == EINTR) {
    }
    return value;
}

// The last line a formatter wrote to its error output: its own reason.
static std::string LastLine(FILE* file) {
    std::string text, line;
    char buffer[4096];
    rewind(file);
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, file)) > 0) text.append(buffer, n);
    size_t end = text.find_last_not_of(" \r\n");
    if (end == std::string::npos) return "";
    size_t start = text.find_last_of("\r\n", end);
    return text.substr(start == std::string::npos ? 0 : start + 1, end - (start == std::string::npos ? 0 : start + 1) + 1);
}

// Runs a formatter silently (on an image file mkntfs always warns that it is
// not a block device); its error output becomes part of a failure's message.
static bool RunFormatter(const std::vector<std::string>& arguments, const char* package, std::string* error) {
    std::vector<char*> argv;
    for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    FILE* errors = tmpfile();
    if (!errors) {
        *error = std::string("cannot make a temporary file: ") + std::strerror(errno);
        return false;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, fileno(errors), 2);
    pid_t pid = 0;
    int failure = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    if (failure != 0) {
        // Debian keeps the formatters in /usr/sbin, off an ordinary user's PATH.
        const std::string inSbin = "/usr/sbin/" + arguments[0];
        argv[0] = const_cast<char*>(inSbin.c_str());
        failure = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    }
    posix_spawn_file_actions_destroy(&actions);
    bool ok = false;
    int status = 0;
    pid_t waited = -1;
    if (failure == 0) {
        do waited = waitpid(pid, &status, 0);
        while (waited < 0 && errno == EINTR);
    }
    if (failure != 0) {
        *error = arguments[0] + " cannot be started (" + std::strerror(failure) + "; Debian package " + package + ")";
    } else if (waited < 0) {
        *error = arguments[0] + " was lost while it ran";
    } else if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        *error = arguments[0] + " failed (" +
                 (WIFEXITED(status) ? "exit code " + std::to_string(WEXITSTATUS(status)) : std::string("killed")) +
                 "): " + LastLine(errors);
    } else {
        ok = true;
    }
    fclose(errors);
    return ok;
}

// Copies the parts of the formatted file that hold data into the image at
// `offset`; the holes are space the formatter never wrote.
static bool SpliceFile(int from, const ImageFile& image, off_t offset, off_t size, std::string* error) {
    std::vector<uint8_t> buffer(1 << 20);
    off_t data = 0;
    while (data < size) {
        off_t start = lseek(from, data, SEEK_DATA);
        if (start < 0 && errno == ENXIO) break;
        off_t end = start < 0 ? size : lseek(from, start, SEEK_HOLE);
        if (start < 0) start = data;  // no hole support: copy everything
        if (end < 0 || end > size) end = size;
        for (off_t at = start; at < end;) {
            const size_t n = size_t(end - at < off_t(buffer.size()) ? end - at : off_t(buffer.size()));
            if (pread(from, buffer.data(), n, at) != ssize_t(n) ||
                pwrite(image.fd, buffer.data(), n, offset + at) != ssize_t(n)) {
                *error = "cannot copy the new volume into " + image.path + ": " + std::strerror(errno);
                return false;
            }
            at += off_t(n);
        }
        data = end;
    }
    return true;
}

static bool FormatWithLinuxTool(void* context, FileSystem fileSystem, const PartitionLayout& layout,
                                std::string* error) {
    const ImageFile& image = *static_cast<const ImageFile*>(context);
    const uint32_t sectorSize = image.disk->sectorSize;
    std::string temporary = image.path + ".format-XXXXXX";
    const int fd = mkstemp(&temporary[0]);
    if (fd < 0) {
        *error = "cannot make a temporary file beside " + image.path + ": " + std::strerror(errno);
        return false;
    }
    const off_t size = off_t(layout.sectorCount * sectorSize);
    bool done = ftruncate(fd, size) == 0;
    if (!done) *error = "cannot size the temporary file " + temporary + ": " + std::strerror(errno);
    if (done && fileSystem == FileSystem::Ntfs) {
        done = RunFormatter({"mkntfs", "-F", "-Q", "-q", "-p", std::to_string(layout.firstSector), "-s",
                             std::to_string(sectorSize), "-H", "255", "-S", "63", temporary},
                            "ntfs-3g", error);
    } else if (done) {
        done = RunFormatter({"mkfs.exfat", temporary}, "exfatprogs", error);
    }
    done = done && SpliceFile(fd, image, off_t(layout.firstSector * sectorSize), size, error);
    close(fd);
    unlink(temporary.c_str());
    if (!done) return false;

    if (fileSystem == FileSystem::Exfat)
        return SetExfatPartitionOffset(image.disk, layout.firstSector, layout.firstSector, error);
    std::vector<uint8_t> boot(sectorSize);
    if (!ReadSectors(image.disk, layout.firstSector, 1, boot.data(), error)) return false;
    if (Get32(boot.data() + 28) != layout.firstSector) {
        *error = "mkntfs left HiddenSectors at " + std::to_string(Get32(boot.data() + 28));
        return false;
    }
    return true;
}

int main(int argc, char** argv) {
    const std::vector<std::string> arguments(argv + 1, argv + argc);
    BootCommand command;
    std::string message;
    if (!ParseBootCommand(arguments, &command, &message)) {
        std::fprintf(stderr, "bootice: %s\n", message.c_str());
        return 2;
    }
    ImageFile image;
    image.path = command.device;
    image.fd = open(image.path.c_str(), O_RDWR | O_CLOEXEC);
    struct stat info;
    if (image.fd < 0 || fstat(image.fd, &info) != 0) {
        std::fprintf(stderr, "bootice: cannot open %s: %s\n", image.path.c_str(), std::strerror(errno));
        return 1;
    }
    // Real disks are prepared by bootice.exe on Windows; here only image files.
    if (!S_ISREG(info.st_mode)) {
        std::fprintf(stderr, "bootice: %s is not a disk image file\n", image.path.c_str());
        return 1;
    }
    BlockDevice disk;
    disk.sectorSize = 512;
    disk.sectorCount = uint64_t(info.st_size) / disk.sectorSize;
    disk.context = &image;
    disk.read = ReadImage;
    disk.write = WriteImage;
    image.disk = &disk;
    FrontHooks hooks;
    hooks.context = &image;
    hooks.formatWithSystem = FormatWithLinuxTool;
    hooks.newDiskSignature = RandomSignature;

    bool ok = RunBootCommand(command, &disk, hooks, &message);
    if (fsync(image.fd) != 0 && ok) {
        message = "cannot flush " + image.path + ": " + std::strerror(errno);
        ok = false;
    }
    close(image.fd);
    if (!ok) {
        std::fprintf(stderr, "bootice: %s\n", message.c_str());
        return 1;
    }
    if (!message.empty()) std::printf("%s\n", message.c_str());
    return 0;
}
