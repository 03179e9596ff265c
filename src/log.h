// Diagnostics of the plug-in: one line on standard error per message.
#pragma once

#include <string>

namespace firesmoke {

/// @brief Writes "[VEKCustomFS] <where>: <message>" to standard error. Never throws.
/// @param where the operation or camera the message is about, e.g. CameraContext(id).
void LogMessage(const std::string& where, const std::string& message) noexcept;

/// @brief Like LogMessage, but only the first time for this place and cause.
/// Frames that fail the same way again and again are reported once.
/// The memory of reported pairs is bounded; when full it starts afresh.
void LogOnce(const std::string& where, const std::string& cause, const std::string& message) noexcept;

/// @brief "camera 'ID'" with ID made printable, for the where of a message.
std::string CameraContext(const std::string& camera);

/// @brief Forgets which messages were reported (a new model was loaded or released).
void ResetLogOnce() noexcept;

/// @brief A short, printable form of a camera identifier for messages: at most 64
/// characters, non-printable bytes replaced by '?'.
std::string PrintableCamera(const std::string& camera);

}  // namespace firesmoke
