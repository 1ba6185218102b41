// The SDK's events: what each one prints, sets and calls.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "kestrel/KestrelDfu.h"
#include "tests/kestrel/FakeKestrelSdk.h"

namespace {

std::vector<std::pair<int32_t, int32_t>> g_progress;
void VENDOR_CALL RecordProgress(int32_t kind, int32_t value) { g_progress.push_back({kind, value}); }

class KestrelEventsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetKestrelWords();
    g_progress.clear();
    FakeKestrelSdk::current = &sdk;
    table = FakeKestrelSdk::Table();
    SetKestrelSdk(&table);
  }
  void TearDown() override {
    SetKestrelSdk(nullptr);
    FakeKestrelSdk::current = nullptr;
  }
  // The lines one event prints.
  std::string Deliver(const SdkEventRecord& e) {
    testing::internal::CaptureStdout();
    SendEvent(e);
    return testing::internal::GetCapturedStdout();
  }

  FakeKestrelSdk sdk;
  KestrelSdkApi table{};
};

TEST_F(KestrelEventsTest, EachStatusSetsTheWordsOfItsRowAndWakesTheFlow) {
  struct Row {
    int32_t status;
    int32_t msgID;
    int32_t flag;  // g_dfu_flag afterwards; -1 untouched
    bool dfu;
    const char* lines;  // after the [UpdateResultAPI] line
  };
  const Row rows[] = {
      {0, 12345, -1, false, ""},
      {1, 0, 1, true, "[DFU] status=1, msg=m\n"},
      {2, 0, 2, false, ""},
      {3, 0, 3, false, ""},
      {4, 0, 4, false, ""},
      {5, 0, -1, false, "ApplyNewFirmwareEx\n"},
      {6, 0, -1, false, ""},
      {7, 0, 7, false, "[DFU connect]\n"},
      {8, 31, 8, false, "[DFU] status=8, msgID=31, msg=m\n"},
      {9, 12345, -1, false, ""},
      {12, 0, -1, false, ""},
      {-3, 0, -1, false, ""},
  };
  for (const Row& r : rows) {
    ResetKestrelWords();
    const uint32_t before = KestrelEventSequence();
    const std::string out = Deliver(MakeEvent(r.status, r.msgID, "m", 1.5, -2));
    EXPECT_EQ(out, "[UpdateResultAPI][" + std::to_string(r.status) + "][" + std::to_string(r.msgID) +
                       "][1.500000][-2.000000][m]\n" + r.lines)
        << r.status;
    EXPECT_EQ(g_dfu_flag.load(), r.flag) << r.status;
    EXPECT_EQ(g_bDFU.load(), r.dfu) << r.status;
    EXPECT_TRUE(g_bEventSeen.load()) << r.status;
    EXPECT_NE(KestrelEventSequence(), before) << r.status;
  }
}

TEST_F(KestrelEventsTest, TimeoutLeavesTheSuccessWordAlone) {
  g_bDFU = true;
  Deliver(MakeEvent(SDK_STATUS_TIMEOUT));
  EXPECT_EQ(g_dfu_flag.load(), 2);
  EXPECT_TRUE(g_bDFU.load());
}

TEST_F(KestrelEventsTest, ReadyToApplyCallsApplyWithTheLow16BitsOfTheHandle) {
  g_device_handle = 0x12340009;
  Deliver(MakeEvent(SDK_STATUS_READY_TO_APPLY));
  ASSERT_EQ(sdk.CallNames(), std::vector<std::string>({"ApplyNewFirmwareEx"}));
  EXPECT_EQ(sdk.calls[0].handle, 0x0009);
  EXPECT_EQ(sdk.calls[0].arg, 20);
}

TEST_F(KestrelEventsTest, VersionAndCategoryAnswerSplitsAtTheFirstComma) {
  struct Case {
    const char* msg;
    const char* version;
    const char* category;
  };
  const Case cases[] = {{"1.2.3,mouse", "1.2.3", "mouse"}, {"a,b,c", "a", "b,c"}, {",x", "", "x"}};
  for (const Case& c : cases) {
    const std::string out = Deliver(MakeEvent(0, SDK_MSG_VERSION_PRODUCT_CATEGORY, c.msg));
    EXPECT_EQ(device.version, c.version);
    EXPECT_EQ(device.product_category, c.category);
    EXPECT_NE(out.find(std::string("[QUERY_VERSION_PRODUCT_CATEGORY_INFO] Version,ProductCategory=") + c.msg +
                       "\ndevice.version=" + c.version + "\ndevice.product_category=" + c.category + "\n"),
              std::string::npos)
        << out;
  }
  // Without a comma the texts stay as they were and nothing more is printed.
  const std::string out = Deliver(MakeEvent(0, SDK_MSG_VERSION_PRODUCT_CATEGORY, "nocomma"));
  EXPECT_EQ(device.version, "");
  EXPECT_EQ(device.product_category, "x");
  EXPECT_EQ(out.find("device.version="), std::string::npos);
}

