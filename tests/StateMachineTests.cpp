// StateMachine as a host uses it: the template compiled here, its messages written through the
// library's loggers. Scripted states record every action the machine runs on them.
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <Plinth/StateMachine.h>

#include "support/LogCapture.h"

namespace {

using Melvo::StateMachine;
using PlinthTest::LogCapture;

const char kLoggerName[] = "vorn.Plinth.TestMachine";

struct SharedCounter {
  int value = 0;
};

// What a state answers to one event; without a next name it leaves the machine's name alone.
struct Reply {
  std::optional<std::string> next;
  std::string reason;
  bool handled = true;
};

// A state that answers events from its script (staying by default), optionally names a state on
// entry, and writes each action the machine runs on it to a journal shared by all states.
class ScriptedState : public Melvo::IState<int, SharedCounter> {
 public:
  ScriptedState(std::string name, std::vector<std::string>& journal)
      : name(std::move(name)), journal(journal) {}

  std::string GetName() const override { return name; }

  ScriptedState& On(int event, Reply reply) {
    replies[event] = std::move(reply);
    return *this;
  }
  ScriptedState& OnEntryGoTo(std::string next) {
    entryNext = std::move(next);
    return *this;
  }
  // An entry action that leaves the machine's next-state name alone.
  ScriptedState& OnEntryNameNothing() {
    entryNamesNothing = true;
    return *this;
  }
  SharedCounter* Storage() const { return machineStorage; }

 protected:
  void DoEnter(const int& event, std::string& nextStateName) override {
    journal.push_back("enter " + name + " on " + std::to_string(event));
    if (entryNamesNothing) return;
    if (entryNext) {
      nextStateName = *entryNext;
    } else {
      IState::DoEnter(event, nextStateName);
    }
  }

  bool DoHandleEvent(const int& event, std::string& nextStateName, std::string& reason) override {
    journal.push_back("handle " + std::to_string(event) + " in " + name);
    if (event < 0) throw std::runtime_error("state failure");
    if (machineStorage != nullptr) ++machineStorage->value;
    auto reply = replies.find(event);
    if (reply == replies.end()) {
      nextStateName = name;
      return true;
    }
    if (reply->second.next) nextStateName = *reply->second.next;
    reason = reply->second.reason;
    return reply->second.handled;
  }

  void DoExit(const int& event, const std::string& enteredStateName) override {
    journal.push_back("exit " + name + " to " + enteredStateName + " on " + std::to_string(event));
  }

 private:
  std::string name;
  std::vector<std::string>& journal;
  std::map<int, Reply> replies;
  std::optional<std::string> entryNext;
  bool entryNamesNothing = false;
};

using Machine = StateMachine<ScriptedState>;

std::string Function(const std::string& operation) {
  return "Melvo::StateMachine<State, Initializer>::" + operation;
}

// The one message expected since the last take, with its full origin.
void ExpectOnlyMessage(spdlog::level::level_enum level, const std::string& operation,
                       const std::string& text) {
  auto records = LogCapture::Take();
  ASSERT_EQ(records.size(), 1u) << "expected only: " << text;
  EXPECT_EQ(records[0].level, level);
  EXPECT_EQ(records[0].logger, kLoggerName);
  EXPECT_EQ(records[0].file, "Plinth/StateMachine");
  EXPECT_GT(records[0].line, 0);
  EXPECT_EQ(records[0].function, Function(operation));
  EXPECT_EQ(records[0].text, text);
}

void ExpectNoMessage() {
  EXPECT_TRUE(LogCapture::Take().empty());
}

// States A (initial), B and C, their journal, and a machine that holds them.
class StateMachineTest : public testing::Test {
 protected:
  void SetUp() override { LogCapture::Take(); }

  std::shared_ptr<ScriptedState> Make(const std::string& name) {
    return std::make_shared<ScriptedState>(name, journal);
  }

  // Adds A as the initial state and B and C as normal ones, freezes, and clears the journal.
  void BuildAndFreeze() {
    ASSERT_TRUE(machine.AddTheInitialState(a));
    ASSERT_TRUE(machine.DoAddState(b, Melvo::Normal));
    ASSERT_TRUE(machine.DoAddState(c, Melvo::StateKind::Normal));
    ASSERT_TRUE(machine.FreezeStates());
    ExpectNoMessage();
  }

