// The animation controller: outputs, sets, tracks, mixing, scheduled changes and time advance.
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>

#include "anim/anim_internal.h"
#include "anim/interpolator_impl.h"
#include "anim/mix.h"
#include "anim/names.h"
#include "core/object_impl.h"
#include "math/math_util.h"

namespace lyr {
namespace {

// "No active change ends sooner." Infinity rather than the largest finite value, so that a time
// beyond every finite value still ends the advance (the loop stops when it reaches the target).
constexpr double kNoEnd = std::numeric_limits<double>::infinity();

enum EventKind : uint32_t { kSpeed = 0, kWeight = 1, kPosition = 2, kEnabled = 3, kKinds = 4 };

struct Event {
  uint32_t track;
  double start;
  double end;
  uint32_t kind;
  uint32_t transition;
  double startValue;
  double targetValue;
  uint32_t enabledValue;
  Event* next;
};

// Pending changes ordered by start, the change of each kind under way, and the earliest end of
// those (kNoEnd when none).
struct EventState {
  Event* pending;
  Event* active[kKinds];
  double nextEnd;
};

// The weighted sums of one priority class for one output. The rotation is kept apart, with the
// output's other rotations, so that the blends of a group can run side by side.
struct ClassSum {
  float sum = 0.0f;
  Vector3 scale{}, trans{};
  bool hasRot = false;

  // Adds a sample's weight, scale and translation. The rotation is the caller's: the first of
  // the class is taken as it is, each later one blended in by Slerp(rot, r, w / sum).
  void Add(float w, const Vector3& s, const Vector3& tr) {
    sum += w;
    scale.x += w * s.x;
    scale.y += w * s.y;
    scale.z += w * s.z;
    trans.x += w * tr.x;
    trans.y += w * tr.y;
    trans.z += w * tr.z;
  }
  // The sums divided by the weight unless it is 1: one division rather than six, agreeing to
  // within an ulp.
  void Normalized(Vector3* s, Vector3* tr) const {
    if (sum == 1.0f) {
      *s = scale;
      *tr = trans;
      return;
    }
    const float inv = 1.0f / sum;
    *s = {scale.x * inv, scale.y * inv, scale.z * inv};
    *tr = {trans.x * inv, trans.y * inv, trans.z * inv};
  }
};

// One output of a group being mixed.
struct MixLane {
  uint32_t output;
  Matrix* target;
  ClassSum sums[2];
  Quaternion rot[2];     // the rotation of each class so far
  Quaternion sample;     // the current track's sample rotation, at the end the mixed rotation
  Vector3 scale, trans;  // the mixed scale and translation
  bool present;          // the current track samples this output; at the end: it is written
  bool conjugate;        // `sample` is still to be conjugated (sampled with the blend deferred)

  void Reset(uint32_t o, Matrix* m) {
    output = o;
    target = m;
    sums[0] = sums[1] = ClassSum{};
  }
};

// Scaling(s) * Rotation(r) * Translation(tr): the rotation matrix of r (the same expressions as
// MatrixFromQuaternion) with its rows scaled and the translation in the fourth row, without the
// three full products.
void WriteMatrix(Matrix* target, const Vector3& s, const Quaternion& r, const Vector3& tr) {
  const float xx = r.x * r.x, yy = r.y * r.y, zz = r.z * r.z;
  const float xy = r.x * r.y, xz = r.x * r.z, yz = r.y * r.z;
  const float wx = r.w * r.x, wy = r.w * r.y, wz = r.w * r.z;
  Matrix& m = *target;
  m.m[0][0] = (1 - 2 * yy - 2 * zz) * s.x;
  m.m[0][1] = (2 * xy + 2 * wz) * s.x;
  m.m[0][2] = (2 * xz - 2 * wy) * s.x;
  m.m[0][3] = 0.0f;
  m.m[1][0] = (2 * xy - 2 * wz) * s.y;
  m.m[1][1] = (1 - 2 * xx - 2 * zz) * s.y;
  m.m[1][2] = (2 * yz + 2 * wx) * s.y;
  m.m[1][3] = 0.0f;
  m.m[2][0] = (2 * xz + 2 * wy) * s.z;
  m.m[2][1] = (2 * yz - 2 * wx) * s.z;
  m.m[2][2] = (1 - 2 * xx - 2 * yy) * s.z;
  m.m[2][3] = 0.0f;
  m.m[3][0] = tr.x;
  m.m[3][1] = tr.y;
  m.m[3][2] = tr.z;
  m.m[3][3] = 1.0f;
}

struct OutputSlot {
  char* name;  // null: the slot is empty
  Matrix* target;
};

double Curve(uint32_t transition, double from, double to, double h) {
  if (transition == TransitionEaseInOut) return from + (to - from) * (3.0 - 2.0 * h) * h * h;
  return from + (to - from) * h;
}

// Progress of a change at time e: 1 for a change without duration.
double Progress(const Event& ev, double e) {
  const double u = ev.end - ev.start;
  return u > 0.0 ? (e - ev.start) / u : 1.0;
}

bool FitsSize(uint64_t n) {
  return n <= std::numeric_limits<size_t>::max();
}

class Controller final : public Object<Controller, AnimationController> {
 public:
  Controller(uint32_t maxOutputs, uint32_t maxSets, uint32_t maxTracks, uint32_t maxEvents)
      : maxOutputs_(maxOutputs), maxSets_(maxSets), maxTracks_(maxTracks), maxEvents_(maxEvents) {}

