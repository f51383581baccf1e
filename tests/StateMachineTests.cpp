// StateMachine as a host uses it: the template compiled here, its messages written through the
// library's loggers. Scripted states journal every action the machine runs on them, and each step
// states the event's result, then the actions run and the messages written.
#include <Plinth/StateMachine.h>
#include <gtest/gtest.h>

#include <functional>
#include <map>

#include "support/LogCapture.h"

namespace {

// Answers each event from its script, "next|reason" ("!" after the name: not handled), staying
// without a reply; the entry's answer is the reply to event 0. Throws on negative events, journals
// every action, and takes its name from `nameSource` when one is set.
class ScriptedState : public Melvo::IState<int, Melvo::StateMachineNullStorage> {
 public:
  ScriptedState(std::string name, std::string& journal) : name(std::move(name)), journal(journal) {}
  std::string GetName() const override { return nameSource ? nameSource() : name; }
  const void* Storage() const { return machineStorage; }
  std::map<int, std::string> replies;
  std::function<std::string()> nameSource;

 protected:
  void DoEnter(const int& event, std::string& next) override {
    journal += name + ".enter(" + std::to_string(event) + ") ";
    replies.count(0) ? void(next += replies[0]) : IState::DoEnter(event, next);
  }
  bool DoHandleEvent(const int& event, std::string& next, std::string& reason) override {
    journal += name + ".handle(" + std::to_string(event) + ") ";
    const std::string reply = event < 0              ? throw std::runtime_error("failed")
                              : replies.count(event) ? replies[event]
                                                     : name;
    next += reply.substr(0, reply.find_first_of("|!"));  // appended: a name left over from before shows
    reason = reply.find('|') == std::string::npos ? "" : reply.substr(reply.find('|') + 1);
    return reply.find('!') == std::string::npos;
  }
  void DoExit(const int& event, const std::string& entered) override {
    journal += name + ".exit(" + std::to_string(event) + "," + entered + ") ";
  }

 private:
  std::string name;
  std::string& journal;
};

class StateMachineTest : public testing::Test {
 protected:
  std::shared_ptr<ScriptedState> Make(const std::string& name) {
    return std::make_shared<ScriptedState>(name, journal);
  }
  // The journal and the messages since the last look, once their logger, file and function are
  // checked: a transition with its text, any other message as its level, operation and the name it
  // quotes.
  std::string Outcome() {
    const std::string prefix = "Melvo::StateMachine<State, Initializer>::";
    std::string outcome = std::exchange(journal, {});
    for (const auto& r : PlinthTest::LogCapture::Take()) {
      EXPECT_EQ(r.logger + " " + r.file + " " + r.function.substr(0, prefix.size()),
                "vorn.Plinth.Machine Plinth/StateMachine " + prefix);
      const std::size_t open = r.text.find(" '"), close = r.text.find("' ", open + 2);
      const std::string detail = r.level == spdlog::level::info ? " " + r.text
                                 : open == std::string::npos    ? ""
                                                                : r.text.substr(open, close - open + 1);
      outcome += fmt::format("| {} {}{}", spdlog::level::to_short_c_str(r.level),
                             r.function.substr(std::min(prefix.size(), r.function.size())), detail);
    }
    return outcome;
  }
  void Run(const std::vector<std::tuple<int, bool, std::string>>& steps) {
    for (const auto& [event, result, outcome] : steps) {
      EXPECT_EQ(machine.ProcessEvent(event), result) << event;
      EXPECT_EQ(Outcome(), outcome) << event;
    }
  }

