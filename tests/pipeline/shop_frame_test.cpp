// Shop pictures framed from the studio generator's shots: the one command of the README,
// through the option table, as zel7-mask runs it.
#include <gtest/gtest.h>

#include <algorithm>

#include "encoders.h"
#include "engine/mask_file.h"
#include "engine/options.h"
#include "studio.h"
#include "test_pictures.h"

namespace zel7 {
namespace {

using studio::Backdrop;
using studio::Family;

// The product's larger side spans 85% of the square frame, to a pixel, centred, whether
// the photo is decoded whole or reduced (a frame much smaller than the photo).
TEST(ShopFrame, ObjectSpansItsShareOfTheSquareCentred) {
    const struct {
        Family family;
        int width, height, frame;
    } cases[] = {
        {Family::Label, 1200, 900, 600},   // decoded whole: enlarged into the frame
        {Family::Label, 1600, 1200, 300},  // decoded at a half or less
        {Family::Cast, 1200, 900, 400},    // a shadow dropped, then framed
        {Family::Ring, 600, 800, 301},     // upright, odd frame
    };
    test_support::ScratchFolder folder;
    std::vector<uint8_t> buffer;
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(studio::Name(c.family)) + " " + std::to_string(c.width));
        const studio::Shot shot = studio::MakeShot(c.family, Backdrop::White, c.width, c.height, 5);
        test_support::WriteWholeFile(folder / "shot.jpg", studio::EncodeJpeg(shot, 92));
        MaskSettings settings;
        const std::string size = std::to_string(c.frame) + "x" + std::to_string(c.frame);
        for (const auto& [name, argument] :
             std::vector<std::pair<const char*, std::string>>{{"white", ""},
                                                              {"studio", ""},
                                                              {"trim", ""},
                                                              {"margin", "7.5%"},
                                                              {"square", ""},
                                                              {"size", size},
                                                              {"quality", "100"}}) {
            ASSERT_TRUE(
                ApplyOption(*FindOption(name), argument, Spelling::CommandLine, settings).Ok());
        }
        ASSERT_TRUE(CheckSettings(settings, Spelling::CommandLine).Ok());
        // As a JPEG, on white; as a PNG with its transparency, whose alpha shows the object.
        ASSERT_TRUE(MaskFile(folder / "shot.jpg", folder / "main.jpg",
                             settings.ForFile(PictureFormat::Jpeg), buffer)
                        .Ok());
        const test_support::DecodedJpeg jpeg =
            test_support::DecodeJpeg(test_support::ReadWholeFile(folder / "main.jpg"));
        EXPECT_EQ(jpeg.width, c.frame);
        EXPECT_EQ(jpeg.height, c.frame);
        EXPECT_EQ(jpeg.sampling, 444);
        EXPECT_EQ(jpeg.rgb[0], 255) << "a white corner";
        ASSERT_TRUE(MaskFile(folder / "shot.jpg", folder / "main.png",
                             settings.ForFile(PictureFormat::Png), buffer)
                        .Ok());
        int width = 0, height = 0;
        std::vector<uint8_t> alpha;
        std::string error;
        ASSERT_TRUE(
            studio::ReadResultAlpha(folder / "main.png", false, width, height, alpha, error))
            << error;
        ASSERT_EQ(width, c.frame);
        ASSERT_EQ(height, c.frame);
        int left = c.frame, right = -1, top = c.frame, bottom = -1;
        for (int y = 0; y < c.frame; ++y) {
            for (int x = 0; x < c.frame; ++x) {
                if (alpha[std::size_t(y * c.frame + x)] != 0) {
                    left = std::min(left, x), right = std::max(right, x);
                    top = std::min(top, y), bottom = std::max(bottom, y);
                }
            }
        }
        const int across = right - left + 1, down = bottom - top + 1;
        EXPECT_NEAR(std::max(across, down), 0.85 * c.frame, 1.0);
        EXPECT_NEAR(left, c.frame - 1 - right, 1.0) << "centred across";
        EXPECT_NEAR(top, c.frame - 1 - bottom, 1.0) << "centred down";
    }
}

}  // namespace
}  // namespace zel7
