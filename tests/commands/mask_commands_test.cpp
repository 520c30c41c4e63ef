// The dialog's three commands with a scripted user: each mask is made of the source read
// afresh and written under the name exactly as confirmed; cancelling, or a source that
// cannot be read, changes nothing; paths that do not fit or convert are refused.
#include "mask_commands.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cstring>

#include "encode_jpeg.h"
#include "encode_png.h"
#include "engine/working_image.h"
#include "mask/threshold.h"
#include "reference_mask.h"
#include "scripted_chooser.h"

namespace zel7 {
namespace {

using namespace test_support;

class MaskCommandsTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::setlocale(LC_ALL, "C.UTF-8");
        workingImage = WorkingImage{};
        BmpBuilder photo = ValidPicture(64, 48, 24);
        photo.pixels = SyntheticPhotoRows(64, 48, Background::NearWhite);
        photo_ = photo.Build();
        WriteWholeFile(source_, photo_);
    }
    void TearDown() override {
        EXPECT_TRUE(script_.Exhausted()) << "the test scripted choosers that never ran";
        EXPECT_EQ(workingImage.pixels, nullptr) << "a command kept its pixel buffer";
        ReleasePictureBuffers();
    }

    // Each command, its chooser answered with a name in the folder, a path, or Cancel().
    void Select(ChooserAnswer answer) { script_.Push(std::move(answer)), SelectPicture(host_); }
    void White(ChooserAnswer answer) {
        script_.Push(std::move(answer)), RunMaskCommand(host_, MaskNearWhite);
    }
    void Black(ChooserAnswer answer) {
        script_.Push(std::move(answer)), RunMaskCommand(host_, MaskNearBlack);
    }
    ChooserAnswer In(const std::string& name) const { return Confirm((folder_ / name).string()); }
    Bytes Read(const std::string& name) const { return ReadWholeFile(folder_ / name); }

    ScratchFolder folder_;
    ChooserScript script_;
    ScriptedHost host_{script_};
    Bytes photo_;
    const std::string source_ = (folder_ / "photo.bmp").string();
};

// The black mask is of the source, not of the white mask made before it; names in any
// language, with no extension, of a file there already, even the source's, are used as
// confirmed.
TEST_F(MaskCommandsTest, EachMaskIsOfTheSourceUnderTheNameAsConfirmed) {
    std::filesystem::copy_file(source_, folder_ / "白底照片.bmp");
    Select(In("白底照片.bmp"));
    White(In("蒙版 é.bmp"));
    Black(In("mask"));
    Black(In("mask"));
    EXPECT_STREQ(workingImage.sourcePath, (folder_ / "白底照片.bmp").c_str());
    EXPECT_EQ(Read("蒙版 é.bmp"), ReferenceMask(photo_, Background::NearWhite));
    EXPECT_EQ(Read("mask"), ReferenceMask(photo_, Background::NearBlack));
    EXPECT_EQ(Read("白底照片.bmp"), photo_);
    Select(In("photo.bmp"));
    White(In("photo.bmp"));
    EXPECT_EQ(Read("photo.bmp"), ReferenceMask(photo_, Background::NearWhite));
    EXPECT_EQ(folder_.Entries(),
              (std::vector<std::string>{"mask", "photo.bmp", "白底照片.bmp", "蒙版 é.bmp"}));
}

TEST_F(MaskCommandsTest, CancellingOrAFailedReadChangesNothing) {
    White(In("mask.bmp"));  // before any picture was chosen
    Select(In("photo.bmp"));
    White(In("first.bmp"));
    const std::string dest = workingImage.destPath;
    Select(Cancel());
    White(Cancel());
    Black(Cancel());
    EXPECT_STREQ(workingImage.sourcePath, source_.c_str());
    EXPECT_EQ(workingImage.destPath, dest);
    std::filesystem::remove(source_);
    Black(In("gone.bmp"));
    WriteWholeFile(source_, {'B', 'M', 0});
    Black(In("broken.bmp"));
    EXPECT_EQ(folder_.Entries(), (std::vector<std::string>{"first.bmp", "photo.bmp"}));
    EXPECT_EQ(workingImage.width, 64);  // what the last good read left
}

// A JPEG is read like any picture; a destination named .png gets a PNG mask, any other
// name a BMP, even one named .jpg (the dialog cannot say why it would write nothing).
TEST_F(MaskCommandsTest, AnyFormatIsReadAndTheDestinationNamePicksTheMaskFormat) {
    Bytes rgb;
    for (int i = 0; i < 16 * 8; ++i) {
        rgb.insert(rgb.end(), 3, i % 16 < 8 ? 250 : 100);
    }
    WriteWholeFile(folder_ / "photo.jpg", EncodeJpeg(16, 8, 3, rgb));
    Select(In("photo.jpg"));
    White(In("mask.png"));
    White(In("mask.jpg"));
    const PngPicture mask = DecodePng(Read("mask.png"));
    ASSERT_EQ(mask.samples.size(), 16u * 8);
    for (std::size_t i = 0; i < mask.samples.size(); ++i) {
        EXPECT_EQ(mask.samples[i], i % 16 < 8 ? 1 : 0) << i;
    }
    EXPECT_EQ(Read("mask.jpg").at(0), 'B');
    // A 32-bit BMP is masked into a PNG, though copied as it is into a BMP.
    BmpBuilder deep = ValidPicture(4, 2, 32);
    deep.pixels = {250, 250, 250, 0, 250, 9, 250, 0, 255, 255, 255, 7, 0,  0,  0,  0,
                   240, 240, 240, 1, 1,   1, 1,   1, 239, 240, 240, 0, 99, 99, 99, 99};
    WriteWholeFile(folder_ / "deep.bmp", deep.Build());
    Select(In("deep.bmp"));
    White(In("deep.png"));
    EXPECT_EQ(DecodePng(Read("deep.png")).samples,
              (std::vector<uint16_t>{1, 0, 0, 0, 1, 0, 1, 0}));  // top row first
}

TEST_F(MaskCommandsTest, PathsThatDoNotFitOrConvertAreRefused) {
    // 259 bytes fit with the terminator; 260 do not, nor 130 characters of two bytes each.
    const std::string dir = folder_.Path().string() + "/";
    const std::string tooLong = dir + std::string(260 - dir.size(), 'b');
    char buffer[kMaxPathBytes];
    EXPECT_TRUE(
        ConvertChosenPath(Confirm(dir + std::string(259 - dir.size(), 'a')).path.value(), buffer));
    EXPECT_EQ(std::strlen(buffer), 259u);
    EXPECT_FALSE(ConvertChosenPath(std::wstring(130, L'é'), buffer));

    Select(Confirm(source_));
    Select(Confirm(tooLong));
    EXPECT_STREQ(workingImage.sourcePath, "") << "a later mask would use the old picture";
    White(In("mask.bmp"));

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