  ~Controller() {
    if (outputs_) {
      for (uint32_t o = 0; o < maxOutputs_; ++o) Free(outputs_[o].name);
    }
    if (lookup_) {
      for (uint64_t i = 0; i < uint64_t{maxSets_} * maxOutputs_; ++i) {
        if (lookup_[i].it) lookup_[i].it->Release();
      }
    }
    if (sets_) {
      for (uint32_t s = 0; s < maxSets_; ++s) {
        if (sets_[s]) sets_[s]->Release();
      }
    }
    Free(outputs_);
    Free(sets_);
    Free(lookup_);
    Free(hostEntries_);
    Free(tracks_);
    Free(trackSet_);
    Free(trackEvents_);
    Free(mixTracks_);
    Free(pool_);
  }

  // Allocates every array; false when an allocation fails (the destructor frees what was made).
  bool Init() {
    // The lookup table is the largest block: refuse before allocating anything when its size
    // cannot be expressed.
    const uint64_t rows = uint64_t{maxSets_} + 1;
    if (!FitsSize(rows) || !FitsSize(rows * maxOutputs_) ||
        rows * maxOutputs_ > std::numeric_limits<size_t>::max() / sizeof(LookupEntry)) {
      return false;
    }
    outputs_ = static_cast<OutputSlot*>(AllocZeroedArray(maxOutputs_, sizeof(OutputSlot)));
    if (!outputs_) return false;
    sets_ = static_cast<AnimationSet**>(AllocZeroedArray(size_t(rows), sizeof(AnimationSet*)));
    if (!sets_) return false;
    lookup_ = static_cast<LookupEntry*>(
        AllocZeroedArray(size_t(rows * maxOutputs_), sizeof(LookupEntry)));
    if (!lookup_) return false;
    hostEntries_ = static_cast<uint32_t*>(AllocZeroedArray(size_t(rows), sizeof(uint32_t)));
    if (!hostEntries_) return false;
    tracks_ = static_cast<TrackState*>(AllocZeroedArray(maxTracks_, sizeof(TrackState)));
    if (!tracks_) return false;
    trackSet_ = static_cast<uint32_t*>(AllocArray(maxTracks_, sizeof(uint32_t)));
    if (!trackSet_) return false;
    for (uint32_t t = 0; t < maxTracks_; ++t) trackSet_[t] = maxSets_;
    trackEvents_ = static_cast<EventState*>(AllocArray(maxTracks_, sizeof(EventState)));
    if (!trackEvents_) return false;
    for (uint32_t t = 0; t < maxTracks_; ++t) ResetEvents(trackEvents_[t]);
    ResetEvents(blendEvents_);
    mixTracks_ = static_cast<MixTrack*>(AllocArray(maxTracks_, sizeof(MixTrack)));
    if (!mixTracks_) return false;
    pool_ = static_cast<Event*>(AllocArray(maxEvents_, sizeof(Event)));
    if (!pool_) return false;
    for (uint32_t i = maxEvents_; i-- > 0;) ReturnEvent(&pool_[i]);
    return true;
  }

  // ---- Outputs and sets ------------------------------------------------------------------------

