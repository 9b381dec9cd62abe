#include "detect/line_gaps.h"

#include <algorithm>
#include <cmath>

namespace pw::detect {
namespace {

// The ends of a run are read from its pixels this close to each end.
constexpr double kEndReach = 8.0;
// An end points at the other end within this angle; the two ends point
// at each other (their directions opposite) within the wider one.
const double kAimCos = std::cos(30.0 * M_PI / 180.0);
const double kFaceCos = std::cos(45.0 * M_PI / 180.0);

struct Point {
  double x = 0, y = 0;
};

struct End {
  Point at, out;  // the end pixel, and the unit direction out of the run
  size_t run = 0;
  bool thick = false;
};

// The main axis of a set of points (unit vector), and their mean.
void MainAxis(const std::vector<Point>& points, Point& mean, Point& axis) {
  mean = {};
  for (const Point& p : points) mean.x += p.x, mean.y += p.y;
  mean.x /= static_cast<double>(points.size());
  mean.y /= static_cast<double>(points.size());
  double xx = 0, xy = 0, yy = 0;
  for (const Point& p : points) {
    const double dx = p.x - mean.x, dy = p.y - mean.y;
    xx += dx * dx, xy += dx * dy, yy += dy * dy;
  }
  const double angle = 0.5 * std::atan2(2 * xy, xx - yy);
  axis = {std::cos(angle), std::sin(angle)};
}

// The two ends of a run along its main axis, each with the direction in
// which the run leaves it (from the run's pixels near that end).
void RunEnds(const std::vector<size_t>& run, size_t index, int32_t width,
             std::vector<End>& ends) {
  std::vector<Point> points;
  points.reserve(run.size());
  for (size_t i : run)
    points.push_back({static_cast<double>(i % width), static_cast<double>(i / width)});
  Point mean, axis;
  MainAxis(points, mean, axis);
  auto along = [&](const Point& p) { return (p.x - mean.x) * axis.x + (p.y - mean.y) * axis.y; };
  const auto [lo, hi] = std::minmax_element(
      points.begin(), points.end(), [&](const Point& a, const Point& b) { return along(a) < along(b); });
  const double extent = along(*hi) - along(*lo) + 1;
  const bool thick = static_cast<double>(run.size()) > 2.0 * extent;
  for (const Point* tip : {&*lo, &*hi}) {
    std::vector<Point> near;
    for (const Point& p : points)
      if (std::hypot(p.x - tip->x, p.y - tip->y) <= kEndReach) near.push_back(p);
    Point local_mean, local_axis;
    MainAxis(near, local_mean, local_axis);
    // Outwards: from the pixels near the end towards the end itself.
    double sx = tip->x - local_mean.x, sy = tip->y - local_mean.y;
    if (sx * local_axis.x + sy * local_axis.y < 0) local_axis = {-local_axis.x, -local_axis.y};
    if (near.size() < 3) local_axis = tip == &*lo ? Point{-axis.x, -axis.y} : axis;
    ends.push_back({*tip, local_axis, index, thick});
  }
}

// Marks the straight path from a to b, three pixels wide for thick runs.
void MarkPath(const Point& a, const Point& b, bool thick, int32_t width, int32_t height,
              uint8_t* mask) {
  const int steps = static_cast<int>(std::ceil(std::max(std::abs(b.x - a.x), std::abs(b.y - a.y))));
  for (int s = 0; s <= steps; ++s) {
    const double t = steps == 0 ? 0 : static_cast<double>(s) / steps;
    const auto cx = static_cast<int32_t>(std::lround(a.x + t * (b.x - a.x)));
    const auto cy = static_cast<int32_t>(std::lround(a.y + t * (b.y - a.y)));
    const int32_t r = thick ? 1 : 0;
    for (int32_t y = std::max(0, cy - r); y <= std::min(height - 1, cy + r); ++y)
      for (int32_t x = std::max(0, cx - r); x <= std::min(width - 1, cx + r); ++x)
        mask[static_cast<size_t>(y) * width + x] = 1;
  }
}

}  // namespace

void BridgeLineGaps(const std::vector<std::vector<size_t>>& runs, int32_t width,
                    int32_t height, uint8_t* mask) {
  std::vector<End> ends;
  for (size_t k = 0; k < runs.size(); ++k) RunEnds(runs[k], k, width, ends);
  // Ends in cells of the longest gap: a partner lies in the 3 x 3 cells
  // around an end's own.
  const int32_t cols = width / kLineGap + 1, rows = height / kLineGap + 1;
  std::vector<std::vector<size_t>> cells(static_cast<size_t>(cols) * rows);
  auto cell_of = [&](const Point& p) {
    return std::pair<int32_t, int32_t>(static_cast<int32_t>(p.x) / kLineGap,
                                       static_cast<int32_t>(p.y) / kLineGap);
  };
  for (size_t e = 0; e < ends.size(); ++e) {
    const auto [cx, cy] = cell_of(ends[e].at);
    cells[static_cast<size_t>(cy) * cols + cx].push_back(e);
  }
  for (size_t e = 0; e < ends.size(); ++e) {
    const End& a = ends[e];
    const auto [cx, cy] = cell_of(a.at);
    // The nearest end of another run that this one aims at, and that
    // aims back.
    size_t best = ends.size();
    double best_distance = kLineGap;
    for (int32_t y = std::max(0, cy - 1); y <= std::min(rows - 1, cy + 1); ++y)
      for (int32_t x = std::max(0, cx - 1); x <= std::min(cols - 1, cx + 1); ++x)
        for (size_t f : cells[static_cast<size_t>(y) * cols + x]) {
          const End& b = ends[f];
          if (b.run == a.run) continue;
          const double dx = b.at.x - a.at.x, dy = b.at.y - a.at.y;
          const double distance = std::hypot(dx, dy);
          if (distance > best_distance || distance < 1) continue;
          const bool aims = (dx * a.out.x + dy * a.out.y) >= kAimCos * distance &&
                            -(dx * b.out.x + dy * b.out.y) >= kAimCos * distance;
          const bool faces = -(a.out.x * b.out.x + a.out.y * b.out.y) >= kFaceCos;
          if (aims && faces) best = f, best_distance = distance;
        }
    // Each pair is joined once, from its first end.
    if (best < ends.size() && best > e)
      MarkPath(a.at, ends[best].at, a.thick || ends[best].thick, width, height, mask);
  }
}

}  // namespace pw::detect
