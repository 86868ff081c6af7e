#include "mesh/optimize_core.h"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <new>
#include <type_traits>
#include <utility>

namespace lyr::meshopt {

namespace OF = OptimizeFlags;

LyrResult CheckCoreFlags(uint32_t flags, bool hasAdjacencyIn, bool wantsAdjacencyOut,
                         bool hasTable) {
  if (flags == 0 || (flags & 0x3FEFFFu)) return ErrInvalidCall;
  if (wantsAdjacencyOut && !hasAdjacencyIn) return ErrInvalidCall;
  if ((flags & OF::KeepAll) && !hasTable) return ErrInvalidCall;
  if ((flags & OF::VertexCache) && (flags & OF::StripReorder)) return ErrInvalidCall;
  return Ok;
}

uint64_t CountCacheMisses(const uint32_t* indices, uint32_t faceCount, uint32_t vertexCount,
                          uint32_t cacheSize) {
  Vector<uint64_t> stamp(vertexCount, 0);
  uint64_t clock = cacheSize, misses = 0;
  for (uint32_t f = 0; f < faceCount; ++f) {
    if (indices[3 * f] == kNone) continue;
    for (int c = 0; c < 3; ++c) {
      uint32_t v = indices[3 * f + c];
      if (v >= vertexCount) continue;
      if (clock - stamp[v] < cacheSize) continue;
      stamp[v] = ++clock;
      ++misses;
    }
  }
  return misses;
}

namespace {

inline void Prefetch(const void* p) {
#if defined(__GNUC__)
  __builtin_prefetch(p);
#else
  (void)p;
#endif
}
// Faces handled ahead in passes that chase scattered entries: their blocks are fetched meanwhile.
constexpr uint32_t kAhead = 16;

inline void PrefetchWrite(void* p) {
#if defined(__GNUC__)
  __builtin_prefetch(p, 1);
#else
  (void)p;
#endif
}

// What the reordering reads about one face, in half a cache line: its indices, its restricted
// neighbours with the edge of each that points back, and its input face number. The nodes are
// laid out so that neighbours mostly lie near one another (see the layout in OptimizeCore).
struct FaceNode {
  uint32_t v[3];
  uint32_t nb[3];
  uint32_t face;
  uint8_t back[3];
  // Bit k: the input names a neighbour across edge k that does not count for the reordering
  // (nb[k] is kNone); the output adjacency then looks it up in the input.
  uint8_t cut;
};
static_assert(sizeof(FaceNode) == 32);

// Faces of one range kept in four lists by their number of unvisited neighbours (0..3); a face
// enters a list at its head, and a new start face is the head of the lowest non-empty list.
// The per-face state (count, visited) is one byte in an array of its own, small enough to stay
// in cache. Each list is a stack whose entries are dropped lazily: counts only go down, so a
// face enters each list at most once and its entry stands exactly while the face is unvisited
// with that count; the top standing entry is then the head of the list.
class NeighbourLists {
 public:
  static constexpr uint8_t kVisited = 4;

  NeighbourLists(const FaceNode* nodes, uint32_t faceCount) : n_(nodes), state_(faceCount) {}

  // Every node's number of neighbours must be set before the lists of its range begin (the
  // walk of one range never changes the counts of another).
  void SetCount(uint32_t p, uint32_t count) { state_[p] = static_cast<uint8_t>(count); }

  // Starts the lists of one range: the nodes [first, end), entering the lists in the order of
  // their positions (nodeOf: position -> node; the range's positions are the same numbers).
  void Begin(uint32_t first, uint32_t end, const uint32_t* nodeOf) {
    // A face enters list c only while its count is at least c, and once unless it is listed
    // twice as a neighbour: room for the faces that start with c or more open neighbours is
    // nearly always enough (a push beyond it only grows the list).
    size_t atLeast[5] = {};
    for (uint32_t p = first; p < end; ++p) ++atLeast[state_[p]];
    for (int c = 2; c >= 0; --c) atLeast[c] += atLeast[c + 1];
    for (uint32_t c = 0; c < 3; ++c) {
      stacks_[c].clear();
      stacks_[c].reserve(atLeast[c]);
    }
    // A face enters list 3 only here (counts only go down), so that list is the positions
    // themselves, read from the top by a cursor instead of being copied out.
    for (uint32_t p = first; p < end; ++p) {
      const uint32_t x = nodeOf[p];
      if (state_[x] < 3) stacks_[state_[x]].push_back(x);
    }
    nodeOf_ = nodeOf;
    first_ = first;
    top3_ = end;
  }
  // True when p is a face and not yet visited.
  bool Open(uint32_t p) const { return p != kNone && !(state_[p] & kVisited); }
  uint32_t Count(uint32_t p) const { return state_[p] & 3u; }
  uint32_t StartFace() {
    for (uint32_t c = 0; c < 3; ++c) {
      Vector<uint32_t>& s = stacks_[c];
      while (!s.empty()) {
        if (state_[s.back()] == c) return s.back();
        s.pop_back();
      }
    }
    for (; top3_ > first_; --top3_)
      if (state_[nodeOf_[top3_ - 1]] == 3) return nodeOf_[top3_ - 1];
    return kNone;
  }
  void Visit(uint32_t p) {
    state_[p] |= kVisited;
    for (uint32_t q : n_[p].nb) {
      if (!Open(q)) continue;
      // A face listed twice as a neighbour (two faces sharing two edges) has been counted once
      // less than it is visited from here; its count stops at zero.
      uint8_t& count = state_[q];
      if (count > 0) --count;
      stacks_[count].push_back(q);
      // The walk reads these faces next.
      Prefetch(&n_[q]);
    }
  }