  LyrResult LYR_CALL RegisterOutput(const char* name, Matrix* target) override {
    if (!name) return ErrInvalidCall;
    return Guard([&]() -> LyrResult {
      uint32_t candidate = usedOutputs_;
      for (uint32_t o = 0; o < usedOutputs_; ++o) {
        OutputSlot& slot = outputs_[o];
        if (!slot.name) {
          candidate = o;
          continue;
        }
        if (std::strcmp(slot.name, name) != 0) continue;
        slot.target = target;
        if (target) return Ok;
        RemoveOutput(o);
        return Ok;
      }
      if (!target) return Ok;
      if (candidate == maxOutputs_) return ErrInvalidCall;
      char* copy = CopyName(name);
      if (!copy) return ErrOutOfMemory;
      outputs_[candidate] = {copy, target};
      if (candidate == usedOutputs_) ++usedOutputs_;
      // The result is the first failed lookup, or else the last lookup's. A failed lookup does
      // not end the loop: the later sets' entries are still filled, or those sets could never
      // animate the output.
      LyrResult result = Ok, failure = Ok;
      for (uint32_t s = 0; s < setCount_; ++s) {
        KeyFrameInterpolator* found = nullptr;
        result = sets_[s]->FindInterpolator(copy, &found);
        if (Failed(result)) {
          if (Succeeded(failure)) failure = result;
          continue;
        }
        Fill(s, candidate, found);
      }
      return Failed(failure) ? failure : result;
    });
  }

  uint32_t LYR_CALL SetCount() override { return setCount_; }

  LyrResult LYR_CALL SetAt(uint32_t index, AnimationSet** out) override {
    if (index >= setCount_ || !out) return ErrInvalidCall;
    sets_[index]->AddRef();
    *out = sets_[index];
    return Ok;
  }

  LyrResult LYR_CALL RegisterSet(AnimationSet* set) override {
    if (!set || setCount_ == maxSets_) return ErrInvalidCall;
    return Guard([&]() -> LyrResult {
      const uint32_t s = setCount_++;
      set->AddRef();
      sets_[s] = set;
      for (uint32_t o = 0; o < usedOutputs_; ++o) {
        if (!outputs_[o].name) continue;
        KeyFrameInterpolator* found = nullptr;
        if (Succeeded(set->FindInterpolator(outputs_[o].name, &found))) Fill(s, o, found);
      }
      return Ok;
    });
  }

  LyrResult LYR_CALL UnregisterSet(AnimationSet* set) override {
    const uint32_t i = IndexOf(set);
    if (i == setCount_) return ErrInvalidCall;
    const uint32_t last = --setCount_;
    set->Release();
    sets_[i] = sets_[last];
    sets_[last] = nullptr;
    for (uint32_t o = 0; o < usedOutputs_; ++o) {
      Clear(i, o);
      Lookup(i, o) = Lookup(last, o);
      Lookup(last, o) = {};
    }
    hostEntries_[i] = hostEntries_[last];
    hostEntries_[last] = 0;
    for (uint32_t t = 0; t < usedTracks_; ++t) {
      if (trackSet_[t] == i) trackSet_[t] = maxSets_;
      if (trackSet_[t] == last) trackSet_[t] = i;
    }
    return Ok;
  }

  // ---- Tracks ----------------------------------------------------------------------------------

  uint32_t LYR_CALL MaxTracks() override { return maxTracks_; }

  LyrResult LYR_CALL GetTrackState(uint32_t track, TrackState* out) override {
    if (track >= maxTracks_ || !out) return ErrInvalidCall;
    *out = tracks_[track];
    return Ok;
  }
  LyrResult LYR_CALL SetTrackState(uint32_t track, const TrackState* state) override {
    if (track >= maxTracks_ || !state) return ErrInvalidCall;
    tracks_[track] = *state;
    return Ok;
  }

  LyrResult LYR_CALL GetTrackSet(uint32_t track, AnimationSet** out) override {
    if (track >= maxTracks_ || !out) return ErrInvalidCall;
    AnimationSet* set = sets_[trackSet_[track]];  // index maxSets holds null
    if (set) set->AddRef();
    *out = set;
    return Ok;
  }

  LyrResult LYR_CALL SetTrackSet(uint32_t track, AnimationSet* set) override {
    if (!set || track >= maxTracks_) return ErrInvalidCall;
    const uint32_t s = IndexOf(set);
    if (s == setCount_) return ErrInvalidCall;
    trackSet_[track] = s;
    if (track + 1 > usedTracks_) usedTracks_ = track + 1;
    return Ok;
  }

