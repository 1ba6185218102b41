// The Win32 pieces of start-up, run under Wine: the folder removal, writing
// and holding a payload, and the library search of the elevated process.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "tests/support/WinFiles.h"
#include "app/DllSearch.h"
#include "app/FolderTree.h"
#include "app/Log.h"
#include "app/Payloads.h"

namespace {

using namespace winfiles;

std::wstring NewFolder(const wchar_t* tag) {
  wchar_t temp[MAX_PATH];
  GetTempPathW(MAX_PATH, temp);
  static int n = 0;
  std::wstring path = std::wstring(temp) + L"h3-" + tag + L"-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                      std::to_wstring(++n);
  CreateDirectoryW(path.c_str(), nullptr);
  return path;
}

std::mutex g_linesMutex;
std::vector<std::wstring> g_lines;
void CaptureDebugLine(const wchar_t* text) {
  std::lock_guard<std::mutex> lock(g_linesMutex);
  g_lines.push_back(text);
}

class DebugLines {
 public:
  DebugLines() {
    g_lines.clear();
    SetDebugOutput(&CaptureDebugLine);
  }
  ~DebugLines() { SetDebugOutput(nullptr); }
  std::wstring All() {
    std::lock_guard<std::mutex> lock(g_linesMutex);
    std::wstring all;
    for (const auto& l : g_lines) all += l + L"\n";
    return all;
  }
};

}  // namespace

// ---------------------------------------------------------------- DeleteFolderTree

TEST(DeleteFolderTree, EmptyPathAndMissingFolderRemoveNothingAndReportFalse) {
  EXPECT_FALSE(DeleteFolderTree(L""));
  EXPECT_FALSE(DeleteFolderTree(nullptr));
  const std::wstring root = NewFolder(L"missing");
  WriteText(root + L"\\keep.txt", "x");
  EXPECT_FALSE(DeleteFolderTree((root + L"\\not-there").c_str()));
  EXPECT_TRUE(Exists(root + L"\\keep.txt"));
  DeleteFolderTree(root.c_str());
}

TEST(DeleteFolderTree, RemovesALeftoverWorkFolderWithSubFoldersDepthFirst) {
  const std::wstring root = NewFolder(L"tree");
  // Like the work folder: a trailing backslash, so every join doubles it.
  const std::wstring work = root + L"\\OrvaneTessik_mouse\\";
  CreateDirectoryW(work.c_str(), nullptr);
  WriteText(work + L"Mouse_TMB.sfw", "old package");
  CreateDirectoryW((work + L"sub").c_str(), nullptr);
  CreateDirectoryW((work + L"sub\\deeper").c_str(), nullptr);
  WriteText(work + L"sub\\a.bin", "a");
  WriteText(work + L"sub\\deeper\\b.bin", "b");

  EXPECT_TRUE(DeleteFolderTree(work.c_str()));
  EXPECT_FALSE(Exists(work));
  EXPECT_TRUE(DeleteFolderTree(root.c_str()));
}

TEST(DeleteFolderTree, AFileThatCannotBeDeletedStaysAndTheResultIsFalse) {
  const std::wstring root = NewFolder(L"locked");
  WriteText(root + L"\\locked.bin", "l");
  WriteText(root + L"\\free.bin", "f");
  HANDLE lock = CreateFileW((root + L"\\locked.bin").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            0, nullptr);
  ASSERT_NE(lock, INVALID_HANDLE_VALUE);

  EXPECT_FALSE(DeleteFolderTree(root.c_str()));
  EXPECT_TRUE(Exists(root + L"\\locked.bin"));
  EXPECT_FALSE(Exists(root + L"\\free.bin")) << "the removal goes on past an entry it cannot delete";

  CloseHandle(lock);
  EXPECT_TRUE(DeleteFolderTree(root.c_str()));
}

