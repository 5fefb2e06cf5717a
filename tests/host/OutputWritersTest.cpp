// The measurement's files: PLY in binary and text, XYZ text, the projections picture and its PNG
// file, and the summary.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

#include "TempDir.h"
#include "tools/host/OutputWriters.h"
#include "wire/WireValues.h"

#define STB_IMAGE_IMPLEMENTATION
#include <stb/stb_image.h>

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

std::vector<double> Numbers(const std::string& line) {
  std::vector<double> values;
  std::istringstream in(line);
  for (double value; in >> value;) values.push_back(value);
  return values;
}

// Two records of two points each; the point with a NaN is left out.
Recording TwoRecords() {
  Recording recording;
  recording.points = {{1.0, 2.0, 3.0}, {4.5, -5.25, 6.0}, {7.0, kNaN, 9.0}, {0.125, 1e5, -3.0}};
  recording.records = {{{10.0, 20.0, 30.0}, {0.0, 0.0, -1.0}, 0, 2, true},
                       {{-1.5, 2.5, 100.0}, {0.6, 0.0, -0.8}, 2, 2, false}};
  return recording;
}

const std::vector<std::vector<double>> TWO_RECORDS_VERTICES = {
    {1, 2, 3, 0, 0, -1, 10, 20, 30},
    {4.5, -5.25, 6, 0, 0, -1, 10, 20, 30},
    {0.125, 1e5, -3, 0.6, 0, -0.8, -1.5, 2.5, 100}};

// The header's lines without its comments, for the given format line.
std::vector<std::string> PlyHeader(const std::string& format) {
  return {"ply",
          "format " + format + " 1.0",
          "element vertex 3",
          "property float x",
          "property float y",
          "property float z",
          "property float nx",
          "property float ny",
          "property float nz",
          "property float sx",
          "property float sy",
          "property float sz",
          "end_header"};
}

TEST(PointFilesTest, TextPlyDeclaresEveryWrittenVertexWithItsRecordsPose) {
  TempDir dir;
  ASSERT_TRUE(writePly(dir.file("points.ply"), TwoRecords(), PlyEncoding::Ascii));
  std::vector<std::string> lines = Lines(ReadWholeFile(dir.file("points.ply")));
  const std::vector<std::string> header = PlyHeader("ascii");
  std::vector<std::string> declared;
  for (const std::string& line : lines) {
    if (line.rfind("comment ", 0) != 0) declared.push_back(line);
  }
  ASSERT_EQ(declared.size(), header.size() + 3) << "the point with a NaN is left out";
  EXPECT_EQ(std::vector<std::string>(declared.begin(), declared.begin() + header.size()), header);
  for (std::size_t v = 0; v < 3; ++v) {
    EXPECT_EQ(Numbers(declared[header.size() + v]), TWO_RECORDS_VERTICES[v]) << "vertex " << v;
  }
}

// Binary is the default: the same header in binary_little_endian, then nine little-endian
// float32 values per vertex and nothing after them.
TEST(PointFilesTest, BinaryPlyHoldsTheSameVerticesAsLittleEndianFloats) {
  TempDir dir;
  ASSERT_TRUE(writePly(dir.file("points.ply"), TwoRecords()));
  const std::string file = ReadWholeFile(dir.file("points.ply"));
  const std::string end = "end_header\n";
  const std::size_t body = file.find(end);
  ASSERT_NE(body, std::string::npos);
  std::vector<std::string> declared;
  for (const std::string& line : Lines(file.substr(0, body + end.size()))) {
    if (line.rfind("comment ", 0) != 0) declared.push_back(line);
  }
  EXPECT_EQ(declared, PlyHeader("binary_little_endian"));
  const std::string values = file.substr(body + end.size());
  ASSERT_EQ(values.size(), 3u * 9u * 4u);
  for (std::size_t v = 0; v < 3; ++v) {
    for (std::size_t i = 0; i < 9; ++i) {
      const float value =
          GetFloat32(reinterpret_cast<const unsigned char*>(&values[(v * 9 + i) * 4]));
      EXPECT_EQ(value, static_cast<float>(TWO_RECORDS_VERTICES[v][i])) << v << " " << i;
    }
  }
}

