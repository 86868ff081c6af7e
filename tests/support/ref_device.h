// One-line access to the reference graphics device for tests.
#pragma once

#include <gtest/gtest.h>

#include "core/object_impl.h"
#include "mesh/reference_device.h"

namespace lyr::test {

// A reference device described by desc (a default device when omitted).
inline Ref<GraphicsDevice> MakeRefDevice(const RefDeviceDesc& desc = {}) {
  GraphicsDevice* device = nullptr;
  EXPECT_EQ(LoadReferenceDevice(desc, &device), Ok) << "the reference device module is missing";
  return Ref<GraphicsDevice>(device);
}

// The test-side control interface of a reference device.
inline Ref<RefDeviceControl> ControlOf(GraphicsDevice* device) {
  void* p = nullptr;
  EXPECT_EQ(device->QueryInterface(RefDeviceControl::kIid, &p), Ok);
  return Ref<RefDeviceControl>(static_cast<RefDeviceControl*>(p));
}

inline RefDebugState DebugState() {
  RefDebugState s{};
  EXPECT_TRUE(ReadReferenceDebugState(&s));
  return s;
}

}  // namespace lyr::test
