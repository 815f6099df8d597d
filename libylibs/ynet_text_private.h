// Internal to the service-file module and the registration code built on
// it: one service line to and from an entry, the entry list, and the
// callbacks that the text-file layer calls.
#ifndef YNET_TEXT_PRIVATE_H
#define YNET_TEXT_PRIVATE_H

#include "ynet.h"

// Reads a service file when `path` is given, else the in-memory `text`.
int ynet_read_service(const char *path, const char *text, ynet_service_entry **list) noexcept;

// One line (no newline needed) to a new entry: 0 or 8. A NULL line gives no
// entry and 0; any other line gives an entry, empty for blank or comment lines.
int ynet_service_parse(const char *line, ynet_service_entry **entry) noexcept;
// An entry to a new line without newline: 0, 2 or 8. A NULL entry gives no line.
int ynet_service_unparse(const ynet_service_entry *entry, char **line) noexcept;
// Releases one entry and everything it owns; does not unlink it.
void ynet_service_free(ynet_service_entry **entry) noexcept;
// Unlinks `entry` from the list and releases it; nothing if it is not there.
void ynet_free_service_entry(ynet_service_entry **list, ynet_service_entry *entry) noexcept;

// The text-file layer's callbacks: ytext statuses (6 no memory, 2 otherwise).
int ynet_service_parse_function(const char *line, void **item) noexcept;
int ynet_service_unparse_function(const void *item, char **line) noexcept;
void ynet_service_free_function(void **item) noexcept;

namespace yq::ynet_text {

// Append one "KEY=<d>value<d>;" or "KEY=number;" field to a growing line
// (*line NULL to start). 0, 2 (unquotable) or 8; on 8 the line is released.
int append_string_to_line(char **line, const char *key, const char *value) noexcept;
int append_number_to_line(char **line, const char *key, int value) noexcept;

}  // namespace yq::ynet_text

#endif
