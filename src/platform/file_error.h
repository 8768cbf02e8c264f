#pragma once
#include <stdexcept>
#include <string>

namespace korv {

// A file operation failed; the message names the file and the system's reason.
class FileError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// Another process holds the file in a way that refuses our access (Windows error 32).
class SharingViolation : public FileError {
  public:
    using FileError::FileError;
};

// A file of the program's own is a symbolic link: it is never followed, and the error names it.
class LinkRefused : public FileError {
  public:
    using FileError::FileError;
};

// A text that should hold a number does not (the counter file, an interval field).
class ConversionError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// "<file> を開けません: <reason>" with errno's reason.
[[noreturn]] void throwOpenError(const std::string& cp932Path, int err);
[[noreturn]] void throwWriteError(const std::string& cp932Path, int err);
[[noreturn]] void throwReadError(const std::string& cp932Path, int err);
[[noreturn]] void throwLinkRefused(const std::string& cp932Path);

}  // namespace korv
