#include "app/FolderTree.h"

#include <string>

#include "app/Format.h"
#include "framework/AfxWin.h"

BOOL DeleteFolderTree(const wchar_t* folder) {
  if (!folder || !folder[0]) return FALSE;

  // The folder is used as given; the work folder's trailing backslash makes
  // the joins hold a doubled separator, which the platform accepts.
  const std::wstring pattern = FormatText(L"%ls\\*.*", folder);
  if (pattern.size() < FOLDER_TREE_PATH_UNITS) {
    CFileFind finder;
    BOOL more = finder.FindFile(pattern.c_str());
    while (more) {
      more = finder.FindNextFile();
      if (finder.IsDots()) continue;
      const std::wstring name = finder.GetFileName();
      const std::wstring path = FormatText(L"%ls\\%ls", folder, name.c_str());
      if (name.size() >= FOLDER_TREE_PATH_UNITS || path.size() >= FOLDER_TREE_PATH_UNITS) continue;
      if (finder.MatchesMask(FILE_ATTRIBUTE_REPARSE_POINT)) {
        // A junction or link: remove the link itself and never walk into its
        // target. This process runs elevated over a folder the user can write.
        if (finder.MatchesMask(FILE_ATTRIBUTE_DIRECTORY)) {
          ::RemoveDirectoryW(path.c_str());
        } else {
          ::DeleteFileW(path.c_str());
        }
      } else if (finder.MatchesMask(FILE_ATTRIBUTE_DIRECTORY)) {
        DeleteFolderTree(path.c_str());
      } else {
        ::DeleteFileW(path.c_str());  // a file that stays makes the folder stay
      }
    }
    finder.Close();
  }
  return ::RemoveDirectoryW(folder) ? TRUE : FALSE;
}
