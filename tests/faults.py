#!/usr/bin/env python3
"""Plants known faults in the code one at a time and records which tests kill
each: the measure of what the suite is worth, before and after any cut.

    python3 tests/faults.py BUILD_DIR [--only ID,...] [--out FILE] [--cap SECONDS]

BUILD_DIR is a configured build of this tree (any build type). Every fault is
one exact text replacement; the file is put back however the run ends. A
fault that no longer applies (its text changed) is reported, not skipped
silently. A fault whose suite run passes the time cap is recorded as killed
by the tests that had failed by then, and marked as cut short.
"""

import argparse
import json
import os
import re
import selectors
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

# (id, file, text, replacement, what it breaks)
FAULTS = [
    # runtime
    ("sel-end", "runtime/selection.cpp", "return count_ + x + 1;", "return count_ + x;",
     "a unit counted from the end is one off"),
    ("sel-col-reversed", "runtime/selection.cpp", "if (count == 0) count = 1;", "",
     "a column range ending one before its start takes nothing"),
    ("sel-upper-z", "runtime/selection.cpp", "c >= 'a' && c <= 'z'", "c >= 'a' && c < 'z'",
     "upper-casing misses z"),
    ("sel-reverse", "runtime/apply_selection.cpp", "if (selectReverse) ReverseText(selectedRecord);", "",
     "REVERSE of a selection ignored"),
    ("consume-no-signal", "runtime/record_streams.cpp", "  SignalEvent(in->consumedEventName);\n  return true;",
     "  return true;", "a consumed event is not set"),
    ("severed-eof", "runtime/record_streams.cpp", "if (in.IsSevered() || !out || out->IsSevered()) return nullptr;",
     "if (!out) return nullptr;", "a peek woken by a sever takes it for a record"),
    ("record-limit", "runtime/record_streams.cpp", "record.size() > static_cast<std::uint64_t>(recordLimit) - 1",
     "record.size() > static_cast<std::uint64_t>(recordLimit)", "a record one byte too long passes"),
    ("write-result", "runtime/record_streams.cpp", "return in->recordCount != before;", "return true;",
     "a write nobody took reports success"),
    ("quiesce-outputs", "runtime/quiesce.cpp", "      for (COutputStream& out : stage.outputs) out.Sever();\n", "",
     "the stop skips severing output streams"),
    ("quiesce-rc", "runtime/quiesce.cpp", "RaiseReturnCode(cause == 1 ? 3 : 0);", "RaiseReturnCode(cause == 1 ? 0 : 0);",
     "a stop for an error leaves return code 0"),
    ("raise-rc", "runtime/pipe_set.cpp", "while (value > current &&", "while (value != current &&",
     "the highest return code can go down"),
    ("pipe-label", "runtime/pipe_set.cpp", 'label += "," + name;', 'label += ", " + name;',
     "a named pipe's label gets a blank"),
    # engine
    ("input-numbers", "engine/set_builder.cpp",
     "consumer.inputs.back().streamNo = static_cast<std::int32_t>(consumer.inputs.size() - 1);",
     "consumer.inputs.back().streamNo = static_cast<std::int32_t>(consumer.inputs.size());",
     "input stream numbers counted from 1"),
    ("finish-partner", "engine/run_engine.cpp",
     "if (COutputStream* out = peer->OutputAt(in.peerStream)) out->Sever();",
     "if (COutputStream* out = peer->OutputAt(in.peerStream)) (void)out;",
     "an ended stage does not sever its producer's side"),
    ("finish-partner-out", "engine/run_engine.cpp",
     "if (CInputStream* in = peer->InputAt(out.peerStream)) in->Sever();",
     "if (CInputStream* in = peer->InputAt(out.peerStream)) (void)in;",
     "an ended stage does not sever its consumer's side"),
    ("finish-state", "engine/run_engine.cpp", "  stage.state = kStateComplete;\n}", "}",
     "an ended stage is not marked complete"),
    ("event-names", "engine/run_engine.cpp", 'base + "-In" + std::to_string(i) + "-Consumed"',
     'base + "-In-Consumed"', "all inputs of a stage share one consumed event"),
    ("manual-reset-wait", "platform/posix/named_objects.cpp",
     "if (event->manualReset) return event->state.load(std::memory_order_seq_cst) != 0;",
     "if (event->manualReset) return event->state.exchange(0, std::memory_order_seq_cst) != 0;",
     "a wait resets a manual-reset event"),
    ("file-size-signal", "platform/posix/process.cpp", "  std::signal(SIGXFSZ, SIG_IGN);\n", "",
     "the file-size limit ends the process without a word"),
    ("standard-descriptors", "platform/posix/process.cpp", 'int opened = ::open("/dev/null", O_RDONLY);',
     "int opened = -1;", "a descriptor of ours takes the number of a closed standard stream"),
    ("second-signal-restore", "platform/posix/process.cpp", "    RestoreClearedAttributes();\n    {", "    {",
     "a second signal leaves the read-only attributes it cleared"),
    ("input-reader-each", "driver/builtin_stages.cpp", "    g_input = input;\n", "",
     "each CONSOLE stage reads standard input with a reader of its own"),
    ("dump-overwrites", "platform/posix/process.cpp", "O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600",
     "O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644", "the stall dump is written through a name that is taken"),
    ("stall-warning", "engine/run_engine.cpp", "IssueSystemMessage(1005, kSeverityError",
     "IssueSystemMessage(1005, kSeverityWarning", "a stall is only a warning"),
    ("start-abort", "stage/start_handshake.cpp", "  if (abortRun) return false;\n", "",
     "stages run though one failed its setup"),
    ("started-flag", "stage/start_handshake.cpp", "  stage->started = 1;\n", "",
     "a running stage is not marked started"),
    # messages
    ("severity-letter", "messages/issue.cpp", 'letters += "E:"', 'letters += "W:"',
     "an error shows the warning letter"),
    ("number-width", "messages/issue.cpp", '"%.4d"', '"%.5d"', "message numbers get a fifth digit"),
    ("position-note", "messages/issue.cpp", "if (!in || in->recordCount == 0) return \"\";",
     "if (!in) return \"\";", "the position note shows record 0"),
    ("stage-error-rc", "messages/issue.cpp", "  if (severity == kSeverityError) RaiseReturnCode(number);\n  return true;",
     "  return true;", "a stage's error message leaves the return code"),
    ("system-error-rc", "messages/issue.cpp", "    EndTrace();\n    RaiseReturnCode(number);", "    EndTrace();",
     "a system error message leaves the return code"),
    ("find-message", "messages/catalogue.cpp", "std::strncmp(text, key, 4) == 0", "std::strncmp(text, key, 3) == 0",
     "a message is found by three digits"),
    ("format-percent", "messages/format.cpp", "      out += '%';\n      ++i;", '      out += "%%";\n      ++i;', "%% is not folded"),
    ("format-precision", "messages/format.cpp",
     "if (j < format.size() && format[j] == '.') {\n      directive += format[j++];",
     "if (j < format.size() && format[j] == '.') {\n      j++;", "a precision is read as a width"),
    ("line-number", "messages/appl_message.cpp", "if (on) lineNumber = 1;", "if (on) lineNumber = 0;",
     "numbered lines start at 0"),
    ("console-newline", "messages/appl_message.cpp", "  if (!toStandardOutput) line += '\\n';\n", "",
     "console lines lose their line end"),
    # operands
    ("name-slash", "operands/file_name.cpp", 'kRefusedAnywhere = "/<>|"', 'kRefusedAnywhere = "<>|"',
     "a slash inside a name is accepted"),
    ("name-trim", "operands/file_name.cpp",
     "  while (!text.empty() && IsSpace(text.back())) text.remove_suffix(1);\n", "",
     "trailing blanks stay on a name"),
    ("name-quote", "operands/file_name.cpp", "if (*at == '\\0' && terminator == '\"') {", "if (false) {",
     "an unclosed quote is accepted"),
    ("name-nul", "operands/file_name.cpp", "  if (HoldsNul(bytes)) {", "  if (false) {",
     "a NUL inside a name from a record is accepted"),
    ("name-cursor", "operands/file_name.cpp", "  if (*at != '\\0') ++at;\n", "",
     "the cursor stays on the name's terminator"),
    ("mask-controls", "messages/format.cpp", "if (byte < 0x20 || (byte >= 0x7F && byte <= 0x9F)) out[i] = '?';",
     "if (byte == 0x7F) out[i] = '?';", "control bytes echoed raw in a message"),
    ("mask-c1", "messages/format.cpp", "(byte >= 0x7F && byte <= 0x9F)", "byte == 0x7F",
     "C1 bytes echoed raw in a message"),
    ("mask-values", "messages/issue.cpp", "FormatText(text + 4, Shown(values))", "FormatText(text + 4, values)",
     "a stage message shows its values raw"),
    # platform
    ("share-lock", "platform/posix/files.cpp", "(share == Share::kDenyWrite ? LOCK_SH : LOCK_EX)", "LOCK_SH",
     "deny-read-write is taken as shared"),
    ("append-lock", "platform/posix/files.cpp", "::flock(fd, LOCK_EX | LOCK_NB)", "::flock(fd, LOCK_SH | LOCK_NB)",
     "the append lock is shared"),
    ("restore-attribute", "platform/posix/files.cpp",
     "  if (!file->madeWritable) return;\n  int code = errno;",
     "  if (file->madeWritable || !file->madeWritable) return;\n  int code = errno;",
     "a read-only file is not made read-only again"),
    ("last-byte", "platform/posix/files.cpp", "*endsInLineEnd = last == '\\n';", "*endsInLineEnd = true;",
     "a file without a final line end is taken as ending in one"),
    ("stale-mark", "platform/posix/files.cpp",
     "seen->size == info.st_size && seen->modified == Nanoseconds(info.st_mtim) &&\n         seen->changed == Nanoseconds(info.st_ctim);",
     "true;", "a file changed since it was closed or parked is trusted by its mark"),
    ("park-unlock", "platform/posix/files.cpp", "    ::flock(file->fd, LOCK_UN);\n", "",
     "a file the stage moved away from keeps its lock"),
    ("same-file", "platform/posix/files.cpp", "!SameFile(before, after)", "false",
     "a read-only file swapped for a link between the two opens is written and its mode moved"),
    ("dangling-create", "platform/posix/files.cpp", "O_RDWR | O_CREAT | O_EXCL | common", "O_RDWR | O_CREAT | common",
     "a dangling link is followed into creating its target"),
    ("auto-reset", "platform/posix/named_objects.cpp", "compare_exchange_strong(set, 0,",
     "compare_exchange_strong(set, 1,", "an auto-reset event stays set"),
    ("fiber-errno", "platform/dispatch/dispatcher.cpp",
     "  SetCurrentModule(fiber->module);\n  SetLastErrorCode(fiber->lastError);", "  SetCurrentModule(fiber->module);",
     "a fiber's last error code is not restored"),
    ("stall-kick", "platform/dispatch/dispatcher.cpp",
     "if (group->active.fetch_sub(1, std::memory_order_seq_cst) == 1) group->KickAll();",
     "group->active.fetch_sub(1, std::memory_order_seq_cst);", "the last fiber to stop wakes nobody to see the stall"),
    ("mutex-recursion", "platform/dispatch/fiber_mutex.cpp", "  owner_ = me;\n  ++count_;", "  owner_ = me;\n  count_ = 1;",
     "a nested lock is not counted"),
    # stage
    ("line-end-pending", "stage/tailwriter.cpp", "current->lineEndPending = !current->file.endsInLineEnd;",
     "current->lineEndPending = false;", "a missing final line end is not repaired"),
    ("record-nul", "stage/tailwriter.cpp", "nul ? static_cast<std::size_t>(static_cast<const char*>(nul) - data) : inputRecord.size()",
     "nul && false ? static_cast<std::size_t>(static_cast<const char*>(nul) - data) : inputRecord.size()", "a record is written past its first NUL"),
    ("pass-on", "stage/tailwriter.cpp",
     "    pipeSet->WriteRecord(*this, 0, inputRecord);\n    pipeSet->ConsumeRecord(*this, 0);\n    if (!pipeSet->PeekRecord(*this, 0,",
     "    pipeSet->ConsumeRecord(*this, 0);\n    if (!pipeSet->PeekRecord(*this, 0,", "records are not passed on"),
    ("operand-and-stream", "stage/tailwriter.cpp", "    if (!fileName.empty()) {\n      pipeSet->IssueMessage(*this, 2033",
     "    if (false) {\n      pipeSet->IssueMessage(*this, 2033", "an operand beside a name stream is accepted"),
    ("name-stream-change", "stage/tailwriter.cpp", "if (!named || inputRecord != fileName) {", "if (!named) {",
     "a new name on the name stream is ignored"),
    ("set-return", "stage/tailwriter.cpp", "  current->lineEndPending = !current->file.endsInLineEnd;\n", "",
     "the last-byte rule is skipped: a name that comes back keeps its line end pending"),
    ("set-capacity", "stage/tailwriter.cpp", "openFiles.size() >= mostOpen", "openFiles.size() > mostOpen",
     "the open-file set holds one more than its capacity"),
    ("write-failure", "stage/tailwriter.cpp", "  if (wrote == size) {", "  if (true) {",
     "a failed write reports success"),
    ("cut-back", "stage/tailwriter.cpp", "if (wrote > kept && file.regular) platform::CutAppendFile",
     "if (false) platform::CutAppendFile", "a record that reached the file in part stays there"),
    ("destructor", "stage/tailwriter.cpp", "  if (!targetFile && openFiles.empty()) return;", "  return;",
     "an exception leaving Run leaves the files open: records lost, attributes not restored"),
    ("close-lost", "stage/tailwriter.cpp", "return lost ? 3 : 0;", "return lost ? 0 : 0;", "a failed close reports success"),
    # trace
    ("run-count", "trace/trace_command.cpp", "command.runCount = value.value - 1;", "command.runCount = value.value;",
     "Run n runs one more"),
    ("run-star", "trace/trace_command.cpp", "command.runCount = -1;", "command.runCount = 0;",
     "Run * stops at the next record"),
    ("src-word", "trace/trace_command.cpp", '{"S", "SRC", "SOURCE"}', '{"S", "SOURCE"}', "SRC is refused"),
    ("decimal-max", "trace/decimal_prefix.cpp", "if (!negative && magnitude > kMax) overflow = true;",
     "if (!negative && magnitude >= kMax) overflow = true;", "the largest count is refused"),
    ("dump-del", "trace/record_dump.cpp", "(u < 0x20 || (u >= 0x7F && u <= 0x9F)) ? '.'", "(u < 0x20) ? '.'",
     "DEL and C1 bytes shown raw in a record dump"),
    ("segment-retry", "trace/segment_create.cpp",
     "if (platform::LastErrorCode() != platform::SharedSegment::ExistsCode()) return nullptr;", "return nullptr;",
     "a trace segment name that exists fails the run"),
    ("open-cloexec", "platform/posix/files.cpp", "if (wanted.find('e') == std::string::npos) wanted += 'e';", "",
     "a file of \"<\" or the probe reaches child processes"),
    ("run-countdown", "trace/trace_request.cpp", "    --call.runCount;\n", "",
     "Run n never counts down"),
    ("trace-end-cause", "trace/trace_request.cpp", "  if (IsRaised(traceEndEventName)) {\n    Quiesce(2);",
     "  if (IsRaised(traceEndEventName)) {\n    Quiesce(1);", "End from the dialogue counts as an error"),
    ("request-width", "trace/record_dump.cpp", '"%.10d"', '"%.9d"', "request numbers lose a digit"),
    ("command-room", "trace/trace_command.cpp", "if (piece.size() <= room) {", "if (piece.size() < room) {",
     "a command that fills the line exactly is cut"),
    # driver
    ("exit-highest", "driver/set_from_pipeline.cpp",
     "  if (result.highestReturnCode != 0) return Clamp(result.highestReturnCode);\n", "",
     "the exit status ignores the highest message number"),
    ("exit-zero", "driver/set_from_pipeline.cpp", "      if (code != 0) allZero = false;\n", "",
     "a failing stage gives exit status 0"),
    ("endchar-raw", "driver/pipeline_parser.cpp", "      pipeStart = i + 1;", "      pipeStart = i;",
     "a pipe's text keeps the end character"),
    ("label-streams", "driver/pipeline_parser.cpp", "++found->second.references", "found->second.references++",
     "a label's references number streams from 0"),
    ("duplicate-label", "driver/pipeline_parser.cpp", "      if (found != labels_.end()) {\n        const StageSpec& definer",
     "      if (false) {\n        const StageSpec& definer", "a label defined twice is accepted"),
    ("split-cr", "driver/line_splitter.h", "      if (!record_.empty() && record_.back() == '\\r') record_.pop_back();\n",
     "", "CR LF lines keep the CR"),
    ("split-limit", "driver/line_splitter.h", "if (partial_.size() + bytes.size() <= keep_) {",
     "if (partial_.size() + bytes.size() < keep_) {", "a line exactly at the limit is cut"),
    ("split-finish", "driver/line_splitter.h", "    if (partial_.empty()) return true;\n    record_.swap(partial_);",
     "    return true;\n    record_.swap(partial_);", "a last line without a line feed is lost"),
    ("limit-min", "driver/command_line.cpp", "*value < kMinRecordLimit", "*value <= kMinRecordLimit",
     "the smallest record limit is refused"),
    ("module-path-empty", "driver/module_loader.cpp", "if (pathVariable != nullptr && *pathVariable != '\\0') {",
     "if (pathVariable != nullptr) {", "an empty module path hides the default folders"),
    ("module-entry", "driver/module_loader.cpp", "    if (entry == nullptr) return ParseError{1020, {prefix, fileName}};\n",
     "", "a module without BeginStage is not reported"),
    ("broken-pipe", "driver/builtin_stages.cpp", "if (code == platform::BrokenPipeCode()) {", "if (false) {",
     "a gone reader of standard output is an error"),
    ("stdin-last-line", "driver/builtin_stages.cpp", "    if (downstreamOpen) lines.Finish(emit);\n", "",
     "the last line of standard input without a line feed is lost"),
]

