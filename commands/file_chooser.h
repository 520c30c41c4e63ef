// What the mask commands need from the user interface: a modal file chooser, the
// window that owns it, and the data-transfer call. Implemented by the framework layer
// on the desktop toolkit, and by scripted stand-ins in tests.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "dialog_result.h"

namespace zel7 {

// An opaque handle of a top-level window; 0 means none.
using WindowHandle = std::uintptr_t;

// Chooser flags, with the values of the classic settings record.
inline constexpr uint32_t OFN_READONLY = 0x00000001;
inline constexpr uint32_t OFN_OVERWRITEPROMPT = 0x00000002;
inline constexpr uint32_t OFN_PATHMUSTEXIST = 0x00000800;
inline constexpr uint32_t OFN_FILEMUSTEXIST = 0x00001000;

enum class FileChooserMode { Open, Save };

// What a chooser is created with.
struct FileChooserRequest {
    FileChooserMode mode = FileChooserMode::Open;
    std::wstring defaultExtension;  // empty: none is added
    std::wstring fileName;          // empty: no initial name
    uint32_t flags = 0;
    // Bar-separated pairs of description and pattern, ending with "||".
    std::wstring filter;
    WindowHandle parent = 0;
    uint32_t structSize = 0;  // 0: the framework's default
    bool modernStyle = true;
};

// The chooser's settings record, which callers may adjust before it runs. Fields keep
// their classic names and values even where the toolkit has no use for them.
struct FileChooserRecord {
    uint32_t lStructSize = 0;
    WindowHandle hwndOwner = 0;
    std::wstring lpstrFilter;
    uint32_t nFilterIndex = 0;
    std::wstring lpstrFile;
    uint32_t nMaxFile = 0;
    std::wstring lpstrTitle;
    uint32_t Flags = 0;
    std::wstring lpstrDefExt;
};

class FileChooser {
public:
    explicit FileChooser(const FileChooserRequest& request);
    virtual ~FileChooser() = default;
    FileChooser(const FileChooser&) = delete;
    FileChooser& operator=(const FileChooser&) = delete;

    FileChooserMode Mode() const { return mode_; }
    bool ModernStyle() const { return modernStyle_; }
    FileChooserRecord& Record() { return record_; }
    const FileChooserRecord& Record() const { return record_; }

    // Runs the chooser modally; IDOK only when the user confirmed a file.
    virtual int DoModal() = 0;
    // The full path of the confirmed file.
    virtual std::wstring GetPathName() const = 0;

private:
    FileChooserMode mode_;
    bool modernStyle_;
    FileChooserRecord record_;
};

// The window a command runs in.
class CommandHost {
public:
    virtual ~CommandHost() = default;
    virtual std::unique_ptr<FileChooser> CreateFileChooser(const FileChooserRequest& request) = 0;
    virtual WindowHandle Window() const = 0;
    // Moves member data into the window's controls (false) or back (true).
    virtual bool UpdateData(bool saveAndValidate) = 0;
};

}  // namespace zel7
