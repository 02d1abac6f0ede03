#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "tests/harness/flavour.h"
#include "tests/harness/harness.h"

namespace ductrine::test {
namespace {

TEST(RecordStreams, PeekOnMissingStreamReturnsAtOnce) {
  TestRun run;
  std::atomic<bool> peekedMissing{false};
  std::vector<std::string> seen;
  StageRef producer = run.Add(0, "P", Producer({"a"}));
  StageRef consumer = run.Add(0, "C", [&](CProcess& self, CPipeSet& set) {
    std::string record = "unchanged";
    peekedMissing = !set.PeekRecord(self, 1, record) && record == "unchanged" &&
                    !set.ConsumeRecord(self, 1);
    EXPECT_EQ(set.FindStage(self)->readCount, 0u);
    return Collector(&seen)(self, set);
  });
  run.Connect(producer, consumer);
  run.Run();
  EXPECT_TRUE(peekedMissing);
  EXPECT_EQ(seen, std::vector<std::string>{"a"});
}

TEST(RecordStreams, PeekWokenBySeveredProducerSeesEndOfFile) {
  TestRun run;
  std::string seen = "unchanged";
  bool result = true;
  StageRef producer = run.Add(0, "P", [](CProcess&, CPipeSet&) { return 0; });
  StageRef consumer = run.Add(0, "C", [&](CProcess& self, CPipeSet& set) {
    result = set.PeekRecord(self, 0, seen);
    return 0;
  });
  run.Connect(producer, consumer);
  RunResult outcome = run.Run();
  EXPECT_FALSE(result);
  EXPECT_EQ(seen, "unchanged");
  EXPECT_EQ(run.set.pipes[0].stages[0].state, kStateComplete);
  EXPECT_EQ(outcome.Code(0, 1), 0);
}

TEST(RecordStreams, WriteToSeveredConsumerTouchesNothing) {
  TestRun run;
  bool result = true;
  StageRef producer = run.Add(0, "P", [&](CProcess& self, CPipeSet& set) {
    CStage& me = *set.FindStage(self);
    WaitUntil([&] { return me.outputs[0].IsSevered(); });
    result = set.WriteRecord(self, 0, "x");
    EXPECT_EQ(me.writeCount, 0u);
    EXPECT_EQ(me.state, kStateActive);
    EXPECT_EQ(me.outputs[0].recordCount, 0u);
    EXPECT_EQ(me.outputs[0].record.load(), nullptr);
    return 0;
  });
  StageRef consumer = run.Add(0, "C", [](CProcess&, CPipeSet&) { return 0; });
  run.Connect(producer, consumer);
  run.Run();
  EXPECT_FALSE(result);
}

TEST(RecordStreams, ConsumerEndingWhileProducerWaitsFailsTheWrite) {
  TestRun run;
  bool result = true;
  StageRef producer = run.Add(0, "P", [&](CProcess& self, CPipeSet& set) {
    result = set.WriteRecord(self, 0, "never fetched");
    return 0;
  });
  StageRef consumer = run.Add(0, "C", [](CProcess&, CPipeSet& set) {
    CStage& writer = set.pipes[0].stages[0];
    WaitUntil([&] { return writer.state == kStateWritePending; });
    return 0;  // ends without fetching
  });
  run.Connect(producer, consumer);
  run.Run();
  EXPECT_FALSE(result);
}

TEST(RecordStreams, WriteBeforePeekDeliversAtOnceAndCountsBothEnds) {
  TestRun run;
  std::string record;
  StageRef producer = run.Add(0, "P", [](CProcess& self, CPipeSet& set) {
    EXPECT_TRUE(set.WriteRecord(self, 0, "first"));
    CStage& me = *set.FindStage(self);
    EXPECT_EQ(me.writeCount, 1u);
    EXPECT_EQ(me.lastOutputStream, 0u);
    EXPECT_EQ(me.outputs[0].recordCount, 1u);
    EXPECT_EQ(me.state, kStateActive);
    return 0;
  });
  StageRef consumer = run.Add(0, "C", [&](CProcess& self, CPipeSet& set) {
    CStage& writer = set.pipes[0].stages[0];
    CStage& me = *set.FindStage(self);
    EXPECT_EQ(me.lastInputStream, -1);
    WaitUntil([&] { return writer.state == kStateWritePending; });
    EXPECT_TRUE(set.PeekRecord(self, 0, record));
    EXPECT_EQ(me.readCount, 1u);
    EXPECT_EQ(me.lastInputStream, 0);
    EXPECT_EQ(me.inputs[0].recordCount, 1u);
    EXPECT_EQ(writer.state, kStateWritePending) << "a peek does not release the writer";
    set.ConsumeRecord(self, 0);
    return 0;
  });
  run.Connect(producer, consumer);
  run.Run();
  EXPECT_EQ(record, "first");
}

TEST(RecordStreams, ReaderWaitsInReadPending) {
  TestRun run;
  StageRef producer = run.Add(0, "P", [](CProcess& self, CPipeSet& set) {
    CStage& reader = set.pipes[0].stages[1];
    WaitUntil([&] { return reader.state == kStateReadPending; });
    set.WriteRecord(self, 0, "r");
    return 0;
  });
  std::vector<std::string> seen;
  StageRef consumer = run.Add(0, "C", Collector(&seen));
  run.Connect(producer, consumer);
  run.Run();
  EXPECT_EQ(seen, std::vector<std::string>{"r"});
}

TEST(RecordStreams, RecordsWithNulBytesTravelWhole) {
  TestRun run;
  const std::string withNul("ab\0cd\0", 6);
  std::vector<std::string> seen;
  StageRef producer = run.Add(0, "P", Producer({withNul, std::string(1, '\0'), ""}));
  StageRef consumer = run.Add(0, "C", Collector(&seen));
  run.Connect(producer, consumer);
  run.Run();
  ASSERT_EQ(seen.size(), 3u);
  EXPECT_EQ(seen[0], withNul);
  EXPECT_EQ(seen[1], std::string(1, '\0'));
  EXPECT_EQ(seen[2], "");
}

TEST(RecordStreams, ThreeStageChainKeepsEveryRecordInOrder) {
  constexpr int kRecords = kLongChainRecords;
  std::vector<std::string> records;
  for (int i = 0; i < kRecords; ++i) records.push_back("record " + std::to_string(i));
  TestRun run;
  std::vector<std::string> seen;
  StageRef a = run.Add(0, "P", Producer(records));
  StageRef b = run.Add(0, "M", PassThrough());
  StageRef c = run.Add(0, "C", Collector(&seen));
  run.Connect(a, b);
  run.Connect(b, c);
  RunResult result = run.Run();
  EXPECT_EQ(seen, records);
  EXPECT_EQ(result.highestReturnCode, 0u);
  EXPECT_EQ(run.set.pipes[0].stages[2].inputs[0].recordCount, static_cast<unsigned>(kRecords));
}

TEST(RecordStreams, SelectingStageSeesSelectionWhileWholeRecordFlowsOn) {
  TestRun run;
  std::vector<std::string> selected, downstream;
  StageRef a = run.Add(0, "P", Producer({"alpha beta gamma", "one two"}));
  StageRef b = run.Add(0, "S", [&](CProcess& self, CPipeSet& set) {
    std::string record;
    while (set.PeekRecord(self, 0, record)) {
      selected.push_back(record);
      set.WriteRecord(self, 0, "ignored: the whole record flows on");
      set.ConsumeRecord(self, 0);
    }
    return 0;
  });
  StageRef c = run.Add(0, "C", Collector(&downstream));
  run.Connect(a, b);
  run.Connect(b, c);
  CStage& selecting = run.Stage(b);
  selecting.selectActive = 1;
  selecting.selectWords = 1;
  selecting.selectFrom = 2;
  selecting.selectTo = 2;
  selecting.selectUpper = 1;
  run.Run();
  EXPECT_EQ(selected, (std::vector<std::string>{"BETA", "TWO"}));
  EXPECT_EQ(downstream, (std::vector<std::string>{"alpha beta gamma", "one two"}));
}

}  // namespace
}  // namespace ductrine::test