TEST(DeleteFolderTree, AnEntryWhoseJoinedPathWouldNotFitIsLeftAloneNotCutShort) {
  const std::wstring root = NewFolder(L"long");
  // The long entry's joined path is 205 units, more than the 200 the removal
  // works in: cut short it would name some other file.
  const std::wstring inner = root + L"\\d";
  CreateDirectoryW(inner.c_str(), nullptr);
  const size_t room = 205 - inner.size() - 1;
  const std::wstring longName = std::wstring(room, L'n');
  ASSERT_EQ((inner + L"\\" + longName).size(), 205u);
  // MAX_PATH is 260, so the platform itself takes the long name.
  WriteText(inner + L"\\" + longName, "long");
  WriteText(inner + L"\\short.txt", "short");

  EXPECT_FALSE(DeleteFolderTree(inner.c_str())) << "the folder still holds the entry that did not fit";
  EXPECT_TRUE(Exists(inner + L"\\" + longName));
  EXPECT_FALSE(Exists(inner + L"\\short.txt"));

  DeleteFileW((inner + L"\\" + longName).c_str());
  EXPECT_TRUE(DeleteFolderTree(root.c_str()));
}

TEST(DeleteFolderTree, RemovesALinkWithoutWalkingIntoItsTarget) {
  const std::wstring root = NewFolder(L"link");
  const std::wstring outside = NewFolder(L"outside");
  WriteText(outside + L"\\precious.txt", "keep me");
  const std::wstring link = root + L"\\planted";
  if (!CreateSymbolicLinkW(link.c_str(), outside.c_str(), SYMBOLIC_LINK_FLAG_DIRECTORY)) {
    DeleteFolderTree(root.c_str());
    DeleteFolderTree(outside.c_str());
    GTEST_SKIP() << "this platform makes no directory links (error " << GetLastError() << ")";
  }
  DeleteFolderTree(root.c_str());
  EXPECT_TRUE(Exists(outside + L"\\precious.txt")) << "the removal followed a link out of the folder";
  DeleteFolderTree(root.c_str());
  DeleteFolderTree(outside.c_str());
}

// ---------------------------------------------------------------- payload files

namespace {
BOOL WINAPI ShortWrite(HANDLE file, LPCVOID data, DWORD size, LPDWORD written, LPOVERLAPPED) {
  return WriteFile(file, data, size - 1, written, nullptr);
}
BOOL WINAPI FailingWrite(HANDLE, LPCVOID, DWORD, LPDWORD written, LPOVERLAPPED) {
  *written = 0;
  SetLastError(ERROR_DISK_FULL);
  return FALSE;
}
// Writes the bytes, then moves the file aside through its own handle and puts
// another file with the same bytes under its name: only the file's identity
// tells the two apart once the handle is closed.
BOOL WINAPI SwappingWrite(HANDLE file, LPCVOID data, DWORD size, LPDWORD written, LPOVERLAPPED) {
  if (!WriteFile(file, data, size, written, nullptr)) return FALSE;
  const std::wstring path = FinalPathOf(file);
  const std::wstring aside = path + L".aside";
  std::vector<BYTE> rename(sizeof(FILE_RENAME_INFO) + aside.size() * sizeof(wchar_t));
  auto* info = reinterpret_cast<FILE_RENAME_INFO*>(rename.data());
  info->FileNameLength = static_cast<DWORD>(aside.size() * sizeof(wchar_t));
  std::memcpy(info->FileName, aside.c_str(), info->FileNameLength);
  if (!SetFileInformationByHandle(file, FileRenameInfo, info, static_cast<DWORD>(rename.size()))) return FALSE;
  HANDLE impostor = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
  DWORD done = 0;
  const BOOL ok = WriteFile(impostor, data, size, &done, nullptr);
  CloseHandle(impostor);
  return ok;
}
const std::string kPayload(70000, 'P');
}  // namespace

