// Applying and undoing vertex-split records on the raw arrays of a progressive mesh.
//
// Every record comes from a file, so each one is checked completely before anything is written:
// face a, face b, every face of the walk round the split vertex and the far right neighbour
// must be faces of the current level; the walk must fit the corner list; the attribute ranges
// must have room; every neighbour the record reads must exist. A record that fails leaves every
// array and count as it was.
//
// The checks rest on one invariant, kept by every apply and undo: an adjacency entry of a face
// of the current level is none or names a face of the current level. Undoing a split therefore
// also checks that each face it rejoins holds the removed face exactly once, so no entry can be
// left naming a face that has left the level.
#pragma once

#include <cstdint>

#include "lyr/mesh_types.h"
#include "pmesh/pmesh_build.h"

namespace lyr::pm {

inline constexpr uint32_t kNoFace = 0xFFFFFFFFu;
inline constexpr uint8_t kNext[3] = {1, 2, 0};
inline constexpr uint8_t kPrev[3] = {2, 0, 1};

// Vertices a record creates in the left and the right face's ranges.
struct NewVertices {
  uint32_t left, right;
};
inline NewVertices CountNewVertices(uint32_t code, bool twoFaces) {
  namespace S = SplitCode;
  NewVertices n{1, 0};
  const bool leftKeeps = twoFaces ? (code & (S::LeftKeepsVs | S::LeftFromB)) ||
                                        (code & (S::RightSameAsLeft | S::RightFromFar)) ==
                                            (S::RightSameAsLeft | S::RightFromFar)
                                  : (code & (S::LeftKeepsVs | S::LeftFromB)) != 0;
  n.left += !leftKeeps;
  n.left += (code & S::LeftThirdNew) != 0;
  if (twoFaces) {
    n.right += !(code & S::RightThirdIsVt);
    n.right += !(code & (S::RightFromFar | S::RightSameAsLeft | S::RightFromNear));
    n.right += (code & S::RightSecondNew) != 0;
  }
  return n;
}

template <class T>
class SplitEngine {
 public:
  static constexpr T kNoneT = static_cast<T>(~T(0));

  // Where an undo found the split's faces and what it will write.
  struct UndoPlan {
    uint32_t left, right;            // faces L and R (R: kNoFace for a one-face split)
    uint32_t leftRange, rightRange;  // their ranges
    uint32_t corners;                // corner entries collected round the split vertex
    uint32_t mispredictPosition;     // the read position before the split
    NewVertices created;
    // The faces to rejoin and their entries that hold L or R.
    uint32_t join[4];
    uint8_t joinEntry[4];
  };

  // Bound while the index buffer is locked.
  T* idx = nullptr;
  T* adj = nullptr;
  uint32_t* attr = nullptr;
  AttributeRange* cur = nullptr;
  // Fixed between structural changes.
  const AttributeRange* max = nullptr;
  uint32_t ranges = 0;
  uint32_t faceSlots = 0;
  const VSplitRecord* splits = nullptr;
  const uint16_t* mispredicts = nullptr;
  uint32_t mispredictCount = 0;
  T** corners = nullptr;
  uint32_t cornerRoom = 0;
  // First face slots of the ranges that have any, ascending, and the range of each.
  const uint32_t* slotStarts = nullptr;
  const uint32_t* slotRanges = nullptr;
  uint32_t slotRangeCount = 0;
  // The level.
  uint32_t mispredictPosition = 0;
  uint32_t applied = 0;
  uint32_t faces = 0;
  uint32_t vertices = 0;

  // The range of an attribute id (ranges when none): the entry at position id first.
  uint32_t FindRange(uint32_t id) const {
    if (id < ranges && cur[id].attributeId == id) return id;
    for (uint32_t r = 0; r < ranges; ++r)
      if (cur[r].attributeId == id) return r;
    return ranges;
  }

  // The range whose slots hold slot f (ranges when none): from the slot's position, as the
  // ranges tile the slots. It equals the range of the face's attribute id, without reading it.
  uint32_t SlotRange(uint32_t f) const {
    if (f >= faceSlots || slotRangeCount == 0) return ranges;
    uint32_t i = 0;
    if (slotRangeCount <= 4) {
      while (i + 1 < slotRangeCount && slotStarts[i + 1] <= f) ++i;
    } else {
      uint32_t lo = 0, hi = slotRangeCount;  // the last start <= f
      while (hi - lo > 1) {
        const uint32_t mid = (lo + hi) / 2;
        (slotStarts[mid] <= f ? lo : hi) = mid;
      }
      i = lo;
    }
    return slotRanges[i];
  }

  // Whether slot f holds a face of the current level.
  bool InLevel(uint32_t f) const {
    const uint32_t r = SlotRange(f);
    return r < ranges && f - cur[r].firstFace < cur[r].faceCount;
  }

