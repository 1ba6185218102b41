// A library that must never be loaded by name from the executable's folder:
// the tests put it there and check whether a load by name picks it up.
#include <windows.h>

extern "C" __declspec(dllexport) int PlantedLibraryMarker() { return 0x504C; }

BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) { return TRUE; }
