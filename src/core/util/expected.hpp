#pragma once

#include <utility>
#include <variant>

namespace kelvo {

// A value or the error that took its place, where a result crosses a thread or component
// boundary in place of an exception. Move-only when T is (a descriptor, say), so an
// unclaimed result releases what it holds.
template <class T, class E>
class Expected {
public:
    Expected(T value) : v_(std::in_place_index<0>, std::move(value)) {}
    Expected(E error) : v_(std::in_place_index<1>, std::move(error)) {}

    bool ok() const noexcept { return v_.index() == 0; }
    explicit operator bool() const noexcept { return ok(); }

    // Only when ok().
    T& value() & { return std::get<0>(v_); }
    const T& value() const& { return std::get<0>(v_); }
    T&& value() && { return std::get<0>(std::move(v_)); }
    // Only when !ok().
    const E& error() const { return std::get<1>(v_); }

private:
    std::variant<T, E> v_;
};

}  // namespace kelvo
