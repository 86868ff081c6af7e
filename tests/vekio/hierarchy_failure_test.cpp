// Scene loads that fail part-way: at every allocation, every host callback and every device
// call. Each must return the failure's code, hand nothing out and leave nothing behind.
#include "hierarchy_test_util.h"
#include "support/fault_injection.h"
#include "support/ref_device.h"

namespace lyr::test {
namespace {

std::string Scene() {
  return ReadBytes(std::string(LYR_TEST_DATA_DIR) + "/hierload/kinds.vkf");
}

TEST(HierarchyLoadFailures, EveryAllocation) {
  Ref<GraphicsDevice> device = MakeRefDevice();
  const std::string bytes = Scene();
  Recorder user;
  SceneLoad warm;  // the component and the device settle their first-use state
  ASSERT_EQ(warm.Load(bytes, device.get(), &user), Ok);
  warm.Free();
  SceneLoad load;
  const int points = ForEachAllocationFailure([&] { return load.Load(bytes, device.get(), &user); },
                                              [&](LyrResult) { load.Free(); });
  EXPECT_GT(points, 50);
}

TEST(HierarchyLoadFailures, EveryHostAllocatorCall) {
  Ref<GraphicsDevice> device = MakeRefDevice();
  const std::string bytes = Scene();
  SceneLoad whole;
  ASSERT_EQ(whole.Load(bytes, device.get()), Ok);
  const int frames = whole.host.newFrameCalls, containers = whole.host.newContainerCalls;
  EXPECT_EQ(frames, 5);      // Body, Arm, Hand, the Floor's frame and the unnamed root
  EXPECT_EQ(containers, 7);  // Sleeve, Cuff, Palm, two of Knuckles, Pad, Floor
  // A host that reports its failure keeps its code; one that succeeds without a record fails
  // the load generically.
  for (HostFault fault : {HostFault::kFailCode, HostFault::kSucceedEmpty}) {
    const LyrResult expected = fault == HostFault::kFailCode ? kHostFailure : ErrFail;
    for (int kind = 0; kind < 2; ++kind) {
      for (int at = 0; at < (kind == 0 ? frames : containers); ++at) {
        SCOPED_TRACE(testing::Message() << "kind " << kind << " call " << at);
        SceneLoad load;
        (kind == 0 ? load.host.frameFault : load.host.containerFault) = fault;
        (kind == 0 ? load.host.frameFaultAt : load.host.containerFaultAt) = at;
        EXPECT_EQ(load.Load(bytes, device.get()), expected);
      }
    }
  }
}

TEST(HierarchyLoadFailures, EveryUserDataCall) {
  Ref<GraphicsDevice> device = MakeRefDevice();
  const std::string bytes = Scene();
  SceneLoad whole;
  Recorder all;
  ASSERT_EQ(whole.Load(bytes, device.get(), &all), Ok);
  ASSERT_EQ(all.calls.size(), 6u);
  for (int at = 0; at < int(all.calls.size()); ++at) {
    SCOPED_TRACE(all.calls[at]);
    SceneLoad load;
    Recorder user;
    user.failAt = at;
    EXPECT_EQ(load.Load(bytes, device.get(), &user), kHostFailure);
    EXPECT_EQ(user.calls.size(), size_t(at) + 1);  // the failing call is the last one
  }
}

TEST(HierarchyLoadFailures, EveryDeviceCall) {
  const std::string bytes = Scene();
  // (A mesh that cannot make its declaration object does without it, so those failures are not
  // failures of the load.)
  uint32_t RefDeviceDesc::*const kinds[] = {&RefDeviceDesc::failBufferCreation,
                                            &RefDeviceDesc::failLock};
  for (auto kind : kinds) {
    uint32_t n = 1;
    for (;; ++n) {
      SCOPED_TRACE(n);
      RefDeviceDesc desc;
      desc.*kind = n;
      Ref<GraphicsDevice> device = MakeRefDevice(desc);
      SceneLoad load;
      const LyrResult r = load.Load(bytes, device.get());
      if (r == Ok) break;
      EXPECT_EQ(r, desc.failureCode);
      ASSERT_LT(n, 1000u);
    }
    EXPECT_GT(n, 1u) << "no device call was made";
  }
}

}  // namespace
}  // namespace lyr::test
