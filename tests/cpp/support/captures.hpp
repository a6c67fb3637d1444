#pragma once

#include <filesystem>

#include <gtest/gtest.h>

// The real-traffic captures live beside the repository, not in it; on a
// machine without them the tests that read them are skipped, not failed.
#define FERROMESH_SKIP_WITHOUT_CAPTURES()                                  \
  if (!std::filesystem::is_directory(FERROMESH_CAPTURES_DIR))             \
  GTEST_SKIP() << "no capture directory at " FERROMESH_CAPTURES_DIR
