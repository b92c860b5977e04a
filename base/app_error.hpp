// The program's one error type: a fixed message that is also its complete display text.
#pragma once

#include <exception>
#include <string>

namespace zel {

class AppError : public std::exception {
public:
    explicit AppError(std::string message) : message(std::move(message)) {}

    [[nodiscard]] const char* what() const noexcept override { return message.c_str(); }

    const std::string message;
};

// The text shown to the user or logged for any error: for AppError exactly its message,
// for platform errors their own description.
inline std::string displayText(const std::exception& error) {
    return error.what();
}

} // namespace zel
