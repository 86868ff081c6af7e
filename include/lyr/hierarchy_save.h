// Saving whole frame hierarchies to Vek files: the host's optional UserDataSaver and the two
// exported savers.
#pragma once

#include "lyr/anim.h"
#include "lyr/frame.h"
#include "lyr/vekfile.h"

namespace lyr {

// Host callbacks through which a save adds the host's own templates and data objects: a plain
// table of six operations (no reference counting). A failing operation ends the save with its
// code.
struct UserDataSaver {
  // After a frame's data object is made, before its children: may add children to it.
  virtual LyrResult LYR_CALL OnSaveFrame(Frame* frame, VekSaveObject* save,
                                         VekDataObject* frameObject) = 0;
  // After a container's mesh was added to the data object of the frame that holds it.
  virtual LyrResult LYR_CALL OnSaveMeshContainer(MeshContainer* container, VekSaveObject* save,
                                                 VekDataObject* frameObject) = 0;
  // Before the first top-level object is written, and after the last.
  virtual LyrResult LYR_CALL BeforeTopLevelObjects(VekSaveObject* save) = 0;
  virtual LyrResult LYR_CALL AfterTopLevelObjects(VekSaveObject* save) = 0;
  // May register the host's templates with the file, before the save is opened.
  virtual LyrResult LYR_CALL AddOwnTemplates(VekFile* file) = 0;
  // May write the host's template definitions, after the library's own.
  virtual LyrResult LYR_CALL WriteOwnTemplates(VekSaveObject* save) = 0;

 protected:
  ~UserDataSaver() = default;
};

}  // namespace lyr

extern "C" {

// Writes the frame tree at `root` (with its sibling chain and all descendants), every mesh
// container's mesh, materials, effect instances, adjacency and skin, and every animation set of
// `controller` (optional) to the Vek file `fileName` in format code `format` (0 to 3; see
// vekfile.h). A root with siblings is written after them. ErrInvalidCall for a missing name or
// root, a format code above 3, or a mesh container without a mesh; component, callback and
// mesh failures are returned unchanged. The component writes straight to the file: a save that
// fails part-way leaves the objects written up to the failure.
LYR_API LyrResult LYR_CALL LyrSaveMeshHierarchyToFileA(const char* fileName, uint32_t format,
                                                       lyr::Frame* root,
                                                       lyr::AnimationController* controller,
                                                       lyr::UserDataSaver* userDataSaver);

// The same for a 16-bit (UTF-16) file name. The file is first saved to a temporary file (prefix
// "pmv" in the temporary folder) and then copied to the destination in one write, so a failed
// save leaves no partial destination behind (a copy that falls short deletes what it wrote); the
// temporary file is deleted on every path.
// ErrInvalidCall for a null name; ErrFail when no temporary file can be made, or the copy falls
// short; ErrFileOpenFailed when the temporary file cannot be read back or the destination cannot
// be created (an ill-formed name included).
LYR_API LyrResult LYR_CALL LyrSaveMeshHierarchyToFileW(const char16_t* fileName, uint32_t format,
                                                       lyr::Frame* root,
                                                       lyr::AnimationController* controller,
                                                       lyr::UserDataSaver* userDataSaver);

}  // extern "C"
