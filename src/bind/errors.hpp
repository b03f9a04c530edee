// Failures and the one place where they become Python exceptions.
#pragma once

#include <new>
#include <stdexcept>
#include <string>
#include <string_view>

#include "bind/ref.hpp"

namespace dorvik {

// An internal failure: raised in Python as PanicException with this message.
struct Panic : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// Creates the PanicException class once per process; false with an error set
// on failure.
bool init_panic_type();

// Describes the pending Python exception as "Type: message" and clears it.
std::string take_error_description();

// Turns the pending Python exception into a Panic whose message is `prefix`,
// ": " and the exception's description. The exception itself is not raised.
[[noreturn]] void panic_with_error(const char* prefix);

// The prefix for a Python error where a value had to be present.
inline constexpr const char* kUnwrapFailed = "called `Result::unwrap()` on an `Err` value";

// Writes all of `text` to a file descriptor, bypassing sys.stdout/stderr.
void write_fd(int fd, std::string_view text) noexcept;

// Writes a one-line diagnostic to standard error and sets PanicException.
void raise_panic(const char* message) noexcept;

// Runs the body of a slot. A PyError leaves its Python exception in place,
// a failed allocation becomes MemoryError and every other C++ failure
// PanicException. Nothing unwinds into the interpreter.
template <class R, class Body>
R guarded(R failure, Body&& body) noexcept {
  try {
    return body();
  } catch (const PyError&) {
  } catch (const Panic& e) {
    raise_panic(e.what());
  } catch (const std::bad_alloc&) {
    PyErr_Clear();
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    raise_panic(e.what());
  } catch (...) {
    raise_panic("unknown internal failure");
  }
  return failure;
}

}  // namespace dorvik
