// Feeds arbitrary bytes to credential import. An imported credential must
// then extract, export to the very text import handed out, and import again
// to the same text; everything handed out is released.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "yorbat_core.h"

namespace {

void check(bool ok) {
    if (!ok)
        std::abort();
}

void *library_context() {
    static void *context = [] {
        void *made = nullptr;
        check(yorbAtInit(0, &made) == 0);
        return made;
    }();
    return context;
}

void round_trip(const char *credential) {
    yorbat_word *info = nullptr;
    int extracted = yorbAtExtractInfo(library_context(), credential, &info);
    check(extracted == 0 && info && info[YORBAT_INFO_PRINCIPAL] && info[YORBAT_INFO_ISSUER]);
    check(yorbAtFree(info) == 0);

    char *exported = nullptr, *again = nullptr;
    int count = 0;
    check(yorbAtExportCredential(credential, &exported, &count) == 0);
    check(static_cast<size_t>(count) == std::strlen(credential) && std::strcmp(exported, credential) == 0);
    check(yorbAtImportCredential(exported, count, &again) == 0 && std::strcmp(again, credential) == 0);
    check(yorbAtFree(exported) == 0 && yorbAtFree(again) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > 1 << 16)
        return 0;
    char *credential = nullptr;
    int result = yorbAtImportCredential(reinterpret_cast<const char *>(data), static_cast<int>(size), &credential);
    check(result == 0 || result == YORBAT_CREDENTIAL_UNREADABLE || result == YORBAT_NO_PRIVATE_KEY);
    check((result == 0) == (credential != nullptr));
    if (credential) {
        round_trip(credential);
        check(yorbAtFree(credential) == 0);
    }
    // The process's own credentials would grow with every input.
    yorbat::store::replace({});
    return 0;
}