  // The first entry of face g that names face t, or -1.
  int BackEntry(uint32_t g, uint32_t t) const {
    const T* a = adj + size_t(g) * 3;
    for (int j = 0; j < 3; ++j)
      if (a[j] == t) return j;
    return -1;
  }
  // The entry of face g that names face t when exactly one does, else -1.
  int OnlyEntry(uint32_t g, uint32_t t) const {
    const T* a = adj + size_t(g) * 3;
    const int n = (a[0] == t) + (a[1] == t) + (a[2] == t);
    return n == 1 ? BackEntry(g, t) : -1;
  }

  // Walks round the vertex at `corner` of face `start`, leaving each face across the edge that
  // starts at the vertex, and collects the corner entries. want > 0: exactly that many faces
  // (running out first fails); want 0: up to a boundary, back at the start face or at face
  // `stop`. Faces left the level or a walk longer than the corner list fail.
  bool Walk(uint32_t start, uint32_t corner, uint32_t want, uint32_t stop, uint32_t* count,
            uint32_t* lastFace, uint32_t* lastCorner) const {
    uint32_t face = start, n = 0;
    for (;;) {
      if (n == cornerRoom) return false;
      corners[n++] = idx + size_t(face) * 3 + corner;
      if (n == want) break;
      const T next = adj[size_t(face) * 3 + corner];
      if (next == kNoneT || next == start || next == stop) {
        if (want) return false;
        break;
      }
      if (!InLevel(next)) return false;
      Fetch(next);
      const int e = BackEntry(next, face);
      if (e < 0) return false;
      face = next;
      corner = kNext[e];
    }
    *count = n;
    *lastFace = face;
    *lastCorner = corner;
    return true;
  }

  // Starts fetching the index and adjacency rows of face f (a slot below faceSlots).
  void Fetch(uint32_t f) const {
#if defined(__GNUC__)
    __builtin_prefetch(idx + size_t(f) * 3);
    __builtin_prefetch(adj + size_t(f) * 3);
#else
    (void)f;
#endif
  }

  // Starts fetching the rows of a later record's face a: records name faces all over the mesh,
  // so the sweep is bound by memory latency rather than by work.
  void Prefetch(const VSplitRecord& s) const {
#if defined(__GNUC__)
    if (s.faceClw < faceSlots) Fetch(s.faceClw);
#else
    (void)s;
#endif
  }