TEST(WritePayloadFile, WritesTheBytesAndHoldsTheFileAgainstChangeUntilReleased) {
  const std::wstring root = NewFolder(L"hold");
  const std::wstring path = root + L"\\\\Mouse_TMB.sfw";  // the doubled separator of the work folder
  HANDLE hold = WritePayloadFile(path.c_str(), kPayload.data(), static_cast<DWORD>(kPayload.size()));
  ASSERT_NE(hold, INVALID_HANDLE_VALUE);
  EXPECT_EQ(ReadAll(path), kPayload);

  // Another program of the same user can read it, but not change, replace or delete it.
  HANDLE writer = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, 0, nullptr);
  EXPECT_EQ(writer, INVALID_HANDLE_VALUE);
  if (writer != INVALID_HANDLE_VALUE) CloseHandle(writer);
  EXPECT_FALSE(DeleteFileW(path.c_str()));
  EXPECT_FALSE(MoveFileW(path.c_str(), (root + L"\\moved.sfw").c_str()));
  EXPECT_FALSE(Exists(root + L"\\moved.sfw"));
  HANDLE reader = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                              0, nullptr);
  EXPECT_NE(reader, INVALID_HANDLE_VALUE) << "a library loader's open must still work";
  if (reader != INVALID_HANDLE_VALUE) CloseHandle(reader);

  ReleasePayload(hold);
  EXPECT_EQ(hold, INVALID_HANDLE_VALUE);
  EXPECT_TRUE(DeleteFileW(path.c_str()));
  DeleteFolderTree(root.c_str());
}

