// SHA-256 of a byte string, for checking the unpacked tools against the
// digests stored in the program at build time.
#pragma once
#include <string>

// The digest as 64 lower-case hexadecimal digits.
std::string Sha256Hex(const std::string& bytes);
