// The trace's bounded queue when it is full: frames and link events are
// dropped, the unit markers never, and the line that counts the dropped ones
// stays in the part of the unit they came from, so --trace-failures-only cuts
// it away with a unit that succeeded and keeps it with one that failed.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

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

  // The writer may take up a count part-way (1 and then 2 where 3 were lost):
  // what counts is that each unit's counts add up inside that unit.
  std::vector<std::pair<std::string, int>> units;  // how each kept unit ended, and its losses
  int lost = 0;
  int outside = 0;
  bool inUnit = false;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    if (line.find("unit begins") != std::string::npos) {
      inUnit = true;
      lost = 0;
    } else if (const auto end = line.find("unit ends: "); end != std::string::npos) {
      units.emplace_back(line.substr(end + 11), lost);
      inUnit = false;
    } else if (const auto n = line.find(" events lost"); n != std::string::npos) {
      const auto start = line.find_last_of(' ', n - 1) + 1;
      (inUnit ? lost : outside) += std::stoi(line.substr(start, n - start));
    }
  }
  // The unit that succeeded and what came after the last one are cut away.
  const std::vector<std::pair<std::string, int>> expected{{"failed", 5}, {"link lost", 3}};
  EXPECT_EQ(units, expected) << text;
  EXPECT_EQ(outside, 0) << text;
  EXPECT_FALSE(inUnit) << text;
  EXPECT_EQ(text.substr(text.size() - 1), "\n") << text;
}

}  // namespace