  // The name of the current state, seen by which state handles a probing event.
  std::string Current() {
    journal.clear();
    const bool handled = machine.ProcessEvent(kProbe);
    std::string handler = journal.empty() ? "" : journal.front().substr(journal.front().rfind(' ') + 1);
    EXPECT_TRUE(handled);
    EXPECT_EQ(journal.size(), 1u) << "a probe must not move the machine";
    journal.clear();
    return handler;
  }

  std::vector<std::string> TakeJournal() { return std::exchange(journal, {}); }

  static constexpr int kProbe = 99;
  std::vector<std::string> journal;
  Machine machine{kLoggerName};
  std::shared_ptr<ScriptedState> a = Make("A");
  std::shared_ptr<ScriptedState> b = Make("B");
  std::shared_ptr<ScriptedState> c = Make("C");
};

// The entry by which code compiled into hosts writes through the library's loggers.
TEST(WriteLogStatement, WritesTheTextAsItStandsAtValidLevelsOnly) {
  LogCapture::Take();
  for (int level : {-1, 6, 7}) {
    Melvo::detail::WriteLogStatement(kLoggerName, "Host/File", 7, "Host::Function", level, "dropped");
  }
  EXPECT_TRUE(LogCapture::Take().empty());

  for (int level : {0, 5}) {
    Melvo::detail::WriteLogStatement(kLoggerName, "Host/File", 7, "Host::Function", level, "kept {}");
  }
  auto records = LogCapture::Take();
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].level, spdlog::level::trace);
  EXPECT_EQ(records[1].level, spdlog::level::critical);
  EXPECT_EQ(records[1].logger, kLoggerName);
  EXPECT_EQ(records[1].file, "Host/File");
  EXPECT_EQ(records[1].line, 7);
  EXPECT_EQ(records[1].function, "Host::Function");
  EXPECT_EQ(records[1].text, "kept {}");
}

TEST(StateKind, ValuesAreFixed) {
  EXPECT_EQ(sizeof(Melvo::StateKind), 4u);
  EXPECT_EQ(static_cast<int>(Melvo::StateKind::Initial), 0);
  EXPECT_EQ(static_cast<int>(Melvo::StateKind::Normal), 1);
  EXPECT_EQ(static_cast<int>(Melvo::StateKind::Final), 2);
}

TEST_F(StateMachineTest, EventsAreRefusedUntilTheMachineIsFrozen) {
  EXPECT_FALSE(machine.ProcessEvent(1));
  ExpectOnlyMessage(spdlog::level::err, "ProcessEvent",
                    "Impossible to process event. Machine must be frozen before any event is processed.");
  EXPECT_FALSE(machine.ResetToInitialState());
  ExpectOnlyMessage(spdlog::level::err, "ResetToInitialState",
                    "Impossible to reach initial state. Machine must be frozen beforehand.");
  EXPECT_FALSE(machine.EntryAction(1));
  ExpectOnlyMessage(spdlog::level::err, "EntryAction",
                    "Impossible to process event. Machine must be frozen before any event is processed.");
  EXPECT_FALSE(machine.GotoState(1, "A", ""));
  ExpectOnlyMessage(spdlog::level::err, "GotoState",
                    "Impossible to process event. Machine must be frozen before any event is processed.");

  EXPECT_FALSE(machine.FreezeStates());
  ExpectOnlyMessage(spdlog::level::warn, "FreezeStates",
                    "Makes no sense to freeze a state machine not containing any states.");
  EXPECT_FALSE(machine.ProcessEvent(1)) << "a refused freeze leaves the machine open";
  LogCapture::Take();

  ASSERT_TRUE(machine.DoAddState(b, Melvo::Normal));
  EXPECT_FALSE(machine.FreezeStates());
  ExpectOnlyMessage(spdlog::level::warn, "FreezeStates", "State machine needs an initial state.");
  EXPECT_TRUE(machine.DoAddState(c, Melvo::Normal)) << "the machine is still being built";
  EXPECT_TRUE(machine.AddTheInitialState(a));
  EXPECT_TRUE(machine.FreezeStates());
  ExpectNoMessage();
  EXPECT_TRUE(journal.empty()) << "freezing runs no entry action";
  EXPECT_EQ(Current(), "A");
}

