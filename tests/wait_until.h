// Bounded waits for the tests: a wait that runs out fails where it waited, naming what it waited
// for, instead of hanging until ctest's timeout.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

#include <gtest/gtest.h>

// Far longer than a loaded machine or a sanitizer build ever takes for anything a test waits for,
// and well short of ctest's 120 s: a wait this long is a fault, not a slow machine.
inline constexpr std::chrono::milliseconds waitBound{ 30'000 };

inline testing::AssertionResult waitedInVain(const std::string &what,
					     std::chrono::milliseconds bound)
{
	return testing::AssertionFailure()
	       << "waited " << bound.count() << " ms for " << what << " in vain";
}

// Polls done() every millisecond until it holds or bound has passed. Meant for
// ASSERT_TRUE(waitUntil([&] { return frames >= 3; }, "3 frames")).
template <typename Done>
testing::AssertionResult waitUntil(Done done, const std::string &what,
				   std::chrono::milliseconds bound = waitBound)
{
	const auto giveUp = std::chrono::steady_clock::now() + bound;
	while (!done()) {
		if (std::chrono::steady_clock::now() > giveUp)
			return waitedInVain(what, bound);
		std::this_thread::sleep_for(std::chrono::milliseconds(1));
	}
	return testing::AssertionSuccess();
}

// The same for state behind a lock, woken through changed: lock is held while done() is checked
// and when this returns.
template <typename Done>
testing::AssertionResult
waitUntil(std::condition_variable &changed, std::unique_lock<std::mutex> &lock, Done done,
	  const std::string &what, std::chrono::milliseconds bound = waitBound)
{
	if (changed.wait_for(lock, bound, done))
		return testing::AssertionSuccess();
	return waitedInVain(what, bound);
}
