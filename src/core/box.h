// Box<T>: an owning, deep-copying pointer for recursive syntax-tree nodes.
#pragma once

#include <memory>
#include <utility>

namespace qm {

template <class T>
class Box {
 public:
  Box(T value) : p_(std::make_unique<T>(std::move(value))) {}  // NOLINT: implicit by design
  Box(const Box& o) : p_(std::make_unique<T>(*o.p_)) {}
  Box(Box&&) noexcept = default;
  Box& operator=(const Box& o) {
    if (this != &o) p_ = std::make_unique<T>(*o.p_);
    return *this;
  }
  Box& operator=(Box&&) noexcept = default;

  T& operator*() { return *p_; }
  const T& operator*() const { return *p_; }
  T* operator->() { return p_.get(); }
  const T* operator->() const { return p_.get(); }
  T& get() { return *p_; }
  const T& get() const { return *p_; }

  friend bool operator==(const Box& a, const Box& b) { return *a.p_ == *b.p_; }

 private:
  std::unique_ptr<T> p_;
};

}  // namespace qm
