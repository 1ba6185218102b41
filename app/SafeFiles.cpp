#include "app/SafeFiles.h"

#include <cwctype>

#include "app/Format.h"

namespace {

bool IsLink(DWORD attributes) { return (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0; }
bool IsFolder(DWORD attributes) { return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0; }

bool RemoveLink(IFolderTreeOps& ops, const std::wstring& path, DWORD attributes) {
  return IsFolder(attributes) ? ops.RemoveFolder(path) : ops.RemoveFile(path);
}

// A folder known to be no link when it was looked at. It is pinned before it
// is listed, and the pin checks again: one swapped for a link in between is
// not walked, only removed as what it now is.
bool RemoveWalkedFolder(IFolderTreeOps& ops, const std::wstring& folder) {
  const std::wstring pattern = FormatText(L"%ls\\*.*", folder.c_str());
  if (pattern.size() < FOLDER_TREE_PATH_UNITS && ops.Pin(folder)) {
    for (const IFolderTreeOps::Entry& entry : ops.List(folder)) {
      if (entry.name == L"." || entry.name == L"..") continue;
      const std::wstring path = FormatText(L"%ls\\%ls", folder.c_str(), entry.name.c_str());
      if (entry.name.size() >= FOLDER_TREE_PATH_UNITS || path.size() >= FOLDER_TREE_PATH_UNITS) continue;
      if (IsLink(entry.attributes)) {
        RemoveLink(ops, path, entry.attributes);
      } else if (IsFolder(entry.attributes)) {
        RemoveWalkedFolder(ops, path);
      } else {
        ops.RemoveFile(path);  // a file that stays makes the folder stay
      }
    }
    ops.Unpin(folder);
  }
  return ops.RemoveFolder(folder);
}

bool SameText(const std::wstring& a, const std::wstring& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (std::towupper(a[i]) != std::towupper(b[i])) return false;
  return true;
}

}  // namespace

BOOL RemoveFolderTree(IFolderTreeOps& ops, const std::wstring& folder) {
  if (folder.empty()) return FALSE;
  const DWORD attributes = ops.Attributes(folder);
  if (attributes == INVALID_FILE_ATTRIBUTES) return FALSE;
  // The folder itself may be the link: removed as one, its target untouched.
  if (IsLink(attributes)) return RemoveLink(ops, folder, attributes) ? TRUE : FALSE;
  if (!IsFolder(attributes)) return FALSE;
  return RemoveWalkedFolder(ops, folder) ? TRUE : FALSE;
}

BOOL IsOwnPlainFile(const OpenedFileFacts& file, uint64_t folderVolume, const std::wstring& folderFinalPath,
                    const std::wstring& name) {
  if (file.attributes == INVALID_FILE_ATTRIBUTES) return FALSE;
  if (file.attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) return FALSE;
  if (file.links != 1) return FALSE;
  if (file.volume != folderVolume) return FALSE;
  if (folderFinalPath.empty() || name.empty()) return FALSE;
  std::wstring expected = folderFinalPath;
  if (expected.back() != L'\\') expected += L'\\';
  expected += name;
  return SameText(file.finalPath, expected) ? TRUE : FALSE;
}

std::wstring MakeWorkFolder(const std::wstring& usual, uint32_t tag,
                            const std::function<bool(const std::wstring&)>& make) {
  if (usual.empty()) return std::wstring();
  if (make(usual)) return usual;
  for (uint32_t i = 0; i < 4; ++i) {
    const std::wstring beside = FormatText(L"%ls.%08x", usual.c_str(), static_cast<unsigned>(tag + i));
    if (make(beside)) return beside;
  }
  return std::wstring();
}

int RemoveStaleWorkFolders(IFolderTreeOps& ops, const std::wstring& usual) {
  const size_t slash = usual.rfind(L'\\');
  if (slash == std::wstring::npos || slash == 0 || slash + 1 == usual.size()) return 0;
  std::wstring parent = usual.substr(0, slash);
  const std::wstring base = usual.substr(slash + 1);
  while (!parent.empty() && parent.back() == L'\\') parent.pop_back();  // %TEMP% ends with one of its own
  if (parent.empty()) return 0;
  int removed = 0;
  for (const IFolderTreeOps::Entry& entry : ops.List(parent)) {
    const std::wstring& name = entry.name;
    if (name.size() != base.size() + 9 || name[base.size()] != L'.' || !SameText(name.substr(0, base.size()), base))
      continue;
    bool hex = true;
    for (size_t i = base.size() + 1; i < name.size(); ++i) hex = hex && std::iswxdigit(name[i]);
    if (hex && RemoveFolderTree(ops, parent + L"\\" + name)) ++removed;
  }
  return removed;
}
