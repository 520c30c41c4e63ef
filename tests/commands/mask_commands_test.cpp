#include "mask_commands.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cstring>

#include "encode_jpeg.h"
#include "encode_png.h"
#include "reference_mask.h"
#include "scripted_chooser.h"
#include "mask/threshold.h"
#include "engine/working_image.h"

namespace zel7 {
namespace {

using testing::Bytes;
using testing::Cancel;
using testing::Confirm;

class MaskCommandsTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::setlocale(LC_ALL, "C.UTF-8");
        workingImage = WorkingImage{};
        testing::BmpBuilder photo = testing::ValidPicture(64, 48, 24);
        photo.pixels = testing::SyntheticPhotoRows(64, 48, Background::NearWhite);
        photo_ = photo.Build();
        source_ = (folder_ / "photo.bmp").string();
        testing::WriteWholeFile(source_, photo_);
    }
    void TearDown() override {
        EXPECT_TRUE(script_.Exhausted()) << "the test scripted choosers that never ran";
        EXPECT_EQ(workingImage.pixels, nullptr) << "a command kept its pixel buffer";
        ReleasePictureBuffers();
    }

    Bytes ExpectedMask(Background background) { return testing::ReferenceMask(photo_, background); }

    void Select(testing::ChooserAnswer answer) {
        script_.Push(std::move(answer));
        SelectPicture(host_);
    }
    void White(testing::ChooserAnswer answer) {
        script_.Push(std::move(answer));
        RunMaskCommand(host_, MaskNearWhite);
    }
    void Black(testing::ChooserAnswer answer) {
        script_.Push(std::move(answer));
        RunMaskCommand(host_, MaskNearBlack);
    }

    testing::ScratchFolder folder_;
    testing::ChooserScript script_;
    testing::ScriptedHost host_{script_};
    Bytes photo_;
    std::string source_;
};

TEST_F(MaskCommandsTest, WhiteThenBlackMasksTheSourceTwiceNotTheFirstMask) {
    const Bytes whiteMask = ExpectedMask(Background::NearWhite);
    const Bytes blackMask = ExpectedMask(Background::NearBlack);
    ASSERT_NE(whiteMask, blackMask);

    Select(Confirm(source_));
    White(Confirm((folder_ / "white.bmp").string()));
    Black(Confirm((folder_ / "black.bmp").string()));

    EXPECT_EQ(testing::ReadWholeFile(folder_ / "white.bmp"), whiteMask);
    EXPECT_EQ(testing::ReadWholeFile(folder_ / "black.bmp"), blackMask);
    EXPECT_EQ(testing::ReadWholeFile(source_), photo_);
    EXPECT_STREQ(workingImage.sourcePath, source_.c_str());
}

TEST_F(MaskCommandsTest, CancellingChangesNothing) {
    Select(Confirm(source_));
    White(Confirm((folder_ / "first.bmp").string()));
    const std::string destBefore = workingImage.destPath;

    Select(Cancel());
    EXPECT_STREQ(workingImage.sourcePath, source_.c_str());
    White(Cancel());
    Black(Cancel());
    EXPECT_EQ(workingImage.destPath, destBefore);
    EXPECT_EQ(folder_.Entries(), (std::vector<std::string>{"first.bmp", "photo.bmp"}));
}

TEST_F(MaskCommandsTest, FailedReadsCreateNothing) {
    White(Confirm((folder_ / "mask.bmp").string()));  // before any picture was chosen
    Select(Confirm(source_));
    White(Confirm((folder_ / "white.bmp").string()));
    std::filesystem::remove(source_);
    Black(Confirm((folder_ / "black.bmp").string()));
    testing::WriteWholeFile(source_, {'B', 'M', 0});
    Black(Confirm((folder_ / "black.bmp").string()));
    EXPECT_EQ(folder_.Entries(), (std::vector<std::string>{"photo.bmp", "white.bmp"}));
    EXPECT_EQ(workingImage.width, 64);  // what the last good read left
}

TEST_F(MaskCommandsTest, DestinationNameIsUsedExactlyAsConfirmedEvenTheSource) {
    Select(Confirm(source_));
    White(Confirm((folder_ / "mask").string()));
    White(Confirm((folder_ / "mask").string()));  // replaced without a question
    White(Confirm(source_));
    EXPECT_EQ(testing::ReadWholeFile(source_), ExpectedMask(Background::NearWhite));
    EXPECT_EQ(folder_.Entries(), (std::vector<std::string>{"mask", "photo.bmp"}));
}

