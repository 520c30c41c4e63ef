#include "file_chooser.h"

namespace zel7 {
namespace {
// Size of the classic settings record on 64-bit systems, used when the creator gives 0.
constexpr uint32_t kDefaultRecordSize = 152;
}  // namespace

FileChooser::FileChooser(const FileChooserRequest& request)
    : mode_(request.mode), modernStyle_(request.modernStyle) {
    record_.lStructSize = request.structSize != 0 ? request.structSize : kDefaultRecordSize;
    record_.hwndOwner = request.parent;
    record_.lpstrFilter = request.filter;
    record_.lpstrFile = request.fileName;
    record_.Flags = request.flags;
    record_.lpstrDefExt = request.defaultExtension;
}

}  // namespace zel7
