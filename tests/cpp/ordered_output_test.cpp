// Pieces made on several threads reach the sink whole, once each, in their order, one call
// at a time; a failing sink stops the output for every thread.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "common/ordered_output.h"

using halvex::OrderedOutput;

namespace {

std::string piece_text(std::size_t k) { return "<" + std::to_string(k) + ">"; }

TEST(OrderedOutput, PiecesFromManyThreadsInTheirOrderOneCallAtATime) {
  constexpr std::size_t kThreads = 4, kPieces = 400;
  std::string got;
  std::atomic<int> inside{0};
  bool overlapped = false;
  OrderedOutput out([&](std::string_view piece) {
    if (inside.fetch_add(1) != 0) overlapped = true;
    std::this_thread::yield();
    got += piece;
    inside.fetch_sub(1);
  });
  std::vector<std::thread> pool;
  for (std::size_t t = 0; t < kThreads; ++t)
    pool.emplace_back([&, t] {
      // Each thread's pieces backwards: most arrive before their turn.
      for (std::size_t k = kPieces - kThreads + t + 1; k-- > 0;) {
        if (k % kThreads != t) continue;
        std::string b = out.buffer();
        b += piece_text(k);
        out.put(k, std::move(b));
      }
    });
  for (auto& th : pool) th.join();
  std::string want;
  for (std::size_t k = 0; k < kPieces; ++k) want += piece_text(k);
  EXPECT_EQ(got, want);
  EXPECT_FALSE(overlapped);
  EXPECT_EQ(out.written(), kPieces);
}

TEST(OrderedOutput, ReusedBuffersComeBackEmpty) {
  std::string got;
  OrderedOutput out([&](std::string_view piece) { got += piece; });
  std::string first = out.buffer();
  first.assign(1000, 'x');
  out.put(0, std::move(first));
  std::string again = out.buffer();
  EXPECT_TRUE(again.empty());
  again += "y";
  out.put(1, std::move(again));
  EXPECT_EQ(got, std::string(1000, 'x') + "y");
}

TEST(OrderedOutput, AFailingSinkStopsEveryThreadAndWritesNothingMore) {
  std::string got;
  OrderedOutput out([&](std::string_view piece) {
    if (piece == "2") throw std::runtime_error("disk full");
    got += piece;
  });
  out.put(1, "1");
  out.put(3, "3");
  out.put(0, "0");  // writes 0 and 1; 3 waits for 2
  EXPECT_EQ(got, "01");
  EXPECT_THROW(out.put(2, "2"), std::runtime_error);
  // Another thread with a later piece learns of it too, and 3 is never written.
  std::thread other([&] { EXPECT_THROW(out.put(4, "4"), std::runtime_error); });
  other.join();
  EXPECT_EQ(got, "01");
  EXPECT_EQ(out.written(), 2u);
}

}  // namespace
