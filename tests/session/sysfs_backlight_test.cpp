#include "platform/sysfs/sysfs_backlight.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <map>

#include "support/test_support.hpp"

namespace kelvo {
namespace {

// One backlight device: attribute name → contents.
using Device = std::map<std::string, std::string>;

TEST(SysfsBacklight, ReadsThePanelsOwnControl) {
    struct Case {
        const char* name;
        std::map<std::string, Device> devices;
        std::optional<double> want;
    };
    const Case cases[] = {
        {"no devices", {}, std::nullopt},
        {"one raw device", {{"intel_backlight", {{"type", "raw\n"}, {"max_brightness", "1000\n"}, {"actual_brightness", "250\n"}}}}, 0.25},
        {"firmware before raw",
         {{"a_raw", {{"type", "raw"}, {"max_brightness", "100"}, {"brightness", "10"}}},
          {"z_fw", {{"type", "firmware"}, {"max_brightness", "100"}, {"brightness", "80"}}}},
         0.8},
        {"brightness when actual_brightness is missing",
         {{"acpi_video0", {{"type", "firmware"}, {"max_brightness", "15"}, {"brightness", "15\n"}}}}, 1.0},
        {"unusable devices are passed over",
         {{"a_zero", {{"type", "firmware"}, {"max_brightness", "0"}, {"brightness", "0"}}},
          {"b_garbage", {{"type", "firmware"}, {"max_brightness", "100"}, {"brightness", "12abc"}}},
          {"c_good", {{"type", "platform"}, {"max_brightness", "200"}, {"brightness", "50"}}}},
         0.25},
        {"above the maximum is clamped", {{"panel", {{"type", "raw"}, {"max_brightness", "10"}, {"brightness", "12"}}}}, 1.0},
    };
    for (const auto& c : cases) {
        test::TempDir root;
        for (const auto& [name, attributes] : c.devices) {
            ASSERT_EQ(mkdir(root.file(name).c_str(), 0755), 0);
            for (const auto& [attribute, text] : attributes) test::writeFile(root.file(name + "/" + attribute), text);
        }
        EXPECT_EQ(SysfsBacklight(root.path()).read(), c.want) << c.name;
    }
    EXPECT_EQ(SysfsBacklight("/nonexistent/backlight").read(), std::nullopt);
}

}  // namespace
}  // namespace kelvo