  // Applies splits[applied]; false (nothing changed) when the record is malformed.
  bool Apply(const VSplitRecord& s) {
    namespace S = SplitCode;
    const uint32_t code = s.code, c = code & S::Corner, a = s.faceClw;
    const bool two = s.vlrOffset != 0;
    if (c == 3 || !InLevel(a)) return false;
    const T* fa = idx + size_t(a) * 3;
    const T vs = fa[c];
    const uint32_t pc = kPrev[c];
    uint32_t b = kNoFace;
    int eb = -1;
    if (const T nb = adj[size_t(a) * 3 + pc]; nb != kNoneT) {
      b = nb;
      if (b < faceSlots) Fetch(b);
    }
    uint32_t pos = mispredictPosition;
    uint32_t leftAttr = cur[SlotRange(a)].attributeId, rightAttr = 0;
    if (code & S::LeftMispredict) {
      if (pos >= mispredictCount) return false;
      leftAttr = mispredicts[pos++];
    }
    uint32_t n = 0, nr = 0, en = 0, fr = kNoFace;
    int ef = -1;
    if (!Walk(a, c, two ? s.vlrOffset : 0, kNoFace, &n, &nr, &en)) return false;
    // Face b is checked after the walk, so that its rows arrive meanwhile.
    if (b != kNoFace && (b == a || !InLevel(b) || (eb = BackEntry(b, a)) < 0)) return false;
    if (two) {
      if (const T f = adj[size_t(nr) * 3 + en]; f != kNoneT) {
        fr = f;
        if (fr == a || fr == nr || !InLevel(fr)) return false;
        const int e = BackEntry(fr, nr);
        // Face b and fr may coincide, but never through one entry: L and R each need their own.
        if (e < 0 || (fr == b && e == eb)) return false;
        ef = kNext[e];
      }
      if (nr == b && int(en) == eb) return false;
      rightAttr = cur[SlotRange(nr)].attributeId;
      if (code & S::RightMispredict) {
        if (pos >= mispredictCount) return false;
        rightAttr = mispredicts[pos++];
      }
    }
    const uint32_t rL = FindRange(leftAttr), rR = two ? FindRange(rightAttr) : rL;
    if (rL == ranges || rR == ranges) return false;
    const NewVertices nv = CountNewVertices(code, two);
    const bool same = rL == rR;
    if (max[rL].faceCount - cur[rL].faceCount < 1u + (two && same) ||
        max[rL].vertexCount - cur[rL].vertexCount < nv.left + (same ? nv.right : 0))
      return false;
    if (two && !same &&
        (max[rR].faceCount - cur[rR].faceCount < 1 ||
         max[rR].vertexCount - cur[rR].vertexCount < nv.right))
      return false;

    // Corner values, read before any corner moves; new vertices in the order listed.
    const T* fb = b != kNoFace ? idx + size_t(b) * 3 : nullptr;
    uint32_t nextLeft = cur[rL].firstVertex + cur[rL].vertexCount;
    const T vt = static_cast<T>(nextLeft++);
    T lk0, lk2, rk0 = 0, rk1 = 0, rk2 = 0;
    if ((code & S::LeftKeepsVs) || (!two && (code & S::LeftFromB))) {
      lk0 = vs;
    } else if (two && ((code & S::LeftFromB) || (code & (S::RightSameAsLeft | S::RightFromFar)) ==
                                                    (S::RightSameAsLeft | S::RightFromFar))) {
      if (!fb) return false;
      lk0 = fb[eb];
    } else {
      lk0 = static_cast<T>(nextLeft++);
    }
    if (code & S::LeftThirdNew) {
      lk2 = static_cast<T>(nextLeft++);
    } else if (code & S::LeftThirdFromB) {
      if (!fb) return false;
      lk2 = fb[kNext[eb]];
    } else {
      lk2 = fa[pc];
    }
    if (two) {
      uint32_t nextRight = same ? nextLeft : cur[rR].firstVertex + cur[rR].vertexCount;
      const T* fn = idx + size_t(nr) * 3;
      const T* ff = fr != kNoFace ? idx + size_t(fr) * 3 : nullptr;
      rk2 = (code & S::RightThirdIsVt) ? vt : static_cast<T>(nextRight++);
      if (code & S::RightSameAsLeft) {
        rk0 = lk0;
      } else if (code & S::RightFromNear) {
        rk0 = fn[en];
      } else if (code & S::RightFromFar) {
        if (!ff) return false;
        rk0 = ff[ef];
      } else {
        rk0 = static_cast<T>(nextRight++);
      }
      if (code & S::RightSecondNew) {
        rk1 = static_cast<T>(nextRight++);
      } else if (code & S::RightSecondFar) {
        if (!ff) return false;
        rk1 = ff[kPrev[ef]];
      } else {
        rk1 = fn[kNext[en]];
      }
    }

    // Everything is known to fit: write.
    const uint32_t L = cur[rL].firstFace + cur[rL].faceCount;
    const uint32_t R = two ? cur[rR].firstFace + cur[rR].faceCount + same : kNoFace;
    if (two) {
      const bool keep = (code & S::LeftKeepsVs) != 0;
      for (uint32_t i = 0; i < n; ++i) *corners[i] = keep && *corners[i] == vs ? vt : rk2;
    } else {
      // Corners of another vertex index stay as they are (so the undo restores them exactly).
      for (uint32_t i = 0; i < n; ++i)
        if (*corners[i] == vs) *corners[i] = vt;
    }
    T* fl = idx + size_t(L) * 3;
    fl[0] = lk0;
    fl[1] = vt;
    fl[2] = lk2;
    T* al = adj + size_t(L) * 3;
    al[0] = two ? static_cast<T>(R) : kNoneT;
    al[1] = static_cast<T>(a);
    al[2] = static_cast<T>(b);  // kNoFace narrows to none
    attr[L] = leftAttr;
    adj[size_t(a) * 3 + pc] = static_cast<T>(L);
    if (fb) adj[size_t(b) * 3 + eb] = static_cast<T>(L);
    cur[rL].faceCount += 1;
    cur[rL].vertexCount += nv.left;
    if (two) {
      T* fR = idx + size_t(R) * 3;
      fR[0] = rk0;
      fR[1] = rk1;
      fR[2] = rk2;
      T* ar = adj + size_t(R) * 3;
      ar[0] = static_cast<T>(fr);
      ar[1] = static_cast<T>(nr);
      ar[2] = static_cast<T>(L);
      attr[R] = rightAttr;
      adj[size_t(nr) * 3 + en] = static_cast<T>(R);
      if (fr != kNoFace) adj[size_t(fr) * 3 + kPrev[ef]] = static_cast<T>(R);
      cur[rR].faceCount += 1;
      cur[rR].vertexCount += nv.right;
    }
    faces += 1 + two;
    vertices += nv.left + nv.right;
    mispredictPosition = pos;
    ++applied;
    return true;
  }

