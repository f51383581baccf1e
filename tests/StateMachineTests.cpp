// StateMachine as a host uses it: the template compiled here, its messages written through the
// library's loggers. Scripted states journal every action the machine runs on them, and each step
// states the event's result, then the actions run and the messages written.
#include <Plinth/StateMachine.h>
#include <gtest/gtest.h>

#include <map>

#include "support/LogCapture.h"

namespace {

std::string journal;

// Answers each event from its script, "next|reason" ("!" after the name: not handled), staying
// without a reply; the entry's answer is the reply to event 0. Throws on negative events and
// journals every action.
class ScriptedState : public Melvo::IState<int, Melvo::StateMachineNullStorage> {
 public:
  ScriptedState(std::string name, std::map<int, std::string> replies) : name(name), replies(replies) {}
  std::string GetName() const override { return name; }

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
  std::map<int, std::string> replies;
};

std::shared_ptr<ScriptedState> Make(const std::string& name, std::map<int, std::string> replies = {}) {
  return std::make_shared<ScriptedState>(name, std::move(replies));
}

// The journal and the messages since the last look: a transition with its text, any other message
// as its level and operation ("?" when from another logger, file or class).
std::string Outcome() {
  const std::string prefix =
      "vorn.Plinth.Machine Plinth/StateMachine Melvo::StateMachine<State, Initializer>::";
  std::string outcome = std::exchange(journal, {});
  for (const auto& r : PlinthTest::LogCapture::Take()) {
    const std::string origin = r.logger + " " + r.file + " " + r.function;
    outcome +=
        fmt::format("| {}{} {}", origin.find(prefix) == 0 ? "" : "?", spdlog::level::to_short_c_str(r.level),
                    origin.substr(prefix.size()) + (r.level == spdlog::level::info ? " " + r.text : ""));
  }
  return outcome;
}

// Events are refused until the machine is frozen, which needs states and an initial one; empty
// references, nameless states, a second initial state, taken names and late states are refused.
// Once frozen, events run the actions the states name, and transitions say why.
TEST(StateMachine, RefusesWhatCannotWorkAndRunsTheActionsTheStatesName) {
  Melvo::StateMachine<ScriptedState> machine{"vorn.Plinth.Machine"};
  const auto run = [&](const std::vector<std::tuple<int, bool, std::string>>& steps) {
    for (const auto& [event, result, outcome] : steps) {
      EXPECT_EQ(machine.ProcessEvent(event), result) << event;
      EXPECT_EQ(Outcome(), outcome) << event;
    }
  };
  auto a = Make("A", {{1, "B|start requested"}, {2, "B!"}, {3, ""}, {4, "A|ignored"}, {7, "{}|{0} {:x}"}});
  auto b = Make("B", {{0, "C"}});
  EXPECT_FALSE(machine.ProcessEvent(1) || machine.EntryAction(1) || machine.GotoState(1, "A", "") ||
               machine.ResetToInitialState() || machine.FreezeStates() ||
               machine.DoAddState(nullptr, Melvo::Normal) || machine.AddTheInitialState(Make("")) ||
               !machine.DoAddState(b, Melvo::Normal) || machine.FreezeStates());
  for (const auto& state :
       {Make("C", {{5, "D"}}), Make("D", {{0, ""}, {6, "E"}}), Make("E", {{0, "Elsewhere"}})})
    machine.DoAddState(state, Melvo::Normal);
  EXPECT_FALSE(!machine.AddTheInitialState(a) || machine.AddTheInitialState(Make("X")) ||
               machine.DoAddState(Make("B"), Melvo::Normal) ||
               !machine.DoAddState(Make("{}", {{1, "A|try to leave"}, {2, "A!"}}), Melvo::Final) ||
               !machine.FreezeStates() || machine.DoAddState(Make("F"), Melvo::Normal));
  EXPECT_EQ(
      Outcome(),  // freezing ran no entry action
      "| E ProcessEvent| E EntryAction| E GotoState| E ResetToInitialState| W FreezeStates| W DoAddState"
      "| W FreezeStates| W AddTheInitialState| W DoAddState| W DoAddState");
  const std::string move = "| I GotoState State transition: ";
  run({{4, true, "A.handle(4) "},
       {2, false, "A.handle(2) | E ProcessEvent"},
       {3, false, "A.handle(3) | W GotoState"},
       {1, true,
        "A.handle(1) A.exit(1,B) B.enter(1) B.exit(1,C) C.enter(1) " + move + "A --> B (start requested)" +
            move + "B --> C"},
       {5, false, "C.handle(5) C.exit(5,D) D.enter(5) " + move + "C --> D| W EntryAction"},
       {6, false, "D.handle(6) D.exit(6,E) E.enter(6) " + move + "D --> E| E GotoState"},
       {1, false, "| E ProcessEvent"}});
  EXPECT_TRUE(machine.FreezeStates()) << "freezing again returns to the initial state";
  run({{7, true, "A.handle(7) A.exit(7,{}) {}.enter(7) " + move + "A --> {} ({0} {:x})"},
       {1, true, "{}.handle(1) "},  // a final state never leaves
       {2, false, "{}.handle(2) | E ProcessEvent"}});
  EXPECT_THROW(machine.ProcessEvent(-1), std::runtime_error);
  run({{9, true, "{}.handle(-1) {}.handle(9) "}});  // a throwing state stays current
}

}  // namespace
