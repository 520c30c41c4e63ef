// A file chooser that answers from a script instead of asking a person.
#pragma once

#include <deque>
#include <memory>
#include <optional>
#include <string>

#include "file_chooser.h"

namespace zel7::test_support {

// What the scripted user does with the next chooser: confirm a path, or cancel.
struct ChooserAnswer {
    std::optional<std::wstring> path;  // nullopt: cancel
};
inline ChooserAnswer Confirm(std::wstring path) {
    return {std::move(path)};
}
// Converts the path as the current locale reads it.
ChooserAnswer Confirm(const std::string& narrowPath);
inline ChooserAnswer Cancel() {
    return {std::nullopt};
}

// Hands out choosers that pop answers from a shared script.
class ChooserScript {
public:
    void Push(ChooserAnswer answer) { answers_.push_back(std::move(answer)); }
    std::unique_ptr<FileChooser> Create(const FileChooserRequest& request);
    bool Exhausted() const { return answers_.empty(); }

private:
    friend class ScriptedChooser;
    std::deque<ChooserAnswer> answers_;
};

// A command host for pipeline tests: no window, choosers from the script.
class ScriptedHost : public CommandHost {
public:
    explicit ScriptedHost(ChooserScript& script) : script_(script) {}
    std::unique_ptr<FileChooser> CreateFileChooser(const FileChooserRequest& request) override {
        return script_.Create(request);
    }
    WindowHandle Window() const override { return 0x5EED; }
    bool UpdateData(bool) override { return true; }

private:
    ChooserScript& script_;
};

}  // namespace zel7::test_support
