#pragma once
// The vendor libraries the elevated program loads from its own folder, a
// folder any program of the user can write: which files they are, and the
// decision whether the ones lying there may be loaded. Portable: the platform
// part (app/DllSearch.cpp) only reads files and loads what this plan names.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// A vendor file the build recorded: its name and the SHA-256 of its bytes
// (64 lower-case hexadecimal digits).
struct VendorPin {
  const char* name;
  const char* sha256;
};
// The build's record (a generated source of each program); the first is the
// library the program loads, the others are what it imports.
extern const VendorPin kVendorPins[];
extern const size_t kVendorPinCount;

// Larger files are not ours to read.
constexpr size_t kMaxVendorFileBytes = size_t(64) << 20;

// What a PE file says of itself that the loader acts on.
struct PeImports {
  uint16_t machine = 0;
  std::vector<std::string> names;  // the import directory's library names, in order
};
// Reads the headers and the import directory. Anything the loader could read
// otherwise than this does (a field out of the file, a name without its end,
// an odd optional header) is refused: the text says why; empty when read.
std::string ReadPeImports(const uint8_t* data, size_t size, PeImports* out);

// The file name the loader looks for when a library is imported as `name`:
// one without an extension gets ".dll". A name with a path, a drive, a
// trailing dot, an empty one or one of other than printable ASCII is refused
// (false), since the loader's reading of it is not ours to guess.
bool LoaderFileName(const std::string& name, std::string* file);

struct VendorFile {
  std::string name;
  std::vector<uint8_t> bytes;  // exactly the bytes whose digest was checked
};
struct VendorLoadPlan {
  std::vector<std::string> systemNames;  // to load from System32 first
  std::vector<VendorFile> files;         // to load in this order, each after what it imports
  std::string failure;                   // "<file>: <reason>" when nothing may be loaded
};
// Reads a vendor file by name into bytes; the text says why not (missing,
// unreadable, too large), empty when read.
typedef std::function<std::string(const std::string& name, std::vector<uint8_t>* bytes)> VendorFileReader;
// Whether System32 holds a library of this file name.
typedef std::function<bool(const std::string& name)> SystemLibraryTest;

// Starting with pins[0], every file must be pinned, match its digest, be a PE
// image of `machine`, and import only names that are pinned vendor files or
// System32's libraries. Any doubt fails the whole plan.
VendorLoadPlan PlanVendorLoad(const VendorPin* pins, size_t count, uint16_t machine, const VendorFileReader& read,
                              const SystemLibraryTest& inSystem);
