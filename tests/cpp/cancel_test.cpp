// Stopping a run: workers of run_parallel stop at their cancel points, the host's check runs on
// the run's own thread only, a cancelled run never commits a file, and runs do not share a stop.
#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "common/atomic_file.h"
#include "common/cancel.h"
#include "common/parallel.h"

namespace fs = std::filesystem;
using namespace halvex;

namespace {

// Polls like a row loop until cancelled, or gives up after `seconds`; true when it was stopped.
bool loop_until_cancelled(double seconds) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  try {
    while (std::chrono::steady_clock::now() < end) cancel_point();
  } catch (const Cancelled&) {
    return true;
  }
  return false;
}

TEST(Cancel, WorkersStopWhenTheCheckOfTheRunsThreadSaysSo) {
  const std::thread::id owner = std::this_thread::get_id();
  std::atomic<int> checks{0}, checks_elsewhere{0};
  std::atomic<bool> signalled{false};
  CancelScope run([&] {
    ++checks;
    if (std::this_thread::get_id() != owner) ++checks_elsewhere;
    return signalled.load();
  });
  std::thread signal([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    signalled = true;
  });
  const auto start = std::chrono::steady_clock::now();
  std::atomic<int> stopped{0};
  // Part 0 returns at once: the run's thread asks while it waits for the others.
  EXPECT_THROW(run_parallel(4, [&](std::size_t t) {
                 if (t == 0) return;
                 if (loop_until_cancelled(30)) ++stopped;
                 cancel_point();
               }),
               Cancelled);
  signal.join();
  EXPECT_EQ(stopped.load(), 3);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  EXPECT_GT(checks.load(), 0);
  EXPECT_EQ(checks_elsewhere.load(), 0);
  // Not asked more often than its interval (plus the one that said yes).
  EXPECT_LE(checks.load(), (std::chrono::steady_clock::now() - start) / CancelScope::kCheckInterval + 2);
}

TEST(Cancel, RunsAreTheirThreadsAndANewRunStartsAfresh) {
  {
    CancelScope outer;
    CancelScope inner;  // stops with the run around it
    outer.cancel();
    EXPECT_THROW(cancel_point(), Cancelled);
    bool other_stopped = true;
    std::thread([&] {
      CancelScope own;
      other_stopped = loop_until_cancelled(0.05);
    }).join();
    EXPECT_FALSE(other_stopped);
  }
  EXPECT_NO_THROW(cancel_point());  // outside a run
  CancelScope next;
  EXPECT_NO_THROW(cancel_point());
}

TEST(Cancel, ACancelledRunNeverCommitsItsFile) {
  char tmpl[] = "/tmp/halvex_cancel_XXXXXX";
  const fs::path dir = ::mkdtemp(tmpl);
  const std::string page = (dir / "page.html").string();
  std::ofstream(page) << "old";
  {
    bool signalled = false;
    CancelScope run([&] { return signalled; });
    AtomicFile f(page);
    f.write("new");
    signalled = true;  // arrives while the file is written, well within the check interval
    EXPECT_THROW(f.commit(), Cancelled);
  }
  std::ifstream in(page);
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(text, "old");
  EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 1);  // no temporary file
  fs::remove_all(dir);
}

}  // namespace
