#include "app/DllSearch.h"

#include "app/Log.h"
#include "app/Payloads.h"

void RestrictDllSearch() {
  ::SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
  ::SetDllDirectoryW(L"");  // also drops the current directory from the legacy order
}

namespace {

std::wstring Wide(const std::string& ascii) { return std::wstring(ascii.begin(), ascii.end()); }

#if defined(_M_X64) || defined(__x86_64__)
const uint16_t kOwnMachine = 0x8664;  // IMAGE_FILE_MACHINE_AMD64
#else
const uint16_t kOwnMachine = 0x014C;  // IMAGE_FILE_MACHINE_I386
#endif

}  // namespace

bool LoadPinnedVendorLibraries(const VendorPin* pins, size_t count, const std::wstring& workFolder,
                               PinnedLibraries* out) {
  *out = PinnedLibraries();
  wchar_t self[MAX_PATH], systemDir[MAX_PATH];
  const DWORD n = ::GetModuleFileNameW(nullptr, self, MAX_PATH);
  const UINT s = ::GetSystemDirectoryW(systemDir, MAX_PATH);
  if (n == 0 || n >= MAX_PATH || s == 0 || s >= MAX_PATH || workFolder.empty()) {
    DebugTrace(L"Vendor library not loaded : %hs, no program or work folder", count ? pins[0].name : "?");
    return false;
  }
  std::wstring folder(self, n);
  folder.erase(folder.find_last_of(L"\\/") + 1);
  const std::wstring system = std::wstring(systemDir, s) + L"\\";

  // Each original stays open without write or delete sharing until its copy
  // is made: what is read is what lies there, and nobody changes it meanwhile.
  std::vector<HANDLE> originals;
  const VendorLoadPlan plan = PlanVendorLoad(
      pins, count, kOwnMachine,
      [&](const std::string& name, std::vector<uint8_t>* bytes) -> std::string {
        HANDLE file = ::CreateFileW((folder + Wide(name)).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE) {
          const DWORD error = ::GetLastError();
          return error == ERROR_FILE_NOT_FOUND ? "missing" : "cannot be opened (error " + std::to_string(error) + ")";
        }
        originals.push_back(file);
        LARGE_INTEGER size = {};
        if (!::GetFileSizeEx(file, &size)) return "size unknown";
        if (size.QuadPart <= 0) return "empty";
        if (static_cast<unsigned long long>(size.QuadPart) > kMaxVendorFileBytes) return "too large";
        bytes->resize(static_cast<size_t>(size.QuadPart));
        DWORD got = 0;
        if (!::ReadFile(file, bytes->data(), static_cast<DWORD>(bytes->size()), &got, nullptr) || got != bytes->size())
          return "cannot be read";
        return std::string();
      },
      [&](const std::string& name) {
        return ::GetFileAttributesW((system + Wide(name)).c_str()) != INVALID_FILE_ATTRIBUTES;
      });

  bool ok = plan.failure.empty();
  if (!ok) DebugTrace(L"Vendor library not loaded : %hs", plan.failure.c_str());
  // Their imports from System32 first, so that the vendor files' imports of
  // those names resolve to these modules and never to a planted file.
  for (size_t i = 0; ok && i < plan.systemNames.size(); ++i) {
    if (!::LoadLibraryExW(Wide(plan.systemNames[i]).c_str(), nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32)) {
      DebugTrace(L"Vendor library not loaded : %hs, its import %hs did not load from System32",
                 plan.files.back().name.c_str(), plan.systemNames[i].c_str());
      ok = false;
    }
  }
  // The checked bytes themselves, copied into the private work folder and
  // loaded from there, each after the vendor files it imports.
  for (size_t i = 0; ok && i < plan.files.size(); ++i) {
    const VendorFile& file = plan.files[i];
    const std::wstring copy = workFolder + Wide(file.name);
    HANDLE hold = WritePayloadFile(copy.c_str(), file.bytes.data(), static_cast<DWORD>(file.bytes.size()));
    HMODULE module = hold == INVALID_HANDLE_VALUE
                         ? nullptr
                         : ::LoadLibraryExW(copy.c_str(), nullptr, LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (hold != INVALID_HANDLE_VALUE) out->holds.push_back(hold);
    if (module) {
      out->modules.push_back(module);
    } else {
      DebugTrace(L"Vendor library not loaded : %hs, its copy did not load (error %d)", file.name.c_str(),
                 static_cast<int>(::GetLastError()));
      ok = false;
    }
  }
  for (HANDLE h : originals) ::CloseHandle(h);
  if (!ok) {
    ReleasePinnedVendorLibraries(out);
    return false;
  }
  out->root = out->modules.back();
  return true;
}

void ReleasePinnedVendorLibraries(PinnedLibraries* libs) {
  for (size_t i = libs->modules.size(); i-- > 0;) ::FreeLibrary(libs->modules[i]);
  for (HANDLE& hold : libs->holds) ReleasePayload(hold);
  *libs = PinnedLibraries();
}
