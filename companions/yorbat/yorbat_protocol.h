// The conversation between the library and its broker: over TLS, one
// request and one answer per connection, each a block of "key=value" lines
// closed by an empty line. Keys come from a fixed set and appear at most
// once; a value's bytes below 0x21, above 0x7e, '%' and '=' travel as %XX.
// An answer carries "result=0x...." (or "-1") and the fields of its
// operation. Nothing else is accepted: the broker faces the network.
#ifndef YORBAT_PROTOCOL_H
#define YORBAT_PROTOCOL_H

#include <array>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "yorbat_core.h"

namespace yorbat::tls {
class Session;
}

namespace yorbat::protocol {

enum class Field : unsigned char {
    op,          // request: the operation
    mechanism,   // "yq", "unixpwd", "localhost", ...
    domain,
    name,
    password,
    credential,  // answer: a credential (certificate and key, PEM)
    root,        // answer: the broker's root certificate (PEM)
    result,      // answer: a result code of the contract
    number,      // answer: a principal's number (decimal)
    count_
};
inline constexpr size_t field_count = static_cast<size_t>(Field::count_);

// A request or an answer larger than this is refused unread.
inline constexpr size_t max_message_bytes = 64 * 1024;

// The operations.
inline constexpr std::string_view op_authenticate = "authenticate";
inline constexpr std::string_view op_renew = "renew";
inline constexpr std::string_view op_credentials = "credentials";
inline constexpr std::string_view op_root = "root";
inline constexpr std::string_view op_validate_user = "validate-user";
inline constexpr std::string_view op_validate_group = "validate-group";

std::string_view field_name(Field field) noexcept;

// A result as it travels: "0x600b", "0x0", "-1".
std::string result_text(int result);

class Message {
public:
    bool has(Field field) const noexcept { return slot(field).has_value(); }
    // The value, or null when the field is absent.
    const std::string *get(Field field) const noexcept {
        return has(field) ? &*slot(field) : nullptr;
    }
    // The value, "" when absent.
    std::string_view value(Field field) const noexcept {
        return has(field) ? std::string_view(*slot(field)) : std::string_view();
    }
    void set(Field field, std::string_view value) { slot(field) = std::string(value); }
    // A null `value` leaves the field absent.
    void set_if(Field field, const char *value) {
        if (value)
            set(field, value);
    }

    void set_result(int result);
    void set_number(long number);
    // The result field; nullopt when absent or not a number.
    std::optional<int> result() const noexcept;
    std::optional<long> number() const noexcept;

    bool operator==(const Message &) const = default;

private:
    std::optional<std::string> &slot(Field field) noexcept {
        return fields_[static_cast<size_t>(field)];
    }
    const std::optional<std::string> &slot(Field field) const noexcept {
        return fields_[static_cast<size_t>(field)];
    }
    std::array<std::optional<std::string>, field_count> fields_;
};

// The wire form: the present fields in a fixed order, then the empty line.
std::string encode(const Message &message);

// Exactly one message, nothing before or after it: YORBAT_OK with `out`
// filled, YORBAT_INVALID_ARGUMENT for anything else, YORBAT_NO_MEMORY.
int parse(std::string_view text, Message &out) noexcept;

// The length of a message that `text` begins with, through its empty line;
// 0 while the empty line has not arrived.
size_t complete_length(std::string_view text) noexcept;

// Over a TLS session: YORBAT_OK; YORBAT_CONNECTION_BROKEN (the peer went or
// timed out before a whole message); YORBAT_INVALID_ARGUMENT (too large or
// malformed); YORBAT_NO_MEMORY.
int send(tls::Session &session, const Message &message) noexcept;
int receive(tls::Session &session, Message &out) noexcept;

}  // namespace yorbat::protocol

#endif
