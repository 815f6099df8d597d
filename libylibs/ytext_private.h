// Internal to the text-file module: what the tests need to find the files a
// committing close leaves behind.
#ifndef YTEXT_PRIVATE_H
#define YTEXT_PRIVATE_H

namespace yq::ytext_detail {

// Prefix of every temporary file name in a target's directory.
inline constexpr const char kTempPrefix[] = "ytext";

}  // namespace yq::ytext_detail

#endif
