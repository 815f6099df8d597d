// The request/answer text of the broker conversation: encoder, strict
// parser, and the send/receive pair over a TLS session.
#include "yorbat_protocol.h"

#include <charconv>
#include <cstdio>

#include "yorbat_tls.h"

namespace yorbat::protocol {
namespace {

constexpr std::array<std::string_view, field_count> field_names = {
    "op", "mechanism", "domain", "name", "password", "credential", "root", "result", "number"};

std::optional<Field> field_named(std::string_view name) noexcept {
    for (size_t i = 0; i < field_count; ++i)
        if (field_names[i] == name)
            return static_cast<Field>(i);
    return std::nullopt;
}

constexpr bool travels_plain(unsigned char byte) noexcept {
    return byte >= 0x21 && byte <= 0x7e && byte != '%' && byte != '=';
}

int hex_digit(char c) noexcept {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

void append_escaped(std::string &out, std::string_view value) {
    static constexpr char digits[] = "0123456789ABCDEF";
    for (char c : value) {
        auto byte = static_cast<unsigned char>(c);
        if (travels_plain(byte)) {
            out += c;
        } else {
            out += '%';
            out += digits[byte >> 4];
            out += digits[byte & 0xf];
        }
    }
}

// Undoes the escapes of one value; false for a byte that should have been
// escaped or a broken escape.
bool unescape(std::string_view text, std::string &out) {
    out.clear();
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        auto byte = static_cast<unsigned char>(text[i]);
        if (byte != '%') {
            if (!travels_plain(byte))
                return false;
            out += text[i];
            continue;
        }
        if (text.size() - i < 3)
            return false;
        int high = hex_digit(text[i + 1]), low = hex_digit(text[i + 2]);
        if (high < 0 || low < 0)
            return false;
        out += static_cast<char>(high * 16 + low);
        i += 2;
    }
    return true;
}

// One "key=value" line (without its newline) into `message`.
bool parse_line(std::string_view line, Message &message) {
    size_t equals = line.find('=');
    if (equals == std::string_view::npos)
        return false;
    std::optional<Field> field = field_named(line.substr(0, equals));
    if (!field || message.has(*field))
        return false;
    std::string value;
    if (!unescape(line.substr(equals + 1), value))
        return false;
    message.set(*field, value);
    return true;
}

template <typename Number>
std::optional<Number> whole_number(std::string_view text, int base) noexcept {
    Number number{};
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), number, base);
    if (text.empty() || error != std::errc() || end != text.data() + text.size())
        return std::nullopt;
    return number;
}

}  // namespace

std::string_view field_name(Field field) noexcept { return field_names[static_cast<size_t>(field)]; }

std::string result_text(int result) {
    char text[16];
    if (result < 0)
        std::snprintf(text, sizeof text, "%d", result);
    else
        std::snprintf(text, sizeof text, "0x%x", static_cast<unsigned>(result));
    return text;
}

void Message::set_result(int result) { set(Field::result, result_text(result)); }

void Message::set_number(long number) { set(Field::number, std::to_string(number)); }

std::optional<int> Message::result() const noexcept {
    std::string_view text = value(Field::result);
    if (text.starts_with("0x")) {
        // Hexadecimal results are the contract's positive codes; no sign.
        text.remove_prefix(2);
        if (text.starts_with('-') || text.starts_with('+'))
            return std::nullopt;
        return whole_number<int>(text, 16);
    }
    return whole_number<int>(text, 10);
}

std::optional<long> Message::number() const noexcept { return whole_number<long>(value(Field::number), 10); }

std::string encode(const Message &message) {
    std::string out;
    for (size_t i = 0; i < field_count; ++i) {
        auto field = static_cast<Field>(i);
        if (const std::string *value = message.get(field)) {
            out += field_names[i];
            out += '=';
            append_escaped(out, *value);
            out += '\n';
        }
    }
    out += '\n';
    return out;
}

size_t complete_length(std::string_view text) noexcept {
    if (text.starts_with('\n'))
        return 1;
    size_t end = text.find("\n\n");
    return end == std::string_view::npos ? 0 : end + 2;
}

int parse(std::string_view text, Message &out) noexcept {
    try {
        out = Message{};
        size_t length = complete_length(text);  // 0 for no message at all
        if (text.size() > max_message_bytes || length == 0 || length != text.size())
            return YORBAT_INVALID_ARGUMENT;
        text.remove_suffix(1);  // the empty line's newline; every line now ends in one
        while (!text.empty()) {
            size_t newline = text.find('\n');
            if (!parse_line(text.substr(0, newline), out)) {
                out = Message{};
                return YORBAT_INVALID_ARGUMENT;
            }
            text.remove_prefix(newline + 1);
        }
        return YORBAT_OK;
    } catch (const std::bad_alloc &) {
        return YORBAT_NO_MEMORY;
    }
}

int send(tls::Session &session, const Message &message) noexcept {
    try {
        std::string text = encode(message);
        if (text.size() > max_message_bytes)
            return YORBAT_INVALID_ARGUMENT;
        for (size_t sent = 0; sent < text.size();) {
            int moved = tls::write(session, text.data() + sent, static_cast<int>(text.size() - sent));
            if (moved <= 0)
                return YORBAT_CONNECTION_BROKEN;
            sent += static_cast<size_t>(moved);
        }
        return YORBAT_OK;
    } catch (const std::bad_alloc &) {
        return YORBAT_NO_MEMORY;
    }
}

int receive(tls::Session &session, Message &out) noexcept {
    try {
        std::string text;
        char chunk[4096];
        while (complete_length(text) == 0) {
            if (text.size() > max_message_bytes)
                return YORBAT_INVALID_ARGUMENT;
            int moved = tls::read(session, chunk, static_cast<int>(sizeof chunk));
            if (moved <= 0)
                return YORBAT_CONNECTION_BROKEN;
            text.append(chunk, static_cast<size_t>(moved));
        }
        return parse(text, out);
    } catch (const std::bad_alloc &) {
        return YORBAT_NO_MEMORY;
    }
}

}  // namespace yorbat::protocol
