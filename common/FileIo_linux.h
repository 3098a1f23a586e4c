// File descriptors read and written whole, for the Linux fronts of the
// portable readers (wimsplit, isofile): short reads and EINTR are retried,
// and a file becomes a ByteSource.
#pragma once
#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "common/ByteSource.h"

inline bool ReadFullyAt(int fd, uint64_t offset, void* buffer, size_t count) {
    uint8_t* out = static_cast<uint8_t*>(buffer);
    while (count > 0) {
        const ssize_t n = pread(fd, out, count, off_t(offset));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        out += n;
        offset += uint64_t(n);
        count -= size_t(n);
    }
    return true;
}

inline bool WriteFully(int fd, const void* data, size_t count) {
    const uint8_t* in = static_cast<const uint8_t*>(data);
    while (count > 0) {
        const ssize_t n = write(fd, in, count);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        in += n;
        count -= size_t(n);
    }
    return true;
}

// The open file fd of size bytes; fd stays the caller's.
inline ByteSource FileByteSource(int fd, uint64_t size) {
    ByteSource source;
    source.size = size;
    source.readAt = [fd, size](uint64_t offset, void* buffer, size_t count) {
        return offset <= size && count <= size - offset && ReadFullyAt(fd, offset, buffer, count);
    };
    return source;
}
