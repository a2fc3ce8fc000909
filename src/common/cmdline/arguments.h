#pragma once

#include <span>
#include <vector>

namespace cmdline {

// Arguments as data, the first being the program path: what every reader of
// the command line takes, so that a test hands it a literal list.
using ArgumentList = std::span<const wchar_t* const>;

// A command line split into wide arguments the way the system splits it
// (CommandLineToArgvW); the first argument is the program path. When the
// text cannot be split the count is 0 and the vector null.
class Arguments {
 public:
  [[nodiscard]] static Arguments Split(const wchar_t* command_line);
  [[nodiscard]] static Arguments OfProcess();

  Arguments() = default;
  Arguments(Arguments&&) = default;
  Arguments& operator=(Arguments&&) = default;

  int count() const { return static_cast<int>(pointers_.size()); }
  const wchar_t* const* vector() const { return pointers_.empty() ? nullptr : pointers_.data(); }

 private:
  // Every argument with its NUL, one after another. A vector's buffer moves
  // with it (a string's short buffer would not), so the pointers into it stay
  // valid across moves; copies are not made.
  std::vector<wchar_t> text_;
  std::vector<const wchar_t*> pointers_;
};

}  // namespace cmdline
