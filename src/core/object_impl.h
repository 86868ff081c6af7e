// Implementation helpers for the library's reference-counted objects and for its boundaries.
#pragma once

#include <new>

#include "core/alloc.h"
#include "lyr/object.h"

namespace lyr {

// Runs f (returning LyrResult) and turns any exception into a result code, so that nothing
// escapes an exported function, an object operation or a host-callback boundary.
template <class F>
LyrResult Guard(F&& f) noexcept {
  try {
    return f();
  } catch (const std::bad_alloc&) {
    return ErrOutOfMemory;
  } catch (...) {
    return ErrFail;
  }
}

// Base for an object implementing interface Iface (which derives from Unknown). Derived must be
// final and made with lyr::New; the last Release destroys it through lyr::Delete.
//
// Query-interface answers the base identifier and Iface::kIid. Derived may widen that by
// providing `static bool AnswersTo(const Guid&)`, and may hand out a different interface pointer
// by providing `void* InterfaceFor(const Guid&)`.
template <class Derived, class Iface>
class Object : public Iface {
 public:
  LyrResult LYR_CALL QueryInterface(const Guid& iid, void** out) override {
    if (!out) return ErrInvalidCall;
    void* p = nullptr;
    if constexpr (requires(Derived& d) { d.InterfaceFor(iid); }) {
      p = static_cast<Derived*>(this)->InterfaceFor(iid);
    }
    if (!p) {
      bool answers = iid == kIidUnknown || iid == Iface::kIid;
      if constexpr (requires { Derived::AnswersTo(iid); }) {
        answers = answers || Derived::AnswersTo(iid);
      }
      if (answers) p = static_cast<Iface*>(this);
    }
    if (!p) {
      *out = nullptr;
      return ErrNoInterface;
    }
    ++refs_;
    *out = p;
    return Ok;
  }
  uint32_t LYR_CALL AddRef() override { return ++refs_; }
  uint32_t LYR_CALL Release() override {
    uint32_t n = --refs_;
    if (n == 0) Delete(static_cast<Derived*>(this));
    return n;
  }

  uint32_t RefCount() const { return refs_; }

 protected:
  Object() = default;
  ~Object() = default;
  Object(const Object&) = delete;
  Object& operator=(const Object&) = delete;

 private:
  uint32_t refs_ = 1;
};

// Holds one reference to an interface and releases it on scope exit.
template <class T>
class Ref {
 public:
  Ref() = default;
  explicit Ref(T* p) : p_(p) {}  // adopts the reference
  Ref(const Ref& o) : p_(o.p_) {
    if (p_) p_->AddRef();
  }
  Ref(Ref&& o) noexcept : p_(o.p_) { o.p_ = nullptr; }
  Ref& operator=(Ref o) noexcept {
    T* t = p_;
    p_ = o.p_;
    o.p_ = t;
    return *this;
  }
  ~Ref() {
    if (p_) p_->Release();
  }
  T* get() const { return p_; }
  T* operator->() const { return p_; }
  explicit operator bool() const { return p_ != nullptr; }
  // Address for an out-parameter; the current reference is dropped first.
  T** put() {
    if (p_) p_->Release();
    p_ = nullptr;
    return &p_;
  }
  T* detach() {
    T* p = p_;
    p_ = nullptr;
    return p;
  }

 private:
  T* p_ = nullptr;
};

}  // namespace lyr
