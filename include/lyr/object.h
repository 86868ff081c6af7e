// The reference-counted object model shared with hosts.
//
// Every object is reached through an interface whose operation table starts with
// query-interface, add-reference and release, followed by the object's own operations in a fixed
// order. Interfaces are abstract classes with no data, no virtual destructor and no other virtual
// function, so that the table a host sees holds exactly those slots.
//
// Provided by: no library; types and constants only, shared by both libraries' interfaces.
#pragma once

#include "lyr/guid.h"
#include "lyr/result.h"

namespace lyr {

struct Unknown {
  // Hands out the object as the interface named by iid with one more reference. An identifier the
  // object does not answer to gives ErrNoInterface and clears *out; a null out gives
  // ErrInvalidCall.
  virtual LyrResult LYR_CALL QueryInterface(const Guid& iid, void** out) = 0;
  // Adds a reference; returns the new count.
  virtual uint32_t LYR_CALL AddRef() = 0;
  // Drops a reference, destroying the object when none remains; returns the new count.
  virtual uint32_t LYR_CALL Release() = 0;

 protected:
  ~Unknown() = default;
};

// Releases *p when it is set and clears it.
template <class T>
inline void SafeRelease(T*& p) {
  if (p) {
    p->Release();
    p = nullptr;
  }
}

}  // namespace lyr