TEST_F(StateMachineTest, AddingRefusesSecondInitialStatesDuplicatesAndNamelessStates) {
  EXPECT_FALSE(machine.AddTheInitialState(nullptr));
  EXPECT_FALSE(machine.DoAddState(nullptr, Melvo::Normal));
  ExpectNoMessage();

  EXPECT_FALSE(machine.AddTheInitialState(Make("")));
  ExpectOnlyMessage(spdlog::level::warn, "DoAddState",
                    "Failed to add state, it must not have an empty name.");
  ASSERT_TRUE(machine.AddTheInitialState(a));
  EXPECT_FALSE(machine.AddTheInitialState(b));
  ExpectOnlyMessage(spdlog::level::warn, "AddTheInitialState",
                    "Failed to add initial state. There can be only one.");
  EXPECT_EQ(b->Storage(), nullptr) << "a refused state is not bound to the machine";

  auto otherA = Make("A");
  otherA->On(1, Reply{"B", "", true});
  EXPECT_FALSE(machine.DoAddState(otherA, Melvo::Normal));
  ExpectOnlyMessage(spdlog::level::warn, "DoAddState",
                    "Failed to add state. There is already a state named: A");
  EXPECT_EQ(otherA->Storage(), nullptr);
  EXPECT_TRUE(machine.DoAddState(Make("a"), Melvo::Normal)) << "names are case-sensitive";

  ASSERT_TRUE(machine.DoAddState(b, Melvo::Normal));
  ASSERT_TRUE(machine.FreezeStates());
  ASSERT_TRUE(machine.ProcessEvent(1));
  EXPECT_EQ(TakeJournal(), std::vector<std::string>{"handle 1 in A"}) << "the first state named A stays";
  ExpectNoMessage();

  EXPECT_FALSE(machine.DoAddState(c, Melvo::Normal));
  ExpectOnlyMessage(spdlog::level::warn, "DoAddState",
                    "The state machine is frozen. Can't add state on frozen machine.");
  EXPECT_FALSE(machine.DoAddState(c, Melvo::Final));
  ExpectOnlyMessage(spdlog::level::warn, "DoAddState",
                    "The state machine is frozen. Can't add state on frozen machine.");
  EXPECT_EQ(c->Storage(), nullptr);
}

TEST_F(StateMachineTest, StatesShareTheStorageOfTheMachineTheyWereAddedToLast) {
  ASSERT_TRUE(machine.AddTheInitialState(a));
  ASSERT_TRUE(machine.DoAddState(b, Melvo::Normal));
  ASSERT_NE(a->Storage(), nullptr);
  EXPECT_EQ(a->Storage(), b->Storage());

  Machine other(kLoggerName);
  ASSERT_TRUE(other.AddTheInitialState(b));
  EXPECT_NE(b->Storage(), a->Storage());

  ASSERT_TRUE(machine.FreezeStates());
  ASSERT_TRUE(machine.ProcessEvent(1));
  ASSERT_TRUE(machine.ProcessEvent(1));
  EXPECT_EQ(a->Storage()->value, 2);
  EXPECT_EQ(b->Storage()->value, 0);
}

