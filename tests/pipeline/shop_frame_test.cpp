// Shop pictures framed from the studio generator's shots: the one command of the README,
// through the option table, as zel7-mask runs it.
#include <gtest/gtest.h>

#include <algorithm>
#include <tuple>

#include "encoders.h"
#include "engine/mask_file.h"
#include "studio.h"
#include "test_pictures.h"

namespace zel7 {
namespace {

// The product's larger side spans 85% of the square frame, to a pixel, centred, whether
// the photo is decoded whole or reduced (a frame much smaller than the photo).
TEST(ShopFrame, ObjectSpansItsShareOfTheSquareCentred) {
    const struct {
        studio::Family family;
        int width, height, frame;
    } cases[] = {
        {studio::Family::Label, 1200, 900, 600},   // decoded whole: enlarged into the frame
        {studio::Family::Label, 1600, 1200, 300},  // decoded at a half or less
        {studio::Family::Cast, 1200, 900, 400},    // a shadow dropped, then framed
        {studio::Family::Ring, 600, 800, 301},     // upright, odd frame
    };
    test_support::ScratchFolder folder;
    std::vector<uint8_t> buffer;
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(studio::Name(c.family)) + " " + std::to_string(c.width));
        const auto shot = studio::MakeShot(c.family, studio::Backdrop::White, c.width, c.height, 5);
        test_support::WriteWholeFile(folder / "shot.jpg", studio::EncodeJpeg(shot, 92));
        const std::string size = std::to_string(c.frame) + "x" + std::to_string(c.frame);
        const MaskSettings settings = test_support::Settings(
            "white studio trim margin=7.5% square size=" + size + " quality=100");
        // As a JPEG, on white; as a PNG with its transparency, whose alpha shows the object.
        ASSERT_TRUE(MaskFile(folder / "shot.jpg", folder / "out.jpg",
                             settings.ForFile(PictureFormat::Jpeg), buffer)
                        .Ok());
        const auto jpeg = test_support::DecodeJpeg(test_support::ReadWholeFile(folder / "out.jpg"));
        // The frame's size, and full colour resolution at quality 100.
        ASSERT_EQ(std::tuple(jpeg.width, jpeg.height, jpeg.sampling),
                  std::tuple(c.frame, c.frame, 444));
        ASSERT_TRUE(MaskFile(folder / "shot.jpg", folder / "out.png",
                             settings.ForFile(PictureFormat::Png), buffer)
                        .Ok());
        const auto png = test_support::DecodePng(test_support::ReadWholeFile(folder / "out.png"));
        ASSERT_EQ(std::pair(int(png.width), int(png.height)), std::pair(c.frame, c.frame));
        // The object's bounding box; and the JPEG white wherever the cut-out is clear.
        int left = c.frame, right = -1, top = c.frame, bottom = -1, notWhite = 0;
        for (int at = 0; at < c.frame * c.frame; ++at) {
            if (png.samples[std::size_t(4 * at + 3)] == 0) {
                notWhite += jpeg.rgb[std::size_t(3 * at)] < 250;
            } else {
                const int x = at % c.frame, y = at / c.frame;
                left = std::min(left, x), right = std::max(right, x);
                top = std::min(top, y), bottom = std::max(bottom, y);
            }
        }
        EXPECT_EQ(notWhite, 0);
        EXPECT_NEAR(std::max(right - left, bottom - top) + 1, 0.85 * c.frame, 1.0);
        EXPECT_NEAR(left, c.frame - 1 - right, 1.0) << "centred across";
        EXPECT_NEAR(top, c.frame - 1 - bottom, 1.0) << "centred down";
    }
}

}  // namespace
}  // namespace zel7
