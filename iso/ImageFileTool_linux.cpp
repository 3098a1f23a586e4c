// isofile IMAGE PATH [--cat]: where a file of an ISO image lies, as this
// program's reader sees it. Prints the size and one "offset length" line per
// extent, or with --cat writes the file's bytes to stdout read through those
// extents. Exit 1 when the file is missing or the image cannot be read with
// certainty, 2 on a usage or output error.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "common/FileIo_linux.h"
#include "iso/ImageFiles.h"

int main(int argc, char** argv) {
    const bool cat = argc == 4 && std::strcmp(argv[3], "--cat") == 0;
    if (argc != 3 && !cat) {
        std::fprintf(stderr, "usage: isofile IMAGE PATH [--cat]\n");
        return 2;
    }
    const int fd = open(argv[1], O_RDONLY | O_CLOEXEC);
    struct stat info;
    if (fd < 0 || fstat(fd, &info) != 0) {
        std::fprintf(stderr, "isofile: cannot open %s: %s\n", argv[1], std::strerror(errno));
        return 1;
    }
    const ByteSource image = FileByteSource(fd, uint64_t(info.st_size));
    std::vector<Extent> extents;
    uint64_t size = 0;
    if (!FindImageFile(image, argv[2], &extents, &size)) {
        std::fprintf(stderr, "isofile: %s not found or not readable in place in %s\n", argv[2], argv[1]);
        return 1;
    }
    if (!cat) {
        std::printf("%" PRIu64 "\n", size);
        for (const Extent& extent : extents) std::printf("%" PRIu64 " %" PRIu64 "\n", extent.offset, extent.length);
        return std::fflush(stdout) == 0 ? 0 : 2;
    }
    const ByteSource file = ImageFileSource(image, extents, size);
    std::vector<uint8_t> buffer(1 << 20);
    for (uint64_t at = 0; at < size;) {
        const size_t count = size_t(std::min<uint64_t>(buffer.size(), size - at));
        if (!file.readAt(at, buffer.data(), count)) {
            std::fprintf(stderr, "isofile: read failed at byte %" PRIu64 "\n", at);
            return 1;
        }
        if (!WriteFully(1, buffer.data(), count)) return 2;
        at += count;
    }
    return 0;
}
