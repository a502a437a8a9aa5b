#pragma once

#include <string>
#include <string_view>

namespace lobby {

// What stands for a password where a bystander may look (--mask-passwords): the traffic
// log, the window's grid and memo. The registry file keeps the passwords themselves.
constexpr std::string_view kMaskedPassword = "***";

// The request with its password field written as kMaskedPassword: "ana|secret|msg|hi" becomes
// "ana|***|msg|hi", "ana|secret" becomes "ana|***". A text without "|" holds no password and
// is returned as it is.
std::string MaskRequestPassword(std::string_view request);

// A registry file line (",nick,password,address,score,flag,") with its password cell written
// as kMaskedPassword. A line with no password cell is returned as it is.
std::string MaskRegistryLinePassword(std::string_view line);

} // namespace lobby
