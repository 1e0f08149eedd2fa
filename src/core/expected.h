// std::expected for every compiler the project builds with. g++ 12 ships it; clang 14 (the
// libFuzzer build) cannot compile libstdc++'s version, so under it this header supplies a
// minimal compatible one with the members the library uses. Include this, never <expected>.
#pragma once

#include <version>

#if defined(__cpp_lib_expected)
#include <expected>
#else
#include <exception>
#include <type_traits>
#include <utility>
#include <variant>

namespace std {

template <class E>
class unexpected {
 public:
  template <class G = E>
    requires(!is_same_v<remove_cvref_t<G>, unexpected> && is_constructible_v<E, G>)
  constexpr explicit unexpected(G&& g) : e_(std::forward<G>(g)) {}
  constexpr E& error() & { return e_; }
  constexpr const E& error() const& { return e_; }
  constexpr E&& error() && { return std::move(e_); }
  friend constexpr bool operator==(const unexpected& a, const unexpected& b) { return a.e_ == b.e_; }

 private:
  E e_;
};
template <class E>
unexpected(E) -> unexpected<E>;

struct unexpect_t {
  explicit unexpect_t() = default;
};
inline constexpr unexpect_t unexpect{};

template <class E>
class bad_expected_access : public exception {
 public:
  explicit bad_expected_access(E e) : e_(std::move(e)) {}
  const char* what() const noexcept override { return "bad expected access"; }
  const E& error() const { return e_; }

 private:
  E e_;
};

template <class T, class E>
class expected {
 public:
  using value_type = T;
  using error_type = E;

  constexpr expected()
    requires is_default_constructible_v<T>
      : v_(in_place_index<0>) {}
  template <class U = T>
    requires(!is_same_v<remove_cvref_t<U>, expected> && !is_same_v<remove_cvref_t<U>, in_place_t> &&
             is_constructible_v<T, U>)
  constexpr expected(U&& v) : v_(in_place_index<0>, std::forward<U>(v)) {}
  template <class G>
    requires is_constructible_v<E, const G&>
  constexpr expected(const unexpected<G>& u) : v_(in_place_index<1>, u.error()) {}
  template <class G>
    requires is_constructible_v<E, G>
  constexpr expected(unexpected<G>&& u) : v_(in_place_index<1>, std::move(u).error()) {}
  template <class... A>
  constexpr explicit expected(in_place_t, A&&... a) : v_(in_place_index<0>, std::forward<A>(a)...) {}
  template <class... A>
  constexpr explicit expected(unexpect_t, A&&... a) : v_(in_place_index<1>, std::forward<A>(a)...) {}

  constexpr bool has_value() const noexcept { return v_.index() == 0; }
  constexpr explicit operator bool() const noexcept { return has_value(); }
  constexpr T& operator*() & { return *get_if<0>(&v_); }
  constexpr const T& operator*() const& { return *get_if<0>(&v_); }
  constexpr T&& operator*() && { return std::move(*get_if<0>(&v_)); }
  constexpr T* operator->() { return get_if<0>(&v_); }
  constexpr const T* operator->() const { return get_if<0>(&v_); }
  constexpr T& value() & {
    check();
    return **this;
  }
  constexpr const T& value() const& {
    check();
    return **this;
  }
  constexpr T&& value() && {
    check();
    return std::move(**this);
  }
  constexpr E& error() & { return *get_if<1>(&v_); }
  constexpr const E& error() const& { return *get_if<1>(&v_); }
  constexpr E&& error() && { return std::move(*get_if<1>(&v_)); }
  template <class U>
  constexpr T value_or(U&& d) const& {
    return has_value() ? **this : static_cast<T>(std::forward<U>(d));
  }
  template <class U>
  constexpr T value_or(U&& d) && {
    return has_value() ? std::move(**this) : static_cast<T>(std::forward<U>(d));
  }
  template <class... A>
  constexpr T& emplace(A&&... a) {
    return v_.template emplace<0>(std::forward<A>(a)...);
  }

 private:
  void check() const {
    if (!has_value()) throw bad_expected_access<E>(error());
  }
  variant<T, E> v_;
};

template <class E>
class expected<void, E> {
 public:
  using value_type = void;
  using error_type = E;

  constexpr expected() = default;
  template <class G>
    requires is_constructible_v<E, const G&>
  constexpr expected(const unexpected<G>& u) : has_(false), e_(u.error()) {}
  template <class G>
    requires is_constructible_v<E, G>
  constexpr expected(unexpected<G>&& u) : has_(false), e_(std::move(u).error()) {}
  template <class... A>
  constexpr explicit expected(unexpect_t, A&&... a) : has_(false), e_(std::forward<A>(a)...) {}

  constexpr bool has_value() const noexcept { return has_; }
  constexpr explicit operator bool() const noexcept { return has_; }
  constexpr void operator*() const noexcept {}
  constexpr void value() const {
    if (!has_) throw bad_expected_access<E>(e_);
  }
  constexpr E& error() & { return e_; }
  constexpr const E& error() const& { return e_; }
  constexpr E&& error() && { return std::move(e_); }

 private:
  bool has_ = true;
  E e_{};
};

}  // namespace std
#endif