TEST_F(KestrelEventsTest, OtherAnswersPrintTheirLines) {
  std::string out = Deliver(MakeEvent(0, SDK_MSG_USB_MCU_VERSION, "0107"));
  EXPECT_EQ(usb_mcu_version, "0107");
  EXPECT_NE(out.find("[GET_USB_MCU_VERSION] Version=0107\ndevice.version=0107\n"), std::string::npos) << out;
  EXPECT_EQ(device.version, "");  // its own text, not the Kestrel version
  out = Deliver(MakeEvent(0, SDK_MSG_IAP_MODE_SET));
  EXPECT_NE(out.find("]\n[SET_USB_MCU_IAP_MODE_SUCCESS]\n"), std::string::npos) << out;
}

TEST_F(KestrelEventsTest, ProgressTextIsReadLikeStrtoulBase0AndKeptTo16Bits) {
  g_pfnProgress = RecordProgress;
  const std::pair<const char*, int32_t> cases[] = {
      {"0x32", 50}, {"abc", 0}, {"70000", 4464}, {"42", 42}, {"010", 8}, {"55%", 55}, {"", 0}};
  for (const auto& c : cases) {
    g_progress.clear();
    const std::string out = Deliver(MakeEvent(SDK_STATUS_NOTIFY, SDK_MSG_DFU_PROGRESS, c.first));
    EXPECT_NE(out.find(std::string("[DFU_PROGRESS] ") + c.first + "\n"), std::string::npos);
    ASSERT_EQ(g_progress.size(), 1u) << c.first;
    EXPECT_EQ(g_progress[0], std::make_pair(7, c.second)) << c.first;
  }
  EXPECT_EQ(g_dfu_flag.load(), -1);  // progress is no outcome
}

TEST_F(KestrelEventsTest, ProgressWithoutAHookOnlyPrints) {
  const std::string out = Deliver(MakeEvent(SDK_STATUS_NOTIFY, SDK_MSG_DFU_PROGRESS, "30"));
  EXPECT_NE(out.find("[DFU_PROGRESS] 30\n"), std::string::npos);
  EXPECT_TRUE(g_progress.empty());
}

TEST_F(KestrelEventsTest, LinkEventsPrintTheirValuesCutTowardZero) {
  struct Case {
    int32_t msgID;
    double v1, v2;
    const char* line;
  };
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const Case cases[] = {
      {SDK_MSG_LEA_REMOTE_CONNECTED, 2.9, 7.0, "[LEA_REMOTE_CONNECTED] link_type=2, handle==7\n"},
      {SDK_MSG_LEA_REMOTE_DISCONNECTED, -1.7, 0.2, "[LEA_REMOTE_DISCONNECTED] link_type=-1, handle==0\n"},
      // Values no integer holds are pinned, not undefined.
      {SDK_MSG_LEA_REMOTE_CONNECTED, nan, 1e300, "[LEA_REMOTE_CONNECTED] link_type=0, handle==2147483647\n"},
  };
  for (const Case& c : cases) {
    const std::string out = Deliver(MakeEvent(SDK_STATUS_NOTIFY, c.msgID, "", c.v1, c.v2));
    EXPECT_NE(out.find(c.line), std::string::npos) << out;
  }
}

TEST_F(KestrelEventsTest, UnterminatedMessageIsReadWithinTheRecord) {
  SdkEventRecord e = MakeEvent(SDK_STATUS_SUCCESS);
  std::memset(e.msg, 'z', sizeof(e.msg));
  const std::string out = Deliver(e);
  const std::string text(sizeof(e.msg) - 1, 'z');
  EXPECT_EQ(out.substr(0, out.find('\n') + 1), "[UpdateResultAPI][1][0][0.000000][0.000000][" + text + "]\n");
  EXPECT_TRUE(g_bDFU.load());
}

}  // namespace
