// The trace's bounded queue when it is full: frames and link events are
// dropped, the unit markers never, and the line that counts the dropped ones
// stays in the part of the unit they came from, so --trace-failures-only cuts
// it away with a unit that succeeded and keeps it with one that failed.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "cli/Trace.h"
#include "serial/WireTap.h"

namespace {

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void Events(int count) {
  for (int i = 0; i < count; ++i) wire::Mark(wire::TapKind::ScanStep, "COM1");
}

TEST(TraceQueue, WhenFullItDropsFramesButNeverAUnitsMarkersNorMovesTheLostLineOutOfItsUnit) {
  const std::string path =
      (std::filesystem::temp_directory_path() / ("trace-queue-" + std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()))).string();
  cli::Trace::LimitQueueForTests(0);
  std::string error;
  ASSERT_TRUE(cli::Trace::Start(path, true, &error)) << error;
  cli::Trace::UnitBegins();
  Events(5);
  cli::Trace::UnitEnds("failed", false);
  cli::Trace::UnitBegins();
  Events(7);
  cli::Trace::UnitEnds("written", true);
  cli::Trace::UnitBegins();
  Events(3);
  cli::Trace::UnitEnds("link lost", false);
  cli::Trace::UnitBegins();
  Events(2);
  ASSERT_TRUE(cli::Trace::Stop(true, &error)) << error;
  const std::string text = ReadFile(path);
  std::filesystem::remove(path);

  const auto at = [&](const std::string& part) { return text.find(part); };
  ASSERT_NE(at("unit ends: failed"), std::string::npos) << text;
  ASSERT_NE(at("unit ends: link lost"), std::string::npos) << text;
  EXPECT_EQ(at("unit ends: written"), std::string::npos) << text;
  // Each count between its unit's begin and end.
  EXPECT_LT(at("unit begins"), at("5 events lost")) << text;
  EXPECT_LT(at("5 events lost"), at("unit ends: failed")) << text;
  EXPECT_LT(at("unit ends: failed"), at("3 events lost")) << text;
  EXPECT_LT(at("3 events lost"), at("unit ends: link lost")) << text;
  // The unit that succeeded and what came after the last one are cut away.
  EXPECT_EQ(at("7 events lost"), std::string::npos) << text;
  EXPECT_EQ(at("2 events lost"), std::string::npos) << text;
  EXPECT_EQ(text.substr(text.size() - 1), "\n") << text;
}

}  // namespace
