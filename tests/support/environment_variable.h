// SPDX-License-Identifier: MIT
// An environment variable set (or unset) for the life of the guard, and put
// back as it was afterwards.
#pragma once

#include <stdlib.h>

#include <optional>
#include <string>

class EnvironmentVariable {
 public:
  // nullptr unsets it.
  EnvironmentVariable(const char* name, const char* value) : name_(name) {
    if (const char* old = getenv(name)) old_ = old;
    Set(value);
  }
  ~EnvironmentVariable() { Set(old_ ? old_->c_str() : nullptr); }
  EnvironmentVariable(const EnvironmentVariable&) = delete;
  EnvironmentVariable& operator=(const EnvironmentVariable&) = delete;

 private:
  void Set(const char* value) {
    if (value != nullptr) {
      setenv(name_.c_str(), value, 1);
    } else {
      unsetenv(name_.c_str());
    }
  }

  std::string name_;
  std::optional<std::string> old_;
};
