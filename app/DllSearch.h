#pragma once
// Where this elevated process may load libraries from.
#ifdef _WIN32
#include <windows.h>

#include <string>
#include <vector>

#include "app/VendorFiles.h"

// From now on a library loaded by name, the delay-loaded system libraries
// included, comes from System32 only: never from the executable's folder, the
// current directory or the work folder, where another program of the user
// could plant one. The updater's own libraries are loaded by full path.
void RestrictDllSearch();

// The recorded vendor libraries as this run loaded them: copies in the work
// folder, each held against writing, renaming and deleting while loaded.
struct PinnedLibraries {
  HMODULE root = nullptr;        // the first recorded file (the Kestrel SDK); null when nothing loaded
  std::vector<HMODULE> modules;  // in load order
  std::vector<HANDLE> holds;
};

// Loads the recorded vendor files (`pins`) that lie beside the program. Each is opened
// so that nobody can write or delete it while it is read, and must pass
// PlanVendorLoad (recorded, its digest, a PE image of this program's machine,
// imports only of System32's libraries and recorded files). Those checked
// bytes are written into the work folder (`workFolder`, ending in a
// separator; private to administrators), held there, and loaded from there by
// full path, after the System32 libraries they import. Any doubt loads
// nothing and writes one debugger line naming the file and the reason.
// Call after RestrictDllSearch.
bool LoadPinnedVendorLibraries(const VendorPin* pins, size_t count, const std::wstring& workFolder,
                               PinnedLibraries* out);

// Unloads them (last loaded first) and releases their copies' holds.
void ReleasePinnedVendorLibraries(PinnedLibraries* libs);
#endif
