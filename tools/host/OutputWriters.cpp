// Writes the point cloud as PLY (binary or text) and XYZ, draws and writes the projections
// picture, and formats the summary.
#include "tools/host/OutputWriters.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <iomanip>
#include <limits>
#include <sstream>

#define STB_IMAGE_WRITE_IMPLEMENTATION
#include <stb/stb_easy_font.h>
#include <stb/stb_image_write.h>

#include "wire/WireValues.h"

namespace {

bool isFinite(const Point3& p) {
  return std::isfinite(p.x) && std::isfinite(p.y) && std::isfinite(p.z);
}

double coordinate(const Point3& p, int axis) { return axis == 0 ? p.x : axis == 1 ? p.y : p.z; }

// Nine significant digits give back every float the console sent, and doubles to about 1e-9.
void printValues(std::FILE* file, const double* values, int count) {
  for (int i = 0; i < count; ++i) {
    std::fprintf(file, i == 0 ? "%.9g" : " %.9g", values[i]);
  }
  std::fputc('\n', file);
}

// Closes the file; false when any write or the close failed.
bool finish(std::FILE* file) {
  bool ok = std::ferror(file) == 0;
  return std::fclose(file) == 0 && ok;
}

struct Rgb {
  unsigned char r;
  unsigned char g;
  unsigned char b;
};

// A binary vertex is nine little-endian float32 values.
constexpr std::size_t PLY_VERTEX_BYTES = 9 * 4;
constexpr std::size_t PLY_BLOCK_VERTICES = 4096;

constexpr Rgb BACKGROUND_COLOUR{24, 24, 28};
constexpr Rgb FRAME_COLOUR{150, 150, 150};
constexpr Rgb TEXT_COLOUR{210, 210, 210};
constexpr int PANEL_MARGIN = 8;
constexpr int TITLE_HEIGHT = 30;
constexpr int PLOT_PADDING = 6;
constexpr int TEXT_SCALE = 2;

class Canvas {
 public:
  explicit Canvas(Image& image) : image_(image) {}

  void set(int x, int y, Rgb colour) {
    if (x < 0 || y < 0 || x >= image_.width || y >= image_.height) return;
    unsigned char* pixel = &image_.rgb[(static_cast<std::size_t>(y) * image_.width + x) * 3];
    pixel[0] = colour.r;
    pixel[1] = colour.g;
    pixel[2] = colour.b;
  }

  // Fills [x0, x1) x [y0, y1).
  void fill(int x0, int y0, int x1, int y1, Rgb colour) {
    for (int y = y0; y < y1; ++y) {
      for (int x = x0; x < x1; ++x) set(x, y, colour);
    }
  }

  // A one-pixel outline through both corners.
  void frame(int left, int top, int right, int bottom, Rgb colour) {
    fill(left, top, right + 1, top + 1, colour);
    fill(left, bottom, right + 1, bottom + 1, colour);
    fill(left, top, left + 1, bottom + 1, colour);
    fill(right, top, right + 1, bottom + 1, colour);
  }

  // stb_easy_font turns text into axis-aligned quads of 4 vertices of 16 bytes (x, y, z as
  // floats, then the colour), which are filled here at TEXT_SCALE.
  void text(int x, int y, const char* text, Rgb colour) {
    char copy[64];
    std::snprintf(copy, sizeof copy, "%s", text);
    std::vector<unsigned char> quads(64 * 600);
    int count = stb_easy_font_print(0.0f, 0.0f, copy, nullptr, quads.data(),
                                    static_cast<int>(quads.size()));
    for (int q = 0; q < count; ++q) {
      float corner[2][2];  // top-left and bottom-right vertex, x and y
      std::memcpy(corner[0], &quads[q * 64], sizeof corner[0]);
      std::memcpy(corner[1], &quads[q * 64 + 2 * 16], sizeof corner[1]);
      fill(x + static_cast<int>(corner[0][0]) * TEXT_SCALE,
           y + static_cast<int>(corner[0][1]) * TEXT_SCALE,
           x + static_cast<int>(corner[1][0]) * TEXT_SCALE,
           y + static_cast<int>(corner[1][1]) * TEXT_SCALE, colour);
    }
  }

