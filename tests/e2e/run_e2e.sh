#!/usr/bin/env bash
# End to end: the real pipe binary on real files in a scratch folder, for what
# only the whole program shows: its command line and exit statuses, module
# loading, signals, the terminal, stalls and memory limits. What a stage or
# the parser does on its own is for the unit tests.
#   run_e2e.sh BIN_DIR
# DUCTRINE_VERSION is the project version that pipe --version must show.
# Every run of pipe is under `timeout`, since a fault in a handshake is a hang;
# with a kill after, since a hung run may not heed the stop that SIGTERM asks.
# For the Windows flavour DUCTRINE_RUNNER names what runs the executables
# (wine) and DUCTRINE_EXE_SUFFIX their suffix (.exe).
set -u

BIN=$(cd "${1:?usage: run_e2e.sh BIN_DIR}" && pwd)
read -r -a RUNNER <<<"${DUCTRINE_RUNNER:-}"
VERSION=${DUCTRINE_VERSION:?the project version}
PIPE="$BIN/pipe${DUCTRINE_EXE_SUFFIX:-}"
if [ "${DUCTRINE_EXE_SUFFIX:-}" = .exe ]; then
  WINDOWS=1
  EOL=$'\r\n'  # text mode: a line end in files and on standard output
  MODULE=tailwriter.dll
  PATH_SEP=';'
  NOT_FOUND='File not found.'  # the system's text for code 2 (wine's words)
  ABI_REASON='?*'              # the loader's words
else
  WINDOWS=
  EOL=$'\n'
  MODULE=tailwriter.so
  PATH_SEP=':'
  NOT_FOUND='No such file or directory'
  ABI_REASON='*libductrine-platform.so.1*'  # the library it lacks
fi
WORK=$(mktemp -d "${TMPDIR:-/tmp}/ductrine-e2e.XXXXXX")
trap 'rm -rf "$WORK"' EXIT
cd "$WORK" || exit 1
# The console lock and the trace flags that the runs here share with other
# processes on their terminal stay among these runs.
mkdir -m 700 "$WORK/runtime" && export XDG_RUNTIME_DIR="$WORK/runtime"
unset DUCTRINE_MODULE_PATH

LIMIT=20
failures=0
checks=0
skipped=0

pass() { checks=$((checks + 1)); }
fail() {
  checks=$((checks + 1))
  failures=$((failures + 1))
  printf 'FAIL: %s\n' "$1"
  shift
  for detail in "$@"; do printf '      %s\n' "$detail"; done
}
skip() {
  skipped=$((skipped + 1))
  printf 'SKIP: %s\n' "$1"
}

# pipe ARGS...: runs pipe; stdout in $WORK/out, stderr in $WORK/err, status in $rc.
pipe() {
  timeout -k 5 "$LIMIT" "${RUNNER[@]}" "$PIPE" "$@" >"$WORK/out" 2>"$WORK/err"
  rc=$?
}

# The stderr of the last run with every date and time stamp replaced by <stamp>.
messages() {
  sed -E 's#^[0-9]{2}/[0-9]{2}/[0-9]{4} [0-9]{2}:[0-9]{2}:[0-9]{2} #<stamp>#' "$WORK/err"
}

expect_status() {  # name want
  if [ "$rc" -eq "$2" ]; then pass; else fail "$1: exit status $rc, expected $2" "$(head -c 600 "$WORK/err")"; fi
}

# expect_bytes name file expected-content: exact bytes, no trailing line feed added.
expect_bytes() {
  local want got
  want=$(printf '%s' "$3" | od -An -c)
  if [ -e "$2" ]; then got=$(od -An -c <"$2"); else got="(no file $2)"; fi
  if [ "$want" = "$got" ]; then pass; else fail "$1" "expected: $want" "got:      $got"; fi
}

expect_stdout() { expect_bytes "$1 (stdout)" "$WORK/out" "$2"; }

# The memory cap of the tests below, where it can be had: not on Windows, and
# not in a sanitizer build, whose shadow memory needs far more.
can_cap_memory() { [ -z "$WINDOWS" ] && (ulimit -v 400000 && "$PIPE" --version) >/dev/null 2>&1; }

# ---------------------------------------------------------------------------
# The command line.