  LyrResult LYR_CALL SetTrackSpeed(uint32_t track, float speed) override {
    return SetField(track, &TrackState::speed, speed);
  }
  LyrResult LYR_CALL SetTrackWeight(uint32_t track, float weight) override {
    return SetField(track, &TrackState::weight, weight);
  }
  LyrResult LYR_CALL SetTrackPosition(uint32_t track, double position) override {
    return SetField(track, &TrackState::position, position);
  }
  LyrResult LYR_CALL SetTrackEnabled(uint32_t track, uint32_t enabled) override {
    return SetField(track, &TrackState::enabled, enabled);
  }

  // ---- Time ------------------------------------------------------------------------------------

  double LYR_CALL Time() override { return time_; }

  LyrResult LYR_CALL SetTime(double time) override {
    if (std::isnan(time)) return ErrInvalidCall;
    const double old = time_;
    AdvanceBlend(time);
    for (uint32_t t = 0; t < maxTracks_; ++t) AdvanceTrack(t, old, time);
    time_ = time;
    return Guard([&] { return Mix(); });
  }

  LyrResult LYR_CALL Clone(uint32_t maxOutputs, uint32_t maxSets, uint32_t maxTracks,
                           uint32_t maxEvents, AnimationController** out) override;

  uint32_t LYR_CALL MaxOutputs() override { return maxOutputs_; }
  uint32_t LYR_CALL MaxEvents() override { return maxEvents_; }
  uint32_t LYR_CALL MaxSets() override { return maxSets_; }

  // ---- Scheduled changes -----------------------------------------------------------------------

  LyrResult LYR_CALL KeySpeed(uint32_t track, float speed, double start, double duration,
                              uint32_t transition) override {
    if (track >= maxTracks_) return ErrInvalidCall;
    return Key(trackEvents_[track], track, kSpeed, start, duration, transition, speed, 0);
  }
  LyrResult LYR_CALL KeyWeight(uint32_t track, float weight, double start, double duration,
                               uint32_t transition) override {
    if (track >= maxTracks_) return ErrInvalidCall;
    return Key(trackEvents_[track], track, kWeight, start, duration, transition, weight, 0);
  }
  LyrResult LYR_CALL KeyPosition(uint32_t track, double position, double time) override {
    if (track >= maxTracks_) return ErrInvalidCall;
    const LyrResult r = Key(trackEvents_[track], track, kPosition, time, 0.0, 0, position, 0);
    if (Succeeded(r)) tracks_[track].position = position;
    return r;
  }
  LyrResult LYR_CALL KeyEnabled(uint32_t track, uint32_t enabled, double time) override {
    if (track >= maxTracks_) return ErrInvalidCall;
    return Key(trackEvents_[track], track, kEnabled, time, 0.0, 0, 0.0, enabled);
  }

  float LYR_CALL PriorityBlend() override { return priorityBlend_; }
  LyrResult LYR_CALL SetPriorityBlend(float blend) override {
    if (!(blend >= 0.0f && blend <= 1.0f)) return ErrInvalidCall;
    priorityBlend_ = blend;
    return Ok;
  }
  LyrResult LYR_CALL KeyPriorityBlend(float blend, double start, double duration,
                                      uint32_t transition) override {
    return Key(blendEvents_, 0, kSpeed, start, duration, transition, blend, 0);
  }

  // The object's own destruction, the last slot of its table; the last Release has the same
  // effect.
  void LYR_CALL Destroy() override { Delete(this); }

 private:
  static void* AllocZeroedArray(size_t count, size_t size) {
    if (size && count > std::numeric_limits<size_t>::max() / size) return nullptr;
    return AllocZeroed(count * size);
  }
  static void ResetEvents(EventState& st) {
    st.pending = nullptr;
    for (Event*& a : st.active) a = nullptr;
    st.nextEnd = kNoEnd;
  }

  LookupEntry& Lookup(uint32_t set, uint32_t output) {
    return lookup_[size_t{set} * maxOutputs_ + output];
  }
  // Entry [set][output] = `it` (whose reference it takes over) or null.
  void Fill(uint32_t set, uint32_t output, KeyFrameInterpolator* it) {
    const bool own = it && IsOwnInterpolator(it);
    Lookup(set, output) = {it, own};
    if (it && !own) ++hostEntries_[set];
  }
  void Clear(uint32_t set, uint32_t output) {
    LookupEntry& e = Lookup(set, output);
    if (!e.it) return;
    if (!e.own) --hostEntries_[set];
    e.it->Release();
    e = {};
  }

