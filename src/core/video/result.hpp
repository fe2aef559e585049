#pragma once

#include <utility>
#include <variant>

namespace kelvo {

// A value or the error that prevented it. Used where a result crosses a thread or a component
// boundary, in place of an exception. T and E must be different types.
template <class T, class E>
class Result {
public:
    Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}
    Result(E error) : v_(std::in_place_index<1>, std::move(error)) {}

    bool ok() const { return v_.index() == 0; }
    explicit operator bool() const { return ok(); }

    // Only when ok().
    T& value() { return std::get<0>(v_); }
    const T& value() const { return std::get<0>(v_); }
    // Only when !ok().
    const E& error() const { return std::get<1>(v_); }

private:
    std::variant<T, E> v_;
};

}  // namespace kelvo
