#include "scripted_chooser.h"

#include <cstdlib>
#include <stdexcept>

namespace zel7::test_support {
namespace {

class ScriptedChooser : public FileChooser {
public:
    ScriptedChooser(const FileChooserRequest& request, ChooserAnswer answer)
        : FileChooser(request), answer_(std::move(answer)) {}
    int DoModal() override { return answer_ ? IDOK : IDCANCEL; }
    std::wstring GetPathName() const override { return answer_.value_or(L""); }

private:
    ChooserAnswer answer_;
};

}  // namespace

ChooserAnswer Confirm(const std::string& narrowPath) {
    std::wstring wide(narrowPath.size(), L'\0');
    const std::size_t length = std::mbstowcs(wide.data(), narrowPath.c_str(), wide.size());
    if (length == static_cast<std::size_t>(-1)) {
        throw std::invalid_argument("path not valid in this locale: " + narrowPath);
    }
    wide.resize(length);
    return wide;
}

std::unique_ptr<FileChooser> ChooserScript::CreateFileChooser(const FileChooserRequest& request) {
    if (answers_.empty()) {
        throw std::logic_error("a chooser opened that the test did not expect");
    }
    ChooserAnswer answer = std::move(answers_.front());
    answers_.pop_front();
    return std::make_unique<ScriptedChooser>(request, std::move(answer));
}

}  // namespace zel7::test_support
