#include <gtest/gtest.h>

#include "update/ErrorText.h"

TEST(UpdateErrorText, NegativeCodesHaveTheirFixedTexts) {
  EXPECT_EQ(GetUpdateErrorText(-1), L"File not exist");
  EXPECT_EQ(GetUpdateErrorText(-3), L"File open fail");
  EXPECT_EQ(GetUpdateErrorText(-4), L"No Device");
  EXPECT_EQ(GetUpdateErrorText(-5), L"no Tmb.dll");
  EXPECT_EQ(GetUpdateErrorText(-6), L"Not support multi-device");
  EXPECT_EQ(GetUpdateErrorText(-7), L"Tamber 8bits MCU");
  EXPECT_EQ(GetUpdateErrorText(-8), L"Write Data Fail");
}

TEST(UpdateErrorText, ProgrammingErrorsAreIndexedByCode) {
  EXPECT_EQ(GetUpdateErrorText(1), L"Wrong Password Format!!");
  EXPECT_EQ(GetUpdateErrorText(2), L"Wrong Vendor ID!!");
  EXPECT_EQ(GetUpdateErrorText(12), L"Firmware Version in TM8 file does not match that of USB Device!");
  EXPECT_EQ(GetUpdateErrorText(15), L"Check Code Option, X'tal setting in code option does not match!!");
  EXPECT_EQ(GetUpdateErrorText(25), L"Get User Code CheckSum : Data Verify Failed!!");
  EXPECT_EQ(GetUpdateErrorText(33), L"Code Security Value Error!");
  EXPECT_EQ(GetUpdateErrorText(34), L"Security = CS3, Unsupport  ISP Download !!");
  EXPECT_EQ(GetUpdateErrorText(38), L"Code Option Program Failed!!");
}

TEST(UpdateErrorText, EverythingElseIsUnknown) {
  for (int code : {0, -2, -9, 39, -2147483647 - 1, 2147483647})
    EXPECT_EQ(GetUpdateErrorText(code), L"Unknow Error") << code;
}
