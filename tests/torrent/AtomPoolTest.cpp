// Values made on one thread and dropped on another, and values kept while others come and
// go, must stay intact: pooled blocks are reused only once nothing holds them.

#include <gtest/gtest.h>

#include <future>
#include <string>
#include <thread>
#include <vector>

#include "torrent/Bencode.h"

namespace morvane {
namespace {

// A tree with values of every size the pool serves.
std::string TreeBytes(int seed) {
  std::string bytes = "d5:filesl";
  for (int i = 0; i < 200; ++i) {
    const std::string name = "name-" + std::to_string(seed) + "-" + std::to_string(i);
    bytes += "d6:lengthi" + std::to_string(seed * 1000 + i) + "e4:pathl" +
             std::to_string(name.size()) + ":" + name + "ee";
  }
  return bytes + "e4:seedi" + std::to_string(seed) + "ee";
}

AtomPtr Tree(int seed) {
  const std::string bytes = TreeBytes(seed);
  return ParseValue(bytes.data(), static_cast<std::uint32_t>(bytes.size()), 0);
}

void ExpectIntact(const AtomPtr& tree, int seed) {
  ASSERT_TRUE(tree);
  EXPECT_EQ(SerializeValue(*tree), TreeBytes(seed));
}

TEST(AtomPool, KeptValuesSurviveOthersComingAndGoing) {
  AtomPtr kept = Tree(1);
  for (int round = 0; round < 20; ++round) {
    AtomPtr passing = Tree(2 + round);
    ExpectIntact(passing, 2 + round);
  }
  std::vector<AtomPtr> several;
  for (int i = 0; i < 5; ++i) several.push_back(Tree(100 + i));
  several.erase(several.begin() + 1, several.begin() + 4);
  for (int round = 0; round < 5; ++round) ExpectIntact(Tree(200 + round), 200 + round);
  ExpectIntact(kept, 1);
  ExpectIntact(several[0], 100);
  ExpectIntact(several[1], 104);
}

TEST(AtomPool, ValuesCrossThreads) {
  struct Case {
    const char* what;
    bool makerEndsFirst;
  } cases[] = {{"dropped while the maker runs", false}, {"dropped after the maker ended", true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    AtomPtr handedOver;
    AtomPtr keptByMaker;
    std::promise<void> madeThem, mayEnd;
    std::thread maker([&] {
      handedOver = Tree(1);
      keptByMaker = Tree(2);
      AtomPtr dropped = Tree(3);
      dropped.reset();
      madeThem.set_value();
      if (!c.makerEndsFirst) mayEnd.get_future().wait();
      ExpectIntact(Tree(7), 7);  // while its other values are held or dropped elsewhere
    });
    madeThem.get_future().wait();
    if (c.makerEndsFirst) maker.join();
    // This thread drops the maker's blocks and makes its own from them and from fresh ones.
    handedOver.reset();
    AtomPtr made = Tree(4);
    if (!c.makerEndsFirst) {
      mayEnd.set_value();
      maker.join();
    }
    ExpectIntact(keptByMaker, 2);
    ExpectIntact(made, 4);
    // The maker's values, dropped here, and this thread's, dropped by yet another thread.
    std::thread dropper([&] {
      keptByMaker.reset();
      made.reset();
      AtomPtr own = Tree(5);
      ExpectIntact(own, 5);
    });
    dropper.join();
    ExpectIntact(Tree(6), 6);
  }
}

TEST(AtomPool, ThreadsPassingTreesAround) {
  constexpr int kThreads = 4;
  constexpr int kRounds = 30;
  std::vector<AtomPtr> slots(kThreads);
  std::vector<std::thread> threads;
  std::vector<int> failures(kThreads, 0);
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int round = 0; round < kRounds; ++round) {
        const int seed = t * 1000 + round;
        AtomPtr mine = Tree(seed);
        AtomPtr other = Tree(seed + 500);
        if (!mine || SerializeValue(*mine) != TreeBytes(seed)) ++failures[t];
        other.reset();
        // Each thread leaves its tree in its own slot for the next thread to drop.
        slots[t] = std::move(mine);
      }
    });
  }
  for (auto& thread : threads) thread.join();
  for (int t = 0; t < kThreads; ++t) {
    EXPECT_EQ(failures[t], 0) << t;
    ExpectIntact(slots[t], t * 1000 + kRounds - 1);
  }
  std::thread([&] { slots.clear(); }).join();
}

}  // namespace
}  // namespace morvane
