#pragma once

// Points, vectors and sizes in points, and the edge rules of Rect (core/util/rect.hpp).
// Global desktop space has its origin at the top left of the main display, y growing down.

#include <cmath>

#include "core/util/rect.hpp"

namespace kelvo {

// A position, or a displacement (a vector) where the name says so.
struct Point {
    double x = 0;
    double y = 0;

    friend bool operator==(const Point&, const Point&) = default;
    friend Point operator+(Point a, Point b) { return {a.x + b.x, a.y + b.y}; }
    friend Point operator-(Point a, Point b) { return {a.x - b.x, a.y - b.y}; }
    friend Point operator*(Point a, double s) { return {a.x * s, a.y * s}; }
    Point& operator+=(Point b) { return *this = *this + b; }
    Point& operator-=(Point b) { return *this = *this - b; }
    Point& operator*=(double s) { return *this = *this * s; }

    // Euclidean length of the vector from the origin.
    double length() const { return std::hypot(x, y); }
};

using Vector = Point;

inline double distance(Point a, Point b) { return (a - b).length(); }

struct Size {
    double width = 0;
    double height = 0;
    friend bool operator==(const Size&, const Size&) = default;
};

inline double minX(const Rect& r) { return r.x; }
inline double minY(const Rect& r) { return r.y; }
inline double maxX(const Rect& r) { return r.x + r.width; }
inline double maxY(const Rect& r) { return r.y + r.height; }

// Left and top edges are inside, right and bottom edges outside; an empty rectangle holds nothing.
inline bool contains(const Rect& r, Point p) {
    return r.width > 0 && r.height > 0 && p.x >= minX(r) && p.x < maxX(r) && p.y >= minY(r) && p.y < maxY(r);
}

}  // namespace kelvo
