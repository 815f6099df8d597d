// Allocation interposer for the allocation-failure sweep: the program's own
// malloc family and operator new take the place of the C library's (and of
// the address sanitizer's, whose allocator stays underneath), count every
// allocation made while armed, make the k-th one fail with ENOMEM, and keep
// the blocks still live so a run can tell what it leaked.
#include "alloc_interposer.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstddef>
#include <cstdint>
#include <new>

#include <execinfo.h>

extern "C" {
void *__libc_malloc(size_t);
void *__libc_calloc(size_t, size_t);
void *__libc_realloc(void *, size_t);
void __libc_free(void *);
// The sanitizer's allocator, when the program is built with it.
void *__interceptor_malloc(size_t) __attribute__((weak));
void *__interceptor_calloc(size_t, size_t) __attribute__((weak));
void *__interceptor_realloc(void *, size_t) __attribute__((weak));
void __interceptor_free(void *) __attribute__((weak));
}

namespace {

void *next_malloc(size_t n) { return __interceptor_malloc ? __interceptor_malloc(n) : __libc_malloc(n); }
void *next_calloc(size_t n, size_t s) { return __interceptor_calloc ? __interceptor_calloc(n, s) : __libc_calloc(n, s); }
void *next_realloc(void *p, size_t n) { return __interceptor_realloc ? __interceptor_realloc(p, n) : __libc_realloc(p, n); }
void next_free(void *p) { __interceptor_free ? __interceptor_free(p) : __libc_free(p); }

bool g_armed = false;     // allocations are remembered
bool g_counting = false;  // and counted, the k-th failing
long g_count = 0;
long g_fail_at = 0;
long g_failed = 0;

// Blocks allocated while armed and not yet freed: open addressing, linear
// probing, tombstones; never allocates.
constexpr size_t kSlots = size_t{1} << 16;
void *const kTomb = reinterpret_cast<void *>(uintptr_t{1});
void *g_live[kSlots];
long g_live_count = 0;
// With tracing on, where each live block was allocated (a few frames).
constexpr int kFrames = 24;
bool g_trace = false;
bool g_in_trace = false;
void *g_where[kSlots][kFrames];

size_t slot_of(const void *p) { return (reinterpret_cast<uintptr_t>(p) >> 4) * 0x9E3779B97F4A7C15u >> 48; }

void remember(void *p) {
    if (p == nullptr || g_live_count >= static_cast<long>(kSlots / 2)) return;
    for (size_t i = slot_of(p);; i = (i + 1) % kSlots) {
        if (g_live[i] == nullptr || g_live[i] == kTomb) {
            g_live[i] = p;
            ++g_live_count;
            if (g_trace && !g_in_trace) {
                g_in_trace = true;
                const bool counting = g_counting;
                g_counting = false;
                int n = backtrace(g_where[i], kFrames);
                for (int f = n; f < kFrames; ++f) g_where[i][f] = nullptr;
                g_counting = counting;
                g_in_trace = false;
            }
            return;
        }
    }
}

void forget(void *p) {
    if (p == nullptr || g_live_count == 0) return;
    for (size_t i = slot_of(p); g_live[i] != nullptr; i = (i + 1) % kSlots) {
        if (g_live[i] == p) {
            g_live[i] = kTomb;
            --g_live_count;
            return;
        }
    }
}

// True when this allocation is to fail.
bool counted() {
    if (!g_counting) return false;
    ++g_count;
    if (g_count == g_fail_at) {
        ++g_failed;
        errno = ENOMEM;
        return true;
    }
    return false;
}

void *checked_new(size_t n) {
    void *p = std::malloc(n == 0 ? 1 : n);
    if (p == nullptr) throw std::bad_alloc();
    return p;
}

}  // namespace

namespace alloc_interposer {

void arm(long fail_at) {
    for (auto &slot : g_live) slot = nullptr;
    g_live_count = 0;
    g_count = 0;
    g_failed = 0;
    g_fail_at = fail_at;
    g_armed = true;
    g_counting = true;
}

Hold::Hold() : armed_(g_armed), counting_(g_counting) { g_armed = g_counting = false; }
Hold::~Hold() {
    g_armed = armed_;
    g_counting = counting_;
}

void stop_failing() { g_counting = false; }

Tally disarm() {
    g_armed = false;
    g_counting = false;
    return {g_count, g_failed, g_live_count};
}

long live() { return g_live_count; }

void trace(bool on) {
    void *warm[2];
    backtrace(warm, 2);  // loads the unwinder now, not while counting
    g_trace = on;
}

void print_live(FILE *out) {
    for (size_t i = 0; i < kSlots; ++i) {
        if (g_live[i] == nullptr || g_live[i] == kTomb) continue;
        std::fprintf(out, "      block %p allocated at\n", g_live[i]);
        std::fflush(out);
        int n = 0;
        while (n < kFrames && g_where[i][n] != nullptr) ++n;
        backtrace_symbols_fd(g_where[i] + 2, n > 2 ? n - 2 : 0, fileno(out));
    }
}

}  // namespace alloc_interposer

extern "C" {

void *malloc(size_t n) {
    if (counted()) return nullptr;
    void *p = next_malloc(n);
    if (g_armed) remember(p);
    return p;
}

void *calloc(size_t n, size_t s) {
    if (counted()) return nullptr;
    void *p = next_calloc(n, s);
    if (g_armed) remember(p);
    return p;
}

void *realloc(void *old, size_t n) {
    if (old != nullptr && n == 0) {
        forget(old);
        return next_realloc(old, n);
    }
    if (counted()) return nullptr;
    void *p = next_realloc(old, n);
    if (p != nullptr) {
        // A block that existed before arming stays unknown; a moved known one
        // is known under its new address.
        if (old == nullptr) {
            if (g_armed) remember(p);
        } else if (p != old) {
            long before = g_live_count;
            forget(old);
            if (g_live_count != before) remember(p);
        }
    }
    return p;
}

void free(void *p) {
    forget(p);
    next_free(p);
}

}  // extern "C"

void *operator new(size_t n) { return checked_new(n); }
void *operator new[](size_t n) { return checked_new(n); }
void *operator new(size_t n, const std::nothrow_t &) noexcept { return std::malloc(n == 0 ? 1 : n); }
void *operator new[](size_t n, const std::nothrow_t &) noexcept { return std::malloc(n == 0 ? 1 : n); }
void operator delete(void *p) noexcept { std::free(p); }
void operator delete[](void *p) noexcept { std::free(p); }
void operator delete(void *p, size_t) noexcept { std::free(p); }
void operator delete[](void *p, size_t) noexcept { std::free(p); }
void operator delete(void *p, const std::nothrow_t &) noexcept { std::free(p); }
void operator delete[](void *p, const std::nothrow_t &) noexcept { std::free(p); }