TEST_F(StateMachineTest, EntryActionsChainThroughStatesWithExactExitsAndMessages) {
  a->On(1, Reply{"B", "start requested", true});
  b->OnEntryGoTo("C");
  c->OnEntryGoTo("C").On(2, Reply{"A", "", true});
  BuildAndFreeze();

  EXPECT_TRUE(machine.ProcessEvent(1));
  EXPECT_EQ(TakeJournal(), (std::vector<std::string>{"handle 1 in A", "exit A to B on 1", "enter B on 1",
                                                     "exit B to C on 1", "enter C on 1"}));
  auto records = LogCapture::Take();
  ASSERT_EQ(records.size(), 2u);
  for (const auto& record : records) {
    EXPECT_EQ(record.level, spdlog::level::info);
    EXPECT_EQ(record.logger, kLoggerName);
    EXPECT_EQ(record.file, "Plinth/StateMachine");
    EXPECT_EQ(record.function, Function("GotoState"));
  }
  EXPECT_EQ(records[0].text, "State transition: A --> B (start requested)");
  EXPECT_EQ(records[1].text, "State transition: B --> C") << "transitions of entry actions carry no reason";
  EXPECT_EQ(Current(), "C");

  // Back to A without a reason: A's default entry action stays in A.
  EXPECT_TRUE(machine.ProcessEvent(2));
  EXPECT_EQ(TakeJournal(), (std::vector<std::string>{"handle 2 in C", "exit C to A on 2", "enter A on 2"}));
  ExpectOnlyMessage(spdlog::level::info, "GotoState", "State transition: C --> A");
  EXPECT_EQ(Current(), "A");
}

TEST_F(StateMachineTest, StayingOrFailingHandlersMoveNothing) {
  a->On(1, Reply{"A", "ignored", true}).On(2, Reply{"B", "", false}).On(3, Reply{"", "why", true});
  a->On(4, Reply{"B", "", true});
  b->On(5, Reply{std::nullopt, "", true});
  BuildAndFreeze();

  EXPECT_TRUE(machine.ProcessEvent(1));
  EXPECT_EQ(TakeJournal(), std::vector<std::string>{"handle 1 in A"})
      << "no exit or entry action when staying";
  ExpectNoMessage();

  EXPECT_FALSE(machine.ProcessEvent(2));
  ExpectOnlyMessage(spdlog::level::err, "ProcessEvent", "Failed to process event");
  EXPECT_EQ(TakeJournal(), std::vector<std::string>{"handle 2 in A"});

  EXPECT_FALSE(machine.ProcessEvent(3));
  ExpectOnlyMessage(spdlog::level::warn, "GotoState",
                    "Software error? You are not setting the next state's name in state 'A' while processing "
                    "event. The state machine will stay in the same state.");
  EXPECT_EQ(TakeJournal(), std::vector<std::string>{"handle 3 in A"});
  EXPECT_EQ(Current(), "A");

  // A handler that names nothing is not taken to name what an earlier action named.
  ASSERT_TRUE(machine.ProcessEvent(4));
  LogCapture::Take();
  EXPECT_FALSE(machine.ProcessEvent(5));
  ExpectOnlyMessage(spdlog::level::warn, "GotoState",
                    "Software error? You are not setting the next state's name in state 'B' while processing "
                    "event. The state machine will stay in the same state.");
  EXPECT_EQ(Current(), "B");
}

TEST_F(StateMachineTest, ATransitionToAnUnknownNameLeavesNoCurrentStateUntilReset) {
  a->On(1, Reply{"Nowhere", "lost", true}).On(2, Reply{"B", "", true});
  BuildAndFreeze();

  EXPECT_FALSE(machine.ProcessEvent(1));
  ExpectOnlyMessage(spdlog::level::err, "GotoState",
                    "Can't transition to state 'Nowhere' because it is not part of the state machine.");
  EXPECT_EQ(TakeJournal(), std::vector<std::string>{"handle 1 in A"})
      << "no exit action for a failed transition";

  for (int attempt = 0; attempt < 2; ++attempt) {
    EXPECT_FALSE(machine.ProcessEvent(2));
    ExpectOnlyMessage(spdlog::level::err, "ProcessEvent", "Selected state not found.");
  }
  EXPECT_FALSE(machine.EntryAction(2));
  ExpectOnlyMessage(spdlog::level::err, "EntryAction", "Selected state not found.");
  EXPECT_FALSE(machine.GotoState(2, "B", ""));
  ExpectOnlyMessage(spdlog::level::err, "GotoState", "Selected state not found.");
  EXPECT_TRUE(journal.empty());

  EXPECT_TRUE(machine.ResetToInitialState());
  ExpectNoMessage();
  EXPECT_TRUE(journal.empty()) << "a reset runs no entry action";
  EXPECT_TRUE(machine.ProcessEvent(2));
  EXPECT_EQ(TakeJournal(), (std::vector<std::string>{"handle 2 in A", "exit A to B on 2", "enter B on 2"}));
  ExpectOnlyMessage(spdlog::level::info, "GotoState", "State transition: A --> B");

  // Freezing again also returns to the initial state.
  EXPECT_TRUE(machine.FreezeStates());
  EXPECT_EQ(Current(), "A");
}

