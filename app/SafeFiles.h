#pragma once
// The decisions that keep the elevated process from being pointed elsewhere
// through a link: which entries of a folder tree it deletes, and whether a file
// it just created is one it may write a payload through. The platform's calls
// sit behind IFolderTreeOps and OpenedFileFacts, so the decisions run natively.
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "app/Platform.h"

// The file operations of a tree removal, on paths.
class IFolderTreeOps {
 public:
  struct Entry {
    std::wstring name;
    DWORD attributes;  // as listed: a link shows FILE_ATTRIBUTE_REPARSE_POINT
  };
  virtual ~IFolderTreeOps() = default;
  // The attributes of the path itself (never of a link's target);
  // INVALID_FILE_ATTRIBUTES when it does not exist.
  virtual DWORD Attributes(const std::wstring& path) = 0;
  // Opens the folder so that it cannot be renamed or replaced until Unpin.
  // False, and nothing held, when it is (by now) a link or no folder.
  virtual bool Pin(const std::wstring& folder) = 0;
  virtual void Unpin(const std::wstring& folder) = 0;
  virtual std::vector<Entry> List(const std::wstring& folder) = 0;
  // An empty folder, or a folder link itself.
  virtual bool RemoveFolder(const std::wstring& path) = 0;
  // A file, or a file link itself.
  virtual bool RemoveFile(const std::wstring& path) = 0;
};

// Deletes the folder's files and sub-folders depth first, then the folder.
// A link, at any depth and the folder itself included, is removed as a link:
// its target is never walked. Paths are joined as "%s\%s" and used only while
// they fit FOLDER_TREE_PATH_UNITS (with the terminator); an entry that does
// not fit is left alone, never cut short into another name. TRUE when the
// folder itself was removed.
BOOL RemoveFolderTree(IFolderTreeOps& ops, const std::wstring& folder);

#define FOLDER_TREE_PATH_UNITS 200

// What a newly created payload file is, read from its open handle.
struct OpenedFileFacts {
  DWORD attributes = INVALID_FILE_ATTRIBUTES;
  DWORD links = 0;         // names the file has (hard links)
  uint64_t volume = 0;     // the volume's serial number
  std::wstring finalPath;  // the path the handle really names, within its volume
};

// TRUE when a payload may be written through the handle: a plain file (no
// folder, no reparse point) with one name, directly inside the folder (on its
// volume, at the path within it that is given), under the expected name. Any
// other answer means the name led somewhere else, or someone else can reach
// the bytes by another name. Paths are compared within the volume, without a
// drive: not every volume has a DOS name (RAM disks), and the program's own
// files must be recognised on it too.
BOOL IsOwnPlainFile(const OpenedFileFacts& file, uint64_t folderVolume, const std::wstring& folderFinalPath,
                    const std::wstring& name);

// The work folder of a run: `usual` when `make` can create it fresh and
// private; else a new folder beside it, named `usual` + "." + eight hex
// digits of `tag` (a few tries, each with the next tag), made by `make` too.
// A leftover that cannot be removed (a locked file, a path too long for the
// removal) must not keep every later run from its payloads. Empty when no
// folder was made.
std::wstring MakeWorkFolder(const std::wstring& usual, uint32_t tag,
                            const std::function<bool(const std::wstring&)>& make);

// Removes the folders beside `usual` that carry the names MakeWorkFolder gives
// its new ones (`usual` + "." + eight hex digits), left by runs that were
// killed before their end, each as RemoveFolderTree removes a folder (a link
// is removed as a link, never followed). Run only by the one copy of the
// program that may run (its mutex), before it makes its own folder: a folder
// another process still holds open, or holds a file in, does not go. Returns
// how many were removed.
int RemoveStaleWorkFolders(IFolderTreeOps& ops, const std::wstring& usual);
