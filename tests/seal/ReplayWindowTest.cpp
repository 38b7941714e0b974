#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <set>

#include "seal/ReplayWindow.h"

namespace {

using seal::CReplayWindow;
constexpr std::uint64_t kWindow = CReplayWindow::kWindow;

TEST(ReplayWindow, ReorderedWithinTheWindowIsAcceptedOnceAndOlderNever) {
    static_assert(kWindow >= 2048);
    CReplayWindow window;
    // 3000 counters in reverse order: every one is new, and within the window of the first.
    for (std::uint64_t c = 3000; c-- > 0;) EXPECT_TRUE(window.Update(c)) << c;
    for (std::uint64_t c = 0; c < 3000; ++c) EXPECT_FALSE(window.Update(c)) << c;

    const std::uint64_t top = 100'000;
    EXPECT_TRUE(window.Update(top));
    // Exactly kWindow (4032) behind is the oldest still inside, one more the first outside.
    static_assert(kWindow == 4032);
    EXPECT_FALSE(window.Check(top - kWindow - 1));
    EXPECT_FALSE(window.Update(top - kWindow - 1));
    EXPECT_TRUE(window.Check(top - kWindow));
    EXPECT_TRUE(window.Update(top - kWindow));
    EXPECT_FALSE(window.Update(top - kWindow));
    // Moving on by one word pushes it out; the one now kWindow behind comes in.
    EXPECT_TRUE(window.Update(top + 64));
    EXPECT_FALSE(window.Check(top - kWindow));
    EXPECT_TRUE(window.Update(top + 64 - kWindow));
    EXPECT_TRUE(window.Update(top - 1));
    EXPECT_FALSE(window.Update(top - 1));
    // Check never records anything.
    EXPECT_TRUE(window.Check(top + 5));
    EXPECT_TRUE(window.Check(top + 5));
}

TEST(ReplayWindow, AJumpForgetsTheBitsOfTheWordsItSkips) {
    CReplayWindow window;
    // Counter 64 * 64 + 5 lands on the same ring word as 5: seen 5 must not make it a replay,
    // and after the jump 5 is too old.
    EXPECT_TRUE(window.Update(5));
    EXPECT_TRUE(window.Update(64 * 64 + 5));
    EXPECT_FALSE(window.Update(5));
    EXPECT_TRUE(window.Update(64 * 64 + 4));
    // A far jump clears the whole ring.
    EXPECT_TRUE(window.Update(10'000'000 + 64 * 64 + 5));
    EXPECT_TRUE(window.Update(10'000'000 + 64 * 64 + 4));
    EXPECT_TRUE(window.Update(10'000'000 + 64 * 63 + 4));
}

// The window against a plain model (a set of everything seen, and the greatest) on random
// counters around a slowly climbing front: bounded, seeded, so a failure repeats.
TEST(ReplayWindow, AgreesWithAPlainModel) {
    std::mt19937_64 random(20240615);
    CReplayWindow window;
    std::set<std::uint64_t> seen;
    std::uint64_t greatest = 0;
    std::uint64_t front = 0;
    for (int step = 0; step < 200'000; ++step) {
        front += random() % 3;
        if (random() % 1000 == 0) front += random() % 20'000;
        std::uint64_t spread = 2 * kWindow + 200;
        std::uint64_t low = front > spread ? front - spread : 0;
        std::uint64_t counter = low + random() % (front - low + 64);
        bool fresh =
            seen.count(counter) == 0 && (counter > greatest || greatest - counter <= kWindow);
        ASSERT_EQ(window.Update(counter), fresh) << "step " << step << " counter " << counter;
        if (fresh) {
            seen.insert(counter);
            if (counter > greatest) greatest = counter;
        }
    }
}

}  // namespace