 private:
  Image& image_;
};

// Blue, cyan, green, yellow, red for t from 0 to 1.
Rgb colourScale(double t) {
  static constexpr Rgb kStops[] = {
      {0, 0, 255}, {0, 255, 255}, {0, 255, 0}, {255, 255, 0}, {255, 0, 0}};
  t = std::clamp(t, 0.0, 1.0) * 4.0;
  int i = std::min(static_cast<int>(t), 3);
  double f = t - i;
  auto mix = [f](unsigned char a, unsigned char b) {
    return static_cast<unsigned char>(std::lround(a + (b - a) * f));
  };
  return Rgb{mix(kStops[i].r, kStops[i + 1].r), mix(kStops[i].g, kStops[i + 1].g),
             mix(kStops[i].b, kStops[i + 1].b)};
}

struct Projection {
  const char* title;
  int right;        // axis drawn to the right
  int up;           // axis drawn upwards
  int depth;        // axis along the line of sight, which gives the colour
  double toViewer;  // +1 when the viewer sits on the depth axis's positive side
};

// Right-handed views: from above, from -Y, from +X.
constexpr Projection PROJECTIONS[3] = {
    {"top X-Y", 0, 1, 2, 1.0},
    {"front X-Z", 0, 2, 1, -1.0},
    {"side Y-Z", 1, 2, 0, 1.0},
};

}  // namespace

bool writePly(const std::string& path, const Recording& recording, PlyEncoding encoding) {
  std::size_t vertices = 0;
  for (const RecordedPose& record : recording.records) {
    for (std::size_t i = 0; i < record.pointCount; ++i) {
      if (isFinite(recording.points[record.firstPoint + i])) ++vertices;
    }
  }
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) return false;
  std::fprintf(file,
               "ply\n"
               "format %s 1.0\n"
               "comment KvtScannerLumora measurement: normal = sensor direction, "
               "sx sy sz = sensor position\n"
               "element vertex %llu\n"
               "property float x\n"
               "property float y\n"
               "property float z\n"
               "property float nx\n"
               "property float ny\n"
               "property float nz\n"
               "property float sx\n"
               "property float sy\n"
               "property float sz\n"
               "end_header\n",
               encoding == PlyEncoding::Binary ? "binary_little_endian" : "ascii",
               static_cast<unsigned long long>(vertices));
  // Binary vertices go out a block of them at a time rather than a value at a time.
  std::vector<unsigned char> block;
  block.reserve(PLY_BLOCK_VERTICES * PLY_VERTEX_BYTES);
  for (const RecordedPose& record : recording.records) {
    for (std::size_t i = 0; i < record.pointCount; ++i) {
      const Point3& p = recording.points[record.firstPoint + i];
      if (!isFinite(p)) continue;
      const double values[9] = {p.x,
                                p.y,
                                p.z,
                                record.direction.x,
                                record.direction.y,
                                record.direction.z,
                                record.position.x,
                                record.position.y,
                                record.position.z};
      if (encoding == PlyEncoding::Ascii) {
        printValues(file, values, 9);
        continue;
      }
      const std::size_t at = block.size();
      block.resize(at + PLY_VERTEX_BYTES);
      for (int v = 0; v < 9; ++v) PutFloat32(&block[at + 4 * v], static_cast<float>(values[v]));
      if (block.size() == block.capacity()) {
        std::fwrite(block.data(), 1, block.size(), file);
        block.clear();
      }
    }
  }
  std::fwrite(block.data(), 1, block.size(), file);
  return finish(file);
}

bool writeXyz(const std::string& path, const std::vector<Point3>& points) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) return false;
  for (const Point3& p : points) {
    if (!isFinite(p)) continue;
    const double values[3] = {p.x, p.y, p.z};
    printValues(file, values, 3);
  }
  return finish(file);
}