pipe --help
expect_status "--help" 0
if head -1 "$WORK/out" | grep -q '^Usage: pipe \[--record-limit N\]' &&
   grep -q 'ooRexx program file .* is not supported' "$WORK/out"; then pass
else fail "--help shows the usage and says ooRexx programs are not supported" "$(head -3 "$WORK/out")"; fi

pipe --version
expect_status "--version" 0
expect_stdout "--version" "$VERSION$EOL"

# No pipeline: the two usage lines and where to read on, status 2.
pipe --threads
expect_status "no pipeline" 2
expect_stdout "no pipeline" ""
if [ "$(tail -1 "$WORK/err" | tr -d '\r')" = "Try 'pipe --help' for more information." ] &&
   head -1 "$WORK/err" | grep -q '^Usage: pipe '; then pass
else fail "no pipeline shows the usage and points to --help" "$(cat "$WORK/err")"; fi

# (Not nul.txt: on Windows that names the null device.)
printf 'a\0b\nc\n' >zero.txt
printf 'a\0b%sc%s' "$EOL" "$EOL" >zero.expected
pipe "< zero.txt | console"
if cmp -s zero.expected "$WORK/out"; then pass; else fail "NUL bytes reach standard output unchanged"; fi

printf 'from stdin\r\nsecond' | timeout -k 5 "$LIMIT" "${RUNNER[@]}" "$PIPE" "console | console" >"$WORK/out" 2>"$WORK/err"
rc=$?
expect_status "console reads standard input" 0
expect_stdout "console reads standard input" "from stdin${EOL}second$EOL"

# ---------------------------------------------------------------------------
# Whole runs, one per line: a refusal from each step of the driver, the
# Tailwriter's modes on real files, and where modules are found.

printf 'alpha beta\r\ngamma\n\nlast line' >lines.txt
printf 'one\ntwo\nthree\n' >in.txt
printf 'kept%s' "$EOL" >ends.log
printf 'one.txt hello\ntwo.txt world\none.txt again\n' >names-in.txt
printf 'd1\nd2\nd3\n' >data.txt
printf 'n1.txt\nn1.txt\nn2.txt\n' >names.txt
printf 'ann smith 42\nbob jones 7\n' >people.txt
mkdir -p broken good
printf 'not a library' >"broken/$MODULE"
cp "$BIN/$MODULE" good/

