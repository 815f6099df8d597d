// MD5 (RFC 1321), keyed digests, digest trailer lines of text files and the
// keyed scrambling of short texts.
#include "md5.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <source_location>
#include <utility>

#include "md5c_private.h"
#include "ynet_private.h"
#include "yq_memory.h"
#include "yq_sys.h"
#include "ystrings.h"

extern "C" {
YQ_API int MD5DebugFD = -1;
}

namespace {

using yq::md5c::kPieceMax;
using yq::md5c::MD5_KEY_BLOCK_A;
using yq::md5c::MD5_KEY_BLOCK_B;

constexpr const char kModule[] = "md5c";

// Reports a failing step with `value` through MD5Error, naming the caller's
// line and function, and evaluates to the -1 that the failing function
// returns: `return fail(rc);`.
int fail(int value, const std::source_location &where = std::source_location::current()) noexcept {
    const yq::report::FunctionName function(where);
    MD5Error(kModule, static_cast<int>(where.line()), function.c_str(), value);
    return -1;
}

// ---------------------------------------------------------------- the digest

// T[i] = floor(2^32 * |sin(i + 1)|), the additive constant of step i.
constexpr std::array<uint32_t, 64> kSine = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391,
};

// Left-rotation amounts: one row per round, repeating every four steps.
constexpr int kShift[4][4] = {{7, 12, 17, 22}, {5, 9, 14, 20}, {4, 11, 16, 23}, {6, 10, 15, 21}};

// Which message word step i reads.
constexpr int word_index(int i) {
    switch (i / 16) {
    case 0: return i;
    case 1: return (5 * i + 1) % 16;
    case 2: return (3 * i + 5) % 16;
    default: return (7 * i) % 16;
    }
}

// Little-endian bytes to words (len a multiple of 4).
void Decode(uint32_t *out, const unsigned char *in, size_t len) {
    for (size_t i = 0, j = 0; j < len; ++i, j += 4)
        out[i] = uint32_t(in[j]) | uint32_t(in[j + 1]) << 8 | uint32_t(in[j + 2]) << 16 |
                 uint32_t(in[j + 3]) << 24;
}

// Words to little-endian bytes (len a multiple of 4).
void Encode(unsigned char *out, const uint32_t *in, size_t len) {
    for (size_t i = 0, j = 0; j < len; ++i, j += 4) {
        out[j] = static_cast<unsigned char>(in[i]);
        out[j + 1] = static_cast<unsigned char>(in[i] >> 8);
        out[j + 2] = static_cast<unsigned char>(in[i] >> 16);
        out[j + 3] = static_cast<unsigned char>(in[i] >> 24);
    }
}

// One step: a = b + ((a + f(b, c, d) + x[k] + T[i]) <<< s). The message word
// and constant are added first and the terms of f that do not wait for b
// separately, which shortens the chain of dependent operations per step.
template <int I>
inline void step(uint32_t &a, uint32_t b, uint32_t c, uint32_t d, const uint32_t *x) {
    a += x[word_index(I)] + kSine[I];
    if constexpr (I < 16) {
        a += d ^ (b & (c ^ d));  // F: b ? c : d
    } else if constexpr (I < 32) {
        a += ~d & c;  // G: d ? b : c, as two disjoint terms
        a += d & b;
    } else if constexpr (I < 48) {
        a += b ^ c ^ d;  // H
    } else {
        a += c ^ (b | ~d);  // I
    }
    a = b + std::rotl(a, kShift[I / 16][I % 4]);
}

// Four steps, each with the working words rotated one place.
template <int I>
inline void four_steps(uint32_t &a, uint32_t &b, uint32_t &c, uint32_t &d, const uint32_t *x) {
    step<I>(a, b, c, d, x);
    step<I + 1>(d, a, b, c, x);
    step<I + 2>(c, d, a, b, x);
    step<I + 3>(b, c, d, a, x);
}

template <size_t... Q>
inline void all_steps(uint32_t &a, uint32_t &b, uint32_t &c, uint32_t &d, const uint32_t *x,
                      std::index_sequence<Q...>) {
    (four_steps<int(Q) * 4>(a, b, c, d, x), ...);
}

// Folds one 64-byte block into the chaining words.
void MD5Transform(uint32_t state[4], const unsigned char block[64]) {
    uint32_t x[16];
    Decode(x, block, 64);
    uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
    all_steps(a, b, c, d, x, std::make_index_sequence<16>{});
    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
}