Image renderProjections(const std::vector<Point3>& points, int width, int height) {
  Image image;
  image.width = std::max(width, 0);
  image.height = std::max(height, 0);
  image.rgb.resize(static_cast<std::size_t>(image.width) * image.height * 3);
  Canvas canvas(image);
  canvas.fill(0, 0, image.width, image.height, BACKGROUND_COLOUR);

  const int panelWidth = image.width / 3;
  const int plotWidth = panelWidth - 2 * (PANEL_MARGIN + PLOT_PADDING);
  const int plotHeight = image.height - TITLE_HEIGHT - PANEL_MARGIN - 2 * PLOT_PADDING;
  if (plotWidth < 1 || plotHeight < 1) return image;

  double low[3] = {HUGE_VAL, HUGE_VAL, HUGE_VAL};
  double high[3] = {-HUGE_VAL, -HUGE_VAL, -HUGE_VAL};
  for (const Point3& p : points) {
    if (!isFinite(p)) continue;
    for (int axis = 0; axis < 3; ++axis) {
      low[axis] = std::min(low[axis], coordinate(p, axis));
      high[axis] = std::max(high[axis], coordinate(p, axis));
    }
  }
  // One scale for every panel, so that the three views of the part agree.
  double extent = 0.0;
  for (int axis = 0; axis < 3; ++axis) extent = std::max(extent, high[axis] - low[axis]);
  const double scale = extent > 0.0 ? (std::min(plotWidth, plotHeight) - 1) / extent : 0.0;

  std::vector<double> nearest(static_cast<std::size_t>(image.width) * image.height,
                              -std::numeric_limits<double>::infinity());
  for (int panel = 0; panel < 3; ++panel) {
    const Projection& view = PROJECTIONS[panel];
    const int left = panel * panelWidth + PANEL_MARGIN;
    const int right = (panel + 1) * panelWidth - PANEL_MARGIN - 1;
    const int top = TITLE_HEIGHT;
    const int bottom = image.height - PANEL_MARGIN - 1;
    canvas.frame(left, top, right, bottom, FRAME_COLOUR);
    canvas.text(left, (TITLE_HEIGHT - 7 * TEXT_SCALE) / 2, view.title, TEXT_COLOUR);

    const double centreX = (left + right) / 2.0;
    const double centreY = (top + bottom) / 2.0;
    const double midRight = (low[view.right] + high[view.right]) / 2.0;
    const double midUp = (low[view.up] + high[view.up]) / 2.0;
    const double depthRange = high[view.depth] - low[view.depth];
    for (const Point3& p : points) {
      if (!isFinite(p)) continue;
      const int x =
          static_cast<int>(std::lround(centreX + (coordinate(p, view.right) - midRight) * scale));
      const int y =
          static_cast<int>(std::lround(centreY - (coordinate(p, view.up) - midUp) * scale));
      if (x < 0 || y < 0 || x >= image.width || y >= image.height) continue;
      const double depth = coordinate(p, view.depth);
      double& closest = nearest[static_cast<std::size_t>(y) * image.width + x];
      if (depth * view.toViewer <= closest) continue;
      closest = depth * view.toViewer;
      canvas.set(x, y,
                 colourScale(depthRange > 0.0 ? (depth - low[view.depth]) / depthRange : 0.5));
    }
  }
  return image;
}

bool writePng(const std::string& path, const Image& image) {
  if (image.width <= 0 || image.height <= 0 ||
      image.rgb.size() != static_cast<std::size_t>(image.width) * image.height * 3) {
    return false;
  }
  return stbi_write_png(path.c_str(), image.width, image.height, 3, image.rgb.data(),
                        image.width * 3) != 0;
}

std::string formatSummary(const SinkCounts& counts, double seconds) {
  std::ostringstream text;
  text << "passes: " << counts.passesBegun << "\n"
       << "passes ended: " << counts.passesEnded << "\n"
       << "records: " << counts.records() << "\n"
       << "pass records: " << counts.passRecords << "\n"
       << "free records: " << counts.freeRecords << "\n"
       << "points: " << counts.points << "\n"
       << std::fixed << std::setprecision(2) << "seconds: " << seconds << "\n"
       << "records per second: " << (seconds > 0.0 ? counts.records() / seconds : 0.0) << "\n"
       << "button events: " << counts.buttonNotices << "\n"
       << "button 2 events: " << counts.buttonEvents2 << "\n"
       << "button 4 events: " << counts.buttonEvents4 << "\n";
  if (counts.droppedRecords > 0) {
    text << "records dropped for lack of memory: " << counts.droppedRecords << "\n";
  }
  return text.str();
}

bool writeText(const std::string& path, const std::string& text) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) return false;
  std::fwrite(text.data(), 1, text.size(), file);
  return finish(file);
}
