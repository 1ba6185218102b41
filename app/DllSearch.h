#pragma once
// Where this elevated process may load libraries from.

// From now on a library loaded by name comes from System32 or from a folder
// added with AddDllDirectory; never from the executable's folder or the
// current directory, where another program of the user could plant one.
void RestrictDllSearch();
