// Conversion of text-file statuses into connection statuses, so that the
// connection functions that rewrite service files can return one kind of
// status to their callers.
#include "ynet.h"
#include "ytext.h"

#include <array>

namespace {

struct TextToNet {
    int text_status;
    int net_status;
};

// Text-file statuses with a connection status of their own; every other
// text-file failure is a generic text-file error.
constexpr std::array<TextToNet, 8> kTextToNet{{
    {YTEXT_SUCCESS, YN_STATUS_SUCCESS},
    {YTEXT_CHMOD_FAILED, YN_STATUS_CHMOD_FAILED},
    {YTEXT_CHOWN_FAILED, YN_STATUS_CHOWN_FAILED},
    {YTEXT_NO_MEMORY, YN_STATUS_NO_MEMORY},
    {YTEXT_OPEN_FAILED, YN_STATUS_FILE_OPEN_FAILED},
    {YTEXT_RENAME_FAILED, YN_STATUS_RENAME_FAILED},
    {YTEXT_STAT_FAILED, YN_STATUS_STAT_FAILED},
    {YTEXT_IO_ERROR, YN_STATUS_WRITE_FAILED},
}};

constexpr int text_to_net(int text_status) {
    for (const auto &entry : kTextToNet)
        if (entry.text_status == text_status) return entry.net_status;
    return YN_STATUS_TEXT_FILE_ERROR;
}

static_assert(text_to_net(YTEXT_SUCCESS) == YN_STATUS_SUCCESS &&
              text_to_net(YTEXT_IO_ERROR) == YN_STATUS_WRITE_FAILED &&
              text_to_net(YTEXT_PAST_END) == YN_STATUS_TEXT_FILE_ERROR);

}  // namespace

extern "C" int ynet_text_to_net_status(int text_status) noexcept {
    return text_to_net(text_status);
}
