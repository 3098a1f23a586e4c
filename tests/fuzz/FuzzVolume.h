// The NTFS and exFAT readers of the UEFI file-system driver over an image
// in memory. An input is a list of patches over a zeroed image of
// kImageBytes, each a 32-bit offset, a 16-bit length and the bytes, so that
// a seed holds a whole small volume in a few KiB. The volume is mounted,
// every folder listed, every entry found again by its name in upper case,
// and every file read whole.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

extern "C" {
#include "bootice/efi/fsr_alloc.h"
#include "bootice/efi/fsreader.h"
void* fsr_alloc(size_t size) { return std::calloc(1, size); }
void fsr_free(void* pointer) { std::free(pointer); }
}

static const size_t kImageBytes = 4u << 20;

static int ReadImage(void* context, uint64_t offset, void* buffer, uint32_t length) {
    const std::vector<uint8_t>& image = *static_cast<const std::vector<uint8_t>*>(context);
    if (offset > image.size() || length > image.size() - offset) return 1;
    std::memcpy(buffer, image.data() + offset, length);
    return 0;
}

static void Walk(fsr_node* folder, int depth, size_t* budget) {
    fsr_entry entry;
    uint64_t cursor = 0;
    for (int n = 0; n < 256 && *budget; ++n) {
        const uint64_t before = cursor;
        if (fsr_read_folder(folder, &cursor, &entry) != FSR_OK) break;
        if (cursor == before || entry.name_length == 0 || entry.name_length > FSR_NAME_MAX) __builtin_trap();
        uint16_t upper[FSR_NAME_MAX];
        for (uint32_t i = 0; i < entry.name_length; ++i)
            upper[i] = entry.name[i] >= 'a' && entry.name[i] <= 'z' ? entry.name[i] - 32 : entry.name[i];
        fsr_node* node = nullptr;
        if (fsr_lookup(folder, upper, entry.name_length, &node) != FSR_OK) continue;
        const fsr_entry* info = fsr_info(node);
        if (info->name_length != entry.name_length) __builtin_trap();
        if (info->attributes & FSR_ATTR_FOLDER) {
            if (depth < 4) Walk(node, depth + 1, budget);
        } else {
            static uint8_t buffer[65536];
            uint64_t offset = 0;
            uint32_t done = 0;
            while (*budget && fsr_read(node, offset, buffer, sizeof buffer, &done) == FSR_OK && done) {
                if (done > sizeof buffer || done > info->size - offset) __builtin_trap();
                offset += done;
                *budget -= *budget > done ? done : *budget;
            }
        }
        fsr_close(node);
        --*budget;
    }
}

static int FuzzVolume(const uint8_t* data, size_t size, const char* signature) {
    static std::vector<uint8_t> image(kImageBytes);
    std::fill(image.begin(), image.end(), 0);
    for (size_t at = 0; size - at >= 6;) {
        const uint32_t offset = data[at] | data[at + 1] << 8 | data[at + 2] << 16 | uint32_t(data[at + 3]) << 24;
        size_t length = data[at + 4] | data[at + 5] << 8;
        at += 6;
        if (length > size - at) length = size - at;
        if (offset < kImageBytes) std::memcpy(&image[offset], data + at, std::min(length, kImageBytes - offset));
        at += length;
    }
    // Stay with the file system of the target, whatever the mutation.
    std::memcpy(&image[3], signature, 8);
    fsr_volume* volume = nullptr;
    if (fsr_mount(ReadImage, &image, image.size(), &volume) != FSR_OK) return 0;
    fsr_node* root = nullptr;
    if (fsr_open_root(volume, &root) == FSR_OK) {
        size_t budget = 1u << 20;
        Walk(root, 0, &budget);
        fsr_close(root);
    }
    fsr_unmount(volume);
    return 0;
}
