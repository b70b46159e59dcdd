// Errors as values: every fallible operation returns Result<T, E>.
// A deliberately small type (std::expected is not available on every
// compiler we support).
#pragma once

#include <optional>
#include <type_traits>
#include <utility>
#include <variant>

namespace common {

// Wraps an error so that Result<T, E> can be built from it unambiguously,
// even when T and E are the same type.
template <class E>
struct Err {
    E error;
};
template <class E>
Err(E) -> Err<E>;

template <class T, class E>
class [[nodiscard]] Result {
public:
    using value_type = T;
    using error_type = E;

    Result(const T& value) : state_(std::in_place_index<0>, value) {}
    Result(T&& value) : state_(std::in_place_index<0>, std::move(value)) {}
    template <class G, class = std::enable_if_t<std::is_constructible_v<E, G&&>>>
    Result(Err<G>&& err) : state_(std::in_place_index<1>, std::move(err.error)) {}
    template <class G, class = std::enable_if_t<std::is_constructible_v<E, const G&>>>
    Result(const Err<G>& err) : state_(std::in_place_index<1>, err.error) {}

    bool ok() const noexcept { return state_.index() == 0; }
    explicit operator bool() const noexcept { return ok(); }

    T& value() & { return std::get<0>(state_); }
    const T& value() const& { return std::get<0>(state_); }
    T&& value() && { return std::get<0>(std::move(state_)); }
    E& error() & { return std::get<1>(state_); }
    const E& error() const& { return std::get<1>(state_); }
    E&& error() && { return std::get<1>(std::move(state_)); }

    T* operator->() { return &value(); }
    const T* operator->() const { return &value(); }
    T& operator*() & { return value(); }
    const T& operator*() const& { return value(); }

    // Maps the error with f (E -> F), keeping a value unchanged.
    template <class F>
    auto map_error(F&& f) && -> Result<T, std::invoke_result_t<F, E&&>> {
        if (ok()) return std::move(*this).value();
        return Err{std::forward<F>(f)(std::move(*this).error())};
    }

private:
    std::variant<T, E> state_;
};

// Result of an operation that produces no value.
template <class E>
class [[nodiscard]] Result<void, E> {
public:
    using value_type = void;
    using error_type = E;

    Result() = default;
    template <class G, class = std::enable_if_t<std::is_constructible_v<E, G&&>>>
    Result(Err<G>&& err) : error_(std::move(err.error)) {}
    template <class G, class = std::enable_if_t<std::is_constructible_v<E, const G&>>>
    Result(const Err<G>& err) : error_(err.error) {}

    bool ok() const noexcept { return !error_.has_value(); }
    explicit operator bool() const noexcept { return ok(); }

    E& error() & { return *error_; }
    const E& error() const& { return *error_; }
    E&& error() && { return std::move(*error_); }

    template <class F>
    auto map_error(F&& f) && -> Result<void, std::invoke_result_t<F, E&&>> {
        if (ok()) return {};
        return Err{std::forward<F>(f)(std::move(*this).error())};
    }

private:
    std::optional<E> error_;
};

// Success value for Result<void, E>.
template <class E>
Result<void, E> ok_void() {
    return {};
}

}  // namespace common

// Propagates the error of a Result-valued expression from the enclosing
// function (which must return a Result whose error type accepts it).
#define QMC_TRY(expr)                                              \
    do {                                                           \
        auto&& qmc_try_result_ = (expr);                           \
        if (!qmc_try_result_.ok())                                 \
            return ::common::Err{std::move(qmc_try_result_).error()}; \
    } while (0)
