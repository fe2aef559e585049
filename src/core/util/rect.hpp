#pragma once

#include <optional>

#include "core/util/json.hpp"

namespace kelvo {

// A width and height (points, pixels or millimetres: the name of the field says which).
struct SizeD {
    double width = 0;
    double height = 0;
    bool operator==(const SizeD&) const = default;
};

// A rectangle in points: origin (x, y), then size.
struct Rect {
    double x = 0;
    double y = 0;
    double width = 0;
    double height = 0;
    friend bool operator==(const Rect&, const Rect&) = default;
};

// JSON form [[x, y], [width, height]], as stored documents hold rectangles.
template <>
struct JsonCoding<Rect> {
    static std::optional<Rect> read(const Json& v) {
        auto pairs = jsonAs<std::vector<std::vector<double>>>(v);
        if (!pairs || pairs->size() != 2 || (*pairs)[0].size() != 2 || (*pairs)[1].size() != 2) return std::nullopt;
        return Rect{(*pairs)[0][0], (*pairs)[0][1], (*pairs)[1][0], (*pairs)[1][1]};
    }
    static Json write(const Rect& r) { return Json::array({Json::array({r.x, r.y}), Json::array({r.width, r.height})}); }
};

}  // namespace kelvo
