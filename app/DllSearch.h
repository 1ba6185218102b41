#pragma once
// Where this elevated process may load libraries from.
#ifdef _WIN32
#include <windows.h>

// From now on a library loaded by name, the delay-loaded system libraries
// included, comes from System32 only: never from the executable's folder, the
// current directory or the work folder, where another program of the user
// could plant one. The updater's own libraries are loaded by full path.
void RestrictDllSearch();

// Loads a vendor library that lies beside the program (the Kestrel SDK) by
// its full path. Every system library it imports, and any vendor library
// beside it imports, is loaded from System32 first, so that its imports of
// those names resolve to them and never to a file planted beside the
// program; its vendor libraries still come from beside it. Null when it
// does not load. Call after RestrictDllSearch.
HMODULE LoadLibraryBesideProgram(const wchar_t* name);
#endif