// CR_MD5Update for lengths beyond unsigned int.
void update_all(MD5_CTX *ctx, const void *data, size_t length) {
    auto *p = static_cast<const unsigned char *>(data);
    while (length > 0) {
        auto chunk = static_cast<unsigned int>(std::min<size_t>(length, UINT_MAX & ~63u));
        CR_MD5Update(ctx, p, chunk);
        p += chunk;
        length -= chunk;
    }
}

void update_string(MD5_CTX *ctx, const char *s) {
    if (s != nullptr) update_all(ctx, s, std::strlen(s));
}

// ----------------------------------------------------------- digest lines

// The whole digest line; false when formatting failed (the line is then "").
bool format_line(const unsigned char d[16], char (&line)[MD5_DIGEST_LINE_SIZE]) {
    line[0] = '\0';
    int n = Y_snprintf(line, sizeof line,
                       "%s%02x %02x %02x %02x %02x %02x %02x %02x %02x %02x %02x %02x %02x %02x %02x %02x\n",
                       MD5_DIGEST_PREFIX, d[0], d[1], d[2], d[3], d[4], d[5], d[6], d[7], d[8], d[9],
                       d[10], d[11], d[12], d[13], d[14], d[15]);
    if (n == MD5_DIGEST_LINE_LEN) return true;
    line[0] = '\0';
    return false;
}

// Reads the next piece of a line: up to kPieceMax characters, ending after a
// newline. Counts bytes itself so a NUL inside a line is still digested.
// The caller holds the stream lock.
size_t read_piece(FILE *stream, char (&piece)[kPieceMax + 1]) {
    size_t n = 0;
    while (n < size_t(kPieceMax)) {
        int c = getc_unlocked(stream);
        if (c == EOF) break;
        piece[n++] = static_cast<char>(c);
        if (c == '\n') break;
    }
    piece[n] = '\0';
    return n;
}

// ------------------------------------------------------- hexadecimal text

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Decodes pairs of hexadecimal digits, storing at most `room` bytes (out may
// be NULL to only check). The number of pairs, or -1 for a bad pair or a
// count beyond int.
long decode_hex(const char *hex, unsigned char *out, size_t room) {
    long count = 0;
    for (const char *p = hex; *p != '\0'; p += 2) {
        int hi = hex_value(p[0]);
        if (hi < 0) return -1;
        int lo = hex_value(p[1]);  // the terminator of an odd-length text fails here
        if (lo < 0) return -1;
        if (count == INT_MAX) return -1;
        if (out != nullptr && size_t(count) < room) out[count] = static_cast<unsigned char>(hi << 4 | lo);
        ++count;
    }
    return count;
}

// ------------------------------------------------------ keyed scrambling

constexpr size_t kScrambleLen = 64;
constexpr size_t kBlockLen = 16;

// k0 = MD5(key1 key2 A).
void first_key(const char *key1, const char *key2, unsigned char k[16]) {
    MD5_CTX ctx;
    CR_MD5Init(&ctx);
    update_string(&ctx, key1);
    update_string(&ctx, key2);
    check_system_time(k, &ctx);
}

// k(i+1) = MD5(k(i) P(i) A), P(i) the clear block just done.
void next_key(unsigned char k[16], const unsigned char clear[16]) {
    MD5_CTX ctx;
    CR_MD5Init(&ctx);
    CR_MD5Update(&ctx, k, 16);
    CR_MD5Update(&ctx, clear, 16);
    check_system_time(k, &ctx);
}

}  // namespace

