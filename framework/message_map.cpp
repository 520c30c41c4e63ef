#include "message_map.h"

namespace afx {

const MessageMap* CCmdTarget::GetMessageMap() const {
    static const MessageMap root{nullptr, {}};
    return &root;
}

const MessageMapEntry* CCmdTarget::FindEntry(unsigned message, unsigned notifyCode,
                                             int controlId) const {
    for (const MessageMap* map = GetMessageMap(); map != nullptr; map = map->base) {
        for (const MessageMapEntry& entry : map->entries) {
            if (entry.message != message) {
                continue;
            }
            if (message == WM_COMMAND &&
                (entry.notifyCode != notifyCode || entry.controlId != controlId)) {
                continue;
            }
            return &entry;
        }
    }
    return nullptr;
}

}  // namespace afx
