#pragma once
// Runs a command of the user's through /bin/sh and takes the first line it prints: how people
// hand secrets from a password manager or the desktop keyring to a program.
#include <stdexcept>
#include <string>

namespace korv {

// The command failed: it could not start, ended with an error, printed nothing or took too long.
class CommandError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// The first line of the command's standard output (without its line end), as bytes. The command
// (CP932) runs with /bin/sh -c, standard input from /dev/null, in a process group of its own that
// is killed after timeoutMs. Throws CommandError naming the command and the reason.
std::string FirstLineOfCommand(const std::string& cp932Command, int timeoutMs);

}  // namespace korv
