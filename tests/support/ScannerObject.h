// A scanner object linked into a test, as the library's load makes one.
#pragma once

#include <gtest/gtest.h>

#include <memory>

#include "shell/KvtScan3DLumora.h"

inline std::unique_ptr<KvtScan3DLumora> NewScanner() {
  std::int32_t status = -1;
  auto scanner = std::make_unique<KvtScan3DLumora>(&status);
  EXPECT_EQ(status, 0) << "the scanner object reported a failed construction";
  return scanner;
}
