// vorn::Observed, through the crash handler's observer list that the library compiles and exports.
#include <Plinth/CrashHandler.h>
#include <Plinth/Observed.h>
#include <gtest/gtest.h>

#include <functional>
#include <future>

namespace {

using Observer = std::shared_ptr<Melvo::ICrashHandlerObserver>;

// The test is the observed subject itself, so that it may notify; its observers run an action.
class ObservedTest
    : public testing::Test,
      public vorn::Observed<Melvo::ICrashHandlerObserver, std::weak_ptr<Melvo::ICrashHandlerObserver>> {
 protected:
  struct Action : Melvo::ICrashHandlerObserver {
    explicit Action(std::function<void()> action) : action(std::move(action)) {}
    void OnCrash() override { action(); }
    std::function<void()> action;
  };
  Observer Make(const std::string& name) {
    return std::make_shared<Action>([this, name] { calls += name; });
  }
  // Who was called, then how many entries are left.
  std::string Notify() {
    NotifyObservers(&Melvo::ICrashHandlerObserver::OnCrash);
    return std::exchange(calls, "") + std::to_string(GetObservers().size());
  }

  std::string calls;
  Observer a = Make("a"), b = Make("b"), c = Make("c");
};

// One entry per object, whichever owner refers to it. A search stops at the entry it finds and
// erases the expired entries it passes; a notification calls the live entries in order, duplicates
// as set, and erases the expired ones.
TEST_F(ObservedTest, EachObjectIsListedOnceAndCalledInOrder) {
  const Observer otherOwner(std::make_shared<int>(0), a.get());
  EXPECT_TRUE(AddObserver(Make("gone")) && AddObserver({}) && !RemoveObserver({}) &&
              GetObservers().size() == 2)
      << "a search for no object walks nothing";
  EXPECT_TRUE(AddObserver(a) && AddObserver(b) && AddObserver(c) && !AddObserver(otherOwner) &&
              !AddObserver(b));
  c.reset();
  EXPECT_TRUE(!AddObserver(b) && GetObservers().size() == 3 && RemoveObserver(otherOwner));
  EXPECT_TRUE(!RemoveObserver(Make("x")) && GetObservers().size() == 1);
  SetObservers({a, b, a, Make("gone")});
  EXPECT_EQ(Notify(), "aba3");
}

// The list's own reference keeps an observer alive through its call even when the call drops its
// owner's last one (the sanitizer builds see a use after free otherwise). A notification holds the
// lock, so registration waits for it; a throw passes on and releases it.
TEST_F(ObservedTest, NotificationRunsUnderTheLockAndKeepsTheCalledObserverAlive) {
  std::promise<void> entered, release;
  Observer owner = std::make_shared<Action>([&] {
    owner.reset();
    entered.set_value();
    release.get_future().wait();
    throw std::runtime_error("observer failed");
  });
  SetObservers({owner, a});
  auto notifying = std::async(std::launch::async, [this] { return Notify(); });
  entered.get_future().wait();
  auto adding = std::async(std::launch::async, [this] { return AddObserver(b); });
  EXPECT_EQ(adding.wait_for(std::chrono::milliseconds(100)), std::future_status::timeout);
  release.set_value();
  EXPECT_THROW(notifying.get(), std::runtime_error);
  EXPECT_TRUE(adding.get());
  EXPECT_EQ(Notify(), "ab2") << "the dropped observer's entry is erased";
}

}  // namespace
