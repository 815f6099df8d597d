// The registry file's parser accepts exactly what its writer writes: any
// text it accepts is written back byte for byte.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "yorbat_registry.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string_view text(reinterpret_cast<const char *>(data), size);
    yorbat::registry::Database parsed;
    if (yorbat::registry::parse(text, parsed) == 0 && yorbat::registry::format(parsed) != text)
        std::abort();
    return 0;
}
