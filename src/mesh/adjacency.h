// Face adjacency, point representatives and the walk around a vertex, on plain arrays.
//
// Face adjacency holds three entries per face: entry k names the face across edge k, the edge from
// corner k to corner (k + 1) mod 3, or kNoFace. Point representatives hold one entry per vertex:
// the vertex that stands for every vertex at its place.
//
// Every routine here checks what it is given before using it: runs must lie within the faces, every
// used face (first index not all ones) must name existing vertices, representatives must name
// existing vertices and adjacency entries existing faces (or none); otherwise ErrInvalidCall.
// Adjacency that names existing faces but is not symmetric is accepted: an entry whose face does
// not name the current face back is a boundary. None of them reads or writes outside the arrays
// described by MeshArrays.
#pragma once

#include <cstdint>
#include <cstring>

#include "lyr/result.h"
#include "lyr/vertex.h"

namespace lyr {

inline constexpr uint32_t kNoFace = 0xFFFFFFFFu;
// A walk around one vertex that takes more steps than this ends with ErrAdjacencyWalkTooLong.
inline constexpr uint32_t kMaxVertexWalkSteps = 10000;

// A run of faces processed on its own (faces of different runs never become neighbours).
struct FaceRun {
  uint32_t firstFace;
  uint32_t faceCount;
};

// The arrays of an indexed triangle list, at 16-bit or 32-bit index width.
template <class Index>
struct MeshArrays {
  const Index* indices = nullptr;  // three per face
  uint32_t faceCount = 0;
  uint32_t vertexCount = 0;
  // The x coordinate of vertex 0 (three floats, any alignment); vertex i is `stride` bytes
  // further on. Null when the vertices have no usable position.
  const uint8_t* positions = nullptr;
  uint32_t stride = 0;
  // The runs to process; null means one run of every face.
  const FaceRun* runs = nullptr;
  uint32_t runCount = 0;
};

// The element adjacency and bounds read positions from: three floats of usage position and usage
// index 0 in stream 0. Null when the declaration has none.
inline const VertexElement* FindFloat3Position(const VertexElement* declaration) {
  for (const VertexElement* e = declaration; !IsEndElement(*e); ++e) {
    if (e->usage == ElementUsage::Position && e->usageIndex == 0 && e->type == ElementType::F32x3 &&
        e->stream == 0) {
      return e;
    }
  }
  return nullptr;
}

// A used face: its first index is not all ones.
template <class Index>
inline bool FaceUsed(const Index* face) {
  return face[0] != static_cast<Index>(~Index(0));
}

// Walks the faces around one vertex through a face adjacency (entries at width Adj, none being
// all ones at that width).
//
// Modes: 0 walks in the first direction (across the edge leaving the vertex) and, on reaching a
// boundary, turns back at the start face and continues in the second direction; 1 walks in the
// first direction only; 2 in the second direction only (across the edge arriving at the vertex).
// The walk finishes on returning to the start face or at a boundary it does not turn at.
//
// Typical use: Start, then repeat { face = Step(); corner = VertexCorner(); } until Finished().
// Entries naming no existing face, or a face that does not name the current face back, are
// boundaries. The caller bounds the walk by StepCount().
template <class Index, class Adj>
class VertexWalk {
 public:
  static constexpr Adj kNone = static_cast<Adj>(~Adj(0));

  VertexWalk(const Index* indices, const Adj* adjacency, uint32_t faceCount)
      : indices_(indices), adjacency_(adjacency), faceCount_(faceCount) {}

  // Starts at face `face` (below the face count) around vertex `vertex`, which must be one of
  // its corners (else the walk stays on the start face's corner 0).
  void Start(uint32_t face, uint32_t vertex, int mode) {
    start_ = current_ = face;
    vertex_ = vertex;
    const uint32_t k = CornerOf(face, vertex);
    edge_ = mode == 2 ? (k + 2) % 3 : k;
    previous_ = edge_;
    firstDirection_ = mode != 2;
    oneDirection_ = mode != 0;
    finished_ = false;
    steps_ = 0;
  }

  // Returns the face the walk stands on and moves to the next one.
  uint32_t Step() {
    const uint32_t face = current_;
    ++steps_;
    previous_ = edge_;
    if (Cross()) return face;
    if (!firstDirection_ || oneDirection_) {
      finished_ = true;
      return face;
    }
    // Boundary in the first direction: go back to the start face and leave it across the edge
    // that arrives at the vertex.
    firstDirection_ = false;
    current_ = start_;
    edge_ = (CornerOf(start_, vertex_) + 2) % 3;
    previous_ = (previous_ + 2) % 3;
    if (!Cross()) finished_ = true;
    return face;
  }