  // The index of the first registration of `set`, or setCount when it is not registered.
  uint32_t IndexOf(const AnimationSet* set) const {
    uint32_t s = 0;
    if (!set) return setCount_;
    while (s < setCount_ && sets_[s] != set) ++s;
    return s;
  }

  template <class T, class V>
  LyrResult SetField(uint32_t track, T TrackState::*field, V value) {
    if (track >= maxTracks_) return ErrInvalidCall;
    tracks_[track].*field = value;
    return Ok;
  }

  void RemoveOutput(uint32_t o) {
    Free(outputs_[o].name);
    outputs_[o] = {nullptr, nullptr};
    for (uint32_t s = 0; s < setCount_; ++s) Clear(s, o);
    while (usedOutputs_ > 0 && !outputs_[usedOutputs_ - 1].name) --usedOutputs_;
  }

  // ---- Event pool and lists --------------------------------------------------------------------

  Event* TakeEvent() {
    Event* e = free_;
    if (e) free_ = e->next;
    return e;
  }
  void ReturnEvent(Event* e) {
    e->next = free_;
    free_ = e;
  }
  // Inserts after every pending event that starts at the same time or earlier.
  static void InsertPending(EventState& st, Event* e) {
    Event** link = &st.pending;
    while (*link && (*link)->start <= e->start) link = &(*link)->next;
    e->next = *link;
    *link = e;
  }

  LyrResult Key(EventState& st, uint32_t track, EventKind kind, double start, double duration,
                uint32_t transition, double target, uint32_t enabledValue) {
    const double end = start + duration;
    // A NaN or infinite start would sit at the head of the pending list for ever and hold back
    // every later change of the track.
    if (!std::isfinite(start) || std::isnan(end)) return ErrInvalidCall;
    Event* e = TakeEvent();
    if (!e) return ErrInvalidCall;
    *e = {track, start, end, kind, transition, 0.0, target, enabledValue, nullptr};
    InsertPending(st, e);
    if (kind == kSpeed || kind == kWeight) {
      if (st.active[kind] && st.active[kind]->end > start) {
        ReturnEvent(st.active[kind]);
        st.active[kind] = nullptr;
      }
      for (Event** link = &st.pending; *link != e && (*link)->start <= start;
           link = &(*link)->next) {
        Event* p = *link;
        if (p->kind == kind && p->end > start) {
          *link = p->next;
          ReturnEvent(p);
          break;
        }
      }
    }
    return Ok;
  }

  // Moves every pending event that starts at or before e into the active slot of its kind.
  template <class StartValue>
  void Activate(EventState& st, double e, StartValue startValue) {
    while (st.pending && st.pending->start <= e) {
      Event* p = st.pending;
      st.pending = p->next;
      p->next = nullptr;
      if (st.active[p->kind]) ReturnEvent(st.active[p->kind]);
      p->startValue = startValue(p->kind);
      st.active[p->kind] = p;
    }
  }

  static double StartOrPending(const EventState& st, double e) {
    return (st.pending && st.pending->start <= e) ? st.pending->start : e;
  }

  void AdvanceBlend(double to) {
    EventState& st = blendEvents_;
    double e = StartOrPending(st, std::min(to, st.nextEnd));
    while (e <= to) {
      Event* a = st.active[0];
      if (a) {
        priorityBlend_ = static_cast<float>(
            Curve(a->transition, a->startValue, a->targetValue, Progress(*a, e)));
        if (e == st.nextEnd && a->end <= e) {
          ReturnEvent(a);
          st.active[0] = nullptr;
        }
      }
      if (st.pending && st.pending->start == e) {
        Activate(st, e, [&](uint32_t) { return double{priorityBlend_}; });
      } else if (e == to) {
        break;
      }
      st.nextEnd = st.active[0] ? st.active[0]->end : kNoEnd;
      e = StartOrPending(st, std::min(to, st.nextEnd));
    }
  }

