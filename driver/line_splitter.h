// Cuts a byte stream into records, one per line: the line feed, and a
// carriage return right before it, are removed; every other byte, NUL
// included, stays in the record; a last line without a line feed is a
// record too. Used by the stages that read standard input and files.
//
// A line that grows past the longest record the run allows is not buffered
// to its end: its first `longest` + 1 bytes go out as one record at once (the
// writer refuses it with 2072) and the rest of it is dropped, so a stream
// without line feeds costs memory by the limit, not by its size.
//
// One object per stream, used by one thread.
#pragma once

#include <cstddef>
#include <cstring>
#include <limits>
#include <string>
#include <string_view>

namespace ductrine {

class LineSplitter {
 public:
  // `longest`: the longest record the run allows (the record limit less 1).
  explicit LineSplitter(std::size_t longest = std::numeric_limits<std::size_t>::max() - 2)
      : keep_(longest + 1) {}
  LineSplitter(const LineSplitter&) = delete;
  LineSplitter& operator=(const LineSplitter&) = delete;

  // Takes the next bytes of the stream and calls emit(const std::string&)
  // for every line they complete. emit returns false to stop: Feed then
  // returns false at once and the rest of the bytes is dropped.
  template <class Emit>
  bool Feed(std::string_view bytes, Emit&& emit) {
    while (!bytes.empty()) {
      const void* found = std::memchr(bytes.data(), '\n', bytes.size());
      if (skipping_) {
        // The rest of a line that went out cut short.
        if (found == nullptr) return true;
        bytes.remove_prefix(static_cast<std::size_t>(static_cast<const char*>(found) - bytes.data()) + 1);
        skipping_ = false;
        continue;
      }
      if (found == nullptr) {
        // Up to `keep_` bytes the line may still end as "\r\n" within the
        // limit; one byte more and it is too long whatever follows.
        if (partial_.size() + bytes.size() <= keep_) {
          partial_.append(bytes);
          return true;
        }
        record_.swap(partial_);
        partial_.clear();
        record_.append(bytes.substr(0, keep_ - record_.size()));
        skipping_ = true;
        return emit(static_cast<const std::string&>(record_));
      }
      std::size_t length = static_cast<std::size_t>(static_cast<const char*>(found) - bytes.data());
      // The record string is reused, so a long run of lines allocates once.
      if (partial_.empty()) {
        record_.assign(bytes.data(), length);
      } else {
        partial_.append(bytes.data(), length);
        record_.swap(partial_);
        partial_.clear();
      }
      if (!record_.empty() && record_.back() == '\r') record_.pop_back();
      bytes.remove_prefix(length + 1);
      if (!emit(static_cast<const std::string&>(record_))) return false;
    }
    return true;
  }

  // The end of the stream: a pending line without its line feed is emitted
  // as it stands. Returns what emit returned, or true when nothing was left.
  template <class Emit>
  bool Finish(Emit&& emit) {
    if (partial_.empty()) return true;
    record_.swap(partial_);
    partial_.clear();
    return emit(static_cast<const std::string&>(record_));
  }

 private:
  std::size_t keep_;       // the most bytes of a pending line that are kept
  bool skipping_ = false;  // inside a line that went out cut short
  std::string partial_;    // the start of a line whose line feed has not come yet
  std::string record_;
};

}  // namespace ductrine