  // Finds the faces of the last applied split and checks that it can be undone; fills the
  // corner list. False when the record or the arrays do not match it.
  bool Locate(const VSplitRecord& s, UndoPlan& p) const {
    namespace S = SplitCode;
    const uint32_t code = s.code, c = code & S::Corner, a = s.faceClw;
    const bool two = s.vlrOffset != 0;
    if (c == 3 || !InLevel(a)) return false;
    const uint32_t used = ((code & S::LeftMispredict) != 0) + (two && (code & S::RightMispredict));
    if (mispredictPosition < used) return false;
    p.mispredictPosition = mispredictPosition - used;
    const uint32_t rL =
        (code & S::LeftMispredict) ? FindRange(mispredicts[p.mispredictPosition]) : SlotRange(a);
    if (rL == ranges || cur[rL].faceCount == 0) return false;
    {
      // L and R are the last faces of their ranges (R, when in the same range, the very last):
      // start fetching the faces they will be rejoined with before walking.
      const uint32_t end = cur[rL].firstFace + cur[rL].faceCount - 1;
      const T* tail = adj + size_t(end) * 3;
      if (tail[0] < faceSlots) Fetch(tail[0]);
      if (tail[2] < faceSlots) Fetch(tail[2]);
      if (cur[rL].faceCount > 1 && tail[-1] < faceSlots) Fetch(tail[-1]);
    }
    uint32_t last = 0, lastCorner = 0;
    p.leftRange = p.rightRange = rL;
    p.right = kNoFace;
    if (!two) {
      p.left = cur[rL].firstFace + cur[rL].faceCount - 1;
      if (p.left == a || !Walk(a, c, 0, p.left, &p.corners, &last, &lastCorner)) return false;
    } else {
      if (!Walk(a, c, s.vlrOffset, kNoFace, &p.corners, &last, &lastCorner)) return false;
      const uint32_t rR =
          (code & S::RightMispredict)
              ? FindRange(mispredicts[p.mispredictPosition + ((code & S::LeftMispredict) != 0)])
              : SlotRange(last);
      if (rR == ranges || cur[rR].faceCount < 1u + (rR == rL)) return false;
      p.rightRange = rR;
      p.right = cur[rR].firstFace + cur[rR].faceCount - 1;
      p.left = cur[rL].firstFace + cur[rL].faceCount - 1 - (rR == rL);
      if (p.left == a || p.right == a) return false;
    }
    p.created = CountNewVertices(code, two);
    if (p.rightRange == rL) {
      if (cur[rL].vertexCount < p.created.left + p.created.right) return false;
    } else if (cur[rL].vertexCount < p.created.left ||
               cur[p.rightRange].vertexCount < p.created.right) {
      return false;
    }
    // L's neighbours at entries 1 and 2 and R's at entries 0 and 1 are joined again.
    const T* al = adj + size_t(p.left) * 3;
    const T* ar = two ? adj + size_t(p.right) * 3 : nullptr;
    const uint32_t owners[4] = {p.left, p.left, p.right, p.right};
    const T faces4[4] = {al[1], al[2], two ? ar[0] : kNoneT, two ? ar[1] : kNoneT};
    for (int k = 0; k < 4; ++k) {
      p.join[k] = kNoFace;
      p.joinEntry[k] = 0;
      const T f = faces4[k];
      if (f == kNoneT) continue;
      if (f == p.left || f == p.right || !InLevel(f)) return false;
      const int e = OnlyEntry(f, owners[k]);
      if (e < 0) return false;
      p.join[k] = f;
      p.joinEntry[k] = static_cast<uint8_t>(e);
    }
    return true;
  }

  // Undoes the split found by Locate (the corner list must still hold its corners).
  void Commit(const UndoPlan& p) {
    const bool two = p.right != kNoFace;
    const T* fl = idx + size_t(p.left) * 3;
    const T vt = fl[1], lk0 = fl[0];
    if (two) {
      const T rk0 = idx[size_t(p.right) * 3];
      for (uint32_t i = 0; i < p.corners; ++i) *corners[i] = *corners[i] == vt ? lk0 : rk0;
    } else {
      for (uint32_t i = 0; i < p.corners; ++i)
        if (*corners[i] == vt) *corners[i] = lk0;
    }
    for (int k = 0; k < 4; ++k) {
      if (p.join[k] == kNoFace) continue;
      const uint32_t other = p.join[k ^ 1];
      adj[size_t(p.join[k]) * 3 + p.joinEntry[k]] = static_cast<T>(other);
    }
    cur[p.leftRange].faceCount -= 1;
    cur[p.leftRange].vertexCount -= p.created.left;
    if (two) {
      cur[p.rightRange].faceCount -= 1;
      cur[p.rightRange].vertexCount -= p.created.right;
    }
    faces -= 1 + two;
    vertices -= p.created.left + p.created.right;
    mispredictPosition = p.mispredictPosition;
    --applied;
  }

  bool Undo(const VSplitRecord& s) {
    UndoPlan p;
    if (!Locate(s, p)) return false;
    Commit(p);
    return true;
  }
};

}  // namespace lyr::pm
