// Walking a packed block by its template: counts are read from the block itself, every step is
// checked against the block's size.
#pragma once

#include "vek_internal.h"

namespace vek {

// Returned by a walk that a visitor stopped early.
inline constexpr LyrResult kWalkStopped = 1;

// The count an integer member holds.
inline uint32_t ReadCount(Kind k, const uint8_t* p) {
  switch (k) {
    case Kind::kWord:
      return Load16(p);
    case Kind::kUchar:
      return p[0];
    default:
      return Load32(p);
  }
}

// Number of elements of member m (1 when it is not an array), from the counts read so far.
inline LyrResult ElementCount(const Member& m, const Template& t, const uint32_t* slots,
                              uint64_t* out) {
  uint64_t n = 1;
  for (const Dim& d : m.dims) {
    n *= d.member >= 0 ? slots[t.members[static_cast<size_t>(d.member)].countSlot] : d.fixed;
    if (n > UINT32_MAX) return lyr::ErrVekBadData;
  }
  *out = n;
  return lyr::Ok;
}

// Visitor base: every callback returns false to stop the walk.
struct LayoutVisitor {
  // A flat visitor sees only the sequence of values and their kinds, not where members and
  // elements begin: consecutive values of one kind may come in one Values call.
  static constexpr bool kFlat = false;
  bool BeginMember(const Member&, int /*level*/, size_t /*offset*/) { return true; }
  bool EndMember(const Member&, int /*level*/, size_t /*offset*/) { return true; }
  // n values of kind k at p. group: values per element of an array of templates, 1 for an
  // array of values, 0 when the member is not an array.
  bool Values(Kind, const uint8_t*, uint64_t /*n*/, uint32_t /*group*/, int /*level*/) {
    return true;
  }
  // Elements of an array of templates whose values are not all of one kind.
  bool BeginElement(int /*level*/) { return true; }
  bool EndElement(int /*level*/) { return true; }
};

template <class V>
LyrResult WalkStruct(const Template& t, const uint8_t* p, size_t size, size_t* off, V& v,
                     int level) {
  uint32_t slots[kMaxCountMembers];
  for (const Member& m : t.members) {
    uint64_t count;
    LyrResult r = ElementCount(m, t, slots, &count);
    if (r != lyr::Ok) return r;
    if (!v.BeginMember(m, level, *off)) return kWalkStopped;
    if (m.kind != Kind::kTemplate || m.type->uniform) {
      Kind k = m.kind;
      uint32_t group = m.array ? 1 : 0;
      if (m.kind == Kind::kTemplate) {
        k = m.type->uniformKind;
        count *= m.type->uniformCount;
        group = m.array ? m.type->uniformCount : 0;
      }
      uint64_t bytes = count * ScalarSize(k);
      if (bytes > size - *off) return lyr::ErrVekBadData;
      if (m.countSlot >= 0) slots[m.countSlot] = ReadCount(k, p + *off);
      if (!v.Values(k, p + *off, count, group, level)) return kWalkStopped;
      *off += static_cast<size_t>(bytes);
    } else if (V::kFlat && m.type->counted) {
      // Counted elements (a mesh face) are one run of values of one kind: only their sizes are
      // walked, and the run goes to the visitor whole.
      const Kind k = m.type->members[0].kind;
      const size_t s = ScalarSize(k);
      size_t at = *off;
      for (uint64_t i = 0; i < count; ++i) {
        if (size - at < s) return lyr::ErrVekBadData;
        const uint64_t n = ReadCount(k, p + at);
        if (n * s > size - at - s) return lyr::ErrVekBadData;
        at += s + static_cast<size_t>(n * s);
      }
      if (!v.Values(k, p + *off, (at - *off) / s, 1, level + 1)) return kWalkStopped;
      *off = at;
    } else {
      for (uint64_t i = 0; i < count; ++i) {
        if (size - *off < m.type->minScalars) return lyr::ErrVekBadData;
        if (m.array && !v.BeginElement(level + 1)) return kWalkStopped;
        r = WalkStruct(*m.type, p, size, off, v, level + 1);
        if (r != lyr::Ok) return r;
        if (m.array && !v.EndElement(level + 1)) return kWalkStopped;
      }
    }
    if (!v.EndMember(m, level, *off)) return kWalkStopped;
  }
  return lyr::Ok;
}

// Walks a whole block; *end receives the bytes the template's layout covers.
template <class V>
LyrResult WalkLayout(const Template& t, const uint8_t* p, size_t size, size_t* end, V& v) {
  *end = 0;
  return WalkStruct(t, p, size, end, v, 0);
}

}  // namespace vek
