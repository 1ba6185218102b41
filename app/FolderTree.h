#pragma once
// The work folder on disk: its removal, which follows no link, and its
// creation as a folder of this process alone.
#include <windows.h>

#include "app/SafeFiles.h"

// Deletes the folder's files and sub-folders, then the folder. TRUE when the
// folder itself was removed. A link, the folder itself included, is removed as
// a link and its target left whole. Works in 200-unit paths: an entry whose
// joined path would not fit is left alone (never cut short into another name).
BOOL DeleteFolderTree(const wchar_t* folder);
// RemoveStaleWorkFolders on the platform: the work folders beside `usual` that
// runs killed before their end left behind.
int DeleteStaleWorkFolders(const wchar_t* usual);

// Creates the folder fresh, open to the user, SYSTEM and Administrators only,
// and not writable by the user's programs that run without elevation. Returns
// a handle that keeps the folder from being renamed, replaced or removed while
// it is open (close it before removing the folder). A folder that exists
// already (someone else made it, or a link has that name), or that turns out
// to be a link or not empty, is not used: INVALID_HANDLE_VALUE and one
// debugger line that says why.
HANDLE CreatePrivateFolder(const wchar_t* folder);

// The path the handle really names, without the "\\?\" prefix; empty when
// it cannot be told.
std::wstring FinalPathOf(HANDLE handle);
// The same within its volume, without a drive ("\\Users\\...\\x"): also on a
// volume that has no DOS name.
std::wstring PathWithinVolumeOf(HANDLE handle);
