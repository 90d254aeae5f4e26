// Chunk markers of large pages: the page is cut where the markers stand intact, and refused
// (rendered again with the real texts) when a template altered or dropped one.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "pipeline/page_splice.h"

using halvex::pipeline::ChunkMarkers;

namespace {

// The page put back together from its parts, with "<c>" where chunk c goes.
std::string join(const std::vector<ChunkMarkers::Part>& parts) {
  std::string out;
  for (const auto& p : parts) {
    if (p.chunk == SIZE_MAX) out += p.text;
    else out += "<" + std::to_string(p.chunk) + ">";
  }
  return out;
}

TEST(ChunkMarkers, MarkersSurviveEscapingAndCaseChanges) {
  ChunkMarkers m(123456789);
  for (size_t i : {0u, 7u, 100000u}) {
    std::string s = m.marker(i);
    for (char c : s) {
      // No letters (upper/lower leave it alone) and nothing HTML escaping touches.
      EXPECT_FALSE((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')) << i;
      EXPECT_TRUE(c != '<' && c != '>' && c != '&' && c != '"' && c != '\'') << i;
    }
    // JSON and repr both escape control characters, so a serialised marker is not a marker.
    EXPECT_TRUE(s.find('\x1e') != std::string::npos && s.find('\x1f') != std::string::npos);
  }
  EXPECT_NE(m.marker(1), m.marker(10));
  EXPECT_NE(ChunkMarkers(1).marker(0), ChunkMarkers(2).marker(0));
}

TEST(ChunkMarkers, SplitsAtEveryMarkerInPageOrder) {
  ChunkMarkers m(42);
  std::string page = "head " + m.marker(1) + " mid " + m.marker(0) + m.marker(2) + " tail";
  std::vector<ChunkMarkers::Part> parts;
  ASSERT_TRUE(m.split(page, 3, parts));
  EXPECT_EQ(join(parts), "head <1> mid <0><2> tail");
}

TEST(ChunkMarkers, ChunkUsedTwiceIsWrittenTwice) {
  ChunkMarkers m(42);
  std::string page = m.marker(0) + "|" + m.marker(0);
  std::vector<ChunkMarkers::Part> parts;
  ASSERT_TRUE(m.split(page, 1, parts));
  EXPECT_EQ(join(parts), "<0>|<0>");
}

TEST(ChunkMarkers, MissingOrAlteredMarkerRefusesTheSplit) {
  ChunkMarkers m(42);
  std::vector<ChunkMarkers::Part> parts;
  // Chunk 1 dropped by the template.
  EXPECT_FALSE(m.split("a" + m.marker(0) + "b", 2, parts));
  // Chunk 1's marker cut short or with its end changed.
  std::string cut = m.marker(1);
  cut.pop_back();
  EXPECT_FALSE(m.split(m.marker(0) + cut + "x", 2, parts));
  std::string quoted = m.marker(1);
  quoted.back() = '"';
  EXPECT_FALSE(m.split(m.marker(0) + quoted, 2, parts));
  // No chunks at all: nothing to find, the page is one part.
  ASSERT_TRUE(m.split("plain", 0, parts));
  EXPECT_EQ(join(parts), "plain");
}

TEST(ChunkMarkers, LookalikesStayPageText) {
  ChunkMarkers m(42), other(43);
  std::string beyond = m.marker(5);                     // index past the chunk count
  std::string foreign = other.marker(0);                // another render's marker
  std::string page = beyond + foreign + m.marker(0);
  std::vector<ChunkMarkers::Part> parts;
  ASSERT_TRUE(m.split(page, 1, parts));
  EXPECT_EQ(join(parts), beyond + foreign + "<0>");
  // An index too long to be one is text as well.
  std::string prefix = m.marker(0).substr(0, m.marker(0).size() - 2);
  std::string huge = prefix + std::string(25, '9') + "\x1e";
  std::string page2 = huge + m.marker(0);
  ASSERT_TRUE(m.split(page2, 1, parts));
  EXPECT_EQ(join(parts), huge + "<0>");
}

TEST(ChunkMarkers, MarkerAtTheVeryEndAndStart) {
  ChunkMarkers m(7);
  std::vector<ChunkMarkers::Part> parts;
  ASSERT_TRUE(m.split(m.marker(0), 1, parts));
  EXPECT_EQ(join(parts), "<0>");
  ASSERT_EQ(parts.size(), 3u);  // empty text, the chunk, empty text
  EXPECT_TRUE(parts[0].text.empty() && parts[2].text.empty());
}

}  // namespace
