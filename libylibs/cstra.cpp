// Plain NULL-terminated string arrays. Arrays that are built up element by
// element go through the growable layer, so both layers share one set of
// growth rules.
#include "cstra.h"

#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "cstrvsa.h"
#include "cstrvsa_private.h"
#include "ystrings.h"
#include "yq_sys.h"

using yq::cstrvsa::append_copy;
using yq::cstrvsa::OwningHandle;

extern "C" {

int cstraCOUNT(char *const *array) noexcept {
    if (array == nullptr) return 0;
    int n = 0;
    while (n < INT_MAX && array[n] != nullptr) ++n;
    return n;
}

char **cstraDUP(char *const *array) noexcept {
    if (array == nullptr) return nullptr;
    int n = cstraCOUNT(array);
    if (n == INT_MAX) return nullptr;
    // One block that fits every element and the terminator.
    OwningHandle h(cstrvsaNEW(0, n + 1));
    if (!h) return nullptr;
    for (char *const *p = array; *p != nullptr; ++p)
        if (!append_copy(h.get(), *p)) return nullptr;
    return cstrvsaDETACH(h.release());
}

void cstraItemsFREE(char **array) noexcept {
    if (array == nullptr) return;
    for (char **p = array; *p != nullptr; ++p) {
        std::free(*p);
        *p = nullptr;
    }
}

void cstraFREE(char **array) noexcept {
    cstraItemsFREE(array);
    std::free(array);
}

char **cstraAPPEND(char **a, char **b) noexcept {
    if (a == nullptr) return b;
    if (b == nullptr) return a;
    int nb = cstraCOUNT(b);
    if (nb > 0) {
        // With b's count as the step, the first append grows the block once
        // to fit all of b; if that fails nothing has moved yet and the
        // caller still owns both arrays.
        cstrvsa_handle *h = cstrvsaATTACH(a, nb);
        if (h == nullptr) return nullptr;
        for (int i = 0; i < nb; ++i) {
            if (cstrvsaAPPEND(h, b[i]) == nullptr) {
                // Only the first append grows the block, so a failure leaves
                // a where it was and b untouched.
                cstrvsaDETACH(h);
                return nullptr;
            }
        }
        a = cstrvsaDETACH(h);
    }
    std::free(b);
    return a;
}

char *cstraTOcstr(char *const *array, const char *separator) noexcept {
    if (array == nullptr) return nullptr;
    if (separator == nullptr) separator = "";
    size_t seplen = std::strlen(separator);
    size_t total = 0;
    int n = 0;
    for (; array[n] != nullptr; ++n) total += std::strlen(array[n]);
    if (n > 1) total += seplen * static_cast<size_t>(n - 1);
    if (total == 0) return nullptr;
    auto *text = static_cast<char *>(yq::sys::malloc(total + 1));
    if (text == nullptr) return nullptr;
    text[0] = '\0';
    for (int i = 0; i < n; ++i) {
        Y_strlcat(text, array[i], total + 1);
        if (i + 1 < n) Y_strlcat(text, separator, total + 1);
    }
    return text;
}

int cstraMATCH(char *const *array, const char *s) noexcept {
    if (array == nullptr || s == nullptr) return -1;
    for (int i = 0; array[i] != nullptr; ++i)
        if (std::strcmp(array[i], s) == 0) return i;
    return -1;
}

char **cstraDIFF(char *const *a, char *const *b) noexcept {
    if (a == nullptr) return nullptr;
    OwningHandle h(cstrvsaNEW(0, -1));
    if (!h) return nullptr;
    for (char *const *p = a; *p != nullptr; ++p)
        if (cstraMATCH(b, *p) < 0 && !append_copy(h.get(), *p)) return nullptr;
    if (h->count == 0) return nullptr;
    return cstrvsaDETACH(h.release());
}

}  // extern "C"
