// vorn::Observed, through the crash handler's observer list that the library compiles and exports.
#include <Plinth/CrashHandler.h>
#include <Plinth/Observed.h>

#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace {

using Melvo::ICrashHandlerObserver;
using Observer = std::shared_ptr<ICrashHandlerObserver>;
using ObserverRef = std::weak_ptr<ICrashHandlerObserver>;
using Pointers = std::vector<ICrashHandlerObserver*>;

// The notification made reachable for the tests.
class Subject : public vorn::Observed<ICrashHandlerObserver, ObserverRef> {
 public:
  void Notify() { NotifyObservers(&ICrashHandlerObserver::OnCrash); }
};

class CallbackObserver : public ICrashHandlerObserver {
 public:
  explicit CallbackObserver(std::function<void()> onCrash) : onCrash(std::move(onCrash)) {}
  void OnCrash() override { onCrash(); }

 private:
  std::function<void()> onCrash;
};

class ObservedTest : public testing::Test {
 protected:
  Observer Make(std::function<void()> onCrash) {
    return std::make_shared<CallbackObserver>(std::move(onCrash));
  }
  Observer Make(const std::string& name) {
    return Make([this, name] { calls.push_back(name); });
  }

  // The objects listed, in order; null for an empty or expired entry.
  Pointers Entries() const {
    Pointers entries;
    for (const ObserverRef& entry : subject.GetObservers()) entries.push_back(entry.lock().get());
    return entries;
  }

  std::vector<std::string> calls;
  Subject subject;
  Observer a = Make("a");
  Observer b = Make("b");
  Observer c = Make("c");
};

TEST_F(ObservedTest, AnObjectIsListedOnceWhicheverOwnerRefersToIt) {
  EXPECT_TRUE(subject.AddObserver(a));
  EXPECT_TRUE(subject.AddObserver(b));
  EXPECT_FALSE(subject.AddObserver(a));
  const Observer otherOwner(std::make_shared<int>(0), a.get());  // aliasing: same object, other owner
  EXPECT_FALSE(subject.AddObserver(otherOwner));
  EXPECT_EQ(Entries(), (Pointers{a.get(), b.get()}));

  EXPECT_TRUE(subject.RemoveObserver(otherOwner));
  EXPECT_FALSE(subject.RemoveObserver(a));
  EXPECT_EQ(Entries(), (Pointers{b.get()}));
}

TEST_F(ObservedTest, EmptyAndExpiredEntriesStayUntilASearchWalksPastThem) {
  const ObserverRef expired = Make("gone");
  EXPECT_TRUE(subject.AddObserver(ObserverRef()));
  EXPECT_TRUE(subject.AddObserver(expired));
  EXPECT_FALSE(subject.RemoveObserver(expired));
  EXPECT_FALSE(subject.RemoveObserver(ObserverRef()));
  EXPECT_EQ(Entries(), (Pointers{nullptr, nullptr})) << "a search for no object walks nothing";
  EXPECT_TRUE(subject.AddObserver(a));
  EXPECT_EQ(Entries(), (Pointers{a.get()}));

  // A search stops at the entry it finds; one that finds nothing walks the whole list.
  subject.AddObserver(b);
  subject.AddObserver(c);
  c.reset();
  EXPECT_FALSE(subject.AddObserver(b));
  EXPECT_TRUE(subject.RemoveObserver(a));
  EXPECT_EQ(Entries(), (Pointers{b.get(), nullptr}));
  EXPECT_FALSE(subject.RemoveObserver(Make("stranger")));
  EXPECT_EQ(Entries(), (Pointers{b.get()}));
}

TEST_F(ObservedTest, NotificationCallsLiveEntriesInOrderAndErasesTheRest) {
  subject.AddObserver(c);
  subject.SetObservers({a, b, c, a});
  EXPECT_EQ(Entries(), (Pointers{a.get(), b.get(), c.get(), a.get()})) << "duplicates are set as they are";
  b.reset();
  subject.Notify();
  EXPECT_EQ(calls, (std::vector<std::string>{"a", "c", "a"}));
  EXPECT_EQ(Entries(), (Pointers{a.get(), c.get(), a.get()}));

  subject.ClearObservers();
  subject.Notify();
  EXPECT_EQ(calls.size(), 3u);
  EXPECT_TRUE(Entries().empty());
}

TEST_F(ObservedTest, WhatAnObserverThrowsPassesToTheNotifierAndReleasesTheLock) {
  const Observer thrower = Make([] { throw std::runtime_error("observer failed"); });
  subject.AddObserver(thrower);
  subject.AddObserver(a);
  EXPECT_THROW(subject.Notify(), std::runtime_error);
  EXPECT_TRUE(calls.empty());
  EXPECT_TRUE(subject.RemoveObserver(thrower));
  subject.Notify();
  EXPECT_EQ(calls, (std::vector<std::string>{"a"}));
}

// The list's own strong reference keeps an observer alive while it is called, even when the call
// drops its owner's last reference (the sanitizer builds see a use after free otherwise).
TEST_F(ObservedTest, AnObserverDroppedByItsOwnerDuringItsCallStaysAliveForTheCall) {
  Observer owner;
  owner = Make([&owner, this] {
    owner.reset();
    calls.push_back("released");
  });
  const ObserverRef watch = owner;
  subject.AddObserver(owner);
  subject.Notify();
  EXPECT_EQ(calls, (std::vector<std::string>{"released"}));
  EXPECT_TRUE(watch.expired());
}

TEST_F(ObservedTest, RegistrationWaitsForARunningNotification) {
  std::promise<void> entered, release;
  const Observer blocker = Make([&] {
    entered.set_value();
    release.get_future().wait();
  });
  subject.AddObserver(blocker);
  std::thread notifier([&] { subject.Notify(); });
  entered.get_future().wait();
  auto adding = std::async(std::launch::async, [&] { return subject.AddObserver(a); });
  EXPECT_EQ(adding.wait_for(std::chrono::milliseconds(100)), std::future_status::timeout);
  release.set_value();
  notifier.join();
  EXPECT_TRUE(adding.get());
}

TEST_F(ObservedTest, ConcurrentRegistrationKeepsEveryDistinctObserverOnce) {
  constexpr int kThreads = 4, kPerThread = 50;
  std::vector<Observer> owned[kThreads];
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kPerThread; ++i) {
        owned[t].push_back(Make("x"));
        subject.AddObserver(owned[t].back());
        subject.AddObserver(a);
        subject.GetObservers();
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(Entries().size(), static_cast<std::size_t>(kThreads * kPerThread + 1));
}

}  // namespace
