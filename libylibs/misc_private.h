// Module-internal parts of misc, reachable by the tests.
#ifndef MISC_PRIVATE_H
#define MISC_PRIVATE_H

namespace yq::misc {

// An environment entry matches when every character of it before its '='
// (or its end, without one) equals the character of `name` at the same
// place; so the entry's variable name need only be the start of `name`.
bool ckmch(const char *entry, const char *name) noexcept;

// Removes the first entry of the NULL-terminated `env` that matches `name`
// by moving the following entries down: 0, or -1 when none matches.
int env_remove(char **env, const char *name) noexcept;

}  // namespace yq::misc

#endif
