// Exported functions of the hierarchy saver.
#include "core/object_impl.h"
#include "vekio/hier_save.h"

extern "C" {

LYR_API LyrResult LYR_CALL LyrSaveMeshHierarchyToFileA(const char* fileName, uint32_t format,
                                                       lyr::Frame* root,
                                                       lyr::AnimationController* controller,
                                                       lyr::UserDataSaver* userDataSaver) {
  return lyr::Guard([&] {
    return lyr::vekio::SaveHierarchyToFile(fileName, format, root, controller, userDataSaver);
  });
}

LYR_API LyrResult LYR_CALL LyrSaveMeshHierarchyToFileW(const char16_t* fileName, uint32_t format,
                                                       lyr::Frame* root,
                                                       lyr::AnimationController* controller,
                                                       lyr::UserDataSaver* userDataSaver) {
  return lyr::Guard([&] {
    return lyr::vekio::SaveHierarchyToFileW(fileName, format, root, controller, userDataSaver);
  });
}

}  // extern "C"
