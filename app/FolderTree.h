#pragma once
// Removal of a folder with everything in it, depth first.
#include <windows.h>

// Deletes the folder's files and sub-folders, then the folder. TRUE when the
// folder itself was removed. Works in 200-unit paths: an entry whose joined
// path would not fit is left alone (never cut short into another name).
BOOL DeleteFolderTree(const wchar_t* folder);

#define FOLDER_TREE_PATH_UNITS 200
