#include <Plinth/CrashHandler.h>
#include <Plinth/Observed.h>

#include <chrono>
#include <future>
#include <list>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace {

using Melvo::ICrashHandlerObserver;
using ObserverRef = std::weak_ptr<ICrashHandlerObserver>;

// The library's exported instantiation, with the notification made reachable for the tests.
class Subject : public vorn::Observed<ICrashHandlerObserver, ObserverRef> {
 public:
  void Notify() { NotifyObservers(&ICrashHandlerObserver::OnCrash); }
};

class NamedObserver : public ICrashHandlerObserver {
 public:
  NamedObserver(std::string name, std::vector<std::string>& calls) : name_(std::move(name)), calls_(calls) {}
  void OnCrash() override { calls_.push_back(name_); }

 private:
  std::string name_;
  std::vector<std::string>& calls_;
};

class ObservedTest : public testing::Test {
 protected:
  std::shared_ptr<ICrashHandlerObserver> Make(const std::string& name) {
    return std::make_shared<NamedObserver>(name, calls);
  }

  static std::vector<ICrashHandlerObserver*> Entries(const Subject& subject) {
    std::vector<ICrashHandlerObserver*> entries;
    for (const ObserverRef& entry : subject.GetObservers()) entries.push_back(entry.lock().get());
    return entries;
  }

  std::vector<std::string> calls;
  Subject subject;
};

TEST_F(ObservedTest, AddingTheSameObjectTwiceKeepsOneEntry) {
  auto a = Make("a");
  auto b = Make("b");
  EXPECT_TRUE(subject.AddObserver(a));
  EXPECT_TRUE(subject.AddObserver(b));
  EXPECT_FALSE(subject.AddObserver(a));

  // A second owner of the same object, as an aliasing shared_ptr makes, is the same observer.
  std::shared_ptr<ICrashHandlerObserver> otherOwner(std::make_shared<int>(0), a.get());
  EXPECT_FALSE(subject.AddObserver(otherOwner));
  EXPECT_EQ(Entries(subject), (std::vector<ICrashHandlerObserver*>{a.get(), b.get()}));

  EXPECT_TRUE(subject.RemoveObserver(otherOwner));
  EXPECT_EQ(Entries(subject), (std::vector<ICrashHandlerObserver*>{b.get()}));
  EXPECT_FALSE(subject.RemoveObserver(a));
}

TEST_F(ObservedTest, EmptyAndExpiredReferencesAreAppendedUntilASearchMeetsThem) {
  auto expired = Make("gone");
  ObserverRef expiredRef = expired;
  expired.reset();

  EXPECT_TRUE(subject.AddObserver(ObserverRef()));
  EXPECT_TRUE(subject.AddObserver(expiredRef));
  EXPECT_EQ(subject.GetObservers().size(), 2u);

  auto a = Make("a");
  EXPECT_TRUE(subject.AddObserver(a));
  EXPECT_EQ(Entries(subject), (std::vector<ICrashHandlerObserver*>{a.get()}));
}

TEST_F(ObservedTest, RemovingAnEmptyOrExpiredReferenceLeavesTheListUntouched) {
  auto gone = Make("gone");
  ObserverRef goneRef = gone;
  EXPECT_TRUE(subject.AddObserver(goneRef));
  gone.reset();

  EXPECT_FALSE(subject.RemoveObserver(goneRef));
  EXPECT_FALSE(subject.RemoveObserver(ObserverRef()));
  EXPECT_EQ(subject.GetObservers().size(), 1u);

  // A search for a live observer that was never added erases the expired entries it walks past.
  auto stranger = Make("stranger");
  EXPECT_FALSE(subject.RemoveObserver(stranger));
  EXPECT_TRUE(subject.GetObservers().empty());
}

TEST_F(ObservedTest, SearchStopsAtTheMatchingEntry) {
  auto a = Make("a");
  auto b = Make("b");
  auto c = Make("c");
  subject.AddObserver(a);
  subject.AddObserver(b);
  subject.AddObserver(c);
  c.reset();

  EXPECT_FALSE(subject.AddObserver(b));
  EXPECT_EQ(subject.GetObservers().size(), 3u);
  EXPECT_TRUE(subject.RemoveObserver(a));
  EXPECT_EQ(subject.GetObservers().size(), 2u);
}

TEST_F(ObservedTest, NotificationCallsLiveObserversInOrderAndErasesTheRest) {
  auto a = Make("a");
  auto b = Make("b");
  auto c = Make("c");
  subject.AddObserver(a);
  subject.AddObserver(b);
  subject.AddObserver(c);
  b.reset();
  EXPECT_EQ(subject.GetObservers().size(), 3u);

  subject.Notify();
  EXPECT_EQ(calls, (std::vector<std::string>{"a", "c"}));
  EXPECT_EQ(Entries(subject), (std::vector<ICrashHandlerObserver*>{a.get(), c.get()}));
}