S='<stamp>PIPE: Error'
CONTINUED=$'\n                    '
ESC=$'\e' BEL=$'\a'
# name ~ DUCTRINE_MODULE_PATH (- for unset) ~ exit status ~ standard output
# (\n a line end) ~ messages (a pattern; \n starts a continuation line) ~ the
# words of the command line.
while IFS='~' read -r -a f; do
  name=${f[0]} want_out=${f[3]//\\n/$EOL} want_messages=${f[4]//\\n/$CONTINUED}
  if [ "${f[1]}" = - ]; then pipe "${f[@]:5}" </dev/null
  else DUCTRINE_MODULE_PATH=${f[1]} pipe "${f[@]:5}" </dev/null; fi
  expect_status "$name" "${f[2]}"
  expect_stdout "$name" "$want_out"
  got=$(messages)
  if [[ $got == $want_messages ]]; then pass; else fail "$name (messages)" "expected: $want_messages" "got:      $got"; fi
done <<EOF
an option word inside the pipeline~-~0~--help\n~~literal~--help~|~console
-- ends the options~-~0~x\n~~--~literal x | console
lines read by <: CR LF, empty, no last LF~-~0~alpha beta\ngamma\n\nlast line\n~~<~lines.txt~|~console
a record of the limit~-~255~~<stamp>PIPE: Pipe(0),Stage(0),Type(LITERAL): 2072RE: The record of length: 8, exceeds the maximum allowed length of: 7.\nThe first 50 bytes of the record are: '12345678'~--record-limit~8~literal 12345678 | console
a refused command line~-~255~~$S 1029: Unexpected argument: '--bogus'.~--bogus~literal a
a refused pipeline~-~255~~$S 1021: Pipe(0),Stage(1): Label: 't:', undefined.~literal a | t:
a refused set~-~255~~$S 1011: Invalid argument: 't:', a connection to another stage expected.~t: literal x | t:
declared streams, checked before anything runs~-~255~~$S 1024: Pipe(0),Stage(0),Type(TAILWRITER): The stage requires a primary input stream.~>> never.txt
a missing input file~-~255~~<stamp>PIPE: Pipe(0),Stage(0),Type(<): 2002IE: Input file: 'missing.txt' failed to open, Rc: 2,\nReason: $NOT_FOUND~< missing.txt | console
terminal controls in the pipeline text shown as ?~-~255~~<stamp>PIPE: Pipe(0),Stage(0),Type(<): 2002IE: Input file: '\?]52;c;SGk=\?\?[2J1m' failed to open, Rc: *,\nReason: *~< ${ESC}]52;c;SGk=${BEL}${ESC}[2J1m | console
mode 1~-~0~one\ntwo\nthree\n~~< in.txt | >> all.log | console
mode 1 appending~-~0~~~literal four | tailwrt all.log
mode 1 after a line end~-~0~~~literal next | TAILWRITER ends.log
mode 2~-~0~hello\nworld\nagain\n~~< names-in.txt | >> | console
mode 3, names from a third pipe~-~0~d1\nd2\nd3\n~~(end ?) < data.txt | t: >> | console ? literal unused ? < names.txt | t:
a selection on a module's stage~-~0~ann smith 42\nbob jones 7\n~~< people.txt | [words 2 2 upper reverse] >> words.txt | console
a missing module folder, then the defaults~$WORK/no-such-folder~0~~~literal a | >> default.txt
relative module folders are skipped~broken~0~~~literal a | >> default.txt
an empty module path is no module path~~0~~~literal a | >> empty-path.txt
built-in stages need no module~$WORK/no-such-folder~0~a\n~~literal a | console
a file that is no module, before the defaults~$WORK/broken~255~~$S 1020: '$WORK/broken/$MODULE' is not a valid Ductrine stage DLL.\nReason: ?*~literal a | >> nowhere.txt
a module of another ABI version~$BIN/../stale-abi~255~~$S 1020: '$BIN/../stale-abi/staleabi${MODULE#tailwriter}' is not a valid Ductrine stage DLL.\nReason: $ABI_REASON~literal a | staleabi
a module found by its command's name~-~0~m0\nm1\n~~test_stage_module 2 | console
a command without a module~$WORK/empty~255~~$S 1007: Pipe(0),Stage(1): Bad command: 'no_such_module'.~literal a | no_such_module 2
the module found in a later folder~$WORK/empty$PATH_SEP$PATH_SEP$WORK/good~0~~~literal found | >> found.txt
EOF

# What those runs left: file ~ its bytes (\n a line end).
while IFS='~' read -r file want; do expect_bytes "the file $file" "$file" "${want//\\n/$EOL}"; done <<EOF
all.log~one\ntwo\nthree\nfour
ends.log~kept\nnext
one.txt~hello\nagain
two.txt~world
n1.txt~d1\nd2
n2.txt~d3
words.txt~HTIMS\nSENOJ
empty-path.txt~a
found.txt~found
default.txt~a\na
EOF
[ -e never.txt ] && fail "a refused run created its file" || pass

# --list-stages: the module path's folders first, a module found again
# later marked unused, a broken one with the loader's reason.
DUCTRINE_MODULE_PATH="$WORK/broken$PATH_SEP$WORK/good" pipe --list-stages
expect_status "--list-stages" 0
list=$(tr -d '\r' <"$WORK/out")
if [[ $list == *"TAILWRITER        $WORK/broken/$MODULE  (cannot be loaded: "*")"$'\n'"  TAILWRITER        $WORK/good/$MODULE  (not used: found in an earlier folder)"$'\n'*"  TEST_STAGE_MODULE "* ]]; then pass
else fail "--list-stages lists the modules of every folder in search order" "$list"; fi

# ---------------------------------------------------------------------------
# A cycle of stages that all wait for each other is a stall: reported with
# a dump of every stage, the run stopped, a failure status; in both modes.

for mode in "" --threads; do
  rm -f "$WORK"/ductrine-stall-*.txt
  TMPDIR="$WORK" TMP="$WORK" TEMP="$WORK" pipe $mode "literal a | t: >> | console | t:"
  expect_status "a stall ${mode:-on one dispatcher}" 255
  if grep -q 'PIPE: Error 1005: Stall detected, writing dump to: .*ductrine-stall-' "$WORK/err"; then pass
  else fail "a stall ${mode:-on one dispatcher} is reported" "$(head -c 300 "$WORK/err")"; fi
  if [ -z "$WINDOWS" ]; then
    dump=$(ls "$WORK"/ductrine-stall-*.txt 2>/dev/null | head -1)
    if [ -n "$dump" ] && [ "$(wc -l <"$dump")" -eq 3 ] &&
       grep -q '^Pipe(0),Stage(1),Type(TAILWRITER): waiting for a record on input stream 1;' "$dump"; then pass
    else fail "the stall dump ${mode:-on one dispatcher} lists every stage and what it waits on" "$(cat "$dump" 2>/dev/null)"; fi
  fi
done

# ---------------------------------------------------------------------------
# Under a cap on memory: a line without end is refused once it passes the
# limit, never buffered whole; a stage that cannot be started (no room for
# its stack, or no thread) ends the run before any record moves.

if ! can_cap_memory; then
  skip "runs under ulimit -v (Windows, or a sanitizer build)"
else
  Y50=yyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyy
  for stage in "console" "< /dev/zero"; do
    yes | tr -d '\n' | (ulimit -v 400000; timeout -k 5 "$LIMIT" "$PIPE" "$stage | console" >/dev/null 2>"$WORK/err")
    rc=$?
    expect_status "an endless line read by $stage" 255
    if [ "$stage" = console ]; then type=CONSOLE shown=$Y50; else type='<' shown=; fi
    if [ "$(messages)" = "<stamp>PIPE: Pipe(0),Stage(0),Type($type): 2072RE: The record of length: 65536, exceeds the maximum allowed length of: 65535.
                    The first 50 bytes of the record are: '$shown'" ]; then pass
    else fail "an endless line read by $stage (messages)" "$(messages)"; fi
  done

  many="literal x"
  for i in $(seq 1 600); do many="$many | literal x"; done
  for mode in "" --threads; do
    (ulimit -v 400000; timeout -k 5 "$LIMIT" "$PIPE" $mode "$many | >> many.txt" >/dev/null 2>"$WORK/err")
    rc=$?
    expect_status "more stages than memory ${mode:-on one dispatcher}" 255
    if grep -q 'Type(LITERAL): 2014IE: Failure launching stage, Rc: [0-9]*,' "$WORK/err" && [ ! -e many.txt ]; then pass
    else fail "more stages than memory ${mode:-on one dispatcher}: 2014, nothing written" "$(head -c 300 "$WORK/err")"; fi
  done
fi

# ---------------------------------------------------------------------------
# Standard output closed early: the run ends at once and quietly, though its
# input never ends.

yes | timeout -k 5 "$LIMIT" "${RUNNER[@]}" "$PIPE" "console | console" 2>"$WORK/err" | head -1 >"$WORK/out"
rc=${PIPESTATUS[1]}
expect_status "standard output closed early" 0
expect_stdout "standard output closed early" "y$EOL"
[ -s "$WORK/err" ] && fail "standard output closed early: messages" "$(head -c 300 "$WORK/err")" || pass

# ---------------------------------------------------------------------------
# A terminating signal stops the run the orderly way: every accepted record
# is in the file, a read-only file is read-only again, and the process ends
# by the signal.

if [ -n "$WINDOWS" ]; then
  skip "terminating signals (console control events on Windows)"
else
  # 64 records of 1023 bytes and their line ends: once 64 KiB are out on
  # standard output, every record has passed the Tailwriter.
  record=$(printf '%01023d' 0)
  for signal in TERM:143 HUP:129; do
    printf 'old' >ro.txt
    chmod 444 ro.txt
    rm -f feed.fifo shown.fifo
    mkfifo feed.fifo shown.fifo
    exec 6<>feed.fifo 7<>shown.fifo  # held open: the input never ends, the output keeps a reader
    timeout -s KILL "$LIMIT" "$PIPE" "console | >> ro.txt | console" <feed.fifo >shown.fifo 2>"$WORK/err" &
    waiter=$!
    for _ in $(seq 64); do printf '%s\n' "$record"; done >&6
    timeout -k 5 "$LIMIT" head -c 65536 <&7 >/dev/null
    kill -"${signal%:*}" "$(pgrep -P "$waiter")"
    wait "$waiter"
    rc=$?
    exec 6>&- 7>&-
    expect_status "SIG${signal%:*} ends the run by the signal" "${signal#*:}"
    expect_bytes "SIG${signal%:*}: every accepted record is in the file" ro.txt \
      "old$(for _ in $(seq 64); do printf '\n%s' "$record"; done)"
    [ "$(stat -c %a ro.txt)" = 444 ] && pass || fail "SIG${signal%:*}: the file is read-only again" "$(stat -c %a ro.txt)"
    chmod 644 ro.txt
  done
fi

# ---------------------------------------------------------------------------
# A second signal ends a run that cannot stop (a stage blocked in a call of
# its own) at once, with every read-only attribute the run cleared set again.
# A stop while a Tailwriter waits for a FIFO's reader ends that wait quietly.

if [ -n "$WINDOWS" ]; then
  skip "a second terminating signal, a FIFO without a reader (POSIX signals)"
else
  for mode in "" --threads; do
    printf 'old' >ro2.txt
    chmod 444 ro2.txt
    rm -f blocked.mark
    timeout -s KILL "$LIMIT" "$PIPE" $mode "< in.txt | >> ro2.txt | test_stage_module block blocked.mark" \
      </dev/null >/dev/null 2>"$WORK/err" &
    waiter=$!
    for _ in $(seq 1 $((LIMIT * 20))); do [ -e blocked.mark ] && break; sleep 0.05; done
    kill -TERM "$(pgrep -P "$waiter")"
    kill -TERM "$(pgrep -P "$waiter")"
    wait "$waiter"
    rc=$?
    expect_status "a second SIGTERM ${mode:-on one dispatcher}" 143
    [ "$(stat -c %a ro2.txt)" = 444 ] && pass ||
      fail "a second SIGTERM ${mode:-on one dispatcher}: the file is read-only again" "$(stat -c %a ro2.txt)"
    chmod 644 ro2.txt

    rm -f reader.fifo
    mkfifo reader.fifo
    timeout -s KILL "$LIMIT" "$PIPE" $mode "literal a | >> reader.fifo" </dev/null >/dev/null 2>"$WORK/err" &
    waiter=$!
    # The wait for a reader runs on a thread of its own: the watcher, the
    # stages' threads (--threads) and that one.
    want=3
    [ -n "$mode" ] && want=5
    for _ in $(seq 1 $((LIMIT * 20))); do
      pid=$(pgrep -P "$waiter")
      [ -n "$pid" ] && [ "$(ls "/proc/$pid/task" 2>/dev/null | wc -l)" -ge "$want" ] && break
      sleep 0.05
    done
    kill -TERM "$pid"
    wait "$waiter"
    rc=$?
    expect_status "a stop while waiting for a FIFO's reader ${mode:-on one dispatcher}" 143
    [ -s "$WORK/err" ] && fail "a stop while waiting for a FIFO's reader ${mode:-on one dispatcher}: messages" \
      "$(head -c 300 "$WORK/err")" || pass
  done
fi

# ---------------------------------------------------------------------------
# Closed standard streams and resource limits: every failure is a numbered
# message with its real reason, and nothing is cut or left writable unsaid.

if [ -n "$WINDOWS" ]; then
  skip "closed descriptors and resource limits (POSIX)"
else
  for mode in "" --threads; do
    m=${mode:-on one dispatcher}
    # A closed standard input is the end of the input; the signal watch
    # does not take its number.
    timeout -k 5 "$LIMIT" "$PIPE" $mode "console | >> closed-in.txt" <&- >"$WORK/out" 2>"$WORK/err"
    rc=$?
    expect_status "a closed standard input $m" 0
    [ -e closed-in.txt ] && fail "a closed standard input $m: a file was created" || pass
    # A closed standard output is an output that cannot be written.
    printf 'a\n' | timeout -k 5 "$LIMIT" "$PIPE" $mode "console | console" >&- 2>"$WORK/err"
    rc=$?
    expect_status "a closed standard output $m" 255
    if [ "$(messages)" = "<stamp>PIPE: Pipe(0),Stage(1),Type(CONSOLE): 2999RE: Stream: 0, Rec: 1, Failure writing file: 'STDOUT', Rc: 9,
                    Reason: Bad file descriptor" ]; then pass
    else fail "a closed standard output $m (messages)" "$(messages)"; fi

    # The file-size limit fails the write as any other: 2999, the file
    # read-only again, the records for other files kept.
    { printf 'fsz-other.txt first\n'; for _ in $(seq 40); do printf 'fsz.txt %01000d\n' 0; done; } >fsz-in.txt
    rm -f fsz.txt fsz-other.txt
    printf 'old' >fsz.txt
    chmod 444 fsz.txt
    (ulimit -f 8; timeout -k 5 "$LIMIT" "$PIPE" $mode "< fsz-in.txt | >>" >"$WORK/out" 2>"$WORK/err")
    rc=$?
    expect_status "the file-size limit $m" 255
    if grep -q "2999RE: Stream: 0, Rec: [0-9]*, Failure writing file: 'fsz.txt', Rc: 27," "$WORK/err"; then pass
    else fail "the file-size limit $m (messages)" "$(messages)"; fi
    [ "$(stat -c %a fsz.txt)" = 444 ] && pass || fail "the file-size limit $m: read-only again" "$(stat -c %a fsz.txt)"
    expect_bytes "the file-size limit $m: the other file" fsz-other.txt "first"
    chmod 644 fsz.txt
  done

  # Too few descriptors or too little memory: a numbered message with the
  # real reason, never a module called unfit, never a bare text.
  limits=("-n 6")
  can_cap_memory && limits+=("-v 8000")
  for limit in "${limits[@]}"; do
    (ulimit $limit; timeout -k 5 "$LIMIT" "$PIPE" "literal a | >> limited.txt" </dev/null >/dev/null 2>"$WORK/err")
    rc=$?
    if [ "$rc" -eq 0 ] && [ ! -s "$WORK/err" ]; then pass; continue; fi
    if [ "$rc" -eq 255 ] && messages | grep -Eq '^<stamp>PIPE: ' && ! messages | grep -Eqv '^(<stamp>PIPE: | {20}Reason: )' &&
       ! grep -q 'not a valid' "$WORK/err" && grep -Eq 'Reason: (Too many open files|Cannot allocate memory)' "$WORK/err"; then pass
    else fail "under ulimit $limit: a numbered message with the real reason" "status $rc" "$(head -c 400 "$WORK/err")"; fi
  done
fi

# ---------------------------------------------------------------------------
# Tracing: the segment, and the dialogue on a terminal.

if [ -n "$WINDOWS" ] || ! command -v setsid >/dev/null; then
  # There the segment is a file mapping: it goes with the last process that
  # holds it, and nothing of it shows in the file system.
  skip "the trace segment in /dev/shm (no setsid, or a file mapping on Windows)"
else
  # A traced run blocked in its console read: the segment, named with the
  # id of the pipe process (the child of `timeout`) and a random part,
  # holds "0;0;", is the owner's alone, and an interrupt removes it. (Only
  # this run's name is looked at: other runs on the machine have segments
  # of their own.)
  mkfifo idle.fifo
  exec 7<>idle.fifo
  timeout -k 5 "$LIMIT" "$PIPE" "(trace) console | console" <idle.fifo >/dev/null 2>"$WORK/err" &
  waiter=$!
  segment=
  for _ in $(seq 1 $((LIMIT * 20))); do
    pid=$(pgrep -P "$waiter")
    [ -n "$pid" ] && segment=$(compgen -G "/dev/shm/DuctrineTrace-$pid-*") && break
    sleep 0.05
  done
  if [[ $segment =~ ^/dev/shm/DuctrineTrace-$pid-[0-9a-f]{16}$ ]] && [ "$(head -c 4 "$segment")" = "0;0;" ] &&
     [ "$(stat -c %a "$segment")" = 600 ]; then pass
  else fail "a traced run's segment: named with its process id and 16 random hex digits, 0;0;, mode 0600" \
    "pid: $pid" "$(ls -l /dev/shm)"; fi
  [ -n "$pid" ] && kill -TERM "$pid"
  wait "$waiter"
  exec 7>&-
  [ -n "$segment" ] && [ -e "$segment" ] && fail "an interrupted traced run leaves its segment behind" || pass

  # A name made first under the run's process id (as another user could,
  # when names held nothing else) neither fails the run nor is removed by
  # it. pipe runs under the id of a shell that puts the segment there first;
  # no terminal: every prompt reads as enter.
  timeout -k 5 "$LIMIT" setsid -w bash -c 'echo $$ >"$1"; printf 9 >"/dev/shm/DuctrineTrace-$$"; exec "$2" "$3"' \
    squat "$WORK/squat.pid" "$PIPE" "(trace) literal left | console" </dev/null >"$WORK/out" 2>"$WORK/err"
  rc=$?
  segment=/dev/shm/DuctrineTrace-$(cat "$WORK/squat.pid")
  expect_status "a traced run beside a segment another made first" 0
  expect_stdout "a traced run beside a segment another made first" "left$EOL"
  [ "$(cat "$segment" 2>/dev/null)" = 9 ] && pass || fail "a segment the run did not make is left as it was"
  rm -f "$segment"
fi

if ! command -v script >/dev/null; then
  skip "traced runs under a pseudo-terminal (no script utility)"
else
  # traced ANSWERS PIPELINE: runs the pipeline under a pseudo-terminal and
  # types each line of ANSWERS once its prompt shows, as a person would (a
  # console that reads the terminal raw, as wine's does, takes nothing typed
  # ahead). The screen, without carriage returns, terminal controls and
  # trailing blanks, lands in $WORK/out.
  traced() {
    local screen=$WORK/screen fifo=$WORK/keyboard answer prompts=0 session
    rm -f "$screen" "$fifo"
    mkfifo "$fifo"
    # A wide screen, so that no line of a dump wraps.
    timeout -k 5 "$LIMIT" script -qfec "stty cols 300 rows 50; ${RUNNER[*]} '$PIPE' '$2'; echo \"status=\$?\"" \
      /dev/null <"$fifo" >"$screen" &
    session=$!
    exec 8>"$fifo"
    while IFS= read -r answer; do
      prompts=$((prompts + 1))
      for _ in $(seq 1 $((LIMIT * 20))); do
        [ "$(grep -o 'trace ?:' "$screen" | wc -l)" -ge "$prompts" ] && break
        sleep 0.05
      done
      printf '%s\r' "$answer" >&8
    done < <(printf '%b' "$1")
    wait "$session"
    exec 8>&-
    perl -pe 's/\e\[(\d*)C/" " x ($1 || 1)/ge; s/\e\[[?0-9;]*[A-Za-z]//g; s/\r//g; s/ +$//' \
      "$screen" >"$WORK/out"
  }

  # answers ~ pipeline ~ the lines the screen shows (grep patterns; ! for
  # one it must not show).
  while IFS='~' read -r -a f; do
    traced "${f[0]}" "${f[1]}"
    for line in "${f[@]:2}"; do
      if [[ $line == !* ]]; then ! grep -q "${line#!}" "$WORK/out"; else grep -q "$line" "$WORK/out"; fi ||
        { fail "traced '${f[1]}', answered '${f[0]}': $line" "$(cat "$WORK/out")"; continue 2; }
    done
    pass
  done <<EOF
run *\n~(trace) literal hello | console~^trace ?: run \*\$~^0000000001 Pipe:(0),Stage:(0),Type:(LITERAL): Write Record: 1, Stream: 0, Length: 5 bytes\.\$~^0000000002 Pipe:(0),Stage:(1),Type:(CONSOLE): Peek Record: 1, Stream: 0, Length: 5 bytes\.\$~^hello\$~^status=0\$
source\nend\n~(end ? trace) literal one | console ? literal two | console~^> literal one | console\$~^> literal two | console\$~^status=0\$~!^one\$
help\noff\n~(trace) literal hello | console~^Ductrine v$VERSION, tracing source: (trace) literal hello | console\$~^hello\$~!^0000000001
EOF
fi

# ---------------------------------------------------------------------------

printf 'e2e: %d checks, %d failed, %d skipped\n' "$checks" "$failures" "$skipped"
[ "$failures" -eq 0 ]