 private:
  const FaceNode* n_;
  WorkVector<uint8_t> state_;
  Vector<uint32_t> stacks_[3];
  const uint32_t* nodeOf_ = nullptr;
  uint32_t first_ = 0, top3_ = 0;  // list 3: the positions [first_, top3_) whose face stands
};

// First-in first-out model of the device's vertex cache.
class CacheModel {
 public:
  CacheModel(uint32_t vertexCount, uint32_t size) : stamp_(vertexCount, 0), size_(size) {
    clock_ = size;
  }
  void Clear() { clock_ += size_; }
  uint32_t Misses(const uint32_t* tri) {
    if (tri[0] == kNone) return 0;
    uint32_t m = 0;
    for (int c = 0; c < 3; ++c) {
      uint32_t v = tri[c];
      if (clock_ - stamp_[v] < size_) continue;
      stamp_[v] = ++clock_;
      ++m;
    }
    return m;
  }

 private:
  Vector<uint64_t> stamp_;
  uint64_t clock_;
  uint64_t size_;
};

// Lowest and highest new vertex index of a range's faces.
struct VertexSpan {
  uint32_t lo = kNone, hi = 0;
};

struct Reorderer {
  Reorderer(FaceNode* nodes, NeighbourLists& l, const uint32_t* nodeOfPos, uint32_t* faces,
            uint32_t* nodeAt, uint32_t* posOfNode)
      : n(nodes), lists(l), nodeOf(nodeOfPos), order(faces), seq(nodeAt), newPos(posOfNode) {}

  FaceNode* n;
  NeighbourLists& lists;
  const uint32_t* nodeOf;  // position -> node
  // Per position, filled in emission order: the face and (when kept) its node; per node its new
  // position.
  uint32_t* order;
  uint32_t* seq;
  uint32_t* newPos;
  uint32_t next = 0;  // the position the next emitted face takes
  // The new indices, when faces are emitted in position order: vertices are numbered by first
  // use (vmap, nv), and the range's vertex span is taken on the way.
  uint32_t* vmap = nullptr;
  uint32_t nv = 0;
  Vector<uint32_t>* indices = nullptr;
  VertexSpan span;
  // The new adjacency rows, when asked for. A link that counted is written once both of its
  // faces have their positions, by the later one: its own entry and the entries of the earlier
  // face that name it (neighbours lie near in the walk, so that row is still in cache). Every
  // other entry is kNone here; nodes with links that did not count are listed for a later look
  // in the input.
  uint32_t* adjacency = nullptr;
  Vector<uint32_t>* cutNodes = nullptr;

  void Emit(uint32_t x) {
    lists.Visit(x);
    const FaceNode& f = n[x];
    const uint32_t p = next++;
    order[p] = f.face;
    if (seq) seq[p] = x;
    newPos[x] = p;
    if (indices) {
      uint32_t t[3];
      for (uint32_t c = 0; c < 3; ++c) {
        uint32_t& m = vmap[f.v[c]];
        if (m == kNone) m = nv++;
        t[c] = m;
        indices->push_back(m);
      }
      span.lo = std::min({span.lo, t[0], t[1], t[2]});
      span.hi = std::max({span.hi, t[0], t[1], t[2]});
    }
    if (adjacency) {
      uint32_t* row = adjacency + 3 * size_t(p);
      for (uint32_t k = 0; k < 3; ++k) {
        const uint32_t q = f.nb[k];
        row[k] = kNone;
        if (q == kNone || lists.Open(q)) continue;
        const uint32_t at = newPos[q];
        row[k] = at;
        uint32_t* back = adjacency + 3 * size_t(at);
        for (uint32_t j = 0; j < 3; ++j)
          if (n[q].nb[j] == x) back[j] = p;
      }
      if (f.cut) cutNodes->push_back(x);
    }
  }

  void Strip(uint32_t first, uint32_t end) {
    lists.Begin(first, end, nodeOf);
    for (uint32_t s; (s = lists.StartFace()) != kNone;) {
      uint32_t cur = s;
      Emit(cur);
      for (;;) {
        // Open neighbours with the fewest open neighbours, in edge order; the second-ring
        // count is looked at only to break a tie among them.
        uint32_t tied[3], ties = 0, fewest = 4;
        for (uint32_t q : n[cur].nb) {
          if (!lists.Open(q)) continue;
          const uint32_t c = lists.Count(q);
          if (c < fewest) {
            fewest = c;
            ties = 0;
          }
          if (c == fewest) tied[ties++] = q;
        }
        if (ties == 0) break;
        uint32_t best = tied[0];
        if (ties > 1) {
          uint32_t bestT = SecondRing(tied[0]);
          for (uint32_t i = 1; i < ties; ++i) {
            const uint32_t t = SecondRing(tied[i]);
            if (t < bestT) {
              best = tied[i];
              bestT = t;
            }
          }
        }
        cur = best;
        Emit(cur);
      }
    }
  }

  // The fewest open neighbours among the open neighbours of face q (0 when it has none).
  uint32_t SecondRing(uint32_t q) const {
    uint32_t t = 4;
    for (uint32_t r : n[q].nb)
      if (lists.Open(r)) t = std::min(t, lists.Count(r));
    return t == 4 ? 0 : t;
  }

