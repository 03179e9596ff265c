// The one error type of the command line: its message is shown to the user as is.
#ifndef FIRESMOKE_CLI_ERROR_H
#define FIRESMOKE_CLI_ERROR_H

#include <stdexcept>

namespace firesmoke::cli {

/// A failure the user can act on (bad input, bad model folder, unwritable output).
class CliError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

}  // namespace firesmoke::cli

#endif  // FIRESMOKE_CLI_ERROR_H
