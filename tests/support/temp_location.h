#pragma once
// The system's temporary location (TMPDIR) pointed at a fresh folder while this lives, so that
// the private attachment folder goes below the test's own.
#include <cstdlib>
#include <optional>
#include <string>

#include "support/temp_dir.h"

namespace korv::test {

class TempLocation {
  public:
    TempLocation() {
        if (const char* old = std::getenv("TMPDIR")) saved_ = old;
        setenv("TMPDIR", dir_.path().c_str(), 1);
    }
    ~TempLocation() {
        if (saved_)
            setenv("TMPDIR", saved_->c_str(), 1);
        else
            unsetenv("TMPDIR");
    }
    TempLocation(const TempLocation&) = delete;
    TempLocation& operator=(const TempLocation&) = delete;

    const std::string& path() const { return dir_.path(); }

  private:
    TempDir dir_;
    std::optional<std::string> saved_;
};

}  // namespace korv::test
