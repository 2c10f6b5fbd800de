#pragma once
// The C library's locale set for a test's span, as the window's toolkit sets the user's: under
// "de_DE.UTF-8" printf writes "30,000" for 30.0 and strtod stops at "30.5"'s dot. Set it before
// any thread of the code under test starts: setlocale is not for a running process.

#include <clocale>
#include <string>

namespace morvane::testing {

inline constexpr char kCommaLocale[] = "de_DE.UTF-8";

class ScopedLocale {
 public:
  explicit ScopedLocale(const char* name) : previous_(std::setlocale(LC_ALL, nullptr)) {
    set_ = std::setlocale(LC_ALL, name) != nullptr;
  }
  ~ScopedLocale() { std::setlocale(LC_ALL, previous_.c_str()); }
  ScopedLocale(const ScopedLocale&) = delete;
  ScopedLocale& operator=(const ScopedLocale&) = delete;

  // False when the system lacks the locale (scripts/setup.sh makes the German one).
  bool set() const { return set_; }

 private:
  std::string previous_;
  bool set_ = false;
};

}  // namespace morvane::testing