extern "C" {

// ------------------------------------------------------------------- MD5

void CR_MD5Init(MD5_CTX *ctx) noexcept {
    if (ctx == nullptr) return;
    ctx->state[0] = 0x67452301;
    ctx->state[1] = 0xefcdab89;
    ctx->state[2] = 0x98badcfe;
    ctx->state[3] = 0x10325476;
    ctx->count[0] = ctx->count[1] = 0;
    std::memset(ctx->buffer, 0, sizeof ctx->buffer);
}

void CR_MD5Update(MD5_CTX *ctx, const unsigned char *data, unsigned int length) noexcept {
    if (ctx == nullptr || data == nullptr || length == 0) return;
    size_t have = (ctx->count[0] >> 3) & 63;
    uint64_t bits = (uint64_t(ctx->count[1]) << 32 | ctx->count[0]) + (uint64_t(length) << 3);
    ctx->count[0] = static_cast<uint32_t>(bits);
    ctx->count[1] = static_cast<uint32_t>(bits >> 32);

    size_t left = length;
    if (have > 0) {
        size_t take = std::min(left, 64 - have);
        std::memcpy(ctx->buffer + have, data, take);
        data += take;
        left -= take;
        if (have + take < 64) return;
        MD5Transform(ctx->state, ctx->buffer);
    }
    // Whole blocks straight from the caller's data.
    for (; left >= 64; data += 64, left -= 64) MD5Transform(ctx->state, data);
    if (left > 0) std::memcpy(ctx->buffer, data, left);
}

void CR_MD5Final(unsigned char digest[16], MD5_CTX *ctx) noexcept {
    if (ctx == nullptr) return;
    static constexpr unsigned char kPadding[64] = {0x80};
    unsigned char length[8];
    Encode(length, ctx->count, 8);  // the bit count before padding
    size_t have = (ctx->count[0] >> 3) & 63;
    size_t pad = have < 56 ? 56 - have : 120 - have;
    CR_MD5Update(ctx, kPadding, static_cast<unsigned int>(pad));
    CR_MD5Update(ctx, length, 8);
    if (digest != nullptr) Encode(digest, ctx->state, 16);
    // Keyed digests leave key material in the context; never let it linger.
    explicit_bzero(ctx, sizeof *ctx);
}

void check_system_time(unsigned char digest[16], MD5_CTX *ctx) noexcept {
    CR_MD5Update(ctx, MD5_KEY_BLOCK_A, sizeof MD5_KEY_BLOCK_A);
    CR_MD5Final(digest, ctx);
}

void list_mode_bits(unsigned char digest[16], MD5_CTX *ctx) noexcept {
    CR_MD5Update(ctx, MD5_KEY_BLOCK_B, sizeof MD5_KEY_BLOCK_B);
    CR_MD5Final(digest, ctx);
}

// ----------------------------------------------------------- reporting

void MD5Error(const char *file, int line, const char *function, int value) noexcept {
    int fd = MD5DebugFD;
    if (fd == -1) return;
    const yq::ErrnoGuard keep_errno;
    char text[512];
    int n = Y_snprintf(text, sizeof text, "%s.%d: %s failed: %d\n", file != nullptr ? file : "",
                       line, function != nullptr ? function : "", value);
    if (n > 0) {
        size_t len = std::strlen(text);
        if (size_t(n) > len) text[len - 1] = '\n';  // cut: keep the line a line
        for (size_t off = 0; off < len;) {
            ssize_t w = yq::sys::write(fd, text + off, len - off);
            if (w < 0 && errno == EINTR) continue;
            if (w <= 0) break;
            off += size_t(w);
        }
    }
}

// ---------------------------------------------------------- digest lines

void MD5DigestToLine(const unsigned char digest[16], char *line, int size) noexcept {
    if (digest == nullptr || line == nullptr || size <= 0) return;
    char full[MD5_DIGEST_LINE_SIZE];
    format_line(digest, full);
    Y_strlcpy(line, full, size_t(size));
}

int MD5LineToDigest(const char *line, unsigned char digest[16]) noexcept {
    if (line == nullptr || std::strncmp(line, MD5_DIGEST_PREFIX, MD5_DIGEST_PREFIX_LEN) != 0)
        return -1;  // an ordinary line
    const yq::ErrnoGuard keep_errno;  // strtoul may set it
    unsigned char bytes[MD5_DIGEST_LEN];
    const char *p = line + MD5_DIGEST_PREFIX_LEN;
    for (unsigned char &byte : bytes) {
        char *end = nullptr;
        unsigned long value = std::strtoul(p, &end, 16);
        if (*end == '\0') return fail(0);
        if (!std::isspace(static_cast<unsigned char>(*end))) return fail(static_cast<unsigned char>(*end));
        if (value > 255) return fail(static_cast<int>(value));
        byte = static_cast<unsigned char>(value);
        p = end + 1;
    }
    if (digest != nullptr) std::memcpy(digest, bytes, sizeof bytes);
    return 0;
}

int MD5TextFileDigest(FILE *stream, const void *keyed, unsigned char digest[16],
                      unsigned char stored[16], int *found) noexcept {
    if (found != nullptr) *found = 0;
    if (stream == nullptr || digest == nullptr) return fail(EINVAL);
    MD5_CTX ctx;
    CR_MD5Init(&ctx);
    std::rewind(stream);

    char piece[kPieceMax + 1];
    flockfile(stream);
    for (size_t n; (n = read_piece(stream, piece)) > 0;) {
        unsigned char bytes[MD5_DIGEST_LEN];
        if (MD5LineToDigest(piece, bytes) == 0) {
            if (stored != nullptr) std::memcpy(stored, bytes, sizeof bytes);
            if (found != nullptr) *found = 1;
        } else {
            CR_MD5Update(&ctx, reinterpret_cast<const unsigned char *>(piece),
                         static_cast<unsigned int>(n));
        }
    }
    bool read_failed = ferror_unlocked(stream) != 0;
    funlockfile(stream);

    if (read_failed) {
        // A digest of part of the file would be wrong, not just incomplete.
        explicit_bzero(&ctx, sizeof ctx);
        if (found != nullptr) *found = 0;
        return fail(errno);
    }
    if (keyed != nullptr)
        check_system_time(digest, &ctx);
    else
        CR_MD5Final(digest, &ctx);
    return 0;
}

int MD5AppendDigest(FILE *stream, const void *keyed) noexcept {
    unsigned char digest[MD5_DIGEST_LEN];
    if (MD5TextFileDigest(stream, keyed, digest, nullptr, nullptr) != 0) return -1;
    int rc = std::fseek(stream, 0, SEEK_END);
    if (rc != 0) return fail(rc);
    char line[MD5_DIGEST_LINE_SIZE];
    if (!format_line(digest, line)) return fail(-1);
    rc = std::fputs(line, stream);
    if (rc == EOF) return fail(rc);
    rc = std::fflush(stream);
    if (rc != 0) return fail(rc);
    return 0;
}

// ----------------------------------------------------- hexadecimal text

int unhex(const char *hex, unsigned char *bytes) noexcept {
    if (hex == nullptr) return -1;
    return static_cast<int>(decode_hex(hex, bytes, SIZE_MAX));
}

void rehex(const unsigned char *bytes, int count, char *hex) noexcept {
    static constexpr char kDigits[] = "0123456789abcdef";
    if (hex == nullptr) return;
    size_t j = 0;
    if (bytes != nullptr) {
        for (int i = 0; i < count; ++i) {
            hex[j++] = kDigits[bytes[i] >> 4];
            hex[j++] = kDigits[bytes[i] & 15];
        }
    }
    hex[j] = '\0';
}

// ------------------------------------------------------ keyed scrambling

void get_final_config(const char *key1, const char *key2, const char *text, char *hex) noexcept {
    if (hex == nullptr) return;
    unsigned char k[MD5_DIGEST_LEN];
    first_key(key1, key2, k);

    char clear_text[kScrambleLen + 1] = {};  // the text, zero-filled to 64 bytes
    Y_strlcpy(clear_text, text != nullptr ? text : "", sizeof clear_text);
    const auto *clear = reinterpret_cast<const unsigned char *>(clear_text);

    unsigned char scrambled[kScrambleLen];
    for (size_t block = 0; block < kScrambleLen; block += kBlockLen) {
        for (size_t j = 0; j < kBlockLen; ++j) scrambled[block + j] = clear[block + j] ^ k[j];
        if (block + kBlockLen < kScrambleLen) next_key(k, clear + block);
    }
    rehex(scrambled, int(kScrambleLen), hex);
    explicit_bzero(clear_text, sizeof clear_text);
    explicit_bzero(k, sizeof k);
}

int return_first_file(const char *key1, const char *key2, const char *hex, char *text) noexcept {
    if (hex == nullptr) return -1;
    unsigned char scrambled[kScrambleLen];
    long total = decode_hex(hex, scrambled, sizeof scrambled);
    if (total < 0) return -1;
    size_t n = std::min(size_t(total), kScrambleLen);
    if (n < 1) return 0;
    if (text == nullptr) return -1;

    unsigned char k[MD5_DIGEST_LEN];
    first_key(key1, key2, k);
    auto *out = reinterpret_cast<unsigned char *>(text);
    for (size_t block = 0; block < n; block += kBlockLen) {
        for (size_t j = block; j < block + kBlockLen && j < n; ++j) {
            out[j] = scrambled[j] ^ k[j - block];
            if (out[j] == 0) break;  // the end of the text
        }
        // The next keystream block follows the clear block as the caller's
        // buffer holds it, which is why that buffer must come zero-filled.
        if (block + kBlockLen < n) next_key(k, out + block);
    }
    explicit_bzero(k, sizeof k);
    return 0;
}

}  // extern "C"
