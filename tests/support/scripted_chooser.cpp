#include "scripted_chooser.h"

#include <cstdlib>
#include <stdexcept>

namespace zel7::testing {

class ScriptedChooser : public FileChooser {
public:
    ScriptedChooser(ChooserScript& script, const FileChooserRequest& request)
        : FileChooser(request), script_(script), request_(request) {}

    int DoModal() override {
        if (script_.answers_.empty()) {
            throw std::logic_error("a chooser ran that the test did not expect");
        }
        ChooserAnswer answer = std::move(script_.answers_.front());
        script_.answers_.pop_front();
        script_.runs_.push_back({request_, Record()});
        if (!answer.path) {
            return IDCANCEL;
        }
        path_ = *answer.path;
        return IDOK;
    }
    std::wstring GetPathName() const override { return path_; }

private:
    ChooserScript& script_;
    FileChooserRequest request_;
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

}  // namespace zel7::testing
