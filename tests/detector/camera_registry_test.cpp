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

TEST(CameraRegistry, CamerasTakeSuccessivePhasesThatSurviveAReset) {
    CameraRegistry registry(4, {});
    auto a = registry.Acquire("a");
    auto b = registry.Acquire("b");
    auto c = registry.Acquire("c");
    EXPECT_EQ(a->scorer.phase, 0u);
    EXPECT_EQ(b->scorer.phase, 1u);
    EXPECT_EQ(c->scorer.phase, 2u);
    EXPECT_EQ(registry.Acquire("a")->scorer.phase, 0u) << "a known camera took a new phase";
    b->Reset({640, 480});
    EXPECT_EQ(b->scorer.phase, 1u);
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
