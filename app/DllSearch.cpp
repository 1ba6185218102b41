#include "app/DllSearch.h"

#include <windows.h>

#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

void RestrictDllSearch() {
  ::SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
  ::SetDllDirectoryW(L"");  // also drops the current directory from the legacy order
}

namespace {

// Libraries larger than this are not ours to read.
const DWORD kMaxLibraryBytes = 64u << 20;

bool ReadWhole(const std::wstring& path, std::vector<BYTE>* bytes) {
  HANDLE file = ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  LARGE_INTEGER size = {};
  bool ok = ::GetFileSizeEx(file, &size) && size.QuadPart > 0 && size.QuadPart <= kMaxLibraryBytes;
  if (ok) {
    bytes->resize(static_cast<size_t>(size.QuadPart));
    DWORD got = 0;
    ok = ::ReadFile(file, bytes->data(), static_cast<DWORD>(bytes->size()), &got, nullptr) && got == bytes->size();
  }
  ::CloseHandle(file);
  return ok;
}

// The names of the libraries a PE file imports (its import directory; the
// delay-loaded ones are loaded by name later, under the narrowed search).
// Empty when the file cannot be read as one.
std::vector<std::string> ImportedNames(const std::wstring& path) {
  std::vector<std::string> names;
  std::vector<BYTE> pe;
  if (!ReadWhole(path, &pe) || pe.size() < sizeof(IMAGE_DOS_HEADER)) return names;
  auto within = [&pe](size_t offset, size_t size) { return offset <= pe.size() && size <= pe.size() - offset; };
  IMAGE_DOS_HEADER dos;
  std::memcpy(&dos, pe.data(), sizeof(dos));
  const size_t nt = static_cast<size_t>(dos.e_lfanew);
  if (dos.e_magic != IMAGE_DOS_SIGNATURE || !within(nt, 4 + sizeof(IMAGE_FILE_HEADER) + sizeof(WORD))) return names;
  DWORD signature;
  IMAGE_FILE_HEADER header;
  WORD magic;
  std::memcpy(&signature, &pe[nt], 4);
  std::memcpy(&header, &pe[nt + 4], sizeof(header));
  const size_t optional = nt + 4 + sizeof(header);
  std::memcpy(&magic, &pe[optional], sizeof(magic));
  if (signature != IMAGE_NT_SIGNATURE) return names;
  // The import directory's place in either optional header.
  size_t directory;
  if (magic == IMAGE_NT_OPTIONAL_HDR32_MAGIC)
    directory = optional + offsetof(IMAGE_OPTIONAL_HEADER32, DataDirectory);
  else if (magic == IMAGE_NT_OPTIONAL_HDR64_MAGIC)
    directory = optional + offsetof(IMAGE_OPTIONAL_HEADER64, DataDirectory);
  else
    return names;
  directory += IMAGE_DIRECTORY_ENTRY_IMPORT * sizeof(IMAGE_DATA_DIRECTORY);
  IMAGE_DATA_DIRECTORY imports;
  if (!within(directory, sizeof(imports))) return names;
  std::memcpy(&imports, &pe[directory], sizeof(imports));
  const size_t sections = optional + header.SizeOfOptionalHeader;
  auto fileOffset = [&](DWORD rva, size_t* offset) {
    for (WORD i = 0; i < header.NumberOfSections; ++i) {
      IMAGE_SECTION_HEADER s;
      if (!within(sections + i * sizeof(s), sizeof(s))) return false;
      std::memcpy(&s, &pe[sections + i * sizeof(s)], sizeof(s));
      const DWORD span = s.Misc.VirtualSize > s.SizeOfRawData ? s.Misc.VirtualSize : s.SizeOfRawData;
      if (rva >= s.VirtualAddress && rva - s.VirtualAddress < span) {
        *offset = static_cast<size_t>(rva - s.VirtualAddress) + s.PointerToRawData;
        return *offset < pe.size();
      }
    }
    return false;
  };
  size_t at = 0;
  if (imports.VirtualAddress == 0 || !fileOffset(imports.VirtualAddress, &at)) return names;
  for (;; at += sizeof(IMAGE_IMPORT_DESCRIPTOR)) {
    IMAGE_IMPORT_DESCRIPTOR entry;
    if (!within(at, sizeof(entry))) break;
    std::memcpy(&entry, &pe[at], sizeof(entry));
    size_t name = 0;
    if (entry.Name == 0 || !fileOffset(entry.Name, &name)) break;
    size_t end = name;
    while (end < pe.size() && pe[end] != 0 && end - name < MAX_PATH) ++end;
    if (end >= pe.size() || pe[end] != 0) break;
    names.emplace_back(reinterpret_cast<const char*>(&pe[name]), end - name);
  }
  return names;
}

bool Exists(const std::wstring& path) { return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

// Loads from System32 the system libraries that the library at `path`
// imports, and does the same for the vendor libraries beside it that it
// imports. The modules stay loaded for the life of the process.
void LoadSystemImportsFirst(const std::wstring& path, const std::wstring& folder, const std::wstring& system,
                            std::vector<std::wstring>* seen, int depth) {
  for (const std::string& narrow : ImportedNames(path)) {
    const std::wstring name(narrow.begin(), narrow.end());  // import names are ASCII
    // API sets are resolved by the loader itself, never found on disk.
    if (_wcsnicmp(name.c_str(), L"api-ms-", 7) == 0 || _wcsnicmp(name.c_str(), L"ext-ms-", 7) == 0) continue;
    if (Exists(system + name)) {
      ::LoadLibraryExW(name.c_str(), nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    } else if (depth < 4 && Exists(folder + name)) {
      bool known = false;
      for (const std::wstring& s : *seen) known = known || _wcsicmp(s.c_str(), name.c_str()) == 0;
      if (known) continue;
      seen->push_back(name);
      LoadSystemImportsFirst(folder + name, folder, system, seen, depth + 1);
    }
  }
}

}  // namespace

HMODULE LoadLibraryBesideProgram(const wchar_t* name) {
  wchar_t self[MAX_PATH];
  const DWORD n = ::GetModuleFileNameW(nullptr, self, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return nullptr;
  std::wstring folder(self, n);
  folder.erase(folder.find_last_of(L"\\/") + 1);
  wchar_t systemDir[MAX_PATH];
  const UINT s = ::GetSystemDirectoryW(systemDir, MAX_PATH);
  if (s == 0 || s >= MAX_PATH) return nullptr;
  const std::wstring system = std::wstring(systemDir, s) + L"\\";
  const std::wstring path = folder + name;
  std::vector<std::wstring> seen(1, name);
  LoadSystemImportsFirst(path, folder, system, &seen, 0);
  // Its vendor libraries from its own folder, every other name from System32
  // (where the ones it imports are loaded already).
  return ::LoadLibraryExW(path.c_str(), nullptr, LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32);
}
