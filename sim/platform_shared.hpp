// What the virtual platform's files share: messages in printable text, the bound on nesting,
// the description's fingerprint and the state document.
#pragma once

#include <nlohmann/json.hpp>

#include <string>

namespace zrqsim {

inline constexpr int kMaxDepth = 64; // nothing the platform holds nests deeper

// Text from a file as a message may show it: one line, printable ASCII, the rest as \xNN.
std::string printable(const std::string &text);
// How deeply arrays and objects nest in JSON text, strings skipped; stops counting past
// `limit`.
int nesting(const std::string &text, int limit);
// FNV-1a, 64 bits, as 16 hexadecimal digits: the same in the 32-bit and the 64-bit build.
std::string content_fingerprint(const std::string &text);
// The state document, or an empty object for a damaged state (not JSON, not an object, nested
// past all reason).
nlohmann::json parse_state(const std::string &text);

} // namespace zrqsim
