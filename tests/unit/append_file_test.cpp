// The record file several programs append to at once.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#ifndef _WIN32
#include <sys/stat.h>
#endif

#include "platform/AppendFile.h"

namespace {

std::string ReadAll(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// A name of this run's own: runs on both systems may share the folder.
std::filesystem::path TempFile(const char* name) {
  const char* tmp = std::getenv("TMPDIR");
  auto dir = tmp && *tmp ? std::filesystem::path(tmp) : std::filesystem::temp_directory_path();
  auto path = dir / (std::string(name) + "-" + std::to_string(std::random_device{}()));
  std::filesystem::remove(path);
  return path;
}

// Writers that each open the file on their own, as separate programs do, and
// all find the same line cut short: it is closed once, never once per writer
// (an empty line between records breaks a reader of the file).
TEST(AppendFile, WritersMeetingACutLineCloseItOnceAndKeepEveryRecordWhole) {
  const auto path = TempFile("append");
  constexpr int kWriters = 4;
  constexpr int kRounds = 100;
  std::vector<std::unique_ptr<platform::AppendFile>> files;
  for (int w = 0; w < kWriters; ++w) {
    files.push_back(std::make_unique<platform::AppendFile>());
    std::string error;
    ASSERT_TRUE(files.back()->Open(path.string(), &error)) << error;
  }
  for (int round = 0; round < kRounds; ++round) {
    {
      std::ofstream cut(path, std::ios::binary | std::ios::app);
      cut << "{\"cut\":" << round;
    }
    std::atomic<int> ready{0};
    std::atomic<int> failures{0};
    std::vector<std::thread> writers;
    for (int w = 0; w < kWriters; ++w) {
      writers.emplace_back([&, w] {
        ++ready;
        while (ready.load() < kWriters) std::this_thread::yield();
        std::string error;
        const std::string line = "{\"round\":" + std::to_string(round) + ",\"writer\":" +
                                 std::to_string(w) + "}\n";
        if (!files[static_cast<std::size_t>(w)]->Append(line, &error)) ++failures;
      });
    }
    for (auto& t : writers) t.join();
    ASSERT_EQ(failures.load(), 0);
  }
  files.clear();
  // Every round: its cut line closed by one newline, then each writer's line whole.
  std::istringstream lines(ReadAll(path));
  int round = -1;
  int seen = 0;
  for (std::string line; std::getline(lines, line);) {
    ASSERT_FALSE(line.empty()) << "an empty line after " << seen << " lines";
    if (line.rfind("{\"cut\":", 0) == 0) {
      ASSERT_EQ(line, "{\"cut\":" + std::to_string(round + 1));
      ++round;
      continue;
    }
    ASSERT_EQ(line.rfind("{\"round\":" + std::to_string(round) + ",\"writer\":", 0), 0u) << line;
    ASSERT_EQ(line.back(), '}') << line;
    ++seen;
  }
  EXPECT_EQ(round, kRounds - 1);
  EXPECT_EQ(seen, kWriters * kRounds);
  std::filesystem::remove(path);
}

// A record sent to a device or a pipe (--log /dev/stdout | tee) is written
// once it is handed over: only files on a disk are flushed, and a device that
// cannot be is no failure.
TEST(AppendFile, ARecordToADeviceOrAPipeIsWrittenNotReportedFailed) {
#ifdef _WIN32
  const std::string device = "NUL";
#else
  const std::string device = "/dev/null";
#endif
  platform::AppendFile null;
  std::string error;
  ASSERT_TRUE(null.Open(device, &error)) << error;
  EXPECT_TRUE(null.Append("{\"result\":\"identified\"}\n", &error)) << error;
#ifndef _WIN32
  const auto fifo = TempFile("append-fifo");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  {
    platform::AppendFile pipe;
    ASSERT_TRUE(pipe.Open(fifo.string(), &error)) << error;
    EXPECT_TRUE(pipe.Append("{\"result\":\"identified\"}\n", &error)) << error;
  }
  std::filesystem::remove(fifo);
#endif
}

}  // namespace
