// vorn::Observed, through the crash handler's observer list that the library compiles and exports.
#include <Plinth/CrashHandler.h>
#include <Plinth/Observed.h>
#include <gtest/gtest.h>

#include <functional>

namespace {

using Observer = std::shared_ptr<Melvo::ICrashHandlerObserver>;

struct Action : Melvo::ICrashHandlerObserver {
  explicit Action(std::function<void()> action) : action(std::move(action)) {}
  void OnCrash() override { action(); }
  std::function<void()> action;
};

// One entry per object, whichever owner refers to it. A search stops at the entry it finds and
// erases the expired entries it passes; a notification calls the live entries in order, duplicates
// as set, and erases the expired ones. The list's own reference keeps an observer alive through its
// call even when the call drops its owner's last one (the sanitizer builds see a use after free
// otherwise); a throw passes on and leaves the lock free.
TEST(Observed, EachObjectIsListedOnceAndCalledInOrder) {
  struct List : vorn::Observed<Melvo::ICrashHandlerObserver, std::weak_ptr<Melvo::ICrashHandlerObserver>> {
    std::string Notify() {
      NotifyObservers(&Melvo::ICrashHandlerObserver::OnCrash);
      return std::exchange(calls, "") + std::to_string(GetObservers().size());
    }
    std::string calls;
  } list;
  const auto make = [&](const std::string& name) -> Observer {
    return std::make_shared<Action>([&list, name] { list.calls += name; });
  };
  Observer a = make("a"), b = make("b"), c = make("c"), otherOwner(std::make_shared<int>(0), a.get());
  EXPECT_TRUE(list.AddObserver(make("gone")) && list.AddObserver({}) && !list.RemoveObserver({}) &&
              list.GetObservers().size() == 2)
      << "a search for no object walks nothing";
  EXPECT_TRUE(list.AddObserver(a) && list.AddObserver(b) && list.AddObserver(c) &&
              !list.AddObserver(otherOwner) && !list.AddObserver(b));
  c.reset();
  EXPECT_TRUE(!list.AddObserver(b) && list.GetObservers().size() == 3 && list.RemoveObserver(otherOwner) &&
              !list.RemoveObserver(make("x")) && list.GetObservers().size() == 1);
  Observer owner = std::make_shared<Action>([&] {
    list.calls += std::to_string(owner.use_count());
    owner.reset();
    throw std::runtime_error("observer failed");
  });
  list.SetObservers({a, b, a, owner, make("gone")});
  EXPECT_THROW(list.Notify(), std::runtime_error);
  EXPECT_EQ(list.Notify(), "aba2aba3") << "called while the list held it; its entry erased next time";
  list.ClearObservers();
  EXPECT_EQ(list.Notify(), "0");
}

}  // namespace
