// A file chooser that answers from a script instead of asking a person.
#pragma once

#include <cstdlib>
#include <deque>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>

#include "file_chooser.h"

namespace zel7::test_support {

// What the scripted user does with the next chooser: confirm a path, or cancel (nullopt).
using ChooserAnswer = std::optional<std::wstring>;

// Converts the path as the current locale reads it.
inline ChooserAnswer Confirm(const std::string& narrowPath) {
    std::wstring wide(narrowPath.size(), L'\0');
    const std::size_t length = std::mbstowcs(wide.data(), narrowPath.c_str(), wide.size());
    if (length == static_cast<std::size_t>(-1)) {
        throw std::invalid_argument("path not valid in this locale: " + narrowPath);
    }
    wide.resize(length);
    return wide;
}

// Hands out choosers that take their answers, in turn, from the script; as a command
// host it has no window.
class ChooserScript : public CommandHost {
public:
    void Push(ChooserAnswer answer) { answers_.push_back(std::move(answer)); }
    bool Exhausted() const { return answers_.empty(); }
    std::unique_ptr<FileChooser> CreateFileChooser(const FileChooserRequest& request) override {
        if (answers_.empty()) {
            throw std::logic_error("a chooser opened that the test did not expect");
        }
        auto chooser = std::make_unique<Chooser>(request, std::move(answers_.front()));
        answers_.pop_front();
        return chooser;
    }
    WindowHandle Window() const override { return 0x5EED; }
    bool UpdateData(bool) override { return true; }

private:
    struct Chooser : FileChooser {
        Chooser(const FileChooserRequest& request, ChooserAnswer answer)
            : FileChooser(request), answer(std::move(answer)) {}
        int DoModal() override { return answer ? IDOK : IDCANCEL; }
        std::wstring GetPathName() const override { return answer.value_or(L""); }
        ChooserAnswer answer;
    };

    std::deque<ChooserAnswer> answers_;
};

}  // namespace zel7::test_support
