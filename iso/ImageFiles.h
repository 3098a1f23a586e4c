// One file of an ISO image found in place: where its bytes lie in the image
// file, so that they can be read straight from the image with no temporary
// copy. UDF first (Microsoft masters its Windows images UDF-only: ISO 9660
// shows a placeholder there), then Joliet, then ISO 9660 with Rock Ridge
// names and multi-extent files (xorriso's way past 4 GiB). A layout this
// reader does not know is refused, never guessed at: the caller falls back to
// extracting the file with the archiver.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "common/ByteSource.h"

// Bytes of the image file.
struct Extent {
    uint64_t offset;
    uint64_t length;
};

// path: folders and the file name separated by "\" or "/" (UTF-8), matched
// without regard to ASCII case. True when the file is found and every byte
// of it is recorded in the image: *extents then lists its bytes in order,
// each extent inside the image, their lengths adding up to *size. False when
// the file is missing, is a folder, or the image cannot be read with
// certainty (damaged, truncated, sparse or unknown structures).
bool FindImageFile(const ByteSource& image, const std::string& path, std::vector<Extent>* extents, uint64_t* size);

// The file's bytes read across its extents in order; reads beyond size, or
// beyond what the extents hold, fail.
ByteSource ImageFileSource(const ByteSource& image, std::vector<Extent> extents, uint64_t size);
