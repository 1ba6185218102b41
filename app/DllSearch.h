#pragma once
// Where this elevated process may load libraries from.

// From now on a library loaded by name, the delay-loaded system libraries
// included, comes from System32 only: never from the executable's folder, the
// current directory or the work folder, where another program of the user
// could plant one. The updater's own libraries are loaded by full path.
void RestrictDllSearch();
