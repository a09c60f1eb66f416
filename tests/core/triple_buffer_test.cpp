#include "control/triple_buffer.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

namespace axiolink::control {
namespace {

// One side's step in the model: the writer fills its slot without
// publishing, the writer fills and publishes, or the reader takes.
enum class Step : char { Fill = 'f', Publish = 'p', Take = 't' };

// Runs `steps` on one buffer, each value stamped with its step's number, and
// checks after every step what each side must see: the writer's slot is
// never the reader's nor the one just published, the reader's value changes
// only by a take, a take succeeds exactly when something was published
// since the last, and it gets the latest.
testing::AssertionResult follows_the_model(const std::vector<Step>& steps) {
    TripleBuffer<std::uint64_t> buffer(0);
    std::uint64_t stamp = 0;
    std::uint64_t latest = 0;
    std::uint64_t read = 0;
    const std::uint64_t* latest_slot = nullptr;
    bool fresh = false;
    std::string done;
    for (const Step step : steps) {
        done += static_cast<char>(step);
        switch (step) {
            case Step::Fill:
                buffer.writing() = ++stamp;
                break;
            case Step::Publish:
                buffer.writing() = ++stamp;
                latest_slot = &buffer.writing();
                buffer.publish();
                latest = stamp;
                fresh = true;
                if (&buffer.writing() == latest_slot) {
                    return testing::AssertionFailure()
                           << done << ": the writer kept the slot it published";
                }
                break;
            case Step::Take:
                if (buffer.take() != fresh) {
                    return testing::AssertionFailure()
                           << done << ": take() returned " << !fresh << " after "
                           << (fresh ? "a publish" : "nothing new");
                }
                if (fresh) {
                    read = latest;
                    if (&buffer.reading() != latest_slot) {
                        return testing::AssertionFailure()
                               << done << ": the reader got another slot than the published";
                    }
                }
                fresh = false;
                break;
        }
        if (&buffer.writing() == &buffer.reading()) {
            return testing::AssertionFailure() << done << ": writer and reader share a slot";
        }
        if (buffer.reading() != read) {
            return testing::AssertionFailure()
                   << done << ": the reader sees " << buffer.reading() << ", wanted " << read;
        }
    }
    return testing::AssertionSuccess();
}

TEST(TripleBuffer, EverySequenceOfSevenStepsFollowsTheModel) {
    constexpr std::array kSteps{Step::Fill, Step::Publish, Step::Take};
    constexpr int kLength = 7;
    int sequences = 1;
    for (int i = 0; i < kLength; ++i) {
        sequences *= static_cast<int>(kSteps.size());
    }
    for (int n = 0; n < sequences; ++n) {
        std::vector<Step> steps;
        for (int rest = n, i = 0; i < kLength; ++i, rest /= 3) {
            steps.push_back(kSteps[static_cast<std::size_t>(rest % 3)]);
        }
        ASSERT_TRUE(follows_the_model(steps));
    }
}

// A value whose fields must agree: a reader that saw a slot being written
// sees some fields of one stamp and some of another.
struct Stamped {
    std::uint64_t stamp = 0;
    std::array<std::uint64_t, 15> copies{};
};

TEST(TripleBuffer, NoTornReadBetweenTwoThreads) {
    constexpr std::uint64_t kPublishes = 200'000;
    TripleBuffer<Stamped> buffer;
    std::atomic<bool> writer_done{false};
    std::thread writer([&] {
        for (std::uint64_t stamp = 1; stamp <= kPublishes; ++stamp) {
            Stamped& slot = buffer.writing();
            slot.stamp = stamp;
            slot.copies.fill(stamp);
            buffer.publish();
        }
        writer_done.store(true, std::memory_order_release);
    });
    std::uint64_t torn = 0;
    std::uint64_t backwards = 0;
    std::uint64_t taken = 0;
    std::uint64_t last = 0;
    auto take = [&] {
        if (!buffer.take()) {
            return false;
        }
        ++taken;
        const Stamped& value = buffer.reading();
        const std::uint64_t stamp = value.stamp;
        if (std::ranges::any_of(value.copies, [&](std::uint64_t c) { return c != stamp; })) {
            ++torn;
        }
        if (stamp <= last) {
            ++backwards;
        }
        last = stamp;
        return true;
    };
    while (!writer_done.load(std::memory_order_acquire)) {
        take();
    }
    writer.join();
    // Bounded once the writer is done: the last publish, if not taken yet,
    // then nothing new.
    take();
    EXPECT_FALSE(take());
    EXPECT_EQ(torn, 0U);
    EXPECT_EQ(backwards, 0U);
    EXPECT_EQ(last, kPublishes);  // the latest wins
    EXPECT_GT(taken, 0U);
}

}  // namespace
}  // namespace axiolink::control
