// Conversion of text-file statuses into connection statuses, so that the
// connection functions that rewrite service files can return one kind of
// status to their callers.
#include "ynet.h"

#include <array>

namespace {

struct TextToNet {
    int text_status;
    int net_status;
};

// Text-file statuses with a connection status of their own; every other
// text-file failure is a generic text-file error.
constexpr std::array<TextToNet, 8> kTextToNet{{
    {0, YN_STATUS_SUCCESS},
    {3, YN_STATUS_CHMOD_FAILED},
    {4, YN_STATUS_CHOWN_FAILED},
    {6, YN_STATUS_NO_MEMORY},
    {7, YN_STATUS_FILE_OPEN_FAILED},
    {8, YN_STATUS_RENAME_FAILED},
    {9, YN_STATUS_STAT_FAILED},
    {10, YN_STATUS_WRITE_FAILED},
}};

constexpr int text_to_net(int text_status) {
    for (const auto &entry : kTextToNet)
        if (entry.text_status == text_status) return entry.net_status;
    return YN_STATUS_TEXT_FILE_ERROR;
}

static_assert(text_to_net(0) == 0 && text_to_net(10) == 12 && text_to_net(5) == 30);

}  // namespace

extern "C" int ynet_text_to_net_status(int text_status) noexcept {
    return text_to_net(text_status);
}
