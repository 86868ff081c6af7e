// An iterative walk over a frame tree that needs neither a call stack per frame nor memory.
#pragma once

#include <cstdint>

#include "lyr/frame.h"

namespace lyr {

// Visits `root`, its sibling chain and all descendants in the order of
//   Walk(f) = pre(f); Walk(f.nextSibling); Walk(f.firstChild); post(f)
// with link inversion: on the way down, the link that was followed is turned to point back up
// (tagged in bit 0 with which of the two links of that frame holds it), and on the way up it is
// restored. Frames are at least 4-byte aligned, so bit 0 of a frame address is free.
//
// pre and post are `bool(Frame*)`: returning false stops the walk, which then only restores the
// links on the way back up. Each frame handed to pre or post has its own links intact. Returns
// true when the walk ran to the end.
template <class Pre, class Post>
bool WalkFrames(Frame* root, Pre&& pre, Post&& post) {
  constexpr uintptr_t kViaChild = 1;
  auto asLink = [](uintptr_t v) { return reinterpret_cast<Frame*>(v); };
  auto asBits = [](Frame* f) { return reinterpret_cast<uintptr_t>(f); };

  uintptr_t up = 0;  // the parent on the path, tagged with the link that leads back from it
  Frame* cur = root;
  bool running = true;
  bool descend = true;
  for (;;) {
    if (descend) {
      if (!pre(cur)) {
        running = false;
      } else if (Frame* next = cur->nextSibling) {
        cur->nextSibling = asLink(up);
        up = asBits(cur);
        cur = next;
        continue;
      } else if (Frame* child = cur->firstChild) {
        cur->firstChild = asLink(up);
        up = asBits(cur) | kViaChild;
        cur = child;
        continue;
      } else if (!post(cur)) {
        running = false;
      }
      descend = false;
    }
    // cur's subtree is complete (or the walk is stopping): step back up one link.
    if (up == 0) return running;
    Frame* parent = asLink(up & ~kViaChild);
    if ((up & kViaChild) == 0) {
      const uintptr_t parentUp = asBits(parent->nextSibling);
      parent->nextSibling = cur;
      if (running && parent->firstChild) {
        Frame* child = parent->firstChild;
        parent->firstChild = asLink(parentUp);
        up = asBits(parent) | kViaChild;
        cur = child;
        descend = true;
        continue;
      }
      up = parentUp;
    } else {
      const uintptr_t parentUp = asBits(parent->firstChild);
      parent->firstChild = cur;
      up = parentUp;
    }
    cur = parent;
    if (running && !post(cur)) running = false;
  }
}

}  // namespace lyr