  void AdvanceTrack(uint32_t t, double from, double to) {
    EventState& st = trackEvents_[t];
    TrackState& ts = tracks_[t];
    double l = from;
    double e = std::min(to, st.nextEnd);
    for (;;) {
      e = StartOrPending(st, e);
      if (e > to) break;
      const double g = e - l;
      double d;
      if (const Event* s = st.active[kSpeed]) {
        const double u = s->end - s->start;
        const double h = Progress(*s, e);
        const double a = s->startValue, dv = s->targetValue - s->startValue;
        double speed;
        if (s->transition == TransitionEaseInOut) {
          speed = a + dv * (3.0 - 2.0 * h) * h * h;
          auto integral = [&](double x) { return x * (a + dv * x * x * (1.0 - x / 2.0)); };
          const double hl = (l > s->start && u > 0.0) ? (l - s->start) / u : 0.0;
          d = u * (integral(h) - integral(hl));
        } else {
          speed = a + dv * h;
          d = (double{ts.speed} + speed) * g * 0.5;
        }
        ts.speed = static_cast<float>(speed);
      } else {
        d = g * ts.speed;
      }
      if (const Event* w = st.active[kWeight]) {
        ts.weight = static_cast<float>(
            Curve(w->transition, w->startValue, w->targetValue, Progress(*w, e)));
      }
      const Event* pos = st.active[kPosition];
      const Event* en = st.active[kEnabled];
      if (pos || en) {
        if (pos) ts.position = pos->targetValue;
        if (en) ts.enabled = en->enabledValue;
      } else if (ts.enabled) {
        ts.position += d;
      }
      if (e == st.nextEnd) {
        for (Event*& a : st.active) {
          if (a && a->end <= e) {
            ReturnEvent(a);
            a = nullptr;
          }
        }
      }
      if (st.pending && st.pending->start == e) {
        Activate(st, e, [&](uint32_t kind) {
          return kind == kSpeed ? double{ts.speed} : kind == kWeight ? double{ts.weight} : 0.0;
        });
      } else if (e == to) {
        break;
      }
      double nextEnd = kNoEnd;
      for (const Event* a : st.active) {
        if (a && a->end < nextEnd) nextEnd = a->end;
      }
      st.nextEnd = nextEnd;
      l = e;
      e = std::min(to, nextEnd);
    }
  }

  // ---- Mixing ----------------------------------------------------------------------------------

  LyrResult Mix();
  // The scalar form of the group mix, for groups with a host's interpolator and for builds
  // without lanes.
  LyrResult MixGroup(const uint32_t* outputs, Matrix* const* targets, uint32_t count,
                     uint32_t nTracks);

  friend LyrResult CreateController(uint32_t, uint32_t, uint32_t, uint32_t, Controller**);

