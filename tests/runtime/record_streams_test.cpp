#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "tests/harness/flavour.h"
#include "tests/harness/harness.h"

namespace ductrine::test {
namespace {

using namespace std::string_literals;

// Records travel whole, NUL bytes and all, and in order. A selecting stage
// sees the selected part of each (here through the peeks in place), while
// what it writes is the whole record; a record of its own (WriteOwnRecord)
// goes as written. The run's handles and peer pointers are gone once it has
// ended.
TEST(RecordStreams, ChainCarriesEveryRecordWholeAndInOrder) {
  std::vector<std::string> records = {"ab\0cd\0"s, "\0"s, ""};
  for (int i = 0; i < kLongChainRecords; ++i) records.push_back("r" + std::to_string(i) + " word");
  std::vector<std::string> expectedSelection(records.size(), "DROW");
  std::fill_n(expectedSelection.begin(), 3, "");
  TestRun run;
  std::vector<std::string> selected, seen;
  StageRef a = run.Add(0, "P", Producer(records));
  StageRef b = run.Add(0, "S", [&](CProcess& self, CPipeSet& set) {
    const std::string* record = nullptr;
    bool more = set.PeekRecordInPlace(self, 0, record);
    while (more) {
      selected.push_back(*record);
      set.WriteRecord(self, 0, "ignored: the whole record flows on");
      more = set.ConsumeAndPeekInPlace(self, 0, record);
    }
    set.WriteOwnRecord(self, 0, "built by the stage");
    return 0;
  });
  run.Connect(a, b);
  run.Connect(b, run.Add(0, "C", Collector(&seen)));
  CStage& selecting = run.Stage(b);
  selecting.selectActive = selecting.selectWords = selecting.selectUpper = 1;
  selecting.selectReverse = 1;
  selecting.selectFrom = selecting.selectTo = 2;
  EXPECT_EQ(run.Run().highestReturnCode, 0u);
  std::vector<std::string> written = records;
  written.push_back("built by the stage");
  EXPECT_EQ(seen, written);
  EXPECT_EQ(selected, expectedSelection);
  EXPECT_EQ(run.set.pipes[0].stages[2].inputs[0].recordCount, written.size());
  for (const CStage& stage : run.set.pipes[0].stages) {
    for (const CInputStream& in : stage.inputs) EXPECT_FALSE(in.producer || in.consumedEvent);
    for (const COutputStream& out : stage.outputs) EXPECT_FALSE(out.consumer || out.recordEvent);
  }
}

// The first record finds the reader waiting, the second is offered before the
// reader asks; a peek leaves the writer waiting until the record is consumed,
// and only the writer of the stream that was consumed.
TEST(RecordStreams, EitherSideMayComeFirstAndBothEndsCount) {
  TestRun run;
  std::vector<std::string> got;
  StageRef producer = run.Add(0, "P", [](CProcess& self, CPipeSet& set) {
    EXPECT_TRUE(WaitUntil([&] {
      return set.pipes[0].stages[1].state == kStateReadPending &&
             set.pipes[1].stages[0].state == kStateWritePending;
    }));
    EXPECT_TRUE(set.WriteRecord(self, 0, "first"));
    EXPECT_TRUE(set.WriteRecord(self, 0, "second"));
    EXPECT_FALSE(set.WriteRecord(self, 1, "to a stream that is not there"));
    EXPECT_EQ(set.FindStage(self)->outputs[0].recordCount, 2u);
    return 0;
  });
  StageRef consumer = run.Add(0, "C", [&](CProcess& self, CPipeSet& set) {
    std::string record = "unchanged";
    // A stream that is not there is at its end at once, and counts nothing.
    EXPECT_FALSE(set.PeekRecord(self, 2, record));
    EXPECT_FALSE(set.ConsumeRecord(self, 2));
    EXPECT_EQ(record, "unchanged");
    for (std::uint32_t stream : {0u, 0u, 1u}) {
      CStage& writer = set.pipes[stream].stages[0];  // input n comes from pipe n
      if (got.size() == 1) {
        EXPECT_TRUE(WaitUntil(
            [&] { return writer.writeCount == 2u && writer.state == kStateWritePending; }));
      }
      EXPECT_TRUE(set.PeekRecord(self, stream, record));
      got.push_back(record);
      EXPECT_EQ(writer.state, kStateWritePending);
      set.ConsumeRecord(self, stream);
    }
    EXPECT_EQ(set.FindStage(self)->readCount, 3u);
    EXPECT_EQ(set.FindStage(self)->inputs[0].recordCount, 2u);
    return 0;
  });
  run.Connect(producer, consumer);
  run.Connect(run.Add(1, "B", Producer({"other"})), consumer);
  run.Run();
  EXPECT_EQ(got, (std::vector<std::string>{"first", "second", "other"}));
}

// Pipe 0: a reader woken by its producer's end sees end of file. Pipe 1: a
// writer whose reader ends without taking the record fails, and so does
// every later write, which touches nothing.
TEST(RecordStreams, EndOfEitherPartnerEndsTheWait) {
  TestRun run;
  std::string seen = "unchanged";
  bool peeked = true, firstWrite = true, laterWrite = true;
  StageRef p0 = run.Add(0, "P", [](CProcess&, CPipeSet& set) {
    EXPECT_TRUE(WaitUntil([&] { return set.pipes[0].stages[1].state == kStateReadPending; }));
    return 0;
  });
  StageRef c0 = run.Add(0, "C", [&](CProcess& self, CPipeSet& set) {
    peeked = set.PeekRecord(self, 0, seen);
    return 0;
  });
  StageRef p1 = run.Add(1, "P", [&](CProcess& self, CPipeSet& set) {
    firstWrite = set.WriteRecord(self, 0, "never taken");
    laterWrite = set.WriteRecord(self, 0, "x");
    EXPECT_EQ(set.FindStage(self)->writeCount, 1u);
    return 0;
  });
  StageRef c1 = run.Add(1, "C", [](CProcess&, CPipeSet& set) {
    EXPECT_TRUE(WaitUntil([&] { return set.pipes[1].stages[0].state == kStateWritePending; }));
    return 0;
  });
  run.Connect(p0, c0);
  run.Connect(p1, c1);
  run.Run();
  EXPECT_FALSE(peeked);
  EXPECT_EQ(seen, "unchanged");
  EXPECT_EQ(run.set.pipes[0].stages[0].state, kStateComplete);
  EXPECT_FALSE(firstWrite);
  EXPECT_FALSE(laterWrite);
}

}  // namespace
}  // namespace ductrine::test
