// The window's start-up decisions: the package query with its captions and
// IDs, the "no device" ending, when the window may close, and which entries of
// the work folder are deleted and which new files a payload is written through,
// and which vendor files beside the program may load.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <chrono>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "app/SafeFiles.h"
#include "app/Sha256.h"
#include "app/VendorFiles.h"
#include "device/Version.h"
#include "resources/resource.h"
#include "tests/support/FakeHidBackend.h"
#include "tests/support/FakeMainView.h"
#include "ui/DialogLayout.h"
#include "ui/MainDialogLogic.h"
#include "update/Progress.h"

namespace {

// What the fake updater library was asked and what it answers.
struct PackageAnswer {
  unsigned short vid = 0, pid = 0;
  unsigned int deviceVersion = 0, fileVersion = 0;
};
PackageAnswer g_answer;
std::wstring g_queriedPath;
unsigned int g_presetDeviceVersion = 0xFFFFFFFF;
int g_bootCalls = 0;
unsigned short g_bootVid = 0, g_bootPid = 0;

int VENDOR_CALL FakeGetFileInfo(const wchar_t* path, unsigned short* vid, unsigned short* pid,
                                unsigned int* deviceVersion, unsigned int* fileVersion, unsigned int*,
                                unsigned int*) {
  g_queriedPath = path;
  g_presetDeviceVersion = *deviceVersion;
  *vid = g_answer.vid;
  *pid = g_answer.pid;
  *deviceVersion = g_answer.deviceVersion;
  *fileVersion = g_answer.fileVersion;
  return 1;
}
int VENDOR_CALL FakeSetBootloaderId(unsigned short vid, unsigned short pid) {
  ++g_bootCalls;
  g_bootVid = vid;
  g_bootPid = pid;
  return 1;
}

const wchar_t kPackagePath[] = L"C:\\Users\\u\\AppData\\Local\\Temp\\\\OrvaneTessik_mouse\\Mouse_TMB.sfw";

class StartupLogicTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_answer = PackageAnswer();
    g_queriedPath.clear();
    g_bootCalls = 0;
    g_iUpdateState = 0;
    settings.m_strVid = L"7C3E";
    settings.m_strPid = L"5D1A";
    settings.m_strBootVid = L"7C3E";
    settings.m_strBootPid = L"5E1A";
    settings.RebuildDevicePattern();
    logic.m_strSfwPath = kPackagePath;
  }
  void Bind() {
    logic.m_api.fnFWU_GetFileInfo = &FakeGetFileInfo;
    logic.m_api.fnSet_Bootloader_ID = &FakeSetBootloaderId;
  }

  FakeMainView view;
  CDeviceSettings settings;
  FakeHidBackend hid;
  CMainDialogLogic logic{view, settings, hid};
};

}  // namespace

TEST_F(StartupLogicTest, WithoutTheLibraryNothingIsQueriedAndTheTessikCaptionStays) {
  logic.QueryPackage();
  EXPECT_EQ(logic.m_strTitle, L"Orvane Tessik - Firmware Updater");
  EXPECT_EQ(logic.m_strMsgCaption, L"Orvane Firmware Updater");
  EXPECT_EQ(logic.m_dwFileVersion, 0u);
  EXPECT_EQ(logic.m_szSfwPath[0], L'\0');
  EXPECT_FALSE(logic.m_bTamberOnly);
  EXPECT_EQ(settings.m_strDevicePattern, L"VID_7C3E&PID_5D1A&MI_02");
}

TEST_F(StartupLogicTest, TheBootLoaderIdsGoToTheLibraryAsHexadecimalLow16Bits) {
  Bind();
  struct Case {
    const wchar_t *vid, *pid;
    unsigned short expectVid, expectPid;
  } cases[] = {
      {L"7C3E", L"5E1A", 0x7C3E, 0x5E1A},
      {L"17c3e", L"0005", 0x7C3E, 0x0005},
      {L"", L"zz", 0, 0},
  };
  for (const Case& c : cases) {
    settings.m_strBootVid = c.vid;
    settings.m_strBootPid = c.pid;
    logic.QueryPackage();
    EXPECT_EQ(g_bootVid, c.expectVid) << std::wstring(c.vid).size();
    EXPECT_EQ(g_bootPid, c.expectPid);
  }
  EXPECT_EQ(g_bootCalls, 3);
}

