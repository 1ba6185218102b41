#include "app/VendorFiles.h"

#include <cctype>
#include <cstring>

#include "app/Sha256.h"

namespace {

uint16_t Get16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
uint32_t Get32(const uint8_t* p) { return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24); }

// Offsets of the PE format.
constexpr size_t kLfanew = 0x3C;
constexpr size_t kFileHeader = 20;
constexpr size_t kSectionHeader = 40;
constexpr size_t kImportDescriptor = 20;
constexpr uint16_t kPe32 = 0x10B, kPe32Plus = 0x20B;
// Far beyond what a library has; more is doubt, not a reason to read on.
constexpr uint16_t kMaxSections = 96;
constexpr size_t kMaxImports = 512;
constexpr size_t kMaxNameLength = 255;

bool Within(size_t size, size_t offset, size_t length) { return offset <= size && length <= size - offset; }

bool EqualNoCase(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) return false;
  return true;
}

}  // namespace

std::string ReadPeImports(const uint8_t* data, size_t size, PeImports* out) {
  *out = PeImports();
  if (!Within(size, 0, kLfanew + 4) || data[0] != 'M' || data[1] != 'Z') return "not a PE image (no MZ header)";
  const size_t nt = Get32(data + kLfanew);
  if (!Within(size, nt, 4 + kFileHeader + 2) || std::memcmp(data + nt, "PE\0\0", 4) != 0)
    return "not a PE image (no PE header)";
  const uint8_t* header = data + nt + 4;
  out->machine = Get16(header);
  const uint16_t sections = Get16(header + 2);
  const size_t optionalSize = Get16(header + 16);
  const size_t optional = nt + 4 + kFileHeader;
  if (!Within(size, optional, optionalSize)) return "optional header cut short";
  const uint16_t magic = optionalSize >= 2 ? Get16(data + optional) : 0;
  size_t directoryCount, directories;
  if (magic == kPe32) {
    directoryCount = 92, directories = 96;
  } else if (magic == kPe32Plus) {
    directoryCount = 108, directories = 112;
  } else {
    return "unknown optional header";
  }
  if (optionalSize < directoryCount + 4) return "optional header cut short";
  const uint32_t count = Get32(data + optional + directoryCount);
  if (sections == 0 || sections > kMaxSections) return "implausible section count";
  const size_t table = optional + optionalSize;
  if (!Within(size, table, size_t(sections) * kSectionHeader)) return "section table cut short";
  // Without an import directory the image imports nothing.
  if (count < 2 || optionalSize < directories + 16) return std::string();
  const uint32_t importRva = Get32(data + optional + directories + 8);
  if (importRva == 0) return std::string();

  // An address of the image as an offset of the file: only within a
  // section's bytes in the file, where the loader reads what we read.
  auto offsetOf = [&](uint32_t rva, size_t length, size_t* offset) {
    for (uint16_t i = 0; i < sections; ++i) {
      const uint8_t* s = data + table + size_t(i) * kSectionHeader;
      const uint32_t va = Get32(s + 12), raw = Get32(s + 16), at = Get32(s + 20);
      if (rva < va || rva - va >= raw) continue;
      const size_t inside = rva - va;
      if (!Within(size, at, raw) || !Within(raw, inside, length)) return false;
      *offset = size_t(at) + inside;
      return true;
    }
    return false;
  };
  for (size_t n = 0;; ++n) {
    if (n > kMaxImports) return "too many imports";
    size_t at = 0;
    if (!offsetOf(importRva + static_cast<uint32_t>(n * kImportDescriptor), kImportDescriptor, &at))
      return "import directory outside the file";
    const uint32_t nameRva = Get32(data + at + 12), thunks = Get32(data + at + 16);
    // The loader stops at the first entry without a name or a thunk table.
    if (nameRva == 0 || thunks == 0) break;
    size_t name = 0;
    if (!offsetOf(nameRva, 1, &name)) return "import name outside the file";
    size_t end = name;
    while (end < size && data[end] != 0 && end - name <= kMaxNameLength) ++end;
    if (end >= size || data[end] != 0) return "import name without an end";
    // Its end must lie in the same section's bytes too.
    size_t last = 0;
    if (!offsetOf(nameRva, end - name + 1, &last)) return "import name outside the file";
    out->names.emplace_back(reinterpret_cast<const char*>(data + name), end - name);
  }
  return std::string();
}

bool LoaderFileName(const std::string& name, std::string* file) {
  if (name.empty() || name.size() > kMaxNameLength || name.back() == '.' || name.back() == ' ') return false;
  for (char c : name)
    if (c < 0x21 || c > 0x7E || c == '\\' || c == '/' || c == ':' || c == '*' || c == '?' || c == '"' ||
        c == '<' || c == '>' || c == '|')
      return false;
  *file = name.find('.') == std::string::npos ? name + ".dll" : name;
  return true;
}

VendorLoadPlan PlanVendorLoad(const VendorPin* pins, size_t count, uint16_t machine, const VendorFileReader& read,
                              const SystemLibraryTest& inSystem) {
  VendorLoadPlan plan;
  if (count == 0) {
    plan.failure = "no vendor file recorded";
    return plan;
  }
  std::vector<std::string> visited;
  // Depth first, so that a file comes after the vendor files it imports.
  std::function<bool(const std::string&, int)> visit = [&](const std::string& name, int depth) {
    for (const std::string& seen : visited)
      if (EqualNoCase(seen, name)) return true;
    visited.push_back(name);
    auto fail = [&](const std::string& why) {
      plan.failure = name + ": " + why;
      return false;
    };
    if (depth > 8) return fail("imported too deep");
    const VendorPin* pin = nullptr;
    for (size_t i = 0; i < count && !pin; ++i)
      if (EqualNoCase(pins[i].name, name)) pin = &pins[i];
    if (!pin) return fail("not a recorded vendor file");
    VendorFile file;
    file.name = pin->name;
    const std::string unread = read(file.name, &file.bytes);
    if (!unread.empty()) return fail(unread);
    if (file.bytes.size() > kMaxVendorFileBytes) return fail("too large");
    if (Sha256Hex(file.bytes.data(), file.bytes.size()) != pin->sha256) return fail("digest differs");
    PeImports image;
    const std::string bad = ReadPeImports(file.bytes.data(), file.bytes.size(), &image);
    if (!bad.empty()) return fail(bad);
    if (image.machine != machine) return fail("not of this program's machine type");
    for (const std::string& imported : image.names) {
      std::string resolved;
      if (!LoaderFileName(imported, &resolved)) return fail("import name \"" + imported + "\" refused");
      bool pinned = false;
      for (size_t i = 0; i < count; ++i) pinned = pinned || EqualNoCase(pins[i].name, resolved);
      if (pinned) {
        if (!visit(resolved, depth + 1)) return false;
        continue;
      }
      // API sets are resolved by the loader itself, never found on disk.
      if (resolved.size() > 7 && (EqualNoCase(resolved.substr(0, 7), "api-ms-") || EqualNoCase(resolved.substr(0, 7), "ext-ms-")))
        continue;
      if (!inSystem(resolved)) return fail("import " + resolved + " neither in System32 nor recorded");
      bool known = false;
      for (const std::string& s : plan.systemNames) known = known || EqualNoCase(s, resolved);
      if (!known) plan.systemNames.push_back(resolved);
    }
    plan.files.push_back(std::move(file));
    return true;
  };
  if (!visit(pins[0].name, 0)) {
    plan.systemNames.clear();
    plan.files.clear();
  }
  return plan;
}
