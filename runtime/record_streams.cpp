// The record handshake between stages: a producer offers a record by pointer
// and waits until its consumer has peeked at it and consumed it. No buffering,
// no lock: two named manual-reset events per connection give the ordering.
// The driver holds both events of every connection for the run and puts the
// handles and the peer pointers in the stream entries before any stage
// starts, so a record operation opens nothing and looks nothing up; the
// names stay registered for anyone who opens them, and a set built without
// the driver works by name as before.

#include <cstdint>

#include "runtime/pipe_set.h"
#include "stage/process.h"

namespace ductrine {
namespace {

using platform::CloseObject;
using platform::NamedEvent;

inline COutputStream* ProducerEnd(CPipeSet& set, const CInputStream& in) {
  if (in.producer) return in.producer;
  CStage* producer = set.FindStage(in.peerPipe, in.peerStage);
  return producer ? producer->OutputAt(in.peerStream) : nullptr;
}

inline CInputStream* ConsumerEnd(CPipeSet& set, const COutputStream& out) {
  if (out.consumer) return out.consumer;
  CStage* consumer = set.FindStage(out.peerPipe, out.peerStage);
  return consumer ? consumer->InputAt(out.peerStream) : nullptr;
}

// The handle the stream holds for the run, or one opened by name for this
// operation alone.
class StreamEvent {
 public:
  StreamEvent(platform::Handle held, const std::string& name)
      : handle_(held ? held : NamedEvent::OpenOrCreate(name, true, false)), owned_(!held) {}
  ~StreamEvent() {
    if (owned_) CloseObject(handle_);
  }
  StreamEvent(const StreamEvent&) = delete;
  StreamEvent& operator=(const StreamEvent&) = delete;
  platform::Handle get() const { return handle_; }

 private:
  platform::Handle handle_;
  bool owned_;
};

}  // namespace

const std::string* CPipeSet::FetchRecord(CStage& consumer, CInputStream& in) {
  // A stop or an ended partner severs the link and then wakes the waiter:
  // this is where a woken peek sees the end of file.
  COutputStream* out = ProducerEnd(*this, in);
  if (in.IsSevered() || !out || out->IsSevered()) return nullptr;
  CInputStream* self = ConsumerEnd(*this, *out);
  if (!self) return nullptr;
  self->recordCount.Add(1);
  const std::string* offered = out->record.load();
  if (!offered) return nullptr;
  if (consumer.selectActive) return &consumer.ApplySelection(*offered);
  return offered;
}

const std::string* CPipeSet::AwaitRecord(CProcess& caller, std::uint32_t stream,
                                         bool consumeFirst) {
  // ConsumeRecord and PeekRecord make the same checks: when they fail, a
  // fused call neither consumes nor peeks, as the two calls would not.
  CStage* stage = FindStage(caller);
  if (!stage) return nullptr;
  CInputStream* in = stage->InputAt(stream);
  if (!in || in->IsSevered()) return nullptr;
  COutputStream* out = ProducerEnd(*this, *in);
  if (!out || out->IsSevered()) return nullptr;

  stage->readCount.Add(1);
  stage->lastInputStream = static_cast<std::int32_t>(stream);
  stage->state = kStateReadPending;
  {
    StreamEvent event(out->recordEvent, out->recordEventName);
    if (consumeFirst) {
      StreamEvent consumed(in->consumedEvent, in->consumedEventName);
      NamedEvent::SetAndWait(consumed.get(), event.get());
    } else {
      NamedEvent::Wait(event.get());
    }
    stage->state = kStateActive;
    NamedEvent::Reset(event.get());
  }
  const std::string* fetched = FetchRecord(*stage, *in);
  if (fetched && IsTraceOn()) TraceRequest(caller, 0, in->streamNo, in->recordCount, *fetched);
  return fetched;
}

bool CPipeSet::PeekRecord(CProcess& caller, std::uint32_t stream, std::string& record) {
  const std::string* fetched = AwaitRecord(caller, stream, false);
  if (!fetched) return false;
  record = *fetched;
  return true;
}

bool CPipeSet::PeekRecordInPlace(CProcess& caller, std::uint32_t stream,
                                 const std::string*& record) {
  record = AwaitRecord(caller, stream, false);
  return record != nullptr;
}

bool CPipeSet::ConsumeAndPeekInPlace(CProcess& caller, std::uint32_t stream,
                                     const std::string*& record) {
  record = AwaitRecord(caller, stream, true);
  return record != nullptr;
}

bool CPipeSet::ConsumeRecord(CProcess& caller, std::uint32_t stream) {
  CStage* stage = FindStage(caller);
  if (!stage) return false;
  CInputStream* in = stage->InputAt(stream);
  if (!in || in->IsSevered()) return false;
  COutputStream* out = ProducerEnd(*this, *in);
  if (!out || out->IsSevered()) return false;
  StreamEvent consumed(in->consumedEvent, in->consumedEventName);
  NamedEvent::Set(consumed.get());
  return true;
}

bool CPipeSet::WriteRecord(CProcess& caller, std::uint32_t stream, const std::string& record) {
  return OfferRecord(caller, stream, record, false);
}

bool CPipeSet::WriteOwnRecord(CProcess& caller, std::uint32_t stream, const std::string& record) {
  return OfferRecord(caller, stream, record, true);
}

bool CPipeSet::OfferRecord(CProcess& caller, std::uint32_t stream, const std::string& record, bool own) {
  // A record longer than the run allows is the writer's error: report it and
  // stop the whole run before anything is offered.
  if (record.size() > static_cast<std::uint64_t>(recordLimit) - 1) {
    IssueMessage(caller, 2072, kSeverityError,
                 {static_cast<long long>(record.size()), static_cast<long long>(recordLimit) - 1,
                  record});
    Quiesce(1);
    return false;
  }
  CStage* stage = FindStage(caller);
  if (!stage) return false;
  COutputStream* out = stage->OutputAt(stream);
  if (!out || out->IsSevered()) return false;
  CInputStream* in = ConsumerEnd(*this, *out);
  if (!in) return false;
  const std::uint32_t before = in->recordCount;

  if (in->IsSevered()) return false;
  // A stage with a selection passes on the whole record it received, unless
  // it writes a record of its own.
  out->record = stage->selectActive && !own ? &stage->lastRecord : &record;
  out->recordCount.Add(1);
  if (IsTraceOn()) TraceRequest(caller, 3, out->streamNo, before + 1, record);

  stage->writeCount.Add(1);
  stage->lastOutputStream = stream;
  stage->state = kStateWritePending;
  {
    StreamEvent offered(out->recordEvent, out->recordEventName);
    StreamEvent consumed(in->consumedEvent, in->consumedEventName);
    NamedEvent::SetAndWait(offered.get(), consumed.get());
    stage->state = kStateActive;
    NamedEvent::Reset(consumed.get());
  }
  return in->recordCount != before;
}

}  // namespace ductrine