TEST_F(StateMachineTest, EntryActionsThatNameNothingOrAnUnknownStateStopTheChain) {
  a->On(1, Reply{"B", "", true}).On(2, Reply{"C", "", true});
  b->OnEntryNameNothing();
  c->OnEntryGoTo("Elsewhere");
  BuildAndFreeze();

  EXPECT_FALSE(machine.ProcessEvent(1));
  auto records = LogCapture::Take();
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].text, "State transition: A --> B");
  EXPECT_EQ(records[1].level, spdlog::level::warn);
  EXPECT_EQ(records[1].function, Function("EntryAction"));
  EXPECT_EQ(
      records[1].text,
      "Software error? You are not setting the next state's name when entering state '[B]' with event. The "
      "state machine will stay in the original state.");
  EXPECT_EQ(Current(), "B") << "the machine stays in the state just entered";

  ASSERT_TRUE(machine.ResetToInitialState());
  EXPECT_FALSE(machine.ProcessEvent(2));
  records = LogCapture::Take();
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].text, "State transition: A --> C");
  EXPECT_EQ(records[1].text,
            "Can't transition to state 'Elsewhere' because it is not part of the state machine.");
  EXPECT_FALSE(machine.ProcessEvent(2));
  ExpectOnlyMessage(spdlog::level::err, "ProcessEvent", "Selected state not found.");
}

TEST_F(StateMachineTest, AFinalStateHandlesEventsButNeverLeaves) {
  auto end = Make("End");
  end->On(1, Reply{"A", "try to leave", true}).On(2, Reply{"A", "", false});
  a->On(1, Reply{"End", "", true});
  ASSERT_TRUE(machine.AddTheInitialState(a));
  ASSERT_TRUE(machine.DoAddState(end, Melvo::Final));
  ASSERT_TRUE(machine.FreezeStates());
  ASSERT_TRUE(machine.ProcessEvent(1));
  ExpectOnlyMessage(spdlog::level::info, "GotoState", "State transition: A --> End");
  TakeJournal();

  EXPECT_TRUE(machine.ProcessEvent(1));
  EXPECT_EQ(TakeJournal(), std::vector<std::string>{"handle 1 in End"});
  ExpectNoMessage();
  EXPECT_FALSE(machine.ProcessEvent(2));
  ExpectOnlyMessage(spdlog::level::err, "ProcessEvent", "Failed to process event");
  EXPECT_EQ(Current(), "End");
}

TEST_F(StateMachineTest, NamesWithBracesAreLoggedAsTheyStand) {
  auto braces = Make("{}");
  a->On(1, Reply{"{}", "{0} {:x}", true});
  ASSERT_TRUE(machine.AddTheInitialState(a));
  ASSERT_TRUE(machine.DoAddState(braces, Melvo::Normal));
  ASSERT_TRUE(machine.FreezeStates());
  EXPECT_TRUE(machine.ProcessEvent(1));
  ExpectOnlyMessage(spdlog::level::info, "GotoState", "State transition: A --> {} ({0} {:x})");
}

TEST_F(StateMachineTest, AStateThatThrowsLeavesTheMachineWhereItWas) {
  a->On(1, Reply{"B", "", true});
  BuildAndFreeze();
  ASSERT_TRUE(machine.ProcessEvent(1));
  LogCapture::Take();
  EXPECT_THROW(machine.ProcessEvent(-1), std::runtime_error);
  ExpectNoMessage();
  EXPECT_EQ(Current(), "B");
}

// A state whose name changes between calls: the machine refuses to reset rather than guess.
class FickleState : public Melvo::IState<int, Melvo::StateMachineNullStorage> {
 public:
  std::string GetName() const override { return "Fickle" + std::to_string(++calls); }

 protected:
  bool DoHandleEvent(const int&, std::string& nextStateName, std::string&) override {
    nextStateName = GetName();
    return true;
  }

