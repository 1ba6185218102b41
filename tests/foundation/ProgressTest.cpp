#include <gtest/gtest.h>

#include "tests/support/FakeHidBackend.h"
#include "tests/support/FakeMainView.h"
#include "ui/LocalizedText.h"
#include "ui/MainDialogLogic.h"
#include "update/Progress.h"

namespace {

class ProgressTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_iProgress = 0;
    g_iUpdateState = 0;
    g_iUpdateStage = 0;
    g_pMainDlg = &logic;
  }
  void TearDown() override { g_pMainDlg = nullptr; }

  FakeMainView view;
  CDeviceSettings settings;
  FakeHidBackend hid;
  CMainDialogLogic logic{view, settings, hid};
};

TEST(ProgressScale, MatchesTheIntegerPercentagesOfBothStages) {
  const int values[] = {0, 3, 50, 51, 100};
  const int kestrel[] = {0, 1, 24, 24, 49};
  const int tamber[] = {50, 51, 74, 74, 99};
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(ScaleProgress(2, values[i]), kestrel[i]) << values[i];
    EXPECT_EQ(ScaleProgress(1, values[i]), tamber[i]) << values[i];
  }
  // Single precision gives exactly the integer part of 49 * value / 100 over a wide range.
  for (int v = 0; v <= 1000; ++v) {
    ASSERT_EQ(ScaleProgress(2, v), 49 * v / 100) << v;
    ASSERT_EQ(ScaleProgress(1, v), 49 * v / 100 + 50) << v;
  }
}

TEST_F(ProgressTest, ShowsOnlyRisingValuesAndRecordsEveryStatus) {
  g_iUpdateStage = 2;
  UpdateProgressCallback(7, 0);  // 0 is not above the mark: nothing shown
  EXPECT_TRUE(view.Progress().empty());
  UpdateProgressCallback(7, 50);
  UpdateProgressCallback(7, 51);  // also 24: nothing new
  UpdateProgressCallback(7, 10);  // falling: nothing
  EXPECT_EQ(g_iUpdateState.load(), 7);
  UpdateProgressCallback(3, 90);  // not a progress report
  EXPECT_EQ(g_iUpdateState.load(), 3);
  EXPECT_EQ(view.Progress(), std::vector<int>({24}));
  EXPECT_EQ(g_iProgress.load(), 24);
  EXPECT_EQ(view.Text(1006), L"Completed  24%");

  g_iUpdateStage = 1;
  UpdateProgressCallback(7, 0);  // the Tamber stage starts at 50 at once
  UpdateProgressCallback(7, 100);
  EXPECT_EQ(view.Progress(), std::vector<int>({24, 50, 99}));
  EXPECT_EQ(view.Text(1006), L"Completed  99%");
}

TEST_F(ProgressTest, OutOfRangeValuesAreClampedBeforeScaling) {
  g_iUpdateStage = 2;
  UpdateProgressCallback(7, 4464);  // what a progress text of 70000 forwards
  EXPECT_EQ(view.Progress(), std::vector<int>({49}));
  g_iUpdateStage = 1;
  UpdateProgressCallback(7, 30);  // the Tamber stage is still shown
  UpdateProgressCallback(7, 200);
  UpdateProgressCallback(7, -5);
  EXPECT_EQ(view.Progress(), std::vector<int>({49, 64, 99}));
}

TEST_F(ProgressTest, TheHighMarkSurvivesIntoASecondUpdate) {
  g_iUpdateStage = 1;
  UpdateProgressCallback(7, 60);  // 79
  g_iUpdateStage = 2;
  UpdateProgressCallback(7, 100);  // 49 is below the mark
  g_iUpdateStage = 1;
  UpdateProgressCallback(7, 60);
  UpdateProgressCallback(7, 62);  // 80
  EXPECT_EQ(view.Progress(), std::vector<int>({79, 80}));
}

TEST_F(ProgressTest, WithoutAWindowReportsStillMoveTheMark) {
  g_pMainDlg = nullptr;
  g_iUpdateStage = 1;
  UpdateProgressCallback(7, 10);
  EXPECT_EQ(g_iProgress.load(), 54);
  EXPECT_TRUE(view.Progress().empty());
}

}  // namespace
