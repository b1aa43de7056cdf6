// The conversion gate in a simulated capture chain: a camera, a conversion with a queue of two raw
// frames before it, a one-frame leaky queue, and a callback, each taking a set time.
#include "capture/conversion_gate.h"

#include <algorithm>
#include <cstdint>
#include <deque>
#include <functional>
#include <random>

#include <gtest/gtest.h>

namespace {

constexpr std::int64_t us = 1000; // in nanoseconds, as the gate counts
constexpr std::int64_t ms = 1000 * us;
// A frame number for "none". Not std::optional: GCC 12 at -O3 reports its empty payload as read
// (maybe-uninitialized) where the loop below tests it first.
constexpr std::int64_t noFrame = -1;

struct Chain {
	std::int64_t periodNs;
	std::int64_t conversionNs;
	// The callback's duration for each frame it takes.
	std::function<std::int64_t()> callbackNs;
};

struct Outcome {
	int taken = 0;
	int converted = 0;
	int replacedUnseen = 0;
	// The most frames by which a taken frame was older than the newest one that could have
	// been converted by then.
	std::int64_t worstAge = 0;
};

Outcome run(const Chain &chain, std::int64_t durationNs)
{
	ConversionGate gate;
	Outcome outcome;
	std::deque<std::int64_t> raw; // frame numbers waiting for the conversion
	std::int64_t converting = noFrame;
	std::int64_t conversionEnd = 0;
	std::int64_t waiting = noFrame; // the converted frame in the leaky queue
	bool callbackBusy = false;
	std::int64_t callbackEnd = 0;
	std::int64_t nextFrame = 0;

	for (std::int64_t now = 1 * ms; now < durationNs; now += 100 * us) {
		if (now >= 1 * ms + nextFrame * chain.periodNs) {
			raw.push_back(nextFrame++);
			if (raw.size() > 2)
				raw.pop_front();
		}
		if (converting != noFrame && now >= conversionEnd) {
			gate.converted(now);
			++outcome.converted;
			if (waiting != noFrame)
				++outcome.replacedUnseen;
			waiting = converting;
			converting = noFrame;
		}
		while (converting == noFrame && !raw.empty()) {
			const std::int64_t frame = raw.front();
			raw.pop_front();
			if (gate.admit(now, waiting != noFrame)) {
				converting = frame;
				conversionEnd = now + chain.conversionNs;
			}
		}
		if (callbackBusy && now >= callbackEnd) {
			gate.callbackEnded(now);
			callbackBusy = false;
		}
		if (!callbackBusy && waiting != noFrame) {
			const std::int64_t convertible =
				(now - 1 * ms - chain.conversionNs) / chain.periodNs;
			outcome.worstAge = std::max(outcome.worstAge, convertible - waiting);
			++outcome.taken;
			gate.callbackStarted(now);
			callbackBusy = true;
			callbackEnd = now + chain.callbackNs();
			waiting = noFrame;
		}
	}
	return outcome;
}

} // namespace

// Catches a gate that lets through frames a slow callback never sees (the CPU the gate exists to
// save), and one that holds back so much that the callback gets old frames.
TEST(ConversionGate, ASlowCallbackGetsFreshFramesAndFewAreConvertedInVain)
{
	struct Case {
		const char *name;
		std::int64_t conversionNs;
		std::int64_t callbackNs;
		int leastTaken; // in 10 s, a little under what the callback's length allows
	};
	const Case cases[] = {
		// 4K-like: the callback takes two frame periods, the conversion most of one.
		{ "steady", 25 * ms, 62 * ms, 150 },
		{ "far slower than the camera", 2 * ms, 100 * ms, 90 },
	};
	for (const Case &slow : cases) {
		const auto callback = [&] {
			return slow.callbackNs;
		};
		const Outcome outcome = run({ 33 * ms, slow.conversionNs, callback }, 10'000 * ms);
		EXPECT_GT(outcome.taken, slow.leastTaken) << slow.name;
		EXPECT_LE(outcome.replacedUnseen, outcome.converted / 10) << slow.name;
		EXPECT_LE(outcome.worstAge, 1) << slow.name;
	}
}

// Catches a gate that drops frames a callback keeping up with the camera would have shown, also
// after one callback was held up for seconds.
TEST(ConversionGate, ACallbackThatKeepsUpGetsEveryFrame)
{
	const auto quick = [] {
		return 9 * ms;
	};
	const Outcome outcome = run({ 16'667 * us, 10 * ms, quick }, 5'000 * ms);
	EXPECT_EQ(outcome.converted, outcome.taken);
	EXPECT_GE(outcome.taken, 295);
	EXPECT_EQ(outcome.worstAge, 0);

	int callbacks = 0;
	const auto firstHeldUp = [&] {
		return ++callbacks == 1 ? 3'000 * ms : 9 * ms;
	};
	const Outcome heldUp = run({ 16'667 * us, 10 * ms, firstHeldUp }, 5'000 * ms);
	// The frame taken while the first callback was held up, then every frame of the last 2 s.
	EXPECT_GE(heldUp.taken, 1 + 118);
}

// Catches a gate that trusts its estimate so far that a callback of uneven length, ending early,
// gets a frame older than the one before the newest.
TEST(ConversionGate, AnUnevenCallbackStillGetsFreshFrames)
{
	std::mt19937 random(7);
	std::uniform_int_distribution<std::int64_t> spread(40 * ms, 90 * ms);
	const Outcome outcome = run({ 33 * ms, 10 * ms,
				      [&] {
					      return spread(random);
				      } },
				    20'000 * ms);
	EXPECT_GT(outcome.taken, 250);
	EXPECT_LE(outcome.worstAge, 1);
	EXPECT_LT(outcome.replacedUnseen, outcome.converted / 3);
}
