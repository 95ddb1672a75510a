// The reply texts that more than one part of the command side sends. Every other reply is
// defined once, beside the command that sends it.
#pragma once

#include <string_view>

namespace drovn::protocol {

inline constexpr char kPleaseLogIn[] = "530 Please log in first.\r\n";
inline constexpr char kAlreadyLoggedIn[] = "500 You are already logged in.\r\n";
inline constexpr char kBadParameter[] = "500 Bad command parameter.\r\n";
inline constexpr char kAccessDenied[] = "550 Access denied!\r\n";
inline constexpr char kTransferCompleted[] = "226 Transfer completed.\r\n";
inline constexpr char kTransferAborted[] = "426 Connection transfer aborted.\r\n";
// Followed by the command word (or the line of spaces) and the line end.
inline constexpr std::string_view kInvalidCommand = "500 Invalid command ";
inline constexpr std::string_view kLineEnd = "\r\n";

}  // namespace drovn::protocol
