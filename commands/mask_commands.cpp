#include "mask_commands.h"

#include <cstdlib>

#include "engine/working_image.h"
#include "formats/picture_files.h"
#include "system/system.h"

namespace zel7 {
namespace {

std::unique_ptr<FileChooser> CreatePictureChooser(CommandHost& host, FileChooserMode mode) {
    FileChooserRequest request;
    request.mode = mode;
    request.flags = kChooserFlags;
    request.filter = mode == FileChooserMode::Open ? kOpenFilter : kSaveFilter;
    request.modernStyle = true;
    std::unique_ptr<FileChooser> chooser = host.CreateFileChooser(request);

    FileChooserRecord& record = chooser->Record();
    record.lpstrTitle = mode == FileChooserMode::Open ? kOpenChooserTitle : kSaveChooserTitle;
    record.nFilterIndex = 1;
    record.hwndOwner = host.Window();
    record.lStructSize = kChooserRecordSize;
    record.nMaxFile = kMaxPathBytes;
    return chooser;
}

}  // namespace

void PrepareForCommands() {
    CleanUpOnFatalSignals();
}

bool ConvertChosenPath(const std::wstring& path, char (&buffer)[kMaxPathBytes]) {
    const std::size_t needed = std::wcstombs(nullptr, path.c_str(), 0);
    if (needed == static_cast<std::size_t>(-1) || needed >= kMaxPathBytes) {
        return false;
    }
    std::wcstombs(buffer, path.c_str(), kMaxPathBytes);
    return true;
}

void SelectPicture(CommandHost& host) {
    std::unique_ptr<FileChooser> chooser = CreatePictureChooser(host, FileChooserMode::Open);
    if (chooser->DoModal() != IDOK) {
        return;
    }
    if (!ConvertChosenPath(chooser->GetPathName(), workingImage.sourcePath)) {
        // Forget the previous picture rather than silently masking it later.
        workingImage.sourcePath[0] = '\0';
    }
    host.UpdateData(false);
}

void RunMaskCommand(CommandHost& host, Background background) {
    std::unique_ptr<FileChooser> chooser = CreatePictureChooser(host, FileChooserMode::Save);
    if (chooser->DoModal() != IDOK) {
        return;
    }
    if (!ConvertChosenPath(chooser->GetPathName(), workingImage.destPath)) {
        return;
    }
    // Transparency shows the background being masked; a PNG mask is made of 24-bit
    // pixels whatever the source's depth.
    const SourceOptions options{background};
    const bool toPng = FormatForName(workingImage.destPath) == PictureFormat::Png;
    if (!LoadPicture(workingImage.sourcePath, workingImage, options, toPng).Ok()) {
        return;
    }
    background == Background::NearWhite ? MaskNearWhite() : MaskNearBlack();
    WriteBitmapFile(workingImage.destPath, workingImage.pixels, workingImage.width,
                    workingImage.height, workingImage.bitCount, workingImage.palette);
    ReleasePictureBuffers();
    host.UpdateData(false);
}

}  // namespace zel7
