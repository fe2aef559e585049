#pragma once

#include <memory>
#include <string>

#include "core/util/expected.hpp"
#include "core/video/cursor_source.hpp"

namespace kelvo {

// The X pointer for the cursor service: its image through XFixes, which also tells when the
// image changes, and its position by QueryPointer (root pixels, which are global points here),
// read when XInput 2 reports motion (without XInput 2 it must be polled). Its own connection;
// one thread at a time.
class XfixesCursorSource final : public CursorSource {
public:
    // Fails with a reason when the server cannot be reached or lacks XFixes 4.
    static Expected<std::unique_ptr<XfixesCursorSource>, std::string> connect(const std::string& display);
    ~XfixesCursorSource() override;
    XfixesCursorSource(const XfixesCursorSource&) = delete;
    XfixesCursorSource& operator=(const XfixesCursorSource&) = delete;

    uint64_t shapeSerial() override;
    std::optional<CursorImage> image() override;
    std::optional<Point> location() override;
    int changeFd() override;
    bool takeMotion() override;

    struct Impl;
    explicit XfixesCursorSource(std::unique_ptr<Impl> impl);

private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace kelvo