 private:
  mutable int calls = 0;
};

TEST(StateMachine, AnInitialStateThatChangesItsNameCannotBeReached) {
  LogCapture::Take();
  StateMachine<FickleState> machine(kLoggerName);
  ASSERT_TRUE(machine.AddTheInitialState(std::make_shared<FickleState>()));
  EXPECT_FALSE(machine.FreezeStates());
  ExpectOnlyMessage(spdlog::level::err, "ResetToInitialState", "No initial state available.");
  EXPECT_FALSE(machine.ProcessEvent(0));
  ExpectOnlyMessage(spdlog::level::err, "ProcessEvent", "Selected state not found.");
}

// A state that cannot tell its name more than a given number of times.
class ForgetfulState : public Melvo::IState<int, SharedCounter> {
 public:
  ForgetfulState(std::string name, int namings) : name(std::move(name)), namings(namings) {}
  std::string GetName() const override {
    if (namings-- == 0) throw std::runtime_error("name lost");
    return name;
  }
  SharedCounter* Storage() const { return machineStorage; }

 protected:
  bool DoHandleEvent(const int&, std::string&, std::string&) override { return false; }

 private:
  std::string name;
  mutable int namings;
};

TEST(StateMachine, AnInitialStateThatFailsToBeNamedIsNotAdded) {
  LogCapture::Take();
  StateMachine<ForgetfulState> machine(kLoggerName);
  ASSERT_TRUE(machine.DoAddState(std::make_shared<ForgetfulState>("Other", 100), Melvo::Normal));
  auto state = std::make_shared<ForgetfulState>("Forgetful", 1);
  EXPECT_THROW(machine.AddTheInitialState(state), std::runtime_error);
  EXPECT_EQ(state->Storage(), nullptr);
  EXPECT_EQ(state.use_count(), 1) << "the machine keeps no reference";

  EXPECT_FALSE(machine.FreezeStates());
  ExpectOnlyMessage(spdlog::level::warn, "FreezeStates", "State machine needs an initial state.");
  EXPECT_TRUE(machine.AddTheInitialState(std::make_shared<ForgetfulState>("Forgetful", 100)));
  EXPECT_FALSE(machine.DoAddState(std::make_shared<ForgetfulState>("Other", 100), Melvo::Normal));
  ExpectOnlyMessage(spdlog::level::warn, "DoAddState",
                    "Failed to add state. There is already a state named: Other");
}

// The state the library's own load-time check uses: it always stays.
class MyState : public Melvo::IState<int, Melvo::StateMachineNullStorage> {
 public:
  explicit MyState(std::string name) : name(std::move(name)) {}
  std::string GetName() const override { return name; }

 protected:
  bool DoHandleEvent(const int&, std::string& nextStateName, std::string& reason) override {
    nextStateName = name;
    reason.clear();
    return true;
  }

 private:
  std::string name;
};

// A policy that builds and freezes the machine as it is made.
struct ReadyMadeInitializer {
  template <typename Machine>
  static void Initialize(Machine& machine) {
    machine.AddTheInitialState(std::make_shared<MyState>("Initial"));
    machine.DoAddState(std::make_shared<MyState>("Final"), Melvo::Final);
    machine.FreezeStates();
  }
};

TEST(StateMachine, TheLoadTimeCheckMachineStaysInItsInitialStateSilently) {
  LogCapture::Take();
  StateMachine<MyState> machine;
  EXPECT_TRUE(machine.AddTheInitialState(std::make_shared<MyState>("Initial")));
  EXPECT_TRUE(machine.DoAddState(std::make_shared<MyState>("Normal"), Melvo::Normal));
  EXPECT_TRUE(machine.DoAddState(std::make_shared<MyState>("Final"), Melvo::Final));
  EXPECT_TRUE(machine.FreezeStates());
  EXPECT_TRUE(machine.ProcessEvent(3));
  ExpectNoMessage();

  StateMachine<MyState, ReadyMadeInitializer> readyMade(kLoggerName);
  EXPECT_TRUE(readyMade.ProcessEvent(3)) << "the initialisation policy runs in the constructor";
  ExpectNoMessage();
}

}  // namespace