TEST(WritePayloadFile, AHeldLibraryStillLoadsFromItsFile) {
  wchar_t self[MAX_PATH];
  GetModuleFileNameW(nullptr, self, MAX_PATH);
  std::wstring dir(self);
  dir.resize(dir.find_last_of(L'\\') + 1);
  const std::string bytes = ReadAll(dir + L"planted_library.dll");
  ASSERT_GT(bytes.size(), 1000u);

  const std::wstring root = NewFolder(L"dll");
  const std::wstring path = root + L"\\FWUpdater.dll";
  HANDLE hold = WritePayloadFile(path.c_str(), bytes.data(), static_cast<DWORD>(bytes.size()));
  ASSERT_NE(hold, INVALID_HANDLE_VALUE);
  HMODULE lib = LoadLibraryExW(path.c_str(), nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  ASSERT_NE(lib, nullptr) << GetLastError();
  EXPECT_NE(GetProcAddress(lib, "PlantedLibraryMarker"), nullptr);
  FreeLibrary(lib);
  ReleasePayload(hold);
  DeleteFolderTree(root.c_str());
}

TEST(WritePayloadFile, AShortFailedOrSwappedWriteIsDetectedLeavesNoFileAndTellsTheDebugger) {
  struct Case {
    const char* name;
    PayloadWriteFn write;
    const wchar_t* expectInLine;
  } cases[] = {
      {"short", &ShortWrite, L"WriteFile fail : 0, 69999 of 70000"},
      {"failed", &FailingWrite, L"WriteFile fail : 112"},  // ERROR_DISK_FULL
      {"swapped for the same bytes", &SwappingWrite, L"Payload changed after writing"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::wstring root = NewFolder(L"short");
    const std::wstring path = root + L"\\MouseFW.bin";
    DebugLines lines;
    HANDLE hold = WritePayloadFile(path.c_str(), kPayload.data(), static_cast<DWORD>(kPayload.size()), c.write);
    EXPECT_EQ(hold, INVALID_HANDLE_VALUE);
    EXPECT_FALSE(Exists(path)) << "a partial payload stayed behind";
    const std::wstring all = lines.All();
    EXPECT_NE(all.find(c.expectInLine), std::wstring::npos) << std::string(all.begin(), all.end());
    DeleteFolderTree(root.c_str());
  }
}

TEST(WritePayloadFile, ATargetThatCannotBeCreatedIsSkippedSilently) {
  DebugLines lines;
  const std::wstring root = NewFolder(L"nodir");
  HANDLE hold = WritePayloadFile((root + L"\\missing\\Tmb.dll").c_str(), kPayload.data(), 10);
  EXPECT_EQ(hold, INVALID_HANDLE_VALUE);
  EXPECT_EQ(lines.All(), L"");
  DeleteFolderTree(root.c_str());
}

TEST(WritePayloadFile, AnExistingNameIsNeverWrittenThroughEvenAHardLinkToAFileElsewhere) {
  const std::wstring root = NewFolder(L"existing"), outside = NewFolder(L"victim");
  WriteText(outside + L"\\victim", "victim");
  const std::wstring path = root + L"\\Mouse_TMB.sfw";
  ASSERT_TRUE(CreateHardLinkW(path.c_str(), (outside + L"\\victim").c_str(), nullptr));
  HANDLE hold = WritePayloadFile(path.c_str(), kPayload.data(), static_cast<DWORD>(kPayload.size()));
  EXPECT_EQ(hold, INVALID_HANDLE_VALUE);
  if (hold != INVALID_HANDLE_VALUE) ReleasePayload(hold);
  EXPECT_EQ(ReadAll(outside + L"\\victim"), "victim");
  DeleteFolderTree(root.c_str());
  DeleteFolderTree(outside.c_str());
}

TEST(CreatePrivateFolder, OnlyAFolderMadeFreshIsUsedAndItStaysPutWhileHeld) {
  const std::wstring root = NewFolder(L"private");
  const std::wstring folder = root + L"\\OrvaneTessik_mouse";
  HANDLE pin = CreatePrivateFolder(folder.c_str());
  ASSERT_NE(pin, INVALID_HANDLE_VALUE);
  EXPECT_FALSE(MoveFileW(folder.c_str(), (root + L"\\moved").c_str())) << "renamed while held";
  // The payload check knows the folder by the path its handle names.
  const std::wstring final = FinalPathOf(pin);
  ASSERT_GE(final.size(), 19u);
  EXPECT_EQ(final.substr(final.size() - 19), L"\\OrvaneTessik_mouse");
  CloseHandle(pin);

  DebugLines lines;
  EXPECT_EQ(CreatePrivateFolder(folder.c_str()), INVALID_HANDLE_VALUE) << "a folder that exists already was used";
  EXPECT_NE(lines.All().find(L"Work folder not used"), std::wstring::npos);
  DeleteFolderTree(root.c_str());
}

TEST(PayloadMatches, TellsTheWrittenBytesFromAnyOthers) {
  const std::wstring root = NewFolder(L"match");
  const std::wstring path = root + L"\\Tmb.dll";
  HANDLE hold = WritePayloadFile(path.c_str(), kPayload.data(), static_cast<DWORD>(kPayload.size()));
  ASSERT_NE(hold, INVALID_HANDLE_VALUE);
  std::string other = kPayload;
  other[40000] = 'Q';
  EXPECT_TRUE(PayloadMatches(hold, kPayload.data(), static_cast<DWORD>(kPayload.size())));
  EXPECT_FALSE(PayloadMatches(hold, other.data(), static_cast<DWORD>(other.size())));
  EXPECT_FALSE(PayloadMatches(hold, kPayload.data(), static_cast<DWORD>(kPayload.size() - 1)));
  ReleasePayload(hold);
  DeleteFolderTree(root.c_str());
}

// ---------------------------------------------------------------- library search

// Last in this file: the restriction is for the whole process and cannot be undone.
TEST(RestrictDllSearch, ALibraryPlantedBesideTheExecutableIsNoLongerLoadedByName) {
  HMODULE before = LoadLibraryW(L"planted_library.dll");
  ASSERT_NE(before, nullptr) << "the control load: the executable's folder is searched by default";
  FreeLibrary(before);
  ASSERT_EQ(GetModuleHandleW(L"planted_library.dll"), nullptr);

  RestrictDllSearch();
  HMODULE after = LoadLibraryW(L"planted_library.dll");
  EXPECT_EQ(after, nullptr);
  if (after) FreeLibrary(after);
  // System libraries still load by name.
  HMODULE system = LoadLibraryW(L"version.dll");
  EXPECT_NE(system, nullptr);
  if (system) FreeLibrary(system);
}
