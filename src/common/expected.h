// Expected<T, E>: a value or an error, never both.
//
// The core layers report every failure as a value; nothing is thrown across
// a layer boundary (internal assertion failures excepted, see panic.h).
//
//   Expected<int, IoError> f() { if (bad) return Unexpected(IoError::...); return 3; }
//   auto r = f(); if (!r) return Unexpected(r.error()); use(*r);
#pragma once

#include <type_traits>
#include <utility>
#include <variant>

namespace ferrowick {

template <class E>
struct Unexpected {
  E error;
  explicit Unexpected(E e) : error(std::move(e)) {}
};
template <class E>
Unexpected(E) -> Unexpected<E>;

template <class T, class E>
class [[nodiscard]] Expected {
 public:
  using value_type = T;
  using error_type = E;

  template <class U = T,
            class = std::enable_if_t<std::is_constructible_v<T, U&&> &&
                                     !std::is_same_v<std::decay_t<U>, Expected>>>
  Expected(U&& v) : v_(std::in_place_index<0>, std::forward<U>(v)) {}
  template <class G>
  Expected(Unexpected<G> u) : v_(std::in_place_index<1>, std::move(u.error)) {}

  bool has_value() const noexcept { return v_.index() == 0; }
  explicit operator bool() const noexcept { return has_value(); }

  T& value() & { return std::get<0>(v_); }
  const T& value() const& { return std::get<0>(v_); }
  T&& value() && { return std::get<0>(std::move(v_)); }
  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }
  T&& operator*() && { return std::move(*this).value(); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }

  E& error() & { return std::get<1>(v_); }
  const E& error() const& { return std::get<1>(v_); }
  E&& error() && { return std::get<1>(std::move(v_)); }

 private:
  std::variant<T, E> v_;
};

template <class E>
class [[nodiscard]] Expected<void, E> {
 public:
  using value_type = void;
  using error_type = E;

  Expected() = default;
  template <class G>
  Expected(Unexpected<G> u) : err_(std::move(u.error)), ok_(false) {}

  bool has_value() const noexcept { return ok_; }
  explicit operator bool() const noexcept { return ok_; }
  void value() const {}
  void operator*() const {}

  E& error() & { return err_; }
  const E& error() const& { return err_; }
  E&& error() && { return std::move(err_); }

 private:
  E err_{};
  bool ok_ = true;
};

}  // namespace ferrowick
