#pragma once
// Runs a command of the user's through /bin/sh and takes the first line it prints: how people
// hand secrets from a password manager or the desktop keyring to a program.
#include <stdexcept>
#include <string>

namespace korv {

// The command failed: it could not start, ended with an error, took too long, or printed no
// usable line (nothing, a NUL byte, a first line over 4 KiB).
class CommandError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// The first line of the command's standard output (without its line end), as bytes. The command
// (CP932) runs with /bin/sh -c, standard input from /dev/null, in a process group of its own. The
// whole command must end within timeoutMs, also after it closed its output; its group is killed
// when it ends or its time is up. Throws CommandError naming the command and the reason.
std::string FirstLineOfCommand(const std::string& cp932Command, int timeoutMs);

}  // namespace korv
