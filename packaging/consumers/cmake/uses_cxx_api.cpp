// Loads a mesh from a Vek file held in memory onto the reference graphics device, through the
// static library's C++ API, and names the result codes it meets.
#include <cstdio>

#include "lyr/lyr.h"

int main() {
  static const char kQuad[] =
      "vkf 0303txt 0032\n"
      "Frame Root { Mesh Quad { 4; 0;0;0;, 1;0;0;, 1;1;0;, 0;1;0;; 1; 4; 0,1,2,3;; } }\n";
  lyr::GraphicsDevice* device = nullptr;
  LyrResult r = lyr::LoadReferenceDevice(lyr::RefDeviceDesc{}, &device);
  lyr::Mesh* mesh = nullptr;
  if (lyr::Succeeded(r)) {
    r = lyr::LoadMeshFromVekInMemory(kQuad, sizeof kQuad - 1, device, nullptr, nullptr, nullptr,
                                     nullptr, nullptr, &mesh);
  }
  if (lyr::Failed(r)) {
    std::printf("failed: %s: %s\n", lyr::ResultName(r), lyr::ResultMessage(r));
    return 1;
  }
  std::printf("loaded a mesh of %u faces and %u vertices\n", mesh->GetFaceCount(),
              mesh->GetVertexCount());
  const LyrResult bad = lyr::LoadMeshFromVekInMemory(nullptr, 0, device, nullptr, nullptr, nullptr,
                                                     nullptr, nullptr, &mesh);
  std::printf("no bytes: %s (%s)\n", lyr::ResultName(bad), lyr::ResultMessage(bad));
  mesh->Release();
  device->Release();
  return bad == lyr::ErrInvalidCall ? 0 : 1;
}