  bool Finished() const { return finished_; }
  uint32_t StepCount() const { return steps_; }
  // True while walking in the first direction.
  bool FirstDirection() const { return firstDirection_; }
  // The corner of the face last returned by Step at which the walked vertex stands.
  uint32_t VertexCorner() const { return firstDirection_ ? previous_ : (previous_ + 1) % 3; }

 private:
  uint32_t CornerOf(uint32_t face, uint32_t vertex) const {
    const Index* f = indices_ + size_t(face) * 3;
    for (uint32_t k = 0; k < 3; ++k) {
      if (uint32_t(f[k]) == vertex) return k;
    }
    return 0;
  }

  // Crosses edge_ of current_. False at a boundary (current_ unchanged); finishes the walk when
  // the neighbour is the start face.
  bool Cross() {
    const Adj a = adjacency_[size_t(current_) * 3 + edge_];
    if (a == kNone || uint32_t(a) >= faceCount_) return false;
    const uint32_t next = uint32_t(a);
    if (next == start_) {
      finished_ = true;
      return true;
    }
    const int e = BackEdge(next);
    if (e < 0) return false;
    edge_ = firstDirection_ ? (uint32_t(e) + 1) % 3 : (uint32_t(e) + 2) % 3;
    current_ = next;
    return true;
  }

  // The edge of `next` that names the current face back: preferably the one running along the
  // crossed edge the other way (two faces may share more than one edge), else the first one.
  int BackEdge(uint32_t next) const {
    const Adj* na = adjacency_ + size_t(next) * 3;
    const Index* cf = indices_ + size_t(current_) * 3;
    const Index* nf = indices_ + size_t(next) * 3;
    const Index a = cf[edge_], b = cf[(edge_ + 1) % 3];
    int first = -1;
    for (int e = 0; e < 3; ++e) {
      if (na[e] == kNone || uint32_t(na[e]) != current_) continue;
      if (nf[e] == b && nf[(e + 1) % 3] == a) return e;
      if (first < 0) first = e;
    }
    return first;
  }

  const Index* indices_;
  const Adj* adjacency_;
  uint32_t faceCount_;
  uint32_t start_ = 0, current_ = 0, vertex_ = 0, edge_ = 0, previous_ = 0;
  bool firstDirection_ = true, oneDirection_ = false, finished_ = true;
  uint32_t steps_ = 0;
};

// Point representatives from a face adjacency: the faces around each vertex are walked and every
// vertex met at that place takes the first vertex found there as its representative; a vertex
// keeps the first representative it is given, so every representative stands for itself.
// Entries of 0xFFFF count as none with 16-bit indices. ErrAdjacencyWalkTooLong when a walk
// exceeds kMaxVertexWalkSteps (the output is then partial).
template <class Index>
LyrResult PointRepsFromAdjacency(const MeshArrays<Index>& mesh, const uint32_t* adjacency,
                                 uint32_t* pointReps);

// Face adjacency from point representatives (null: every vertex stands for itself). Edges match
// when they join the same two places in opposite directions within one run; among several
// candidates the face whose normal agrees best with the face's own wins. Unused and degenerate
// faces (two corners at one place) have no neighbours. The result is symmetric.
template <class Index>
LyrResult AdjacencyFromPointReps(const MeshArrays<Index>& mesh, const uint32_t* pointReps,
                                 uint32_t* adjacency);

// Point representatives from positions. Epsilon 0: a vertex takes the first earlier
// representative with equal coordinates that shares no face with it. Otherwise vertices are swept
// in ascending x; each one not yet taken becomes a representative and takes every later one not
// yet taken within epsilon that shares no face with it. Vertices with a NaN coordinate stand
// alone. Needs positions (ErrInvalidCall without).
template <class Index>
LyrResult PointRepsFromPositions(const MeshArrays<Index>& mesh, float epsilon, uint32_t* pointReps);

// PointRepsFromPositions followed by AdjacencyFromPointReps.
template <class Index>
LyrResult BuildAdjacency(const MeshArrays<Index>& mesh, float epsilon, uint32_t* adjacency);

}  // namespace lyr
