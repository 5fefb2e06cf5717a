// Settings texts read as the C library's atoi reads them.
#include <gtest/gtest.h>

#include "shell/SettingsValue.h"

namespace {

TEST(SettingsValueTest, EmptyTextGivesTheDefault) {
  EXPECT_EQ(SettingsValue("", 1), 1);
  EXPECT_EQ(SettingsValue("", 0), 0);
}

TEST(SettingsValueTest, LeadingIntegerLikeAtoi) {
  EXPECT_EQ(SettingsValue("7", 1), 7);
  EXPECT_EQ(SettingsValue("-3", 1), -3);
  EXPECT_EQ(SettingsValue("+5", 1), 5);
  EXPECT_EQ(SettingsValue("  \t12abc", 1), 12);
  EXPECT_EQ(SettingsValue("abc", 1), 0);
  EXPECT_EQ(SettingsValue("-", 1), 0);
  EXPECT_EQ(SettingsValue(" ", 1), 0);
  EXPECT_EQ(SettingsValue("1 2", 1), 1);
}

TEST(SettingsValueTest, OutOfRangeSaturates) {
  EXPECT_EQ(SettingsValue("2147483647", 1), 2147483647);
  EXPECT_EQ(SettingsValue("-2147483648", 1), INT32_MIN);
  EXPECT_EQ(SettingsValue("2147483648", 1), INT32_MAX);
  EXPECT_EQ(SettingsValue("-99999999999999999999999", 1), INT32_MIN);
}

}  // namespace
