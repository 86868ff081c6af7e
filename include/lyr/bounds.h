// The bounding sphere of a frame hierarchy's plain meshes.
//
// Provided by: the shared library libLyr9abAnim.so (CMake target Lyr9abAnim::Lyr9abAnim), whose
// exported Lyr... functions with C linkage are declared here; the static library has them too.
#pragma once

#include "lyr/frame.h"
#include "lyr/math.h"

// A sphere enclosing the vertices of every plain Mesh hung in the tree below `root` (the root,
// its containers and its descendants; not the root's siblings), in the space of root's parent.
// The centre is the mean of the transformed positions; the radius reaches the farthest one.
// Vertices whose model-space position is exactly (0, 0, 0) are left out. Meshes whose
// declaration has no three-float position with usage index 0, progressive meshes and patch
// meshes contribute nothing; with no vertex at all the result is centre (0, 0, 0), radius 0.
// Either output may be null. ErrInvalidCall for a null root. A failure of getting or locking a
// vertex buffer is returned unchanged and nothing is written.
extern "C" LYR_API LyrResult LYR_CALL LyrFrameCalculateBoundingSphere(const lyr::Frame* root,
                                                                      lyr::Vector3* center,
                                                                      float* radius);
