// Broker requests and answers: the parser takes any bytes without harm, and
// a message it accepts is encoded again into text that parses to the same.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "yorbat_protocol.h"

using namespace yorbat;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string_view text(reinterpret_cast<const char *>(data), size);
    protocol::Message message;
    if (protocol::parse(text, message) != YORBAT_OK)
        return 0;
    protocol::Message again;
    std::string encoded = protocol::encode(message);
    if (protocol::complete_length(text) != text.size() || protocol::parse(encoded, again) != YORBAT_OK ||
        !(again == message) || encoded.size() > text.size() * 3) {
        std::fprintf(stderr, "yorbat_request_fuzz: round trip differs\n");
        std::abort();
    }
    return 0;
}
