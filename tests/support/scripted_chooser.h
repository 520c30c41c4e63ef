// A file chooser that answers from a script instead of asking a person.
#pragma once

#include <deque>
#include <memory>
#include <optional>
#include <string>

#include "file_chooser.h"

namespace zel7::test_support {

// What the scripted user does with the next chooser: confirm a path, or cancel (nullopt).
using ChooserAnswer = std::optional<std::wstring>;
// Converts the path as the current locale reads it.
ChooserAnswer Confirm(const std::string& narrowPath);

// Hands out choosers that take their answers, in turn, from the script; as a command
// host it has no window.
class ChooserScript : public CommandHost {
public:
    void Push(ChooserAnswer answer) { answers_.push_back(std::move(answer)); }
    bool Exhausted() const { return answers_.empty(); }
    std::unique_ptr<FileChooser> CreateFileChooser(const FileChooserRequest& request) override;
    WindowHandle Window() const override { return 0x5EED; }
    bool UpdateData(bool) override { return true; }

private:
    std::deque<ChooserAnswer> answers_;
};

}  // namespace zel7::test_support
