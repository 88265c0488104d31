// The one internal fatal error type of the project.
//
// A violated invariant, a poisoned lock or an allocation that cannot be
// served throws `Panic` carrying a fixed message. Nothing in the core catches
// it; every Python entry point turns it into `PanicException` (see
// binding/errors.hpp). It never aborts the process.
#pragma once

#include <exception>
#include <source_location>
#include <string>
#include <string_view>

namespace corvalex {

class Panic : public std::exception {
  public:
    Panic(std::string message, std::source_location where)
        : message_(std::move(message)), where_(where) {}

    const char* what() const noexcept override { return message_.c_str(); }
    const std::string& message() const noexcept { return message_; }
    const std::source_location& where() const noexcept { return where_; }

  private:
    std::string message_;
    std::source_location where_;
};

[[noreturn]] inline void panic(std::string_view message,
                               std::source_location where = std::source_location::current()) {
    throw Panic(std::string(message), where);
}

// Checks an invariant that holds in every well-formed structure; the message
// is the fixed text a caller sees if it ever fails.
inline void ensure(bool condition, std::string_view message,
                   std::source_location where = std::source_location::current()) {
    if (!condition) [[unlikely]] {
        panic(message, where);
    }
}

}  // namespace corvalex
