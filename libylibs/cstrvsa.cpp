// Growable string arrays. The block behind the handle is always zero beyond
// `count`, so the array stays usable as a plain NULL-terminated array after
// every operation, including a failed one.
#include "cstrvsa.h"

#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "cstra.h"
#include "cstrvsa_private.h"
#include "ystrings.h"
#include "yq_sys.h"

namespace {

constexpr int kDefaultIncrement = 16;

char **new_block(int slots) {
    return static_cast<char **>(yq::sys::calloc(static_cast<size_t>(slots), sizeof(char *)));
}

// Makes room for one more element and the terminator. A step below 1 means
// a fixed-size array: the insertion that needs growth is refused.
bool ensure_room(cstrvsa_handle *h) {
    if (h->count + 1 < h->capacity) return true;
    if (h->increment < 1 || h->capacity > INT_MAX - h->increment) return false;
    int slots = h->capacity + h->increment;
    char **block = new_block(slots);
    if (block == nullptr) return false;
    if (h->array != nullptr)
        std::memcpy(block, h->array, static_cast<size_t>(h->capacity) * sizeof(char *));
    std::free(h->array);
    h->array = block;
    h->capacity = slots;
    return true;
}

bool same(const char *a, const char *b) {
    if (a == nullptr || b == nullptr) return a == b;
    return std::strcmp(a, b) == 0;
}

// Closes the gap of n slots at index: the tail (terminator included) moves
// down and the vacated slots at the end are cleared.
void close_gap(cstrvsa_handle *h, int index, int n) {
    char **a = h->array;
    std::memmove(a + index, a + index + n, static_cast<size_t>(h->count - index - n) * sizeof(char *));
    for (int i = h->count - n; i < h->count; ++i) a[i] = nullptr;
    h->count -= n;
}

int clipped(const cstrvsa_handle *h, int index, int n) {
    if (h == nullptr || index < 0 || index >= h->count || n < 1) return 0;
    return n > h->count - index ? h->count - index : n;
}

}  // namespace

namespace yq::cstrvsa {

bool append_copy(cstrvsa_handle *h, const char *s, size_t n) noexcept {
    if (n == SIZE_MAX) return false;
    auto *copy = static_cast<char *>(yq::sys::malloc(n + 1));
    if (copy == nullptr) return false;
    Y_strlcpy(copy, s, n + 1);
    if (cstrvsaAPPEND(h, copy) == nullptr) {
        std::free(copy);
        return false;
    }
    return true;
}

bool append_copy(cstrvsa_handle *h, const char *s) noexcept { return append_copy(h, s, std::strlen(s)); }

}  // namespace yq::cstrvsa

extern "C" {

cstrvsa_handle *cstrvsaNEW(int initial, int increment) noexcept {
    int step = increment < 0 ? kDefaultIncrement : increment;
    if (initial == INT_MAX) return nullptr;
    // Even a fixed-size empty array gets its terminator slot.
    int slots = initial > 0 ? initial + 1 : (step > 0 ? step : 1);
    auto *h = static_cast<cstrvsa_handle *>(yq::sys::malloc(sizeof(cstrvsa_handle)));
    if (h == nullptr) return nullptr;
    h->array = new_block(slots);
    if (h->array == nullptr) {
        std::free(h);
        return nullptr;
    }
    h->increment = step;
    h->capacity = slots;
    h->count = initial > 0 ? initial : 0;
    return h;
}

cstrvsa_handle *cstrvsaATTACH(char **array, int increment) noexcept {
    if (array == nullptr) return nullptr;
    int count = cstraCOUNT(array);
    if (count == INT_MAX) return nullptr;
    auto *h = static_cast<cstrvsa_handle *>(yq::sys::malloc(sizeof(cstrvsa_handle)));
    if (h == nullptr) return nullptr;
    h->array = array;
    h->increment = increment < 0 ? kDefaultIncrement : increment;
    h->capacity = count + 1;
    h->count = count;
    return h;
}

char **cstrvsaDETACH(cstrvsa_handle *handle) noexcept {
    if (handle == nullptr) return nullptr;
    char **array = handle->array;
    std::free(handle);
    return array;
}

void cstrvsaFREE(cstrvsa_handle *handle) noexcept {
    if (handle == nullptr) return;
    std::free(handle->array);
    std::free(handle);
}

void cstrvsaFREEALL(cstrvsa_handle *handle) noexcept {
    if (handle == nullptr) return;
    for (int i = 0; i < handle->count; ++i) std::free(handle->array[i]);
    cstrvsaFREE(handle);
}

char **cstrvsaINSERT(cstrvsa_handle *handle, char *element, int index) noexcept {
    if (handle == nullptr || index < 0 || index > handle->count) return nullptr;
    if (!ensure_room(handle)) return nullptr;
    char **a = handle->array;
    std::memmove(a + index + 1, a + index, static_cast<size_t>(handle->count - index) * sizeof(char *));
    a[index] = element;
    ++handle->count;
    return a + index;
}

char **cstrvsaAPPEND(cstrvsa_handle *handle, char *element) noexcept {
    if (handle == nullptr) return nullptr;
    return cstrvsaINSERT(handle, element, handle->count);
}

int cstrvsaREMOVE(cstrvsa_handle *handle, int index, int n) noexcept {
    int removed = clipped(handle, index, n);
    if (removed > 0) close_gap(handle, index, removed);
    return removed;
}

int cstrvsaREMOVEALL(cstrvsa_handle *handle, int index, int n) noexcept {
    int removed = clipped(handle, index, n);
    if (removed == 0) return 0;
    for (int i = index; i < index + removed; ++i) std::free(handle->array[i]);
    close_gap(handle, index, removed);
    return removed;
}

char **cstrvsaPOINTER(cstrvsa_handle *handle, int index) noexcept {
    if (handle == nullptr || index < 0 || index >= handle->count) return nullptr;
    return handle->array + index;
}

char *cstrvsaOBJECT(const cstrvsa_handle *handle, int index) noexcept {
    if (handle == nullptr || index < 0 || index >= handle->count) return nullptr;
    return handle->array[index];
}

char **cstrvsaSET(cstrvsa_handle *handle, char *element, int index) noexcept {
    char **slot = cstrvsaPOINTER(handle, index);
    if (slot != nullptr) *slot = element;
    return slot;
}

int cstrvsaCOUNT(const cstrvsa_handle *handle) noexcept { return handle != nullptr ? handle->count : 0; }

int cstrvsaSIZE(const cstrvsa_handle *handle) noexcept { return handle != nullptr ? handle->capacity : 0; }

char **cstrvsaVSARRAY(const cstrvsa_handle *handle) noexcept {
    return handle != nullptr ? handle->array : nullptr;
}

int cstrvsaMATCH(const cstrvsa_handle *handle, const char *s) noexcept {
    return cstraMATCH(cstrvsaVSARRAY(handle), s);
}

void cstrvsaUNIQUE(cstrvsa_handle *handle, int free_removed) noexcept {
    if (handle == nullptr) return;
    // Elements created by cstrvsaNEW may still be NULL; they count as equal
    // to one another and never reach strcmp.
    for (int i = 0; i < handle->count; ++i) {
        for (int j = i + 1; j < handle->count;) {
            if (same(handle->array[i], handle->array[j])) {
                if (free_removed) std::free(handle->array[j]);
                close_gap(handle, j, 1);
            } else {
                ++j;
            }
        }
    }
}

}  // extern "C"
