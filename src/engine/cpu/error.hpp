// Error values and fatal errors shared by every layer below the binding.
#pragma once

#include <expected>
#include <stdexcept>
#include <string>
#include <utility>

namespace zevra {

// The Python exception class an error value becomes at the binding.
enum class ErrorKind { TypeError, ValueError, RuntimeError };

struct Error {
  ErrorKind kind;
  std::string message;
};

template <class T>
using Result = std::expected<T, Error>;

inline std::unexpected<Error> type_error(std::string message) {
  return std::unexpected(Error{ErrorKind::TypeError, std::move(message)});
}
inline std::unexpected<Error> value_error(std::string message) {
  return std::unexpected(Error{ErrorKind::ValueError, std::move(message)});
}
inline std::unexpected<Error> runtime_error(std::string message) {
  return std::unexpected(Error{ErrorKind::RuntimeError, std::move(message)});
}

// Abandons the operation in progress; the binding raises it as the dedicated
// fatal-error class (derived from BaseException).
class FatalError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

[[noreturn]] inline void fatal(const std::string& message) {
  throw FatalError(message);
}

// The message of an index that is out of range, as the system words it everywhere.
[[noreturn]] void fatal_index_out_of_bounds(std::size_t len, std::size_t index);

}  // namespace zevra
