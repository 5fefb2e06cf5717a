// The files a measurement leaves: the point cloud as PLY (binary or text) and XYZ text, a
// picture of three projections, and the summary.
#pragma once

#include <string>
#include <vector>

#include "tools/host/Recording.h"

// Eight-bit RGB pixels, rows top to bottom, no padding.
struct Image {
  int width = 0;
  int height = 0;
  std::vector<unsigned char> rgb;
};

constexpr int PROJECTION_WIDTH = 1200;
constexpr int PROJECTION_HEIGHT = 400;

// The writers skip points with a coordinate that is not finite, which viewers reject, and
// return false when the file cannot be written completely.

enum class PlyEncoding { Binary, Ascii };

// PLY, one vertex per point: x y z, the record's sensor direction as the normal nx ny nz, and
// the record's sensor position as sx sy sz, each a float. Binary is little-endian, 36 bytes a
// vertex, less than half the text's size and quicker for a viewer to read; Ascii is one line of
// text per vertex.
bool writePly(const std::string& path, const Recording& recording,
              PlyEncoding encoding = PlyEncoding::Binary);

// One "x y z" line per point.
bool writeXyz(const std::string& path, const std::vector<Point3>& points);

// Three framed panels side by side: top (X right, Y up), front (X right, Z up) and side (Y
// right, Z up), all at one scale, each point coloured by the coordinate along the line of sight
// from blue (lowest) to red (highest); where points overlap, the one nearest the viewer shows.
// width is split into three panels.
Image renderProjections(const std::vector<Point3>& points, int width, int height);

bool writePng(const std::string& path, const Image& image);

// "name: value" lines: passes, records, pass and free records, points, seconds, records per
// second, button events.
std::string formatSummary(const SinkCounts& counts, double seconds);

bool writeText(const std::string& path, const std::string& text);
