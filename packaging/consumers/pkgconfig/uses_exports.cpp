// Uses only the shared library's exported functions: builds an interpolator and an animation set
// and samples them. It must link against libLyr9abAnim.so alone.
#include <cstdio>

#include "lyr/anim.h"

int main() {
  const lyr::RotationKey turn[] = {{0.0f, {0, 0, 0, 1}}, {30.0f, {0, 0, 0.7071068f, 0.7071068f}}};
  const lyr::VectorKey move[] = {{0.0f, {0, 0, 0}}, {30.0f, {3, 0, 0}}};
  lyr::KeyFrameInterpolator* bone = nullptr;
  lyr::AnimationSet* set = nullptr;
  if (lyr::Failed(
          LyrCreateKeyFrameInterpolator("bone", nullptr, 0, turn, 2, move, 2, 30.0, &bone)) ||
      lyr::Failed(LyrCreateAnimationSet("clip", &bone, 1, &set))) {
    std::printf("could not make the animation\n");
    return 1;
  }
  lyr::KeyFrameInterpolator* found = nullptr;
  lyr::Vector3 scale{}, position{};
  lyr::Quaternion rotation{};
  const bool ok = lyr::Succeeded(set->FindInterpolator("bone", &found)) && found == bone &&
                  lyr::Succeeded(found->Sample(0.5, &scale, &rotation, &position));
  std::printf("\"%s\" of \"%s\" at 0.5 s: position x %.2f\n", bone->Name(), set->Name(),
              position.x);
  if (found) found->Release();
  set->Release();
  bone->Release();
  return ok && position.x > 1.49f && position.x < 1.51f ? 0 : 1;
}