  void VertexCache(uint32_t first, uint32_t end, CacheModel& cache, int64_t limit) {
    lists.Begin(first, end, nodeOf);
    cache.Clear();
    for (;;) {
      uint32_t f = lists.StartFace();
      if (f == kNone) return;
      uint32_t e = lists.Open(n[f].nb[0]) ? 1 : lists.Open(n[f].nb[1]) ? 2 : 0;
      uint32_t restart = kNone, restartEdge = 0;
      int64_t m = 0;
      for (;;) {
        Emit(f);
        m += cache.Misses(n[f].v);
        const uint32_t pe = (e + 2) % 3, ae = (e + 1) % 3;
        const uint32_t pref = n[f].nb[pe], alt = n[f].nb[ae];
        if (lists.Open(pref)) {
          if (lists.Open(alt) && restart == kNone) {
            restart = alt;
            restartEdge = n[f].back[ae];
            m = 0;
          }
          e = n[f].back[pe];
          f = pref;
          continue;
        }
        if (lists.Open(alt)) {
          const uint32_t ne = n[f].back[ae];
          if (restart != kNone && StripLength(alt, ne, limit - m + 1) + m - 1 > limit) {
            const uint32_t r = restart;
            restart = kNone;
            if (lists.Open(r)) {
              f = r;
              e = restartEdge;
              continue;
            }
          }
          f = alt;
          e = ne;
          continue;
        }
        const uint32_t r = restart;
        restart = kNone;
        if (!lists.Open(r)) break;
        f = r;
        e = restartEdge;
      }
    }
  }