# Test names may hold blanks (parameterised cases), so the name runs up to
# the dots that pad it to the status column.
JOBS = str(os.cpu_count() or 2)
RESULT = re.compile(r"^\s*\d+/\d+ Test\s+#\d+: (.*?) \.*\s*(\*\*\*[A-Za-z]+|Passed|Not Run)")


def run_suite(build, cap):
    """Runs the whole suite; returns (failed test names, cut short)."""
    failed = []
    proc = subprocess.Popen(["ctest", "-j", JOBS], cwd=build,
                            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                            start_new_session=True)
    deadline = time.monotonic() + cap
    short = False
    sel = selectors.DefaultSelector()
    sel.register(proc.stdout, selectors.EVENT_READ)
    while True:
        left = deadline - time.monotonic()
        if left <= 0:
            short = True
            os.killpg(proc.pid, 9)
            break
        if not sel.select(timeout=min(left, 5)):
            continue
        line = proc.stdout.readline()
        if not line:
            break
        m = RESULT.match(line)
        # A DISABLED_ test (a child a test starts) is "Not Run": no kill.
        if m and m.group(2) not in ("Passed", "Not Run", "***Not"):
            failed.append(m.group(1))
    proc.wait()
    return failed, short


def rebuild(build):
    return subprocess.run(["ninja", "-C", build, "-j", JOBS], stdout=subprocess.DEVNULL,
                          stderr=subprocess.DEVNULL).returncode == 0


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("build")
    parser.add_argument("--only", default="")
    parser.add_argument("--out", default="faults.jsonl")
    parser.add_argument("--cap", type=float, default=240)
    args = parser.parse_args()
    only = set(filter(None, args.only.split(",")))
    build = os.path.abspath(args.build)
    with open(args.out, "a") as out:
        for ident, path, text, replacement, what in FAULTS:
            if only and ident not in only:
                continue
            full = os.path.join(ROOT, path)
            with open(full) as f:
                original = f.read()
            if original.count(text) != 1:
                print(f"{ident}: text found {original.count(text)} times in {path}", flush=True)
                out.write(json.dumps({"id": ident, "where": path, "error": "text"}) + "\n")
                continue
            try:
                with open(full, "w") as f:
                    f.write(original.replace(text, replacement))
                built = rebuild(build)
                failed, short = run_suite(build, args.cap) if built else ([], False)
            finally:
                with open(full, "w") as f:
                    f.write(original)
            record = {"id": ident, "where": path, "what": what, "built": built,
                      "killed": len(failed), "short": short, "tests": failed}
            out.write(json.dumps(record) + "\n")
            out.flush()
            print(f"{ident}: {'BUILD FAILED' if not built else len(failed)}{' (cut short)' if short else ''}",
                  flush=True)
    rebuild(build)


if __name__ == "__main__":
    sys.exit(main())