// Vertices are written in blocks: a count that is no multiple of a block still comes out whole.
TEST(PointFilesTest, BinaryPlyOfManyVerticesHasThemAll) {
  Recording recording;
  const std::size_t count = 10001;
  for (std::size_t i = 0; i < count; ++i)
    recording.points.push_back({static_cast<double>(i), 0.0, 0.0});
  recording.records = {{{0.0, 0.0, 0.0}, {0.0, 0.0, -1.0}, 0, count, false}};
  TempDir dir;
  ASSERT_TRUE(writePly(dir.file("points.ply"), recording));
  const std::string file = ReadWholeFile(dir.file("points.ply"));
  const std::size_t body = file.find("end_header\n") + 11;
  ASSERT_EQ(file.size() - body, count * 36);
  EXPECT_EQ(GetFloat32(reinterpret_cast<const unsigned char*>(&file[body + (count - 1) * 36])),
            10000.0f);
}

TEST(PointFilesTest, XyzHasOneLineOfThreeValuesPerFinitePoint) {
  TempDir dir;
  // The last is a float from the console, widened: it must come back as the same float.
  ASSERT_TRUE(writeXyz(dir.file("points.xyz"), {{1.0, 2.0, 3.0},
                                                {kNaN, 0.0, 0.0},
                                                {-0.5, 1234.5677, 1e-3},
                                                {static_cast<double>(0.1f), 0.0, 0.0}}));
  std::vector<std::string> lines = Lines(ReadWholeFile(dir.file("points.xyz")));
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0], "1 2 3") << "no carriage return on Windows either";
  EXPECT_EQ(Numbers(lines[1]), (std::vector<double>{-0.5, 1234.5677, 1e-3}));
  EXPECT_EQ(static_cast<float>(Numbers(lines[2]).at(0)), 0.1f);
}

TEST(PointFilesTest, WritersReportAFileThatCannotBeWritten) {
  TempDir dir;
  std::string inMissingFolder = dir.file("missing/points");
  EXPECT_FALSE(writePly(inMissingFolder + ".ply", Recording{}));
  EXPECT_FALSE(writeXyz(inMissingFolder + ".xyz", {{1.0, 2.0, 3.0}}));
  EXPECT_FALSE(writePng(inMissingFolder + ".png", renderProjections({}, 30, 10)));
  EXPECT_FALSE(writeText(inMissingFolder + ".txt", "text"));
  Image broken = renderProjections({}, 30, 10);
  broken.rgb.pop_back();
  EXPECT_FALSE(writePng(dir.file("broken.png"), broken));
}

// Every pixel of one of the three panels with exactly this colour.
std::vector<std::pair<int, int>> Find(const Image& image, int panel, std::uint32_t rgb) {
  std::vector<std::pair<int, int>> found;
  const int panelWidth = image.width / 3;
  for (int y = 0; y < image.height; ++y) {
    for (int x = panel * panelWidth; x < (panel + 1) * panelWidth; ++x) {
      const unsigned char* p = &image.rgb[(static_cast<std::size_t>(y) * image.width + x) * 3];
      if ((std::uint32_t{p[0]} << 16 | p[1] << 8 | p[2]) == rgb) found.emplace_back(x, y);
    }
  }
  return found;
}

constexpr std::uint32_t BLUE = 0x0000ff;  // lowest coordinate along the line of sight
constexpr std::uint32_t RED = 0xff0000;   // highest

// A low point and a high point: in each view the high one lies up and to the right.
TEST(ProjectionsTest, EachPanelShowsItsAxesUpAndRightAtOneScale) {
  Image image = renderProjections({{0.0, 0.0, 0.0}, {10.0, 20.0, 30.0}}, 1200, 400);
  ASSERT_EQ(image.rgb.size(), 1200u * 400u * 3u);
  for (int panel = 0; panel < 3; ++panel) {
    SCOPED_TRACE("panel " + std::to_string(panel));
    std::vector<std::pair<int, int>> low = Find(image, panel, BLUE);
    std::vector<std::pair<int, int>> high = Find(image, panel, RED);
    ASSERT_EQ(low.size(), 1u);
    ASSERT_EQ(high.size(), 1u);
    EXPECT_GT(high[0].first, low[0].first);
    EXPECT_LT(high[0].second, low[0].second) << "up is towards row 0";
  }
  // The top view's X span (10) is a third of the side view's Z span (30).
  const int topX = Find(image, 0, RED)[0].first - Find(image, 0, BLUE)[0].first;
  const int sideZ = Find(image, 2, BLUE)[0].second - Find(image, 2, RED)[0].second;
  EXPECT_NEAR(3.0 * topX, sideZ, 3.0);
  EXPECT_GT(sideZ, 300) << "the largest extent fills most of a panel";
}

