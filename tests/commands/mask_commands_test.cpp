// The dialog's three commands with a scripted user: each mask is made of the source read
// afresh and written under the name exactly as confirmed; cancelling, or a source that
// cannot be read, changes nothing; paths that do not fit or convert are refused.
#include "mask_commands.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cstring>

#include "encoders.h"
#include "scripted_chooser.h"
#include "test_pictures.h"

namespace zel7 {
namespace {

using namespace test_support;
using Names = std::vector<std::string>;

class MaskCommandsTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::setlocale(LC_ALL, "C.UTF-8");
        workingImage = WorkingImage{};
        WriteWholeFile(source_, photo_ = ValidPicture(64, 48, 24).Build());
    }
    void TearDown() override {
        EXPECT_TRUE(script_.Exhausted()) << "the test scripted choosers that never opened";
        EXPECT_EQ(workingImage.pixels, nullptr) << "a command kept its pixel buffer";
    }

    // The commands, their choosers answered with a path, or nullopt for Cancel.
    void Select(ChooserAnswer answer) { script_.Push(std::move(answer)), SelectPicture(script_); }
    void Mask(Background background, ChooserAnswer answer) {
        script_.Push(std::move(answer)), RunMaskCommand(script_, background);
    }
    ChooserAnswer In(const std::string& name) const { return Confirm((folder_ / name).string()); }
    Bytes Read(const std::string& name) const { return ReadWholeFile(folder_ / name); }

    ScratchFolder folder_;
    ChooserScript script_;
    Bytes photo_;
    const std::string source_ = (folder_ / "photo.bmp").string();
};

// The black mask is of the source, not of the white mask made before it; names in any
// language (source and destination share the conversion), with no extension, of a file
// there already (the source itself) are used as confirmed. A name ending in .png gets a
// PNG mask, any other a BMP, even one named .jpg (the dialog cannot say why it would
// write nothing); a 32-bit BMP is masked into a PNG.
TEST_F(MaskCommandsTest, EachMaskIsOfTheSourceUnderTheNameAsConfirmed) {
    Select(In("photo.bmp"));
    Mask(Background::NearWhite, In("蒙版 é.jpg"));
    Mask(Background::NearBlack, In("mask"));
    EXPECT_EQ(Read("蒙版 é.jpg"), ReferenceMask(photo_, Background::NearWhite));
    EXPECT_EQ(Read("mask"), ReferenceMask(photo_, Background::NearBlack));
    Mask(Background::NearWhite, In("photo.bmp"));
    EXPECT_EQ(Read("photo.bmp"), ReferenceMask(photo_, Background::NearWhite));
    BmpBuilder deep = ValidPicture(4, 2, 32);
    deep.pixels = {250, 250, 250, 0, 250, 9, 250, 0, 255, 255, 255, 7, 0,  0,  0,  0,
                   240, 240, 240, 1, 1,   1, 1,   1, 239, 240, 240, 0, 99, 99, 99, 99};
    WriteWholeFile(folder_ / "deep.bmp", deep.Build());
    Select(In("deep.bmp"));
    Mask(Background::NearWhite, In("deep.png"));
    EXPECT_EQ(DecodePng(Read("deep.png")).samples,
              (std::vector<uint16_t>{255, 0, 0, 0, 255, 0, 255, 0}));  // top row first
    EXPECT_EQ(folder_.Entries(),
              (Names{"deep.bmp", "deep.png", "mask", "photo.bmp", "蒙版 é.jpg"}));
}

// Cancelling, a source that cannot be read, and paths that do not fit or convert change
// nothing: 259 bytes fit with the terminator; 260 do not, nor 130 characters of two bytes
// each, nor, in the C locale, a Chinese name, which has no narrow form there.
TEST_F(MaskCommandsTest, CancellingAFailedReadOrAPathThatDoesNotFitChangesNothing) {
    Mask(Background::NearWhite, In("mask.bmp"));  // before any picture was chosen
    const std::string dir = folder_.Path().string() + "/";
    const std::string fits = dir + std::string(259 - dir.size(), 'a'), tooLong = fits + "b";
    Select(Confirm(fits));
    EXPECT_EQ(workingImage.sourcePath, fits);
    Select(Confirm(tooLong));
    EXPECT_STREQ(workingImage.sourcePath, "") << "a later mask would use the old picture";
    Select(In("photo.bmp"));
    Mask(Background::NearWhite, In("first.bmp"));
    const std::string dest = workingImage.destPath;
    Select(std::nullopt);
    Mask(Background::NearBlack, std::nullopt);
    EXPECT_STREQ(workingImage.sourcePath, source_.c_str());
    EXPECT_EQ(workingImage.destPath, dest);
    const std::string before = (folder_ / "before").string();  // a mask there shows too
    std::memcpy(workingImage.destPath, before.c_str(), before.size() + 1);
    Mask(Background::NearWhite, std::wstring(130, L'é'));
    std::setlocale(LC_ALL, "C");
    Mask(Background::NearWhite, std::wstring(L"/tmp/蒙版.bmp"));
    EXPECT_EQ(workingImage.destPath, before);
    WriteWholeFile(source_, {'B', 'M', 0});
    Mask(Background::NearBlack, In("broken.bmp"));
    EXPECT_EQ(folder_.Entries(), (Names{"first.bmp", "photo.bmp"}));
}

}  // namespace
}  // namespace zel7