TEST_F(ObservedTest, SetObserversTakesDuplicatesAsTheyAre) {
  auto a = Make("a");
  auto b = Make("b");
  subject.AddObserver(b);
  subject.SetObservers({a, b, a});
  EXPECT_EQ(Entries(subject), (std::vector<ICrashHandlerObserver*>{a.get(), b.get(), a.get()}));

  subject.Notify();
  EXPECT_EQ(calls, (std::vector<std::string>{"a", "b", "a"}));

  subject.SetObservers(subject.GetObservers());
  EXPECT_EQ(subject.GetObservers().size(), 3u);
}

TEST_F(ObservedTest, GetObserversReturnsACopyAndClearEmptiesTheList) {
  auto a = Make("a");
  subject.AddObserver(a);
  std::list<ObserverRef> copy = subject.GetObservers();
  copy.clear();
  EXPECT_EQ(subject.GetObservers().size(), 1u);

  subject.ClearObservers();
  EXPECT_TRUE(subject.GetObservers().empty());
  subject.ClearObservers();
  subject.Notify();
  EXPECT_TRUE(calls.empty());
}

class ThrowingObserver : public ICrashHandlerObserver {
 public:
  void OnCrash() override { throw std::runtime_error("observer failed"); }
};

TEST_F(ObservedTest, WhatAnObserverThrowsLeavesTheNotificationAndReleasesTheLock) {
  auto thrower = std::make_shared<ThrowingObserver>();
  auto a = Make("a");
  subject.AddObserver(thrower);
  subject.AddObserver(a);
  EXPECT_THROW(subject.Notify(), std::runtime_error);
  EXPECT_TRUE(calls.empty());
  EXPECT_TRUE(subject.RemoveObserver(thrower));
  subject.Notify();
  EXPECT_EQ(calls, (std::vector<std::string>{"a"}));
}

// Drops its owner's last reference while it is being called: the list's own strong reference
// must keep it alive until the call returns.
class SelfReleasingObserver : public ICrashHandlerObserver {
 public:
  explicit SelfReleasingObserver(std::shared_ptr<ICrashHandlerObserver>& owner) : owner_(owner) {}
  void OnCrash() override {
    owner_.reset();
    called = true;
  }
  bool called = false;

 private:
  std::shared_ptr<ICrashHandlerObserver>& owner_;
};

TEST_F(ObservedTest, AnObserverDroppedByItsOwnerDuringItsCallStaysAliveForTheCall) {
  std::shared_ptr<ICrashHandlerObserver> owner;
  auto observer = std::make_shared<SelfReleasingObserver>(owner);
  std::weak_ptr<SelfReleasingObserver> watch = observer;
  owner = std::move(observer);
  subject.AddObserver(owner);
  subject.Notify();
  EXPECT_TRUE(watch.expired());
  EXPECT_TRUE(subject.GetObservers().front().expired());
}

class BlockingObserver : public ICrashHandlerObserver {
 public:
  void OnCrash() override {
    entered.set_value();
    release.get_future().wait();
  }
  std::promise<void> entered;
  std::promise<void> release;
};

TEST_F(ObservedTest, RegistrationWaitsForARunningNotification) {
  auto blocker = std::make_shared<BlockingObserver>();
  subject.AddObserver(blocker);
  std::thread notifier([&] { subject.Notify(); });
  blocker->entered.get_future().wait();

  auto a = Make("a");
  auto adding = std::async(std::launch::async, [&] { return subject.AddObserver(a); });
  EXPECT_EQ(adding.wait_for(std::chrono::milliseconds(100)), std::future_status::timeout);
  blocker->release.set_value();
  notifier.join();
  EXPECT_TRUE(adding.get());
  EXPECT_EQ(subject.GetObservers().size(), 2u);
}

TEST_F(ObservedTest, ConcurrentRegistrationKeepsEveryDistinctObserverOnce) {
  auto shared = Make("shared");
  constexpr int kThreads = 4;
  constexpr int kPerThread = 50;
  std::vector<std::shared_ptr<ICrashHandlerObserver>> owned[kThreads];
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kPerThread; ++i) {
        owned[t].push_back(std::make_shared<NamedObserver>("x", calls));
        subject.AddObserver(owned[t].back());
        subject.AddObserver(shared);
        subject.GetObservers();
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(subject.GetObservers().size(), static_cast<std::size_t>(kThreads * kPerThread + 1));
}

}  // namespace
