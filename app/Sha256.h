#pragma once
// SHA-256 of a byte string, as the pinned vendor files are recorded.
#include <cstddef>
#include <cstdint>
#include <string>

// The digest as 64 lower-case hexadecimal digits.
std::string Sha256Hex(const uint8_t* data, size_t size);
