#include "ui/message_filter.h"

namespace message_filter_detail {
ChangeFilter& changeFilterCall() {
    static ChangeFilter call = &::ChangeWindowMessageFilterEx;
    return call;
}
}  // namespace message_filter_detail

bool allowFromAnyIntegrityLevel(HWND window, UINT message) {
    CHANGEFILTERSTRUCT result{};
    result.cbSize = sizeof(result);
    return message_filter_detail::changeFilterCall()(window, message, MSGFLT_ALLOW, &result) != FALSE;
}
