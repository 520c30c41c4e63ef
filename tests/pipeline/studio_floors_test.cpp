// The studio generator's families of shots against floors of quality: the one suite that
// links the generator and scorer (bench/studio), apart from the pipeline's own.
#include <gtest/gtest.h>

#include "engine/mask_file.h"
#include "studio.h"
#include "test_pictures.h"

namespace zel7 {
namespace {

using studio::Backdrop;
using studio::Family;

// Each family of studio shots, two on each backdrop, as JPEGs, cut out with the option
// the README recommends, --studio: the mean IoU of the object and alpha error of the
// cut-out must reach floors a little under what they reach today.
struct Floor {
    Family family;
    double iou, alphaError;
};

class StudioFloors : public ::testing::TestWithParam<Floor> {};

TEST_P(StudioFloors, AreReachedByTheRecommendedOptions) {
    const Floor& floor = GetParam();
    test_support::ScratchFolder folder;
    std::vector<uint8_t> buffer;
    studio::Score mean;
    for (const Backdrop backdrop : {Backdrop::White, Backdrop::Black}) {
        for (const uint32_t seed : {3, 4}) {
            const studio::Shot shot = studio::MakeShot(floor.family, backdrop, 400, 300, seed);
            test_support::WriteWholeFile(folder / "shot.jpg", studio::EncodeJpeg(shot, 90));
            const MaskOptions options =
                test_support::Settings(backdrop == Backdrop::White ? "white studio cutout"
                                                                   : "black studio cutout")
                    .ForFile(PictureFormat::Png);
            ASSERT_TRUE(MaskFile(folder / "shot.jpg", folder / "cut.png", options, buffer).Ok());
            int width, height;
            std::vector<uint8_t> alpha;
            std::string error;
            ASSERT_TRUE(
                studio::ReadResultAlpha(folder / "cut.png", false, width, height, alpha, error))
                << error;
            const studio::Score score = studio::Compare(shot.alpha, alpha);
            mean.iou += score.iou / 4;
            mean.alphaErrorPerMille += score.alphaErrorPerMille / 4;
        }
    }
    EXPECT_GE(mean.iou, floor.iou);
    EXPECT_LE(mean.alphaErrorPerMille, floor.alphaError);
}

// One ring of the four keeps its hole: JPEG tints it too far off the backdrop. A
// highlight clipped at the backdrop's level on a rim is taken for backdrop.
INSTANTIATE_TEST_SUITE_P(
    Families, StudioFloors,
    ::testing::Values(Floor{Family::Label, 0.995, 1}, Floor{Family::Ring, 0.95, 15},
                      Floor{Family::Wire, 0.99, 1.5}, Floor{Family::Shadow, 0.995, 1},
                      Floor{Family::Border, 0.995, 0.6}, Floor{Family::Sweep, 0.995, 1},
                      Floor{Family::Pale, 0.99, 3}, Floor{Family::Cast, 0.995, 1.5},
                      Floor{Family::Gloss, 0.98, 6}),
    [](const auto& info) { return std::string(studio::Name(info.param.family)); });

}  // namespace
}  // namespace zel7
