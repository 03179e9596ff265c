#include "camera_registry.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using firesmoke::CameraRegistry;

TEST(CameraRegistry, SameIdentifierSameStateUntilEvicted) {
    CameraRegistry registry(3, {});
    auto a = registry.Acquire("a");
    EXPECT_EQ(registry.Acquire("a"), a);
    registry.Acquire("b");
    registry.Acquire("c");
    registry.Acquire("a");  // a is now the most recent; b the least
    registry.Acquire("d");  // evicts b
    EXPECT_EQ(registry.Size(), 3u);
    EXPECT_EQ(registry.Acquire("a"), a);
    auto b = registry.Acquire("b");  // a new state for b, which evicts c
    EXPECT_EQ(b->frames, 0u);
    EXPECT_EQ(registry.Size(), 3u);
}

TEST(CameraRegistry, ACamerasPhaseDependsOnItsIdentifierAloneAndPhasesSpread) {
    CameraRegistry one(4, {}), other(4, {});
    other.Acquire("first");  // another history before it
    EXPECT_EQ(one.Acquire("cam")->scorer.phase, other.Acquire("cam")->scorer.phase);
    auto cam = one.Acquire("cam");
    const unsigned phase = cam->scorer.phase;
    cam->Reset({640, 480});
    EXPECT_EQ(cam->scorer.phase, phase) << "a reset changed the phase";
    // Identifiers as hosts name cameras fall on every phase of an interval of 3.
    int perPhase[3] = {0, 0, 0};
    for (int i = 0; i < 30; ++i) {
        ++perPhase[one.Acquire("camera-" + std::to_string(i))->scorer.phase % 3];
    }
    for (int r = 0; r < 3; ++r) {
        EXPECT_GE(perPhase[r], 5) << "phase " << r << " of 3 holds " << perPhase[r] << " of 30 cameras";
    }
}

TEST(CameraRegistry, ManyIdentifiersKeepTheRegistryBounded) {
    CameraRegistry registry(8, {});
    for (int i = 0; i < 1000; ++i) {
        registry.Acquire("camera-" + std::to_string(i));
    }
    EXPECT_EQ(registry.Size(), 8u);
    registry.Clear();
    EXPECT_EQ(registry.Size(), 0u);
}

TEST(CameraRegistry, HugeIdentifiersAreStoredUnderBoundedDistinctKeys) {
    const std::string one(1 << 20, 'x');
    std::string other = one;
    other.back() = 'y';
    const std::string k1 = CameraRegistry::KeyOf(one);
    const std::string k2 = CameraRegistry::KeyOf(other);
    EXPECT_LT(k1.size(), 400u);
    EXPECT_NE(k1, k2);
    EXPECT_EQ(CameraRegistry::KeyOf("cam_1"), "cam_1");
    EXPECT_EQ(CameraRegistry::KeyOf(""), "");

    CameraRegistry registry(4, {});
    EXPECT_NE(registry.Acquire(one), registry.Acquire(other));
}

TEST(CameraRegistry, AStateDroppedWhileHeldStaysUsable) {
    CameraRegistry registry(1, {});
    auto held = registry.Acquire("old");
    held->frames = 5;
    registry.Acquire("new");  // evicts "old" from the registry
    EXPECT_EQ(held->frames, 5u);
    EXPECT_EQ(registry.Acquire("old")->frames, 0u);
}

}  // namespace