  std::string journal;
  Melvo::StateMachine<ScriptedState> machine{"vorn.Plinth.Machine"};
  std::shared_ptr<ScriptedState> a = Make("A"), b = Make("B"), c = Make("C");
};

// Events are refused until the machine is frozen, which needs an initial state; empty references,
// nameless states, second initial states, taken names and late states are refused. A state whose
// name cannot be read again is taken back out; one whose name changes is never found.
TEST_F(StateMachineTest, AddingAndFreezingRefuseWhatCannotWork) {
  EXPECT_FALSE(machine.ProcessEvent(1) || machine.EntryAction(1) || machine.GotoState(1, "A", "") ||
               machine.ResetToInitialState() || machine.FreezeStates() ||
               machine.AddTheInitialState(nullptr) || machine.DoAddState(nullptr, Melvo::Normal) ||
               machine.AddTheInitialState(Make("")) || !machine.DoAddState(b, Melvo::Normal) ||
               machine.FreezeStates());
  a->nameSource = [namings = 1]() mutable {
    return namings-- ? std::string("A") : throw std::runtime_error("lost");
  };
  EXPECT_THROW(machine.AddTheInitialState(a), std::runtime_error);
  EXPECT_TRUE(a->Storage() == nullptr && a.use_count() == 1);
  a->nameSource = nullptr;
  EXPECT_FALSE(machine.FreezeStates() || !machine.AddTheInitialState(a) || machine.AddTheInitialState(c) ||
               machine.DoAddState(Make("B"), Melvo::Normal) || !machine.DoAddState(Make("a"), Melvo::Normal));
  EXPECT_TRUE(c->Storage() == nullptr && a->Storage() != nullptr && a->Storage() == b->Storage());
  Melvo::StateMachine<ScriptedState> other("vorn.Plinth.Machine");  // b is bound to it from now on
  c->nameSource = [calls = 0]() mutable { return "Fickle" + std::to_string(++calls); };
  EXPECT_FALSE(!other.DoAddState(b, Melvo::Normal) || !other.AddTheInitialState(c) || other.FreezeStates() ||
               other.ProcessEvent(0) || a->Storage() == b->Storage());
  EXPECT_FALSE(!machine.FreezeStates() || machine.DoAddState(Make("D"), Melvo::Final));
  EXPECT_EQ(Outcome(),
            "| E ProcessEvent| E EntryAction| E GotoState| E ResetToInitialState| W FreezeStates| W "
            "DoAddState| W FreezeStates"
            "| W FreezeStates| W AddTheInitialState| W DoAddState| E ResetToInitialState| E ProcessEvent| W "
            "DoAddState");
  Run({{1, true, "A.handle(1) "}});  // freezing ran no entry action
}

TEST_F(StateMachineTest, EventsRunTheActionsTheStatesNameAndSayWhy) {
  auto d = Make("D"), e = Make("E"), end = Make("{}");
  a->replies = {{1, "B|start requested"}, {2, "B!"},      {3, ""},
                {4, "A|ignored"},         {5, "Nowhere"}, {7, "{}|{0} {:x}"}};
  b->replies = {{0, "C"}};
  c->replies = {{5, "D"}};
  d->replies = {{0, ""}, {6, "E"}};
  e->replies = {{0, "Elsewhere"}};
  end->replies = {{1, "A|try to leave"}, {2, "A!"}};
  for (const auto& state : {b, c, d, e}) machine.DoAddState(state, Melvo::Normal);
  EXPECT_TRUE(machine.AddTheInitialState(a) && machine.DoAddState(end, Melvo::Final) &&
              machine.FreezeStates());
  const std::string move = "| I GotoState State transition: ";
  Run({{4, true, "A.handle(4) "},
       {2, false, "A.handle(2) | E ProcessEvent"},
       {3, false, "A.handle(3) | W GotoState 'A'"},
       {1, true,
        "A.handle(1) A.exit(1,B) B.enter(1) B.exit(1,C) C.enter(1) " + move + "A --> B (start requested)" +
            move + "B --> C"},
       {5, false, "C.handle(5) C.exit(5,D) D.enter(5) " + move + "C --> D| W EntryAction '[D]'"},
       {6, false, "D.handle(6) D.exit(6,E) E.enter(6) " + move + "D --> E| E GotoState 'Elsewhere'"},
       {1, false, "| E ProcessEvent"}});
  EXPECT_FALSE(machine.EntryAction(2) || machine.GotoState(2, "B", "") || !machine.ResetToInitialState());
  EXPECT_EQ(Outcome(), "| E EntryAction| E GotoState");
  Run({{5, false, "A.handle(5) | E GotoState 'Nowhere'"}});
  EXPECT_TRUE(machine.FreezeStates()) << "freezing again returns to the initial state";
  Run({{7, true, "A.handle(7) A.exit(7,{}) {}.enter(7) " + move + "A --> {} ({0} {:x})"},
       {1, true, "{}.handle(1) "},  // a final state never leaves
       {2, false, "{}.handle(2) | E ProcessEvent"}});
  EXPECT_THROW(machine.ProcessEvent(-1), std::runtime_error);
  Run({{9, true, "{}.handle(-1) {}.handle(9) "}});  // a throwing state stays current
}

}  // namespace
