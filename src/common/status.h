// SPDX-License-Identifier: MIT
#pragma once

#include <string>
#include <utility>
#include <variant>

namespace orvane {

// Why a step failed: one line a user can act on, and the errno behind it where there is one.
struct Failed
{
    std::string message;
    int code = 0;
};

// What a step that gives nothing back ended with; dropped unread, it draws a warning (an error in our
// builds).
class [[nodiscard]] Status
{
public:
    Status() = default;
    Status(Failed failed)
        : failed_(true)
        , message_(std::move(failed.message))
    { }

    bool ok() const { return !failed_; }
    // Empty on success.
    const std::string &message() const { return message_; }

private:
    bool failed_ = false;
    std::string message_;
};

// A value, or why there is none: a small std::expected until the language level has one.
template<typename T> class [[nodiscard]] Result
{
public:
    Result(T value)
        : outcome_(std::in_place_index<0>, std::move(value))
    { }
    Result(Failed failed)
        : outcome_(std::in_place_index<1>, std::move(failed))
    { }

    bool ok() const { return outcome_.index() == 0; }
    explicit operator bool() const { return ok(); }
    T &value() { return std::get<0>(outcome_); }
    const T &value() const { return std::get<0>(outcome_); }
    T &operator*() { return value(); }
    const T &operator*() const { return value(); }
    const T *operator->() const { return &value(); }
    T value_or(T fallback) const { return ok() ? value() : std::move(fallback); }
    const std::string &message() const { return std::get<1>(outcome_).message; }
    int code() const { return ok() ? 0 : std::get<1>(outcome_).code; }

private:
    std::variant<T, Failed> outcome_;
};

} // namespace orvane
