// Cuts a byte stream into records, one per line: the line feed, and a
// carriage return right before it, are removed; every other byte, NUL
// included, stays in the record; a last line without a line feed is a
// record too. Used by the stages that read standard input and files.
//
// One object per stream, used by one thread.
#pragma once

#include <cstring>
#include <string>
#include <string_view>

namespace ductrine {

class LineSplitter {
 public:
  LineSplitter() = default;
  LineSplitter(const LineSplitter&) = delete;
  LineSplitter& operator=(const LineSplitter&) = delete;

  // Takes the next bytes of the stream and calls emit(const std::string&)
  // for every line they complete. emit returns false to stop: Feed then
  // returns false at once and the rest of the bytes is dropped.
  template <class Emit>
  bool Feed(std::string_view bytes, Emit&& emit) {
    while (!bytes.empty()) {
      const void* found = std::memchr(bytes.data(), '\n', bytes.size());
      if (found == nullptr) {
        partial_.append(bytes);
        return true;
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
  std::string partial_;  // the start of a line whose line feed has not come yet
  std::string record_;
};

}  // namespace ductrine