  const uint32_t maxOutputs_, maxSets_, maxTracks_, maxEvents_;
  OutputSlot* outputs_ = nullptr;
  uint32_t usedOutputs_ = 0;
  AnimationSet** sets_ = nullptr;  // maxSets + 1 entries, the last always null
  uint32_t setCount_ = 0;
  LookupEntry* lookup_ = nullptr;    // (maxSets + 1) rows of maxOutputs entries
  uint32_t* hostEntries_ = nullptr;  // per row of the lookup table: its host interpolators
  TrackState* tracks_ = nullptr;
  uint32_t* trackSet_ = nullptr;  // maxSets: no set
  uint32_t usedTracks_ = 0;
  double time_ = 0.0;
  float priorityBlend_ = 0.0f;
  EventState* trackEvents_ = nullptr;
  EventState blendEvents_{};
  MixTrack* mixTracks_ = nullptr;  // scratch: the tracks that take part in one mix
  Event* pool_ = nullptr;
  Event* free_ = nullptr;
};

LyrResult CreateController(uint32_t maxOutputs, uint32_t maxSets, uint32_t maxTracks,
                           uint32_t maxEvents, Controller** out) {
  auto* c = New<Controller>(maxOutputs, maxSets, maxTracks, maxEvents);
  if (!c) return ErrOutOfMemory;
  if (!c->Init()) {
    c->Destroy();
    return ErrOutOfMemory;
  }
  *out = c;
  return Ok;
}

LyrResult Controller::Mix() {
  // What each output needs of a track, gathered once rather than per output.
  uint32_t n = 0;
  bool allOwn = true;  // every interpolator the tracks play is this library's own
  for (uint32_t t = 0; t < usedTracks_; ++t) {
    const TrackState& ts = tracks_[t];
    if (ts.enabled != 0 && std::bit_cast<uint32_t>(ts.weight) != 0 && trackSet_[t] != maxSets_) {
      mixTracks_[n++] = {&Lookup(trackSet_[t], 0),
                         ts.position,
                         ts.weight,
                         ts.priority & 1u,
                         std::numeric_limits<double>::quiet_NaN(),
                         0.0};
      allOwn = allOwn && hostEntries_[trackSet_[t]] == 0;
    }
  }
  if (n == 0) return Ok;
  // Outputs go in groups whose interpolators are all this library's own. An output with a host's
  // interpolator forms a group of its own, so that when its sample fails exactly the outputs
  // before it have been written.
  const OwnGroupMixer mixer = ActiveOwnGroupMixer();
  uint32_t outputs[kMixGroup];
  Matrix* targets[kMixGroup];
  if (allOwn && mixer) {
    const OutputSlot* slots = outputs_;
    const uint32_t used = usedOutputs_;
    const float blend = priorityBlend_;
    uint32_t count = 0;
    for (uint32_t o = 0; o < used; ++o) {
      Matrix* target = slots[o].target;
      if (!target) continue;
      outputs[count] = o;
      targets[count] = target;
      if (++count == kMixGroup) {
        mixer(mixTracks_, n, outputs, targets, count, blend);
        count = 0;
      }
    }
    if (count) mixer(mixTracks_, n, outputs, targets, count, blend);
    return Ok;
  }
  uint32_t o = 0;
  while (o < usedOutputs_) {
    uint32_t count = 0;
    bool own = true;
    for (; o < usedOutputs_ && count < kMixGroup; ++o) {
      Matrix* target = outputs_[o].target;
      if (!target) continue;
      if (!allOwn) {
        bool ownOutput = true;
        for (uint32_t i = 0; i < n; ++i) {
          const LookupEntry& e = mixTracks_[i].interpolators[o];
          ownOutput = ownOutput && (!e.it || e.own);
        }
        if (!ownOutput && count > 0) break;
        own = ownOutput;
      }
      outputs[count] = o;
      targets[count++] = target;
      if (!own) {
        ++o;
        break;
      }
    }
    if (count == 0) break;
    if (own && mixer) {
      mixer(mixTracks_, n, outputs, targets, count, priorityBlend_);
      continue;
    }
    const LyrResult res = MixGroup(outputs, targets, count, n);
    if (Failed(res)) return res;
  }
  return Ok;
}

LyrResult Controller::MixGroup(const uint32_t* outputs, Matrix* const* targets, uint32_t count,
                               uint32_t nTracks) {
  MixLane lanes[kMixGroup];
  for (uint32_t l = 0; l < count; ++l) lanes[l].Reset(outputs[l], targets[l]);
  mathutil::SlerpJob jobs[kMixGroup];
  for (uint32_t i = 0; i < nTracks; ++i) {
    const MixTrack& mt = mixTracks_[i];
    // Sample the track for every output of the group, leaving the rotation blends of our own
    // interpolators to run together.
    // The interpolators of a set mostly share one period, and so the time within it.
    uint32_t nJobs = 0;
    double period = std::numeric_limits<double>::quiet_NaN(), local = 0.0;
    for (uint32_t l = 0; l < count; ++l) {
      MixLane& lane = lanes[l];
      const LookupEntry& e = mt.interpolators[lane.output];
      lane.present = e.it != nullptr;
      if (!lane.present) continue;
      if (e.own) {
        KeyFrameInterpolatorImpl* it = OwnInterpolator(e.it);
        if (it->PeriodSeconds() != period) {
          period = it->PeriodSeconds();
          local = it->LocalTime(mt.position);
        }
        DeferredSample d;
        it->SampleDeferredLocal(local, &d);
        lane.sums[mt.priorityClass].Add(mt.weight, d.scale, d.translation);
        lane.conjugate = true;
        if (d.r1) {
          jobs[nJobs++] = {&lane.sample, d.r0, d.r1, d.f};
        } else {
          lane.sample = *d.r0;
        }
      } else {
        Vector3 s, tr;
        const LyrResult res = e.it->Sample(mt.position, &s, &lane.sample, &tr);
        if (Failed(res)) return res;
        lane.sums[mt.priorityClass].Add(mt.weight, s, tr);
        lane.conjugate = false;
      }
    }
    mathutil::SlerpJobs(jobs, nJobs);
    // Blend each sample's rotation into its class.
    nJobs = 0;
    for (uint32_t l = 0; l < count; ++l) {
      MixLane& lane = lanes[l];
      if (!lane.present) continue;
      if (lane.conjugate) lane.sample = Conjugated(lane.sample);
      const uint32_t k = mt.priorityClass;
      if (!lane.sums[k].hasRot) {
        lane.rot[k] = lane.sample;
        lane.sums[k].hasRot = true;
      } else {
        jobs[nJobs++] = {&lane.rot[k], &lane.rot[k], &lane.sample, mt.weight / lane.sums[k].sum};
      }
    }
    mathutil::SlerpJobs(jobs, nJobs);
  }
  // Combine the classes.
  const float blend = priorityBlend_;
  uint32_t nJobs = 0;
  for (uint32_t l = 0; l < count; ++l) {
    MixLane& lane = lanes[l];
    const ClassSum& c0 = lane.sums[0];
    const ClassSum& c1 = lane.sums[1];
    lane.present = c0.sum != 0.0f || c1.sum != 0.0f;
    if (!lane.present) continue;
    if (c1.sum == 0.0f || c0.sum == 0.0f || blend == 1.0f) {
      (c1.sum == 0.0f ? c0 : c1).Normalized(&lane.scale, &lane.trans);
      lane.sample = c1.sum == 0.0f ? lane.rot[0] : lane.rot[1];
    } else {
      Vector3 s0, t0, s1, t1;
      c0.Normalized(&s0, &t0);
      c1.Normalized(&s1, &t1);
      lane.scale = {s0.x + blend * (s1.x - s0.x), s0.y + blend * (s1.y - s0.y),
                    s0.z + blend * (s1.z - s0.z)};
      lane.trans = {t0.x + blend * (t1.x - t0.x), t0.y + blend * (t1.y - t0.y),
                    t0.z + blend * (t1.z - t0.z)};
      jobs[nJobs++] = {&lane.sample, &lane.rot[0], &lane.rot[1], blend};
    }
  }
  mathutil::SlerpJobs(jobs, nJobs);
  for (uint32_t l = 0; l < count; ++l) {
    if (lanes[l].present)
      WriteMatrix(lanes[l].target, lanes[l].scale, lanes[l].sample, lanes[l].trans);
  }
  return Ok;
}

LyrResult Controller::Clone(uint32_t maxOutputs, uint32_t maxSets, uint32_t maxTracks,
                            uint32_t maxEvents, AnimationController** out) {
  if (!out || !maxOutputs || !maxSets || !maxTracks || !maxEvents) return ErrInvalidCall;
  if (maxOutputs < maxOutputs_ || maxSets < maxSets_ || maxTracks < maxTracks_ ||
      maxEvents < maxEvents_) {
    return ErrInvalidCall;
  }
  Controller* c = nullptr;
  const LyrResult r = CreateController(maxOutputs, maxSets, maxTracks, maxEvents, &c);
  if (Failed(r)) return r;
  c->time_ = time_;
  c->usedOutputs_ = usedOutputs_;
  c->usedTracks_ = usedTracks_;
  for (uint32_t o = 0; o < usedOutputs_; ++o) {
    if (outputs_[o].name && !(c->outputs_[o].name = CopyName(outputs_[o].name))) {
      c->Destroy();
      return ErrOutOfMemory;
    }
    c->outputs_[o].target = outputs_[o].target;
  }
  c->setCount_ = setCount_;
  for (uint32_t s = 0; s < setCount_; ++s) {
    sets_[s]->AddRef();
    c->sets_[s] = sets_[s];
    for (uint32_t o = 0; o < usedOutputs_; ++o) {
      if (KeyFrameInterpolator* it = Lookup(s, o).it) {
        it->AddRef();
        c->Lookup(s, o) = Lookup(s, o);
      }
    }
    c->hostEntries_[s] = hostEntries_[s];
  }
  for (uint32_t t = 0; t < maxTracks_; ++t) {
    c->tracks_[t] = tracks_[t];
    c->trackSet_[t] = trackSet_[t] == maxSets_ ? c->maxSets_ : trackSet_[t];
    for (const Event* p = trackEvents_[t].pending; p; p = p->next) {
      Event* e = c->TakeEvent();  // the clone's pool is at least as large as ours
      if (!e) break;
      *e = *p;
      e->next = nullptr;
      InsertPending(c->trackEvents_[t], e);
    }
  }
  *out = c;
  return Ok;
}

}  // namespace

LyrResult CreateAnimationController(uint32_t maxOutputs, uint32_t maxSets, uint32_t maxTracks,
                                    uint32_t maxEvents, AnimationController** out) {
  if (!maxOutputs || !maxSets || !maxTracks || !maxEvents || !out) return ErrInvalidCall;
  Controller* c = nullptr;
  const LyrResult r = CreateController(maxOutputs, maxSets, maxTracks, maxEvents, &c);
  if (Succeeded(r)) *out = c;
  return r;
}

}  // namespace lyr