// Seen from above, the point at z 10 hides the one at z 0; without points the frames remain.
TEST(ProjectionsTest, NearestPointHidesTheOneBehindAndEmptyPanelsKeepTheirFrames) {
  Image image = renderProjections({{5.0, 5.0, 10.0}, {5.0, 5.0, 0.0}, {0.0, 0.0, 5.0}}, 1200, 400);
  EXPECT_EQ(Find(image, 0, RED).size(), 1u);
  EXPECT_TRUE(Find(image, 0, BLUE).empty());
  Image empty = renderProjections({{kNaN, 1.0, 2.0}}, 1200, 400);
  for (int panel = 0; panel < 3; ++panel) {
    EXPECT_GT(Find(empty, panel, 0x969696).size(), 2u * (380 + 360)) << "panel " << panel;
  }
}

std::uint32_t BigEndian(const std::string& bytes, std::size_t at) {
  std::uint32_t value = 0;
  for (std::size_t i = at; i < at + 4; ++i)
    value = value << 8 | static_cast<unsigned char>(bytes[i]);
  return value;
}

TEST(PngFileTest, IsAnRgbPngOfTheImageSizeThatDecodesToTheSamePixels) {
  TempDir dir;
  Image image = renderProjections({{0.0, 0.0, 0.0}, {1.0, 2.0, 3.0}, {-4.0, 2.0, 1.0}}, 1200, 400);
  ASSERT_TRUE(writePng(dir.file("points.png"), image));
  const std::string bytes = ReadWholeFile(dir.file("points.png"));
  ASSERT_GT(bytes.size(), 33u);
  EXPECT_EQ(bytes.substr(0, 8), std::string("\x89PNG\r\n\x1a\n", 8));
  EXPECT_EQ(BigEndian(bytes, 8), 13u) << "IHDR length";
  EXPECT_EQ(bytes.substr(12, 4), "IHDR");
  EXPECT_EQ(BigEndian(bytes, 16), 1200u);
  EXPECT_EQ(BigEndian(bytes, 20), 400u);
  EXPECT_EQ(bytes[24], 8) << "bit depth";
  EXPECT_EQ(bytes[25], 2) << "colour type RGB";

  int width = 0, height = 0, channels = 0;
  unsigned char* decoded =
      stbi_load_from_memory(reinterpret_cast<const unsigned char*>(bytes.data()),
                            static_cast<int>(bytes.size()), &width, &height, &channels, 3);
  ASSERT_NE(decoded, nullptr) << stbi_failure_reason();
  std::vector<unsigned char> pixels(decoded, decoded + image.rgb.size());
  stbi_image_free(decoded);
  EXPECT_TRUE(pixels == image.rgb);
}

TEST(SummaryTest, ListsTheCountsAndTheRecordRate) {
  SinkCounts counts;
  counts.passesBegun = 3;
  counts.passesEnded = 2;
  counts.passRecords = 40;
  counts.freeRecords = 10;
  counts.points = 20000;
  counts.buttonNotices = 3;
  counts.buttonEvents2 = 1;
  counts.buttonEvents4 = 2;
  const std::vector<std::string> expected = {
      "passes: 3",        "passes ended: 2",    "records: 50",       "pass records: 40",
      "free records: 10", "points: 20000",      "seconds: 4.00",     "records per second: 12.50",
      "button events: 3", "button 2 events: 1", "button 4 events: 2"};
  EXPECT_EQ(Lines(formatSummary(counts, 4.0)), expected);
  EXPECT_NE(formatSummary(counts, 0.0).find("records per second: 0.00\n"), std::string::npos)
      << "no division by zero for a measurement that did not last";
}

}  // namespace
