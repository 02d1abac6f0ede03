// The record handshake between stages: a producer offers a record by pointer
// and waits until its consumer has peeked at it and consumed it. No buffering,
// no lock: two named manual-reset events per connection give the ordering.
// Every operation opens its events by name and closes them before it returns;
// the driver holds a handle to each for the run, so a set is never lost.

#include <cstdint>

#include "runtime/named_events.h"
#include "runtime/pipe_set.h"
#include "stage/process.h"

namespace ductrine {
namespace {

using platform::CloseObject;
using platform::NamedEvent;

COutputStream* ProducerEnd(CPipeSet& set, const CInputStream& in) {
  CStage* producer = set.FindStage(in.peerPipe, in.peerStage);
  return producer ? producer->OutputAt(in.peerStream) : nullptr;
}

CInputStream* ConsumerEnd(CPipeSet& set, const COutputStream& out) {
  CStage* consumer = set.FindStage(out.peerPipe, out.peerStage);
  return consumer ? consumer->InputAt(out.peerStream) : nullptr;
}

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

bool CPipeSet::PeekRecord(CProcess& caller, std::uint32_t stream, std::string& record) {
  CStage* stage = FindStage(caller);
  if (!stage) return false;
  CInputStream* in = stage->InputAt(stream);
  if (!in || in->IsSevered()) return false;
  COutputStream* out = ProducerEnd(*this, *in);
  if (!out || out->IsSevered()) return false;

  stage->readCount.Add(1);
  stage->lastInputStream = static_cast<std::int32_t>(stream);
  stage->state = kStateReadPending;
  platform::Handle event = NamedEvent::OpenOrCreate(out->recordEventName, true, false);
  NamedEvent::Wait(event);
  stage->state = kStateActive;
  NamedEvent::Reset(event);
  CloseObject(event);

  const std::string* fetched = FetchRecord(*stage, *in);
  if (!fetched) return false;
  record = *fetched;
  if (IsTraceOn()) TraceRequest(caller, 0, in->streamNo, in->recordCount, record);
  return true;
}

bool CPipeSet::ConsumeRecord(CProcess& caller, std::uint32_t stream) {
  CStage* stage = FindStage(caller);
  if (!stage) return false;
  CInputStream* in = stage->InputAt(stream);
  if (!in || in->IsSevered()) return false;
  COutputStream* out = ProducerEnd(*this, *in);
  if (!out || out->IsSevered()) return false;
  SignalEvent(in->consumedEventName);
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
  SignalEvent(out->recordEventName);
  platform::Handle consumed = NamedEvent::OpenOrCreate(in->consumedEventName, true, false);
  NamedEvent::Wait(consumed);
  stage->state = kStateActive;
  NamedEvent::Reset(consumed);
  CloseObject(consumed);
  return in->recordCount != before;
}

}  // namespace ductrine