  // Number of faces of the strip that starts at face p entered across edge e and follows the
  // preferred continuation while it is open; counting stops once it exceeds cap.
  int64_t StripLength(uint32_t p, uint32_t e, int64_t cap) const {
    int64_t k = 1;
    while (k <= cap) {
      const uint32_t pe = (e + 2) % 3;
      const uint32_t q = n[p].nb[pe];
      if (!lists.Open(q)) break;
      e = n[p].back[pe];
      p = q;
      ++k;
    }
    return k;
  }
};

// Maps attribute ids to dense group numbers in ascending id order.
struct IdGroups {
  Vector<uint32_t> ids;     // distinct ids, ascending
  Vector<uint32_t> direct;  // id -> group, when ids are small
  uint32_t Group(uint32_t id) const {
    if (!direct.empty()) return direct[id];
    return static_cast<uint32_t>(std::lower_bound(ids.begin(), ids.end(), id) - ids.begin());
  }
  void Build(const uint32_t* attr, const Vector<uint32_t>& faces, bool severalIds) {
    if (!severalIds) {
      ids.assign(1, attr[faces[0]]);
      return;
    }
    uint32_t maxId = 0;
    for (uint32_t f : faces) maxId = std::max(maxId, attr[f]);
    if (maxId < 2u * faces.size() + 1024u) {
      direct.assign(size_t(maxId) + 1, kNone);
      for (uint32_t f : faces) direct[attr[f]] = 0;
      for (uint32_t id = 0; id <= maxId; ++id)
        if (direct[id] != kNone) {
          direct[id] = static_cast<uint32_t>(ids.size());
          ids.push_back(id);
        }
    } else {
      ids.reserve(faces.size());
      for (uint32_t f : faces) ids.push_back(attr[f]);
      std::sort(ids.begin(), ids.end());
      ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
    }
  }
};

}  // namespace

LyrResult OptimizeCore(const CoreInput& in, CoreOutput& out) {
  const uint32_t F = in.faceCount, V = in.vertexCount;
  uint32_t flags = in.flags | OF::Compact;
  const bool reorder = (flags & (OF::VertexCache | OF::StripReorder)) != 0;
  if (reorder) flags |= OF::AttributeSort;
  const bool keepAll = (flags & OF::KeepAll) != 0;
  const bool keepVerts = (flags & OF::KeepVertices) != 0;
  const bool sort = (flags & OF::AttributeSort) != 0 && !keepAll;
  if ((in.faceCount && (!in.indices || !in.attributes)) || (reorder && !in.adjacency))
    return ErrInvalidCall;
  if (in.tableCount && !in.table) return ErrInvalidCall;

  for (uint32_t r = 0; r < in.tableCount; ++r)
    if (uint64_t(in.table[r].firstFace) + in.table[r].faceCount > F) return ErrInvalidCall;
  // Indices not below the vertex count or adjacency naming missing faces are refused before
  // anything is changed.
  const auto inputValid = [&] {
    for (uint32_t f = 0; f < F; ++f) {
      const uint32_t* t = in.indices + 3 * size_t(f);
      if (t[0] != kNone && (t[0] >= V || t[1] >= V || t[2] >= V)) return false;
    }
    if (in.adjacency)
      for (size_t i = 0; i < size_t(F) * 3; ++i)
        if (in.adjacency[i] != kNone && in.adjacency[i] >= F) return false;
    return true;
  };

  // Working copy of the indices; vertex splitting redirects them to copies.
  // Indices as the later passes see them: the input until a split redirects a corner, from then
  // on a copy.
  const uint32_t* idx = in.indices;
  Vector<uint32_t> idxCopy;
  Vector<uint32_t> source;  // original vertex of each split copy (index V + i)
  const uint32_t* attr = in.attributes;
  // Whether the faces carry more than one id, looked at in blocks without an exit per face.
  bool severalIds = false;
  for (uint32_t f = 0; f < F && !severalIds;) {
    const uint32_t end = F - f > 4096 ? f + 4096 : F;
    uint32_t differ = 0;
    for (; f < end; ++f) differ |= attr[f] ^ attr[0];
    severalIds = differ != 0;
  }
  const bool splits = severalIds && (sort || reorder) && !(flags & (OF::KeepAll | OF::DoNotSplit));
  // A reorder reads every face's indices and adjacency while it builds its nodes and checks them
  // there; nothing before it relies on them (other than splitting, which indexes by them), and
  // any failure on the way is first settled by a full check, so the result code is the same.
  const bool checkWhileBuilding = reorder && !splits;
  if (!checkWhileBuilding && !inputValid()) return ErrInvalidCall;
  if (splits) {
    // Per vertex its owning id and its first copy; copies of one vertex are chained.
    struct Owner {
      uint32_t id, firstCopy;
    };
    struct Copy {
      uint32_t id, next;
    };
    Vector<Owner> owner(V, Owner{kNone, kNone});
    Vector<Copy> copies;
    for (uint32_t f = 0; f < F; ++f) {
      if (idx[3 * f] == kNone) continue;
      const uint32_t a = attr[f];
      for (int c = 0; c < 3; ++c) {
        const uint32_t v = idx[3 * f + c];
        Owner& o = owner[v];
        if (o.id == kNone) o.id = a;
        if (o.id == a) continue;
        uint32_t i = o.firstCopy;
        while (i != kNone && copies[i].id != a) i = copies[i].next;
        if (i == kNone) {
          if (keepVerts) return ErrVertexSplitForbidden;
          if (uint64_t(V) + source.size() >= kNone) return ErrInvalidCall;
          i = static_cast<uint32_t>(source.size());
          source.push_back(v);
          copies.push_back({a, o.firstCopy});
          o.firstCopy = i;
        }
        if (idxCopy.empty()) {
          idxCopy.assign(in.indices, in.indices + size_t(F) * 3);
          idx = idxCopy.data();
        }
        idxCopy[3 * f + c] = V + i;
      }
    }
  }
  const uint32_t Vc = V + static_cast<uint32_t>(source.size());
  out.split = !source.empty();

  // Faces per first index, for the node layout of a reorder (see there). A sort places every
  // face that remains in some range, so they are counted here while compaction reads the first
  // indices anyway.
  // The key is the first index over a power of two that keeps the counts within 64K entries:
  // the counting sort then updates them in cache, while a few consecutive vertices per key keep
  // the layout's locality.
  uint32_t keyShift = 0;
  while ((uint64_t(Vc) >> keyShift) > 0xFFFFu) ++keyShift;
  const auto layoutKey = [&](uint32_t f) {
    const uint32_t v = idx[3 * size_t(f)];
    return (v < Vc ? v : 0u) >> keyShift;
  };
  Vector<uint32_t> keyCount;
  const bool countWhileCompacting = reorder && sort;
  if (reorder) keyCount.assign((size_t(Vc) >> keyShift) + 1, 0);

  // Compaction: the current face order lists the old faces that remain.
  // (It becomes the new-to-old face map at the end.)
  Vector<uint32_t> order;
  order.reserve(F);
  if (keepAll) {
    for (uint32_t f = 0; f < F; ++f) order.push_back(f);
  } else {
    for (uint32_t f = 0; f < F; ++f) {
      if (idx[3 * size_t(f)] == kNone) continue;
      order.push_back(f);
      if (countWhileCompacting) ++keyCount[layoutKey(f)];
    }
    if (order.empty() || Vc == 0)
      return checkWhileBuilding && !inputValid() ? ErrInvalidCall : ErrMeshWithoutData;
    // Faces dropped here are not built: check them all now.
    if (checkWhileBuilding && order.size() < F && !inputValid()) return ErrInvalidCall;
  }

  // Ranges reordered one by one, as [first, end) positions of `order`, and the resulting table.
  struct Span {
    uint32_t first, end;
  };
  Vector<Span> spans;
  Vector<AttributeRange> table;
  if (sort) {
    // Group ids: the existing table's order with KeepTableOrder (ids missing from it follow in
    // ascending order so that no face is lost), else ascending.
    IdGroups groups;
    groups.Build(attr, order, severalIds);
    const uint32_t G = static_cast<uint32_t>(groups.ids.size());
    Vector<uint32_t> rank(G), tableEntry(G, kNone);
    if (flags & OF::KeepTableOrder) {
      Vector<uint8_t> placed(G, 0);
      uint32_t next = 0;
      for (uint32_t r = 0; r < in.tableCount; ++r) {
        uint32_t id = in.table[r].attributeId;
        auto it = std::lower_bound(groups.ids.begin(), groups.ids.end(), id);
        if (it == groups.ids.end() || *it != id) continue;
        uint32_t g = static_cast<uint32_t>(it - groups.ids.begin());
        if (placed[g]) continue;
        placed[g] = 1;
        tableEntry[g] = r;
        rank[g] = next++;
      }
      for (uint32_t g = 0; g < G; ++g)
        if (!placed[g]) rank[g] = next++;
    } else {
      for (uint32_t g = 0; g < G; ++g) rank[g] = g;
    }
    // Stable counting sort of the faces by rank.
    Vector<uint32_t> faceRank(G > 1 ? order.size() : 0);
    Vector<uint32_t> start(size_t(G) + 1, 0);
    if (G > 1) {
      for (size_t p = 0; p < order.size(); ++p) {
        faceRank[p] = rank[groups.Group(attr[order[p]])];
        ++start[faceRank[p] + 1];
      }
      for (uint32_t g = 0; g < G; ++g) start[g + 1] += start[g];
    } else {
      start[1] = static_cast<uint32_t>(order.size());
    }
    table.resize(G);
    spans.resize(G);
    for (uint32_t g = 0; g < G; ++g) {
      uint32_t r = rank[g];
      const bool kept = tableEntry[g] != kNone;
      table[r] = {groups.ids[g], start[r], start[r + 1] - start[r],
                  kept ? in.table[tableEntry[g]].firstVertex : 0,
                  kept ? in.table[tableEntry[g]].vertexCount : kNone};
      spans[r] = {start[r], start[r + 1]};
    }
    if (G > 1) {
      Vector<uint32_t> sorted(order.size());
      for (size_t p = 0; p < order.size(); ++p) sorted[start[faceRank[p]]++] = order[p];
      order.swap(sorted);
    }
    out.tableValid = true;
  } else {
    table.assign(in.table, in.table + in.tableCount);
    out.tableValid = keepAll || order.size() == F;
    if (keepAll)
      for (const AttributeRange& r : table)
        spans.push_back({r.firstFace, r.firstFace + r.faceCount});
  }
  const uint32_t P = static_cast<uint32_t>(order.size());

  Vector<uint32_t> vmap(Vc, kNone);  // current index -> new index
  uint32_t nv = 0;
  // Vertex span of each sorted range, when taken with the new indices.
  Vector<VertexSpan> vertexSpans;
  bool indicesMade = false;

  // After a reorder: per position the node placed there, per node its new position. The nodes
  // and these arrays serve the outputs as well: the faces in their new order lie near one
  // another in the nodes.
  WorkVector<uint32_t> seq, newPos, nodeOf;
  Vector<uint32_t> cutNodes;  // nodes with links that did not count (see Reorderer)
  bool linksByWalk = false;
  Vector<uint32_t> posOf;  // old face -> position before the reorder, when they differ
  Block<uint8_t> nodeBlock;
  FaceNode* nodes = nullptr;
  bool identity = P == F;  // every old face has its own number as position before the reorder
  if (reorder) {
    // Range number of each position (kNone outside every range). The sorted ranges follow one
    // another and cover every position; ranges of a kept table must not overlap, or a face
    // would be placed twice.
    const bool oneSpan = sort && spans.size() == 1;
    Vector<uint32_t> spanOf;
    if (!oneSpan) {
      spanOf.assign(P, kNone);
      for (uint32_t s = 0; s < spans.size(); ++s)
        for (uint32_t p = spans[s].first; p < spans[s].end; ++p) {
          if (spanOf[p] != kNone) return ErrInvalidCall;  // (a bad input gives the same)
          spanOf[p] = s;
        }
    }
    // Only a sort of several groups can have moved a face.
    if (sort && spans.size() > 1)
      for (uint32_t p = 0; p < P && identity; ++p) identity = order[p] == p;
    const auto spanAt = [&](uint32_t p) { return oneSpan ? 0u : spanOf[p]; };
    // Nodes start on a 64-byte boundary: two per cache line, never one across two.
    constexpr size_t kMaxNodes = (SIZE_MAX - 64) / sizeof(FaceNode);
    if (static_cast<size_t>(P) > kMaxNodes ||
        !nodeBlock.allocate(size_t(P) * sizeof(FaceNode) + 64))
      throw std::bad_alloc();
    nodes = reinterpret_cast<FaceNode*>(
        nodeBlock.get() + ((64 - reinterpret_cast<uintptr_t>(nodeBlock.get()) % 64) % 64));
    nodeOf.resize(P);
    if (!identity) {
      posOf.assign(F, kNone);
      for (uint32_t p = 0; p < P; ++p) posOf[order[p]] = p;
    }
    // The walk goes from face to neighbour, while positions follow the input order. So the
    // faces are kept in nodes laid out range by range (a range's nodes have the numbers of its
    // positions) and within a range by the first index of the face (keyed above): vertices are
    // usually numbered with some locality, so neighbours mostly sit near one another and the walk
    // stays in cache. Node numbers are seen by the walk only through the order in which faces enter
    // the lists, which stays the position order, so the result does not depend on the layout.
    // Positions outside every range keep their number as node.
    Vector<uint32_t>& next = keyCount;
    const auto key = [&](uint32_t p) { return layoutKey(order[p]); };
    uint32_t inRanges = P;
    if (!countWhileCompacting) {
      inRanges = 0;
      for (uint32_t p = 0; p < P; ++p)
        if (spanAt(p) != kNone) {
          ++next[key(p)];
          ++inRanges;
        }
    }
    uint32_t sum = 0;
    for (uint32_t& c : next) sum += std::exchange(c, sum);
    if (!oneSpan) {
      // Positions of the ranges by key, then stably range by range.
      WorkVector<uint32_t> byKey(inRanges);
      for (uint32_t p = 0; p < P; ++p)
        if (spanAt(p) != kNone) byKey[next[key(p)]++] = p;
      Vector<uint32_t> fill(spans.size());
      for (size_t r = 0; r < spans.size(); ++r) fill[r] = spans[r].first;
      for (uint32_t p = 0; p < P; ++p)
        if (spanOf[p] == kNone) nodeOf[p] = p;
      for (uint32_t p : byKey) nodeOf[p] = fill[spanOf[p]]++;
    }
    // Every node takes its face, its indices and its neighbours as face numbers, kNone where a
    // link cannot count (none, the face itself, a face outside every range or unused). With one
    // range the node of each position is found here, a few faces ahead so that its block is
    // fetched meanwhile.
    const bool rangesById = sort && !oneSpan;
    const auto place = [&](uint32_t p) {
      if (oneSpan) nodeOf[p] = next[key(p)]++;
      PrefetchWrite(&nodes[nodeOf[p]]);
      if (rangesById)
        for (uint32_t k = 0; k < 3; ++k) {
          const uint32_t m = in.adjacency[3 * size_t(order[p]) + k];
          if (m < F) Prefetch(&attr[m]);
        }
    };
    for (uint32_t p = 0; p < std::min(P, kAhead); ++p) place(p);
    bool bad = false;
    for (uint32_t p = 0; p < P; ++p) {
      if (p + kAhead < P) place(p + kAhead);
      const uint32_t f = order[p];
      FaceNode& node = nodes[nodeOf[p]];
      const uint32_t a = idx[3 * size_t(f)], b = idx[3 * size_t(f) + 1], c = idx[3 * size_t(f) + 2];
      node.v[0] = a;
      node.v[1] = b;
      node.v[2] = c;
      node.face = f;
      bad |= (a != kNone) & ((a >= V) | (b >= V) | (c >= V));
      const bool linked = spanAt(p) != kNone && a != kNone;
      uint32_t named = 0;
      for (uint32_t k = 0; k < 3; ++k) {
        uint32_t m = in.adjacency[3 * size_t(f) + k];
        bad |= (m != kNone) & (m >= F);
        named |= uint32_t(m != kNone) << k;
        // Sorted ranges are the faces of one id: a neighbour of another id is in another range,
        // which the id tells without looking up its node.
        if (!linked || m == f || (rangesById && m < F && attr[m] != attr[f])) m = kNone;
        node.nb[k] = m;
        node.back[k] = 0;
      }
      node.cut = static_cast<uint8_t>(named);
    }
    if (checkWhileBuilding && bad) return ErrInvalidCall;
    // Links become node numbers, each kept only when the neighbour lies in the same range and
    // names this face back across an edge with the same two indices (a range's nodes have the
    // numbers of its positions, so spanOf tells the range of a node too). Nodes before x hold
    // node numbers already, the ones after it still face numbers. Links are symmetric, so a
    // cleared link of a neighbour never hides a valid one.
    NeighbourLists lists(nodes, P);
    // (Instantiated for the common cases, where a face's position is its number and one range
    // holds every face.)
    const bool deep = P >= (1u << 17);
    const auto checkLinks = [&](auto sameNumbers, auto oneRange) {
      const auto positionOf = [&](uint32_t m) { return sameNumbers ? m : posOf[m]; };
      for (uint32_t x = 0; x < P; ++x) {
        // In stages ahead, once the nodes outgrow the caches: the neighbours' positions (unless
        // they are their numbers), their node numbers, then their nodes.
        if (deep && !sameNumbers && x + 3 * kAhead < P)
          for (uint32_t m : nodes[x + 3 * kAhead].nb)
            if (m != kNone) Prefetch(&posOf[m]);
        if (deep && x + 2 * kAhead < P)
          for (uint32_t m : nodes[x + 2 * kAhead].nb) {
            const uint32_t pos = m == kNone ? kNone : positionOf(m);
            if (pos != kNone) Prefetch(&nodeOf[pos]);
          }
        if (deep && x + kAhead < P)
          for (uint32_t m : nodes[x + kAhead].nb) {
            const uint32_t pos = m == kNone ? kNone : positionOf(m);
            if (pos != kNone) Prefetch(&nodes[nodeOf[pos]]);
          }
        FaceNode& node = nodes[x];
        const uint32_t v[3] = {node.v[0], node.v[1], node.v[2]};
        const uint32_t face = node.face;
        uint32_t nb[3] = {node.nb[0], node.nb[1], node.nb[2]};
        uint32_t kept = 0;  // bit k: link k counts
        for (uint32_t k = 0; k < 3; ++k) {
          const uint32_t m = nb[k];
          nb[k] = kNone;
          if (m == kNone) continue;
          const uint32_t pos = positionOf(m);  // kNone for a dropped face
          if (pos == kNone) continue;
          const uint32_t q = nodeOf[pos];
          if (!oneRange && spanOf[q] != spanOf[x]) continue;
          // The first edge of the neighbour that names this face with the same two indices is
          // the edge back (nearly always the one edge that names it).
          const FaceNode& other = nodes[q];
          const uint32_t self = q < x ? x : face;
          const uint32_t a = v[k], b = v[k == 2 ? 0 : k + 1];
          uint32_t naming = uint32_t(other.nb[0] == self) | uint32_t(other.nb[1] == self) << 1 |
                            uint32_t(other.nb[2] == self) << 2;
          for (; naming != 0; naming &= naming - 1) {
            const uint32_t j = static_cast<uint32_t>(std::countr_zero(naming));
            const uint32_t c = other.v[j], d = other.v[j == 2 ? 0 : j + 1];
            if ((c == b && d == a) || (c == a && d == b)) {
              nb[k] = q;
              node.back[k] = static_cast<uint8_t>(j);
              kept |= 1u << k;
              break;
            }
          }
        }
        node.nb[0] = nb[0];
        node.nb[1] = nb[1];
        node.nb[2] = nb[2];
        node.cut = static_cast<uint8_t>(node.cut & ~kept);
        lists.SetCount(x, static_cast<uint32_t>(std::popcount(kept)));
      }
    };
    if (identity && oneSpan)
      checkLinks(std::true_type{}, std::true_type{});
    else if (identity)
      checkLinks(std::true_type{}, std::false_type{});
    else if (oneSpan)
      checkLinks(std::false_type{}, std::true_type{});
    else
      checkLinks(std::false_type{}, std::false_type{});
    bool useCache = (flags & OF::VertexCache) != 0;
    uint32_t size = in.cacheSize, magic = in.cacheMagic;
    if (flags & OF::DeviceIndependent) {
      size = 12;
      magic = 7;
    } else if (useCache && size == 0) {
      useCache = false;
    }
    // With one range holding every face, the faces are emitted in position order and nearly
    // every link counts: the walk writes the new indices and adjacency. Otherwise later passes
    // do (the new indices from the nodes position by position, the adjacency from the input).
    const bool indicesByWalk = oneSpan && !keepVerts;
    linksByWalk = oneSpan && in.wantAdjacency;
    if (!indicesByWalk) seq.resize(P);
    newPos.resize(P);
    // Positions outside every range keep their face.
    if (!sort)
      for (uint32_t p = 0; p < P; ++p)
        if (spanOf[p] == kNone) seq[p] = newPos[p] = p;
    Reorderer ro(nodes, lists, nodeOf.data(), order.data(), indicesByWalk ? nullptr : seq.data(),
                 newPos.data());
    if (indicesByWalk) {
      ro.vmap = vmap.data();
      ro.indices = &out.indices;
      out.indices.reserve(size_t(P) * 3);
      vertexSpans.resize(spans.size());
    }
    if (linksByWalk) {
      out.adjacency.resize(size_t(P) * 3);
      ro.adjacency = out.adjacency.data();
      ro.cutNodes = &cutNodes;
    }
    CacheModel cache(useCache ? Vc : 0, size);
    for (size_t r = 0; r < spans.size(); ++r) {
      const Span& s = spans[r];
      ro.next = s.first;
      ro.span = VertexSpan{};
      if (useCache)
        ro.VertexCache(s.first, s.end, cache, int64_t(size) - int64_t(magic));
      else
        ro.Strip(s.first, s.end);
      if (indicesByWalk) vertexSpans[r] = ro.span;
    }
    nv = ro.nv;
    indicesMade = indicesByWalk;
  }
  // Indices of the face at each position.
  const auto facePlaced = [&](uint32_t p) -> const uint32_t* {
    return reorder ? nodes[seq[p]].v : &idx[3 * size_t(order[p])];
  };

  // After a reorder the old faces' new positions: when the faces kept their numbers as
  // positions, looked up through their nodes (reading in sequence, one scattered read each),
  // else written to each face from its new position.
  if (reorder && identity) {
    out.faceOldToNew.reserve(F);
    for (uint32_t f = 0; f < F; ++f) {
      if (f + 16 < F) Prefetch(&newPos[nodeOf[f + 16]]);
      out.faceOldToNew.push_back(newPos[nodeOf[f]]);
    }
  } else if (reorder) {
    out.faceOldToNew.assign(F, kNone);
    for (uint32_t p = 0; p < P; ++p) {
      if (p + 16 < P) Prefetch(&out.faceOldToNew[order[p + 16]]);
      out.faceOldToNew[order[p]] = p;
    }
  }
  // Then the links that did not count are looked up in the input.
  if (linksByWalk) {
    // (Gathers from the input: fetched in two stages ahead, the rows, then their faces' places.)
    const size_t cuts = cutNodes.size();
    for (size_t i = 0; i < cuts; ++i) {
      if (i + 2 * kAhead < cuts)
        Prefetch(&in.adjacency[3 * size_t(nodes[cutNodes[i + 2 * kAhead]].face)]);
      if (i + kAhead < cuts) {
        const FaceNode& ahead = nodes[cutNodes[i + kAhead]];
        for (uint32_t k = 0; k < 3; ++k)
          if (ahead.cut & (1u << k))
            Prefetch(&out.faceOldToNew[in.adjacency[3 * size_t(ahead.face) + k]]);
      }
      const uint32_t x = cutNodes[i];
      const FaceNode& node = nodes[x];
      for (uint32_t k = 0; k < 3; ++k)
        if (node.cut & (1u << k))
          out.adjacency[3 * size_t(newPos[x]) + k] =
              out.faceOldToNew[in.adjacency[3 * size_t(node.face) + k]];
    }
  }

  // Vertex numbering: the identity when vertices are kept, first use after a reorder, group by
  // group after a sort, else the used vertices in ascending order.
  if (keepVerts) {
    for (uint32_t v = 0; v < Vc; ++v) vmap[v] = v;
    nv = Vc;
  } else if (indicesMade) {
    // (Numbered by the walk.)
  } else if (reorder) {
    // The new indices are written while the vertices are numbered; a face without indices is
    // mapped once every vertex has its number. Sorted ranges follow one another in position
    // order, each taking its vertex span on the way.
    out.indices.reserve(size_t(P) * 3);
    if (sort) vertexSpans.resize(spans.size());
    bool unusedFaces = false;
    for (uint32_t s = 0, p = 0; p < P; ++s) {
      const uint32_t end = sort ? spans[s].end : P;
      VertexSpan span;
      for (; p < end; ++p) {
        if (p + 8 < P) Prefetch(&nodes[seq[p + 8]]);
        const uint32_t* t = nodes[seq[p]].v;
        uint32_t n[3] = {t[0], t[1], t[2]};
        if (t[0] == kNone) {
          unusedFaces = true;
        } else {
          for (uint32_t& v : n) {
            uint32_t& m = vmap[v];
            if (m == kNone) m = nv++;
            v = m;
          }
          span.lo = std::min({span.lo, n[0], n[1], n[2]});
          span.hi = std::max({span.hi, n[0], n[1], n[2]});
        }
        out.indices.push_back(n[0]);
        out.indices.push_back(n[1]);
        out.indices.push_back(n[2]);
      }
      if (sort) vertexSpans[s] = span;
    }
    if (keepAll)
      for (uint32_t v = 0; v < Vc; ++v)
        if (vmap[v] == kNone) vmap[v] = nv++;
    if (unusedFaces)
      for (uint32_t p = 0; p < P; ++p) {
        const uint32_t* t = nodes[seq[p]].v;
        if (t[0] == kNone)
          for (uint32_t c = 1; c < 3; ++c)
            if (t[c] < Vc) out.indices[3 * size_t(p) + c] = vmap[t[c]];
      }
    indicesMade = true;
  } else if (keepAll) {
    for (uint32_t v = 0; v < Vc; ++v) vmap[v] = v;
    nv = Vc;
  } else if (sort && table.size() > 1) {
    // (With one group this is the ascending order of the used vertices, below.)
    Vector<uint32_t> group(Vc, kNone);
    Vector<uint32_t> start(table.size() + 1, 0);
    for (uint32_t g = 0; g < table.size(); ++g)
      for (uint32_t p = spans[g].first; p < spans[g].end; ++p)
        for (int c = 0; c < 3; ++c) {
          uint32_t v = idx[3 * order[p] + c];
          if (group[v] == kNone) {
            group[v] = g;
            ++start[g + 1];
          }
        }
    for (size_t g = 0; g < table.size(); ++g) start[g + 1] += start[g];
    for (uint32_t v = 0; v < Vc; ++v)
      if (group[v] != kNone) vmap[v] = start[group[v]]++;
    nv = start[table.size()];
  } else {
    for (uint32_t f : order)
      for (int c = 0; c < 3; ++c) vmap[idx[3 * f + c]] = 0;
    for (uint32_t v = 0; v < Vc; ++v)
      if (vmap[v] != kNone) vmap[v] = nv++;
  }
  if (nv == 0) return ErrMeshWithoutData;

  out.faceCount = P;
  out.vertexCount = nv;
  out.vertexNewToOld.assign(nv, kNone);
  bool moved = nv != V;
  for (uint32_t v = 0; v < Vc; ++v) {
    uint32_t n = vmap[v];
    if (n == kNone) continue;
    out.vertexNewToOld[n] = v < V ? v : source[v - V];
    moved = moved || n != v;
  }
  out.verticesMoved = moved;

  // Faces kept in place (no face dropped or moved) and vertices kept in place make plain copies.
  bool facesInPlace = P == F;
  for (uint32_t p = 0; p < P && facesInPlace; ++p) facesInPlace = order[p] == p;
  if (facesInPlace) {
    if (!reorder) out.faceOldToNew.assign(order.begin(), order.end());
    out.attributes.assign(attr, attr + F);
  } else {
    out.attributes.resize(P);
    if (!reorder) {
      out.faceOldToNew.assign(F, kNone);
      for (uint32_t p = 0; p < P; ++p) {
        if (p + 16 < P) Prefetch(&out.faceOldToNew[order[p + 16]]);
        out.faceOldToNew[order[p]] = p;
      }
    }
    if (sort) {
      // Every face of a sorted range carries the range's id.
      for (const AttributeRange& r : table)
        std::fill_n(out.attributes.begin() + r.firstFace, r.faceCount, r.attributeId);
    } else {
      for (uint32_t p = 0; p < P; ++p) out.attributes[p] = attr[order[p]];
    }
  }
  if (indicesMade) {
    // (Written with the vertex numbers.)
  } else if (facesInPlace && !moved) {
    out.indices.assign(idx, idx + size_t(F) * 3);
  } else {
    out.indices.resize(size_t(P) * 3);
    for (uint32_t p = 0; p < P; ++p) {
      if (!reorder && p + 16 < P) Prefetch(&idx[3 * size_t(order[p + 16])]);
      const uint32_t* t = facePlaced(p);
      for (int c = 0; c < 3; ++c) out.indices[3 * size_t(p) + c] = t[c] < Vc ? vmap[t[c]] : t[c];
    }
  }

  // Vertex ranges: kept from the old table only while they still name the same vertices.
  if (out.tableValid && (moved || sort)) {
    for (size_t e = 0; e < table.size(); ++e) {
      AttributeRange& r = table[e];
      if (!moved && r.vertexCount != kNone && (keepAll || (flags & OF::KeepTableOrder))) continue;
      uint32_t lo = kNone, hi = 0;
      if (!vertexSpans.empty()) {
        lo = vertexSpans[e].lo;
        hi = vertexSpans[e].hi;
      } else {
        for (uint32_t p = r.firstFace; p < r.firstFace + r.faceCount; ++p) {
          if (out.indices[3 * p] == kNone) continue;
          for (int c = 0; c < 3; ++c) {
            lo = std::min(lo, out.indices[3 * p + c]);
            hi = std::max(hi, out.indices[3 * p + c]);
          }
        }
      }
      r.firstVertex = lo == kNone ? 0 : lo;
      r.vertexCount = lo == kNone ? 0 : hi - lo + 1;
    }
  }
  out.table.swap(table);

  if (linksByWalk) {
    // (Written by the walk.)
  } else if (in.wantAdjacency && in.adjacency && facesInPlace) {
    out.adjacency.assign(in.adjacency, in.adjacency + size_t(F) * 3);
  } else if (in.wantAdjacency && in.adjacency) {
    // Walked in old face order, so that the input is read in sequence and each kept face's
    // row is written to its new place (every position has exactly one old face).
    out.adjacency.resize(size_t(P) * 3);
    const uint32_t* oldToNew = out.faceOldToNew.data();
    for (uint32_t f = 0; f < F; ++f) {
      if (f + 16 < F)
        for (int k = 0; k < 3; ++k) {
          const uint32_t n = in.adjacency[3 * size_t(f + 16) + k];
          if (n != kNone) Prefetch(&oldToNew[n]);
        }
      const uint32_t p = oldToNew[f];
      if (p == kNone) continue;
      for (int k = 0; k < 3; ++k) {
        const uint32_t n = in.adjacency[3 * size_t(f) + k];
        out.adjacency[3 * size_t(p) + k] = n == kNone ? kNone : oldToNew[n];
      }
    }
  }
  out.faceNewToOld.swap(order);
  return Ok;
}

}  // namespace lyr::meshopt