// A JPEG is read like any picture; a destination named .png gets a PNG mask, any other
// name a BMP, even one named .jpg (the dialog cannot say why it would write nothing).
TEST_F(MaskCommandsTest, AnyFormatIsReadAndTheDestinationNamePicksTheMaskFormat) {
    testing::Bytes rgb;
    for (int i = 0; i < 16 * 8; ++i) {
        rgb.insert(rgb.end(), 3, i % 16 < 8 ? 250 : 100);
    }
    testing::WriteWholeFile(folder_ / "photo.jpg", testing::EncodeJpeg(16, 8, 3, rgb));
    Select(Confirm((folder_ / "photo.jpg").string()));
    White(Confirm((folder_ / "mask.png").string()));
    White(Confirm((folder_ / "mask.jpg").string()));
    const testing::PngPicture mask =
        testing::DecodePng(testing::ReadWholeFile(folder_ / "mask.png"));
    ASSERT_EQ(mask.samples.size(), 16u * 8);
    for (std::size_t i = 0; i < mask.samples.size(); ++i) {
        EXPECT_EQ(mask.samples[i], i % 16 < 8 ? 1 : 0) << i;
    }
    EXPECT_EQ(testing::ReadWholeFile(folder_ / "mask.jpg").at(0), 'B');
    // A 32-bit BMP is masked into a PNG, though copied as it is into a BMP.
    testing::BmpBuilder deep = testing::ValidPicture(4, 2, 32);
    deep.pixels = {250, 250, 250, 0, 250, 9, 250, 0, 255, 255, 255, 7, 0,  0,  0,  0,
                   240, 240, 240, 1, 1,   1, 1,   1, 239, 240, 240, 0, 99, 99, 99, 99};
    testing::WriteWholeFile(folder_ / "deep.bmp", deep.Build());
    Select(Confirm((folder_ / "deep.bmp").string()));
    White(Confirm((folder_ / "deep.png").string()));
    EXPECT_EQ(testing::DecodePng(testing::ReadWholeFile(folder_ / "deep.png")).samples,
              (std::vector<uint16_t>{1, 0, 0, 0, 1, 0, 1, 0}));  // top row first
}

TEST_F(MaskCommandsTest, NonAsciiPathsRoundTripInAUtf8Locale) {
    const std::wstring folder = Confirm(folder_.Path().string()).path.value();
    const std::wstring source = folder + L"/白底照片.bmp";
    const std::wstring dest = folder + L"/蒙版 é.bmp";
    std::filesystem::copy_file(source_, folder_ / "白底照片.bmp");

    Select(Confirm(source));
    White(Confirm(dest));
    EXPECT_STREQ(workingImage.sourcePath, (folder_ / "白底照片.bmp").c_str());
    EXPECT_EQ(testing::ReadWholeFile(folder_ / "蒙版 é.bmp"), ExpectedMask(Background::NearWhite));
}

TEST_F(MaskCommandsTest, PathsThatDoNotFitOrConvertAreRefused) {
    // 259 bytes fit with the terminator; 260 do not.
    const std::string dir = folder_.Path().string() + "/";
    const std::string fits = dir + std::string(259 - dir.size(), 'a');
    const std::string tooLong = dir + std::string(260 - dir.size(), 'b');
    char buffer[kMaxPathBytes];
    EXPECT_TRUE(ConvertChosenPath(Confirm(fits).path.value(), buffer));
    EXPECT_EQ(std::strlen(buffer), 259u);

    // A path two bytes per character that ends one byte over.
    std::wstring twoByteChars(130, L'é');  // 260 bytes in UTF-8
    EXPECT_FALSE(ConvertChosenPath(twoByteChars, buffer));

    Select(Confirm(source_));
    Select(Confirm(tooLong));
    EXPECT_STREQ(workingImage.sourcePath, "") << "a later mask would use the old picture";
    White(Confirm((folder_ / "mask.bmp").string()));

    Select(Confirm(source_));
    std::memcpy(workingImage.destPath, "before", 7);
    White(Confirm(tooLong));
    EXPECT_STREQ(workingImage.destPath, "before");

    // In the C locale a Chinese name has no narrow form.
    std::setlocale(LC_ALL, "C");
    White(Confirm(std::wstring(L"/tmp/蒙版.bmp")));
    EXPECT_STREQ(workingImage.destPath, "before");
    std::setlocale(LC_ALL, "C.UTF-8");
    EXPECT_EQ(folder_.Entries(), std::vector<std::string>{"photo.bmp"});
}

}  // namespace
}  // namespace zel7
