// File choosers for the commands: the toolkit's own by default, or whatever a test
// installs in its place.
#pragma once

#include <functional>
#include <memory>

#include "file_chooser.h"

namespace afx {

using FileChooserFactory =
    std::function<std::unique_ptr<zel7::FileChooser>(const zel7::FileChooserRequest&)>;

// Replaces the factory behind CreateFileChooser; an empty one restores the toolkit's
// choosers. Returns the previous factory.
FileChooserFactory SetFileChooserFactory(FileChooserFactory factory);

std::unique_ptr<zel7::FileChooser> CreateFileChooser(const zel7::FileChooserRequest& request);

}  // namespace afx
