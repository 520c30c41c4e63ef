// The three user commands: choose the source picture, and write its mask for a white
// or a black background. Each runs to completion; none shows a message.
#pragma once

#include "engine/working_image.h"
#include "file_chooser.h"

namespace zel7 {

inline constexpr wchar_t kOpenChooserTitle[] = L"打开文件";
inline constexpr wchar_t kSaveChooserTitle[] = L"保存图片";
// The open chooser offers every format read (HEIF by its three extensions); the save chooser BMP,
// though a name ending in .png gets a PNG mask.
inline constexpr wchar_t kOpenFilter[] =
    L"支持的图像文件 (*.bmp;*.jpg;*.jpeg;*.png;*.tif;*.tiff;*.webp;*.heic;*.heif;*.avif)||";
inline constexpr wchar_t kSaveFilter[] = L"支持的图像文件 (*.bmp)||";
inline constexpr uint32_t kChooserFlags = OFN_READONLY | OFN_PATHMUSTEXIST | OFN_FILEMUSTEXIST;
inline constexpr uint32_t kChooserRecordSize = 88;

// Asks for a picture and stores its path as the working image's source. Nothing is
// read yet. Cancelling changes nothing.
void SelectPicture(CommandHost& host);

// Asks for a destination, reads the source afresh, masks it for the background and
// writes the mask there. Cancelling, or a source that cannot be read, writes nothing.
void RunMaskCommand(CommandHost& host, Background background);

// Readies the process for the commands: a fatal signal then removes a mask being
// written instead of leaving a temporary file, and signals the caller ignored stay
// ignored. Call once at start.
void PrepareForCommands();

// Converts a chosen path into a narrow path buffer in the current locale. Returns
// false, leaving the buffer unchanged, when the path cannot be represented or does
// not fit with its terminator.
bool ConvertChosenPath(const std::wstring& path, char (&buffer)[kMaxPathBytes]);

}  // namespace zel7
