#include "tests/harness/harness.h"

#include <cstdlib>
#include <sstream>
#include <thread>

#include "platform/platform.h"
#include "stage/begin_stage.h"

namespace ductrine::test {
namespace {

struct Behaviour {
  SetupFn setup;
  RunFn run;
};

std::mutex g_lock;
std::map<std::tuple<const CPipeSet*, std::uint32_t, std::uint32_t>, Behaviour> g_behaviours;

// The stage class behind every lambda stage.
class LambdaStage : public CProcess {
 public:
  explicit LambdaStage(const CStageCall& call) : CProcess(call) {
    std::lock_guard<std::mutex> hold(g_lock);
    const Behaviour& behaviour = g_behaviours.at({call.pipeSet, call.pipeIndex, call.stageIndex});
    setup_ = behaviour.setup;
    run_ = behaviour.run;
  }
  bool Setup() override { return setup_ ? setup_(*this, *pipeSet->FindStage(*this)) : true; }
  std::int32_t Run() override { return run_ ? run_(*this, *pipeSet) : 0; }

 private:
  SetupFn setup_;
  RunFn run_;
};

std::int32_t LambdaEntry(CStageCall* call) { return BeginStageBody<LambdaStage>(call); }

}  // namespace

TestRun::TestRun() = default;

bool TestRun::ThreadsFromEnvironment() {
  const char* threads = std::getenv("DUCTRINE_TEST_THREADS");
  return threads != nullptr && threads[0] == '1';
}

TestRun::~TestRun() {
  std::lock_guard<std::mutex> hold(g_lock);
  for (auto it = g_behaviours.begin(); it != g_behaviours.end();)
    it = std::get<0>(it->first) == &set ? g_behaviours.erase(it) : std::next(it);
}

StageRef TestRun::Add(std::uint32_t pipe, const std::string& type, RunFn run, SetupFn setup) {
  StageRef ref = builder.AddStage(pipe, type);
  {
    std::lock_guard<std::mutex> hold(g_lock);
    g_behaviours[{&set, ref.pipe, ref.stage}] = Behaviour{std::move(setup), std::move(run)};
  }
  entries_[{ref.pipe, ref.stage}] = LambdaEntry;
  return ref;
}

StageRef TestRun::AddEntry(std::uint32_t pipe, const std::string& type, StageEntry entry,
                           std::string operands) {
  StageRef ref = builder.AddStage(pipe, type, std::move(operands));
  entries_[{ref.pipe, ref.stage}] = entry;
  return ref;
}

RunResult TestRun::Run(std::function<void(CPipeSet&)> startCheck) {
  RunEngine engine(set);
  for (const auto& [where, entry] : entries_) engine.SetEntry(where.first, where.second, entry);
  if (startCheck) engine.SetStartCheck(std::move(startCheck));
  engine.SetThreadPerStage(threadPerStage);
  if (!dumpFolder.empty()) engine.SetDumpFolder(dumpFolder);
  return engine.Run();
}

bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds limit) {
  auto deadline = std::chrono::steady_clock::now() + limit;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    if (platform::CurrentFiber()) {
      platform::YieldFiber();
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }
  return true;
}

bool EventExists(const std::string& name) {
  platform::Handle event = platform::NamedEvent::OpenExisting(name);
  platform::CloseObject(event);
  return event != nullptr;
}

RunFn Producer(std::vector<std::string> records) {
  return [records = std::move(records)](CProcess& self, CPipeSet& set) {
    for (const std::string& record : records)
      if (!set.WriteRecord(self, 0, record)) break;
    return 0;
  };
}

RunFn Collector(std::vector<std::string>* out, int count) {
  return [out, count](CProcess& self, CPipeSet& set) {
    std::string record;
    for (int i = 0; i != count && set.PeekRecord(self, 0, record); ++i) {
      out->push_back(record);
      set.ConsumeRecord(self, 0);
    }
    return 0;
  };
}

ConsoleCapture::ConsoleCapture() {
  platform::SetConsoleSink([this](std::string_view bytes) {
    std::lock_guard<std::mutex> hold(lock_);
    text_.append(bytes);
  });
}

ConsoleCapture::~ConsoleCapture() { platform::SetConsoleSink({}); }

std::string ConsoleCapture::Text() const {
  std::lock_guard<std::mutex> hold(lock_);
  return text_;
}

std::vector<std::string> ConsoleCapture::Lines() const {
  std::vector<std::string> lines;
  std::istringstream in(Text());
  std::string line;
  while (std::getline(in, line)) lines.push_back(line);
  return lines;
}

std::string MaskStamp(const std::string& line) {
  // "dd/mm/yyyy hh:mm:ss " is 20 characters of fixed shape.
  static const char shape[] = "00/00/0000 00:00:00 ";
  if (line.size() < 20) return line;
  for (std::size_t i = 0; i < 20; ++i) {
    bool digit = line[i] >= '0' && line[i] <= '9';
    if (shape[i] == '0' ? !digit : line[i] != shape[i]) return line;
  }
  return "<stamp>" + line.substr(20);
}

}  // namespace ductrine::test
