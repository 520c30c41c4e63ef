#include "scripted_chooser.h"

#include <cstdlib>
#include <stdexcept>

namespace zel7::test_support {

class ScriptedChooser : public FileChooser {
public:
    ScriptedChooser(ChooserScript& script, const FileChooserRequest& request)
        : FileChooser(request), script_(script) {}

    int DoModal() override {
        if (script_.answers_.empty()) {
            throw std::logic_error("a chooser ran that the test did not expect");
        }
        const std::optional<std::wstring> answer = std::move(script_.answers_.front().path);
        script_.answers_.pop_front();
        path_ = answer.value_or(L"");
        return answer ? IDOK : IDCANCEL;
    }
    std::wstring GetPathName() const override { return path_; }

private:
    ChooserScript& script_;
    std::wstring path_;
};

ChooserAnswer Confirm(const std::string& narrowPath) {
    std::wstring wide(narrowPath.size(), L'\0');
    const std::size_t length = std::mbstowcs(wide.data(), narrowPath.c_str(), wide.size());
    if (length == static_cast<std::size_t>(-1)) {
        throw std::invalid_argument("path not valid in this locale: " + narrowPath);
    }
    wide.resize(length);
    return {wide};
}

std::unique_ptr<FileChooser> ChooserScript::Create(const FileChooserRequest& request) {
    return std::make_unique<ScriptedChooser>(*this, request);
}

}  // namespace zel7::test_support