TEST_F(StartupLogicTest, ThePackageDecidesCaptionIdsPatternAndStages) {
  Bind();
  struct Case {
    const char* name;
    PackageAnswer answer;
    const wchar_t* title;
    const wchar_t* pattern;
    bool tamberOnly;
    bool pathHandedOn;
  } cases[] = {
      {"application ids", {0x7C3E, 0x5D1A, 0x0102, 0x00010002}, L"Orvane Dravik Mouse\u2013 Firmware Updater",
       L"VID_7C3E&PID_5D1A&MI_02", false, true},
      {"boot-loader ids: no Kestrel stage", {0x7C3E, 0x5E1A, 0x0102, 0x00010002},
       L"Orvane Dravik Mouse\u2013 Firmware Updater", L"VID_7C3E&PID_5E1A&MI_02", true, true},
      {"ids in four upper-case digits", {0x00ab, 0x0c0d, 0, 7}, L"Orvane Dravik Mouse\u2013 Firmware Updater",
       L"VID_00AB&PID_0C0D&MI_02", false, true},
      {"no package version", {0x1111, 0x2222, 0x0102, 0}, L"Orvane Tessik - Firmware Updater",
       L"VID_7C3E&PID_5D1A&MI_02", false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SetUp();
    logic.m_dwFileVersion = 0;
    logic.m_dwDeviceVersion = 0;
    logic.m_bTamberOnly = false;
    logic.m_szSfwPath[0] = L'\0';
    logic.m_strFileVersion.clear();
    g_answer = c.answer;

    logic.QueryPackage();

    EXPECT_EQ(g_queriedPath, kPackagePath);
    EXPECT_EQ(g_presetDeviceVersion, 0u);
    EXPECT_EQ(logic.m_strTitle, c.title);
    EXPECT_EQ(logic.m_strMsgCaption, L"Orvane Firmware Updater");
    EXPECT_EQ(settings.m_strDevicePattern, c.pattern);
    EXPECT_EQ(logic.m_bTamberOnly, c.tamberOnly);
    EXPECT_EQ(logic.m_dwFileVersion, c.answer.fileVersion);
    if (c.pathHandedOn) {
      EXPECT_EQ(std::wstring(logic.m_szSfwPath), kPackagePath);
      EXPECT_EQ(logic.m_strFileVersion, FormatFileVersion(c.answer.fileVersion));
      EXPECT_EQ(logic.m_strDeviceVersion, FormatDeviceVersion(c.answer.deviceVersion));
    } else {
      EXPECT_EQ(logic.m_szSfwPath[0], L'\0');
      EXPECT_TRUE(logic.m_strFileVersion.empty());
      EXPECT_EQ(settings.m_strVid, L"7C3E");
    }
  }
}

TEST_F(StartupLogicTest, APackagePathThatDoesNotFitIsNotHandedOnCutShort) {
  Bind();
  g_answer = {0x7C3E, 0x5D1A, 0x0102, 0x00010002};
  const std::wstring fits = L"C:\\" + std::wstring(252, L'p') + L".sfw";  // 259 units
  const std::wstring tooLong = fits + L"x";                                // 260 units
  ASSERT_EQ(fits.size(), 259u);

  logic.m_strSfwPath = fits;
  logic.QueryPackage();
  EXPECT_EQ(std::wstring(logic.m_szSfwPath), fits);

  logic.m_strSfwPath = tooLong;
  logic.QueryPackage();
  EXPECT_EQ(logic.m_szSfwPath[0], L'\0');
  EXPECT_EQ(logic.m_dwFileVersion, 0x00010002u) << "the query itself still counts";
}

TEST_F(StartupLogicTest, WithoutADeviceVersionTheOneNoDeviceBoxEndsTheDialog) {
  logic.QueryPackage();
  logic.m_dwDeviceVersion = 0;
  logic.BeginInitialization();
  // A start message while the box is open starts nothing: the dialog ends after it.
  view.answerBox = [&](const FakeMainView::Box&) {
    logic.OnStartUpdateMessage();
    EXPECT_FALSE(logic.IsWorkerRunning());
    return IDOK;
  };
  EXPECT_FALSE(logic.FinishInitialization());
  EXPECT_FALSE(logic.IsWorkerRunning());
  ASSERT_EQ(view.Boxes().size(), 1u);
  EXPECT_EQ(view.Boxes()[0].text, L"No device found.\r\nPlease connect your device to get started.");
  EXPECT_EQ(view.Boxes()[0].caption, L"Orvane Firmware Updater");
  EXPECT_EQ(view.Boxes()[0].type, MB_OK);
  EXPECT_EQ(view.endResult, 0);
  EXPECT_FALSE(view.updateEnabled);
}

TEST_F(StartupLogicTest, WithADeviceVersionTheWindowOpensReady) {
  logic.QueryPackage();
  logic.m_dwDeviceVersion = 0x0101;
  logic.m_strDeviceVersion = L"0101";
  EXPECT_TRUE(logic.FinishInitialization());
  EXPECT_TRUE(view.Boxes().empty());
  EXPECT_EQ(view.endResult, -1);
  EXPECT_TRUE(view.updateEnabled);
  ASSERT_FALSE(view.looks.empty());
  EXPECT_EQ(view.looks.back().normal, static_cast<UINT>(IDB_PNG_READY));
  EXPECT_EQ(view.Text(IDC_DEVICE_VERSION), VersionDisplayText(L"0101"));
}

namespace {
std::atomic<bool> g_releaseUpdate{false};
int VENDOR_CALL BlockingUpdate(const wchar_t*, FWU_ProgressCallback) {
  while (!g_releaseUpdate.load()) std::this_thread::sleep_for(std::chrono::milliseconds(2));
  return 1;
}
}  // namespace

TEST_F(StartupLogicTest, TheWindowMayCloseOnlyWhenIdleOrFinishedAndNoWorkerRuns) {
  struct Case {
    int32_t state;
    bool canClose;
  } cases[] = {{0, true}, {255, true}, {7, false}, {10, false}, {2, false}};
  for (const Case& c : cases) {
    g_iUpdateState = c.state;
    EXPECT_EQ(logic.CanClose(), c.canClose) << "state " << c.state;
  }

  // A worker that has not reported yet leaves the state at 0: still no closing.
  g_iUpdateState = 0;
  g_releaseUpdate = false;
  logic.m_bTamberOnly = true;
  logic.m_szSfwPath[0] = L'x';
  logic.m_szSfwPath[1] = L'\0';
  logic.m_api.fnFWU_Update = &BlockingUpdate;
  logic.m_sleep = [](DWORD) {};
  g_pMainDlg = &logic;
  ASSERT_TRUE(logic.StartWorker());
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_FALSE(logic.CanClose());

  g_releaseUpdate = true;
  for (int i = 0; i < 500 && logic.IsWorkerRunning(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  ASSERT_FALSE(logic.IsWorkerRunning());
  EXPECT_EQ(g_iUpdateState.load(), 255);
  EXPECT_TRUE(logic.CanClose());
  // A late report after the result changes nothing: the update stays over.
  UpdateProgressCallback(7, 100);
  EXPECT_EQ(g_iUpdateState.load(), 255);
  EXPECT_TRUE(logic.CanClose());
  g_pMainDlg = nullptr;
  g_iUpdateState = 0;
}

// ---------------------------------------------------------------- work folder and payload files

namespace {

const DWORD kDir = FILE_ATTRIBUTE_DIRECTORY, kFile = 0x20, kLink = FILE_ATTRIBUTE_REPARSE_POINT;

// A tree of paths, each with its listed attributes and what a pin finds there
// (a folder swapped for a link meanwhile). A link has no children here: a
// call that reached into its target would show among the calls.
struct FakeTree : IFolderTreeOps {
  std::map<std::wstring, std::pair<DWORD, DWORD>> nodes;
  std::vector<std::wstring> calls;

  DWORD Attributes(const std::wstring& p) override { return nodes.count(p) ? nodes[p].first : INVALID_FILE_ATTRIBUTES; }
  bool Pin(const std::wstring& p) override { return nodes.count(p) && nodes[p].second == kDir; }
  void Unpin(const std::wstring&) override {}
  std::vector<Entry> List(const std::wstring& folder) override {
    calls.push_back(L"list " + folder);
    std::vector<Entry> entries{{L".", kDir}, {L"..", kDir}};
    const std::wstring prefix = folder + L"\\";
    for (const auto& n : nodes)
      if (n.first.rfind(prefix, 0) == 0 && n.first.find(L'\\', prefix.size()) == std::wstring::npos)
        entries.push_back(Entry{n.first.substr(prefix.size()), n.second.first});
    return entries;
  }
  bool RemoveFolder(const std::wstring& p) override { return Remove(L"rmdir " + p, p); }
  bool RemoveFile(const std::wstring& p) override { return Remove(L"del " + p, p); }
  std::wstring held;  // a file another process holds open: it does not go
  bool Remove(const std::wstring& call, const std::wstring& p) {
    calls.push_back(call);
    if (p == held) return false;
    auto child = nodes.lower_bound(p + L"\\");
    if (child != nodes.end() && child->first.rfind(p + L"\\", 0) == 0) return false;  // not empty
    return nodes.erase(p) == 1;
  }
};

}  // namespace

TEST(RemoveFolderTree, DeletesDepthFirstAndRemovesEveryLinkAsALinkNeverWalkingIt) {
  const std::wstring longName(198, L'n');  // joined to W: 200 units, one more than fits
  const struct {
    const char* name;
    std::map<std::wstring, std::pair<DWORD, DWORD>> tree;
    std::vector<std::wstring> calls;
    BOOL removed;
  } cases[] = {
      {"nested folders",
       {{L"W", {kDir, kDir}}, {L"W\\a", {kFile, kFile}}, {L"W\\s", {kDir, kDir}}, {L"W\\s\\b", {kFile, kFile}}},
       {L"list W", L"del W\\a", L"list W\\s", L"del W\\s\\b", L"rmdir W\\s", L"rmdir W"},
       TRUE},
      {"links inside",
       {{L"W", {kDir, kDir}}, {L"W\\d", {kDir | kLink, 0}}, {L"W\\f", {kFile | kLink, 0}}},
       {L"list W", L"rmdir W\\d", L"del W\\f", L"rmdir W"},
       TRUE},
      {"the folder itself a link", {{L"W", {kDir | kLink, 0}}}, {L"rmdir W"}, TRUE},
      {"the folder itself a file link", {{L"W", {kFile | kLink, 0}}}, {L"del W"}, TRUE},
      {"a folder swapped for a link after the listing",
       {{L"W", {kDir, kDir}}, {L"W\\s", {kDir, kDir | kLink}}},
       {L"list W", L"rmdir W\\s", L"rmdir W"},
       TRUE},
      {"an entry that does not fit", {{L"W", {kDir, kDir}}, {L"W\\" + longName, {kFile, kFile}}}, {L"list W", L"rmdir W"}, FALSE},
      {"a missing folder", {}, {}, FALSE},
      {"a file", {{L"W", {kFile, kFile}}}, {}, FALSE},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FakeTree fake;
    fake.nodes = c.tree;
    EXPECT_EQ(RemoveFolderTree(fake, L"W"), c.removed);
    EXPECT_EQ(fake.calls, c.calls);
  }
}

TEST(IsOwnPlainFile, OnlyAPlainFileWithOneNameDirectlyInTheFolderTakesAPayload) {
  const std::wstring folder = L"C:\\T\\OrvaneTessik_mouse";
  const struct {
    const char* name;
    DWORD attributes, links;
    std::wstring finalPath;
    BOOL plain;
    uint64_t volume = 0x1234;  // the folder's
  } cases[] = {
      {"the new file", kFile, 1, folder + L"\\Tmb.dll", TRUE},
      {"names differing in case", kFile, 1, L"c:\\t\\orvanetessik_mouse\\TMB.DLL", TRUE},
      {"a second name", kFile, 2, folder + L"\\Tmb.dll", FALSE},
      {"a reparse point", kFile | kLink, 1, folder + L"\\Tmb.dll", FALSE},
      {"a folder", kDir, 1, folder + L"\\Tmb.dll", FALSE},
      {"elsewhere", kFile, 1, L"C:\\Windows\\System32\\Tmb.dll", FALSE},
      {"in a sub-folder", kFile, 1, folder + L"\\x\\Tmb.dll", FALSE},
      {"in a sibling folder", kFile, 1, folder + L"2\\Tmb.dll", FALSE},
      {"unknown", INVALID_FILE_ATTRIBUTES, 1, folder + L"\\Tmb.dll", FALSE},
      {"the same path on another volume", kFile, 1, folder + L"\\Tmb.dll", FALSE, 0x5678},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    OpenedFileFacts facts;
    facts.attributes = c.attributes;
    facts.links = c.links;
    facts.volume = c.volume;
    facts.finalPath = c.finalPath;
    EXPECT_EQ(IsOwnPlainFile(facts, 0x1234, folder, L"Tmb.dll"), c.plain);
    EXPECT_EQ(IsOwnPlainFile(facts, 0x1234, folder + L"\\", L"Tmb.dll"), c.plain);
  }
}

// A leftover that cannot be removed gives way to a new folder beside it.
TEST(MakeWorkFolder, TheUsualNameElseANewFolderBesideIt) {
  const std::wstring usual = L"C:\\T\\OrvaneTessik_mouse";
  const std::pair<size_t, std::wstring> cases[] = {  // names refused, the one made
      {0, usual}, {1, usual + L".0000002a"}, {2, usual + L".0000002b"}, {5, L""}};
  for (const auto& c : cases) {
    size_t tried = 0;
    EXPECT_EQ(MakeWorkFolder(usual, 0x2a, [&](const std::wstring&) { return ++tried > c.first; }), c.second);
    EXPECT_EQ(tried, c.second.empty() ? 5u : c.first + 1);
  }
}

// ---- the vendor files beside the program

namespace {

// A PE image of one section that imports `names`, the names last in the file.
std::vector<uint8_t> MakePe(uint16_t machine, const std::vector<std::string>& names) {
  std::vector<uint8_t> pe(0x200, 0);
  auto put16 = [&](size_t at, uint32_t v) { pe[at] = v & 0xFF, pe[at + 1] = (v >> 8) & 0xFF; };
  auto put32 = [&](size_t at, uint32_t v) { put16(at, v & 0xFFFF), put16(at + 2, v >> 16); };
  pe[0] = 'M', pe[1] = 'Z';
  put32(0x3C, 0x40);
  pe[0x40] = 'P', pe[0x41] = 'E';
  put16(0x44, machine);
  put16(0x46, 1);        // sections
  put16(0x54, 224);      // optional header size
  put16(0x58, 0x10B);    // PE32
  put32(0x58 + 92, 16);  // directories
  put32(0x58 + 96 + 8, 0x1000);
  const size_t section = 0x58 + 224;
  std::vector<uint8_t> data((names.size() + 1) * 20, 0);
  for (size_t i = 0; i < names.size(); ++i) {
    const uint32_t rva = 0x1000 + static_cast<uint32_t>(data.size());
    for (int b = 0; b < 4; ++b) data[i * 20 + 12 + b] = (rva >> (8 * b)) & 0xFF, data[i * 20 + 16 + b] = b == 1 ? 0x10 : 0;
    data.insert(data.end(), names[i].begin(), names[i].end());
    data.push_back(0);
  }
  put32(section + 8, static_cast<uint32_t>(data.size()));
  put32(section + 12, 0x1000);
  put32(section + 16, static_cast<uint32_t>(data.size()));
  put32(section + 20, 0x200);
  pe.insert(pe.end(), data.begin(), data.end());
  return pe;
}

}  // namespace

TEST(VendorFiles, TheImportTableIsReadWholeOrRefusedAndNamesAreTakenAsTheLoaderTakesThem) {
  EXPECT_EQ(Sha256Hex(nullptr, 0), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  const std::string abc = "abc";
  EXPECT_EQ(Sha256Hex(reinterpret_cast<const uint8_t*>(abc.data()), 3),
            "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  const std::vector<uint8_t> pe = MakePe(0x14C, {"KestrelRuntime.dll", "HID", "KERNEL32.dll"});
  PeImports image;
  ASSERT_EQ(ReadPeImports(pe.data(), pe.size(), &image), "");
  EXPECT_EQ(image.machine, 0x14C);
  EXPECT_EQ(image.names, (std::vector<std::string>{"KestrelRuntime.dll", "HID", "KERNEL32.dll"}));
  // Cut anywhere, it is refused, never read as fewer imports.
  for (size_t cut = 0; cut < pe.size(); ++cut)
    EXPECT_NE(ReadPeImports(pe.data(), cut, &image), "") << "cut at " << cut;

  const std::map<std::string, std::string> names = {
      {"HID", "HID.dll"}, {"hid.dll", "hid.dll"}, {"Kestrel.Runtime", "Kestrel.Runtime"},
      {"..\\hid.dll", ""}, {"sub/hid.dll", ""}, {"C:hid.dll", ""}, {"hid.", ""}, {"", ""}, {"h\x01d", ""}};
  for (const auto& n : names) {
    std::string file;
    EXPECT_EQ(LoaderFileName(n.first, &file) ? file : "", n.second) << n.first;
  }
}

TEST(VendorFiles, OnlyRecordedFilesWithTheirDigestMachineAndKnownImportsLoadAndAnyDoubtLoadsNothing) {
  struct Case {
    const char* what;
    std::map<std::string, std::vector<uint8_t>> files;  // beside the program
    uint16_t machine;
    std::string failure;  // its start; empty: loads
  };
  const std::vector<uint8_t> runtime = MakePe(0x14C, {"KERNEL32.dll"});
  const std::vector<uint8_t> sdk = MakePe(0x14C, {"KestrelRuntime.dll", "HID", "api-ms-win-crt-heap-l1-1-0.dll"});
  const std::string runtimeDigest = Sha256Hex(runtime.data(), runtime.size());
  const std::string sdkDigest = Sha256Hex(sdk.data(), sdk.size());
  std::vector<uint8_t> cut(sdk.begin(), sdk.end() - 3), marker = MakePe(0x14C, {});
  const Case cases[] = {
      {"the genuine files", {{"KestrelHidCoreLib.dll", sdk}, {"KestrelRuntime.dll", runtime}}, 0x14C, ""},
      {"another SDK", {{"KestrelHidCoreLib.dll", marker}, {"KestrelRuntime.dll", runtime}}, 0x14C,
       "KestrelHidCoreLib.dll: digest differs"},
      {"another runtime", {{"KestrelHidCoreLib.dll", sdk}, {"KestrelRuntime.dll", marker}}, 0x14C,
       "KestrelRuntime.dll: digest differs"},
      {"a truncated SDK", {{"KestrelHidCoreLib.dll", cut}, {"KestrelRuntime.dll", runtime}}, 0x14C,
       "KestrelHidCoreLib.dll: digest differs"},
      {"no runtime", {{"KestrelHidCoreLib.dll", sdk}}, 0x14C, "KestrelRuntime.dll: missing"},
      {"another machine", {{"KestrelHidCoreLib.dll", sdk}, {"KestrelRuntime.dll", runtime}}, 0x8664,
       "KestrelHidCoreLib.dll: not of this program's machine type"},
  };
  const VendorPin pins[] = {{"KestrelHidCoreLib.dll", sdkDigest.c_str()}, {"KestrelRuntime.dll", runtimeDigest.c_str()}};
  for (const Case& c : cases) {
    const VendorLoadPlan plan = PlanVendorLoad(
        pins, 2, c.machine,
        [&](const std::string& name, std::vector<uint8_t>* bytes) {
          auto f = c.files.find(name);
          if (f == c.files.end()) return std::string("missing");
          *bytes = f->second;
          return std::string();
        },
        [](const std::string& name) { return name == "HID.dll" || name == "KERNEL32.dll"; });
    EXPECT_EQ(plan.failure, c.failure) << c.what;
    if (!c.failure.empty()) {
      EXPECT_TRUE(plan.files.empty() && plan.systemNames.empty()) << c.what;
      continue;
    }
    ASSERT_EQ(plan.files.size(), 2u);
    EXPECT_EQ(plan.files[0].name, "KestrelRuntime.dll");  // before the SDK that imports it
    EXPECT_EQ(plan.files[1].bytes, sdk);
    EXPECT_EQ(plan.systemNames, (std::vector<std::string>{"KERNEL32.dll", "HID.dll"}));
  }
  // An import that is neither System32's nor recorded, or has a path, loads nothing.
  for (const char* import : {"KestrelExtra.dll", "..\\KestrelRuntime.dll"}) {
    const std::vector<uint8_t> odd = MakePe(0x14C, {import});
    const std::string digest = Sha256Hex(odd.data(), odd.size());
    const VendorPin one[] = {{"KestrelHidCoreLib.dll", digest.c_str()}};
    const VendorLoadPlan plan = PlanVendorLoad(
        one, 1, 0x14C, [&](const std::string&, std::vector<uint8_t>* bytes) { return *bytes = odd, std::string(); },
        [](const std::string&) { return false; });
    EXPECT_NE(plan.failure.find("KestrelHidCoreLib.dll: import"), std::string::npos) << plan.failure;
    EXPECT_TRUE(plan.files.empty());
  }
}

// Folders of killed runs beside the usual one go as the usual one does; no
// other name is touched, and one still held stays.
TEST(RemoveStaleWorkFolders, OnlyTheNamesOfNewWorkFoldersEachWithoutFollowingALink) {
  FakeTree fake;
  const std::wstring w = L"T\\OrvaneTessik_mouse";
  for (const std::wstring& kept : {w, w + L"\\Tmb.dll", w + L".1234567", w + L".123456789", w + L".1234567g",
                                   w + L"_12345678", std::wstring(L"T\\Other.12345678"), w + L".0000beef\\held"})
    fake.nodes[kept] = {kFile, kFile};
  fake.nodes[w] = {kDir, kDir};
  fake.nodes[w + L".0000beef"] = {kDir, kDir};
  fake.nodes[w + L".0000002A"] = {kDir, kDir};
  fake.nodes[w + L".0000002A\\MouseFW.bin"] = {kFile, kFile};
  fake.nodes[w + L".deadbeef"] = {kDir | kLink, 0};
  fake.held = w + L".0000beef\\held";
  EXPECT_EQ(RemoveStaleWorkFolders(fake, L"T\\\\OrvaneTessik_mouse"), 2);
  EXPECT_EQ(fake.calls, std::vector<std::wstring>({L"list T", L"list " + w + L".0000002A",
                                                   L"del " + w + L".0000002A\\MouseFW.bin",
                                                   L"rmdir " + w + L".0000002A", L"list " + w + L".0000beef",
                                                   L"del " + w + L".0000beef\\held", L"rmdir " + w + L".0000beef",
                                                   L"rmdir " + w + L".deadbeef"}));
  EXPECT_EQ(fake.nodes.size(), 9u);  // the three removed are gone
}

// The window's measures: the layout's own pixels at 96 DPI; elsewhere scaled
// as MulDiv rounds, edges rather than sizes, so that controls that meet still meet.
TEST(DialogScale, TheLayoutAt96IsTheDesignsAndElsewhereItsEdgesScaled) {
  struct {
    int value, num, den, want;
  } rounding[] = {{565, 144, 96, 848}, {242, 144, 96, 363}, {565, 120, 96, 706}, {242, 120, 96, 303},
                  {-3, 3, 2, -5},      {3, -3, 2, -5},      {7, 1, 0, -1},       {INT32_MAX, 2, 1, -1}};
  for (const auto& r : rounding) EXPECT_EQ(MulDivRounded(r.value, r.num, r.den), r.want) << r.value << "*" << r.num;
  EXPECT_EQ(CDialogScale(0).Dpi(), 96);
  EXPECT_EQ(CDialogScale(100000).Dpi(), 96);

  const CDialogScale design(96);
  for (const ControlPlacement& c : kControlLayout) {
    const PlacedRect r = PlaceControl(c, design, 565, 123);
    const int w = c.width == ControlPlacement::kClientLess ? 565 - c.w : c.width == ControlPlacement::kFixed ? c.w : 123;
    EXPECT_TRUE(r.x == c.x && r.y == c.y && r.w == w && r.h == c.h) << "control " << c.id;
  }
  EXPECT_EQ(FitProgressTextWidth(0, design), 100);
  EXPECT_EQ(FitProgressTextWidth(120, design), 124);
  EXPECT_EQ(FitProgressTextWidth(900, design), 498);

  const CDialogScale large(144);
  auto at = [&](int id) {
    for (const ControlPlacement& c : kControlLayout)
      if (c.id == id) return PlaceControl(c, large, 848, 200);
    return PlacedRect{};
  };
  const PlacedRect button = at(IDOK), text = at(IDC_PROGRESS_TEXT), bar = at(IDC_PROGRESS), notice = at(IDC_NOTICE);
  EXPECT_TRUE(button.x == 677 && button.y == 156 && button.w == 111 && button.h == 47);
  EXPECT_EQ(text.y + text.h, bar.y) << "the progress text meets the bar";
  EXPECT_EQ(text.w, 200);
  EXPECT_EQ(notice.x + notice.w, 848 - 225) << "the notice keeps its distance from the right edge";
  EXPECT_EQ(FitProgressTextWidth(0, large), 150);
  EXPECT_EQ(FitProgressTextWidth(900, large), 747);
}
