// wimsplit for Linux: the splitter on files, for the tests and the benchmark.
//
//   wimsplit SOURCE.wim FIRST_PART.swm PART_MIB
//   wimsplit --image IMAGE.iso PATH/IN/IMAGE FIRST_PART.swm PART_MIB
//
// With --image the Windows image is read in place out of the ISO image, as
// the program reads it.
// Exit 0 when every part is written; otherwise 1 (bad arguments), 2 (the
// image is refused, the reason on stderr), 3 (a read or write failed) or
// 4 (stopped by SIGINT or SIGTERM). Whatever the failure, no part is left
// behind.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "common/FileIo_linux.h"
#include "iso/ImageFiles.h"
#include "wim/WimSplit.h"

namespace {

volatile sig_atomic_t stopRequested = 0;

void OnSignal(int) { stopRequested = 1; }

struct PartFiles {
    std::string firstName;
    int fd = -1;
    int created = 0;  // parts 1..created exist
};

}  // namespace

int main(int argc, char** argv) {
    const char* image = nullptr;
    if (argc == 6 && std::strcmp(argv[1], "--image") == 0) {
        image = argv[2];
        argv += 2;
        argc -= 2;
    }
    if (argc != 4) {
        std::fprintf(stderr, "usage: wimsplit [--image IMAGE.iso] SOURCE.wim FIRST_PART.swm PART_MIB\n");
        return 1;
    }
    char* end = nullptr;
    const unsigned long long partMiB = std::strtoull(argv[3], &end, 10);
    if (!end || *end || partMiB == 0 || partMiB > 4096) {
        std::fprintf(stderr, "wimsplit: PART_MIB must be 1 to 4096\n");
        return 1;
    }
    const char* file = image ? image : argv[1];
    const int sourceFd = open(file, O_RDONLY | O_CLOEXEC);
    struct stat info;
    if (sourceFd < 0 || fstat(sourceFd, &info) != 0) {
        std::fprintf(stderr, "wimsplit: %s: %s\n", file, std::strerror(errno));
        return 3;
    }
    const ByteSource whole = FileByteSource(sourceFd, uint64_t(info.st_size));
    ByteSource source = whole;
    if (image) {
        std::vector<Extent> extents;
        uint64_t size = 0;
        if (!FindImageFile(whole, argv[1], &extents, &size)) {
            std::fprintf(stderr, "wimsplit: %s: no %s that can be read in place\n", image, argv[1]);
            return 3;
        }
        source = ImageFileSource(whole, extents, size);
    }

    WimSplitPlan plan;
    if (PlanWimSplit(source, partMiB << 20, &plan) != WimRefusal::None) {
        std::fprintf(stderr, "wimsplit: %s: %s (%s)\n", argv[1], WimRefusalText(plan.refusal), plan.detail.c_str());
        return 2;
    }
    posix_fadvise(sourceFd, 0, 0, POSIX_FADV_SEQUENTIAL);

    std::signal(SIGINT, OnSignal);
    std::signal(SIGTERM, OnSignal);
    PartFiles files;
    files.firstName = argv[2];
    WimPartSink sink;
    sink.openPart = [&](int part) {
        const std::string name = WimPartName(files.firstName, part);
        // A part named like the source would truncate what is being read.
        struct stat existing;
        if (stat(name.c_str(), &existing) == 0 && existing.st_dev == info.st_dev && existing.st_ino == info.st_ino) {
            std::fprintf(stderr, "wimsplit: %s is the source\n", name.c_str());
            return false;
        }
        files.fd = open(name.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (files.fd < 0) return false;
        files.created = part;
        return true;
    };
    sink.write = [&](const void* data, size_t count) { return WriteFully(files.fd, data, count); };
    sink.closePart = [&](int, bool) {
        const bool closed = close(files.fd) == 0;
        files.fd = -1;
        return closed;
    };
    const WimWriteOutcome outcome = WriteWimParts(source, plan, sink, nullptr, [] { return stopRequested != 0; });
    close(sourceFd);
    if (outcome == WimWriteOutcome::Written) return 0;
    for (int part = 1; part <= files.created; ++part) unlink(WimPartName(files.firstName, part).c_str());
    switch (outcome) {
    case WimWriteOutcome::Stopped: std::fprintf(stderr, "wimsplit: stopped\n"); return 4;
    case WimWriteOutcome::ReadFailed: std::fprintf(stderr, "wimsplit: %s: read failed\n", argv[1]); return 3;
    default: std::fprintf(stderr, "wimsplit: writing %s failed\n", argv[2]); return 3;
    }
}
