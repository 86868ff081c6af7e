// The hierarchy saver: a host's frame tree, its mesh containers and the animation sets of a
// controller written to a Vek file through the component.
#pragma once

#include "lyr/hierarchy_save.h"

namespace lyr::vekio {

// The whole save through `file`, a VekFile with the library's templates registered: the host's
// templates, OpenSave, the template definitions, the ticks object, the frames and the sets. The
// exported entries make the file; tests hand in one that fails chosen calls.
LyrResult SaveHierarchyThrough(VekFile* file, const char* fileName, uint32_t format, Frame* root,
                               AnimationController* controller, UserDataSaver* userDataSaver);

// The two exported entries (without their exception guard).
LyrResult SaveHierarchyToFile(const char* fileName, uint32_t format, Frame* root,
                              AnimationController* controller, UserDataSaver* userDataSaver);
LyrResult SaveHierarchyToFileW(const char16_t* fileName, uint32_t format, Frame* root,
                               AnimationController* controller, UserDataSaver* userDataSaver);

// A tick count or rate as the file stores it: truncated toward zero, its low 32 bits kept (so -1
// is 0xFFFFFFFF). Values that are not finite give 0.
uint32_t TruncatedTicks(double value);

}  // namespace lyr::vekio
