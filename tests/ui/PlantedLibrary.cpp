// A library that must never be loaded by name from a folder a user can write:
// the tests plant copies of it (also under system libraries' names) and check
// whether a load by name picks one up. When ORVANE_PLANTED_MARKS names a
// folder, a load leaves "<file name>.loaded" there.
#include <windows.h>

extern "C" __declspec(dllexport) int PlantedLibraryMarker() { return 0x504C; }

// C linkage, or the runtime's own empty DllMain is the one called.
extern "C" BOOL WINAPI DllMain(HINSTANCE self, DWORD reason, LPVOID) {
  wchar_t marks[MAX_PATH], path[MAX_PATH];
  if (reason != DLL_PROCESS_ATTACH || !GetEnvironmentVariableW(L"ORVANE_PLANTED_MARKS", marks, MAX_PATH) ||
      !GetModuleFileNameW(self, path, MAX_PATH))
    return TRUE;
  const wchar_t* name = path;
  for (const wchar_t* p = path; *p; ++p)
    if (*p == L'\\' || *p == L'/') name = p + 1;
  wchar_t mark[2 * MAX_PATH];
  wsprintfW(mark, L"%s\\%s.loaded", marks, name);
  HANDLE h = CreateFileW(mark, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
  return TRUE;
}
