#!/usr/bin/env bash
# End to end: the real pipe binary on real files in a scratch folder.
#   run_e2e.sh BIN_DIR
# DUCTRINE_VERSION is the project version that pipe --version must show.
# Every run of pipe is under `timeout`, since a fault in a handshake is a hang.
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
else
  WINDOWS=
  EOL=$'\n'
  MODULE=tailwriter.so
  PATH_SEP=':'
  NOT_FOUND='No such file or directory'
fi
WORK=$(mktemp -d "${TMPDIR:-/tmp}/ductrine-e2e.XXXXXX")
trap 'rm -rf "$WORK"' EXIT
cd "$WORK" || exit 1
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
  timeout "$LIMIT" "${RUNNER[@]}" "$PIPE" "$@" >"$WORK/out" 2>"$WORK/err"
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

expect_messages() {  # name expected-lines
  local got
  got=$(messages)
  if [ "$got" = "$2" ]; then pass; else fail "$1 (messages)" "expected: $2" "got:      $got"; fi
}

expect_no_messages() { expect_messages "$1" ""; }

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

pipe literal --help '|' console
expect_status "an option word after the pipeline has begun is pipeline text" 0
expect_stdout "an option word after the pipeline has begun is pipeline text" "--help$EOL"

pipe -- literal x '|' console
expect_stdout "-- ends the options" "x$EOL"

printf 'alpha beta\r\ngamma\n\nlast line' >lines.txt
pipe '<' lines.txt '|' console
expect_status "words joined into a pipeline" 0
expect_stdout "lines read by <, CR LF and a last line without LF" "alpha beta${EOL}gamma${EOL}${EOL}last line$EOL"

# (Not nul.txt: on Windows that names the null device.)
printf 'a\0b\nc\n' >zero.txt
printf 'a\0b%sc%s' "$EOL" "$EOL" >zero.expected
pipe "< zero.txt | console"
if cmp -s zero.expected "$WORK/out"; then pass; else fail "NUL bytes reach standard output unchanged"; fi

printf 'from stdin\r\nsecond' | timeout "$LIMIT" "${RUNNER[@]}" "$PIPE" "console | console" >"$WORK/out" 2>"$WORK/err"
rc=$?
expect_status "console reads standard input" 0
expect_stdout "console reads standard input" "from stdin${EOL}second$EOL"

pipe --record-limit 8 "literal 1234567 | console"
expect_status "a record of limit - 1 bytes is accepted" 0
expect_stdout "a record of limit - 1 bytes is accepted" "1234567$EOL"

pipe --record-limit 8 "literal 12345678 | console"
expect_status "a record of the limit is refused" 255
if messages | grep -q '^<stamp>PIPE: Pipe(0),Stage(0),Type(LITERAL): 2072'; then pass
else fail "a record of the limit is refused with 2072" "$(messages)"; fi

# A line without end is refused once it passes the limit, never buffered
# whole: under a cap on memory an endless one still ends in 2072.
if [ -n "$WINDOWS" ] || ! (ulimit -v 400000 && "$PIPE" --version) >/dev/null 2>&1; then
  skip "an endless line under ulimit -v (no /dev/zero, or a sanitizer build)"
else
  Y50=yyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyy
  for stage in "console" "< /dev/zero"; do
    yes | tr -d '\n' | (ulimit -v 400000; timeout "$LIMIT" "$PIPE" "$stage | console" >/dev/null 2>"$WORK/err")
    rc=$?
    expect_status "an endless line read by $stage" 255
    if [ "$stage" = console ]; then type=CONSOLE shown=$Y50; else type='<' shown=; fi
    expect_messages "an endless line read by $stage" \
      "<stamp>PIPE: Pipe(0),Stage(0),Type($type): 2072RE: The record of length: 65536, exceeds the maximum allowed length of: 65535.
                    The first 50 bytes of the record are: '$shown'"
  done
fi

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
    else fail "the stall dump lists every stage and what it waits on" "$(cat "$dump" 2>/dev/null)"; fi
  fi
done

# A stage that cannot be started (no room for its stack, or no thread) ends
# the run with a message before any record moves, and never hangs.
if [ -n "$WINDOWS" ] || ! (ulimit -v 400000 && "$PIPE" --version) >/dev/null 2>&1; then
  skip "stages beyond the memory limit (a sanitizer build)"
else
  many="literal x"
  for i in $(seq 1 600); do many="$many | literal x"; done
  for mode in "" --threads; do
    (ulimit -v 400000; timeout "$LIMIT" "$PIPE" $mode "$many | >> many.txt" >/dev/null 2>"$WORK/err")
    rc=$?
    expect_status "more stages than memory ${mode:-on one dispatcher}" 255
    if grep -q 'Type(LITERAL): 2014IE: Failure launching stage, Rc: [0-9]*,' "$WORK/err" && [ ! -e many.txt ]; then pass
    else fail "more stages than memory ${mode:-on one dispatcher}: 2014, nothing written" "$(head -c 300 "$WORK/err")"; fi
  done
fi

# ---------------------------------------------------------------------------
# Tailwriter, mode 1: a named file.

printf 'one\ntwo\nthree\n' >in.txt
pipe "< in.txt | >> all.log | console"
expect_status "mode 1" 0
expect_bytes "mode 1 creates the file, no line end after the last record" all.log "one${EOL}two${EOL}three"
expect_stdout "mode 1 passes every record on" "one${EOL}two${EOL}three$EOL"
pipe "literal four | tailwrt all.log"
expect_bytes "mode 1 appends with a line end first" all.log "one${EOL}two${EOL}three${EOL}four"
printf 'kept%s' "$EOL" >ends.log
pipe "literal next | TAILWRITER ends.log"
expect_bytes "mode 1 after a file that ends in a line feed" ends.log "kept${EOL}next"

# ---------------------------------------------------------------------------
# Tailwriter, mode 2: names in records.

printf 'one.txt hello\ntwo.txt world\none.txt again\n' >names-in.txt
pipe "< names-in.txt | >> | console"
expect_status "mode 2" 0
expect_bytes "mode 2 first file" one.txt "hello${EOL}again"
expect_bytes "mode 2 second file" two.txt "world"
expect_stdout "mode 2 passes the data without the names" "hello${EOL}world${EOL}again$EOL"

pipe "literal sub/x.txt data | >>"
expect_status "mode 2 refuses a path" 255
if messages | grep -q '^<stamp>PIPE: Pipe(0),Stage(1),Type(TAILWRITER): 2005RE: '; then pass
else fail "mode 2 refuses a name with /" "$(messages)"; fi
[ -e sub/x.txt ] && fail "mode 2 refused name created a file" || pass

# ---------------------------------------------------------------------------
# Tailwriter, mode 3: a name stream on the secondary input.

printf 'd1\nd2\nd3\n' >data.txt
printf 'n1.txt\nn1.txt\nn2.txt\n' >names.txt
pipe "(end ?) < data.txt | t: >> | console ? < names.txt | t:"
expect_status "mode 3" 0
expect_bytes "mode 3 first file" n1.txt "d1${EOL}d2"
expect_bytes "mode 3 second file" n2.txt "d3"
expect_stdout "mode 3 passes the data on" "d1${EOL}d2${EOL}d3$EOL"

pipe "(end ?) < data.txt | t: >> n9.txt | console ? < names.txt | t:"
expect_status "mode 3 with an operand" 255
expect_messages "mode 3 with an operand" "<stamp>PIPE: Pipe(0),Stage(1),Type(TAILWRITER): 2033RE: Unexpected argument: 'n9.txt'."

# ---------------------------------------------------------------------------
# Tailwriter: the open-file set, targets checked before anything moves,
# targets that are no regular file, names that lead elsewhere, locks.

# 100 names, twice round: more names than the set keeps open, so each comes
# back after its file was closed; the bytes are those of one file at a time.
for round in 1 2; do for i in $(seq 1 100); do printf 'set%d.txt %d\n' "$i" "$round"; done; done >rounds.txt
printf 'old' >set7.txt
pipe "< rounds.txt | >>"
expect_status "mode 2, names interleaved past the set's size" 0
expect_bytes "mode 2, a file closed and opened again" set1.txt "1${EOL}2"
expect_bytes "mode 2, an existing file without a line end" set7.txt "old${EOL}1${EOL}2"
expect_bytes "mode 2, the last file" set100.txt "1${EOL}2"

printf '1\n2\n3\n4\n5\n' >in5.txt
pipe "< in5.txt | >> good.txt | >> nodir/x"
expect_status "an unwritable named target stops the run" 255
# (The code and its text are the system's: "path not found" on Windows.)
if [ "$(messages | head -1)" = "<stamp>PIPE: Pipe(0),Stage(2),Type(TAILWRITER): 2002IE: Output file: 'nodir/x' failed to open, Rc: $([ -n "$WINDOWS" ] && echo 3 || echo 2)," ] &&
   [ "$(messages | wc -l)" -eq 2 ]; then pass
else fail "an unwritable named target is reported at setup" "$(messages)"; fi
[ -e good.txt ] && fail "an unwritable named target: an earlier stage wrote its file" || pass

mkdir inner
printf 'd1\n' >inner/one-data.txt
printf '../up.txt\n' >inner/up-names.txt
cd inner || exit 1
pipe "(end ?) < one-data.txt | t: >> ? < up-names.txt | t:"
cd "$WORK" || exit 1
expect_status "mode 3 refuses a name outside the folder" 255
expect_messages "mode 3 refuses a name outside the folder" "<stamp>PIPE: Pipe(0),Stage(1),Type(TAILWRITER): 2005RE: Stream: 1, Rec: 1, Invalid argument: '../up.txt', valid filename expected."
[ -e up.txt ] && fail "mode 3 wrote a file outside the folder" || pass

if [ -n "$WINDOWS" ]; then
  skip "FIFOs, devices, folders, links and locks as POSIX shows them"
else
  mkdir adir
  pipe "literal a | >> adir"
  expect_status "a folder as the target" 255
  expect_messages "a folder as the target" "<stamp>PIPE: Pipe(0),Stage(1),Type(TAILWRITER): 2002IE: Output file: 'adir' failed to open, Rc: 21,
                    Reason: Is a directory"

  got=$(timeout "$LIMIT" "$PIPE" "literal a | >> /dev/stdout" 2>"$WORK/err" | cat)
  [ "$got" = "a" ] && [ ! -s "$WORK/err" ] && pass || fail "standard output on a pipe as the target" "got: $got" "$(cat "$WORK/err")"

  # A FIFO with its reader waiting: written, never probed for a last byte.
  mkfifo ff
  timeout "$LIMIT" cat ff >fifo.out &
  reader=$!
  pipe "< in5.txt | >> ff"
  wait "$reader"
  expect_status "a FIFO with a reader as the target" 0
  expect_bytes "a FIFO with a reader as the target" fifo.out "1${EOL}2${EOL}3${EOL}4${EOL}5"

  # A FIFO that nobody reads yet: the other stages go on; the records arrive
  # once a reader comes.
  timeout "$LIMIT" "$PIPE" "(end ?) < in5.txt | >> ff ? literal other | >> other.txt" >/dev/null 2>"$WORK/err" &
  writer=$!
  for _ in $(seq 1 100); do [ -e other.txt ] && break; sleep 0.05; done
  [ -e other.txt ] && pass || fail "a FIFO without a reader holds the other stages"
  timeout "$LIMIT" cat ff >fifo.out
  wait "$writer"
  rc=$?
  expect_status "a FIFO whose reader comes later" 0
  expect_bytes "a FIFO whose reader comes later" fifo.out "1${EOL}2${EOL}3${EOL}4${EOL}5"

  # A link planted where a record names its file is not followed.
  mkdir -p elsewhere
  printf 'secret\n' >elsewhere/secret.txt
  ln -s elsewhere/secret.txt planted.txt
  pipe "literal planted.txt x | >>"
  expect_status "mode 2 does not follow a link" 255
  expect_messages "mode 2 does not follow a link" "<stamp>PIPE: Pipe(0),Stage(1),Type(TAILWRITER): 2005RE: Stream: 0, Rec: 1, Invalid argument: 'planted.txt', a file that is not a symbolic link expected."
  expect_bytes "mode 2 does not follow a link" elsewhere/secret.txt "secret$EOL"
  pipe "literal y | >> planted.txt"
  expect_status "an operand may be a link" 0
  expect_bytes "an operand may be a link" elsewhere/secret.txt "secret${EOL}y"

  # Another process holds the file: the message says so.
  printf 'held\n' >held.txt
  flock -x held.txt sleep 5 &
  holder=$!
  for _ in $(seq 1 50); do flock -n -s held.txt true || break; sleep 0.05; done
  pipe "literal a | >> held.txt"
  kill "$holder" 2>/dev/null
  wait "$holder" 2>/dev/null
  expect_status "a file locked by another process" 255
  expect_messages "a file locked by another process" "<stamp>PIPE: Pipe(0),Stage(1),Type(TAILWRITER): 2002IE: Output file: 'held.txt' failed to open, Rc: 11,
                    Reason: The file is in use by another stage or process"
fi

# ---------------------------------------------------------------------------
# Several pipes, labels, names, separators and escapes.

pipe "(end ?) literal a | >> m1.txt ? literal b | >> m2.txt | console"
expect_status "two pipes" 0
expect_bytes "two pipes, first" m1.txt "a"
expect_bytes "two pipes, second" m2.txt "b"
expect_stdout "two pipes" "b$EOL"

# The labelled stage is defined in the first pipe and fed from the third.
pipe "(end ? name main) literal b | t: >> | console ? literal unused ? literal multi.txt | t:"
expect_status "labels across pipes" 0
expect_bytes "labels across pipes" multi.txt "b"
expect_stdout "labels across pipes" "b$EOL"

pipe "(name main) literal a | nosuch"
expect_messages "NAME shows in messages" "<stamp>PIPE: Error 1007: Pipe(0,main),Stage(1): Bad command: 'nosuch'."

pipe '(sep ! end ; esc \) literal a|b\!c ! console ; literal x\;y ! console'
expect_status "separators and escapes" 0
sort "$WORK/out" >sorted.txt
expect_bytes "separators and escapes" sorted.txt "a|b!c${EOL}x;y$EOL"

pipe '(esc %) literal 50%% | console'
expect_stdout "an escaped escape character" "50%$EOL"

pipe 'literal "a | b" | console'
expect_status "double quotes mean nothing to the driver" 255
expect_messages "double quotes mean nothing to the driver" "<stamp>PIPE: Error 1007: Pipe(0),Stage(1): Bad command: 'b\"'."

# ---------------------------------------------------------------------------
# Selection.

printf 'ann smith 42\nbob jones 7\n' >people.txt
pipe "< people.txt | [words 2 2 upper] console"
expect_stdout "words selection" "SMITH${EOL}JONES$EOL"

printf 'a\tb\tc\nd\te\tf\n' >tabs.txt
pipe "< tabs.txt | [fields 2 2] >> field.txt | console"
expect_bytes "a selecting tailwriter appends the selected part" field.txt "b${EOL}e"
expect_stdout "a selecting stage passes the whole record on" "a	b	c${EOL}d	e	f$EOL"

pipe "literal abcdef | [columns 2 4 reverse] console"
expect_stdout "columns selection reversed" "dcb$EOL"

pipe "literal a,b;c | [fields -1 -1 sep ;] console"
expect_stdout "fields with a separator of one's own" "c$EOL"

# ---------------------------------------------------------------------------
# Every refusal of the driver, with its exact message line.

refusal() {  # name expected-message-lines args...
  local name=$1 want=$2
  shift 2
  pipe "$@"
  expect_status "$name" 255
  expect_messages "$name" "$want"
  [ -s "$WORK/out" ] && fail "$name: wrote to standard output" || pass
}

S='<stamp>PIPE: Error'
refusal "1008" "$S 1008: Pipe(0): missing argument: ')', expected." "(end ? literal a"
refusal "1009" "$S 1009: Pipe(0): Invalid argument: '5', option keyword expected." "(5 end ?) literal a"
refusal "1010" "$S 1010: Pipe(0): Unknown option keyword: 'bogus'." "(bogus) literal a"
refusal "1012" "$S 1012: Pipe(0): Option: 'TRACE' already defined." "(trace trc) literal a"
refusal "1013 reserved" "$S 1013: Pipe(0): Invalid ESCAPE: '[', the characters: ' ()[]:', are reserved or already assigned." \
  "(esc [) literal a"
refusal "1013 taken" "$S 1013: Pipe(0): Invalid ENDCHAR: '|', the characters: ' ()[]:|', are reserved or already assigned." \
  "(end |) literal a"
refusal "1013 not one character" "$S 1013: Pipe(0): Invalid STAGESEP: '!!', the characters: ' ()[]:', are reserved or already assigned." \
  "(sep !!) literal a"
refusal "1014" "$S 1014: Pipe(0): Missing ENDCHAR assignment, a single character expected." "(end) literal a"
refusal "1015 priority" "$S 1015: Pipe(0): Invalid PRIORITY option: 'x', an integer expected." "(pri x) literal a"
refusal "1015 regex" "$S 1015: Pipe(0): Invalid REGEX option: 'perl', awk, basic, ECMAScript, egrep, extended or grep expected." \
  "(reg perl) literal a"
refusal "1006" "$S 1006: Pipe(0),Stage(1), Null stage found, command expected." "literal a || console"
refusal "1007" "$S 1007: Pipe(0),Stage(1): Bad command: '>>out.txt'." "literal a | >>out.txt"
refusal "1011 group" "$S 1011: Invalid argument: '[words 1]', a 'to' integer expected." "literal a | [words 1] console"
refusal "1011 keyword" "$S 1011: Invalid argument: '[word 1 1]', COLUMNS, WORDS or FIELDS expected." \
  "literal a | [word 1 1] console"
refusal "1011 unclosed" "$S 1011: Invalid argument: '[words 1 2 console', ']' expected." "literal a | [words 1 2 console"
refusal "1011 no input" "$S 1011: Invalid argument: '[words 1 1]', a connected input stream expected." \
  "[words 1 1] literal x | console"
refusal "1011 a stage fed by itself" "$S 1011: Invalid argument: 't:', a connection to another stage expected." \
  "t: literal x | t:"
refusal "1021" "$S 1021: Pipe(0),Stage(1): Label: 't:', undefined." "literal a | t:"
refusal "1022" "$S 1022: Pipe(0),Stage(1): At label: 't:', command expected." "(end ?) literal x | t: [words 1 1]"
refusal "1023" "$S 1023: Pipe(0),Stage(1): Label: 't:', already defined by: Pipe(0),Stage(0)." \
  "t: literal a | t: literal b"
M1028="$S 1028: Valid filename or pipeline expected!

 PIPE filename[.rex] [arguments]
 PIPE \"file name[.rex]\" [arguments]
 PIPE \"stage|stage|stage|..\"

      [arguments]
          [[arg1] [\"arg 2\"] ..]"
refusal "1028" "$M1028"
refusal "1028 blanks" "$M1028" "   "
refusal "1029" "$S 1029: Unexpected argument: '--bogus'." --bogus literal a
refusal "1032" "$S 1032: Invalid integer: 1, unsigned value in the range: 2 to 2147483648, expected." \
  --record-limit 1 literal a
refusal "1032 too large" "$S 1032: Invalid integer: 2147483649, unsigned value in the range: 2 to 2147483648, expected." \
  --record-limit 2147483649 literal a

# The checks of declared stream limits: every stage then returns 3 unrun.
refusal "1024" "$S 1024: Pipe(0),Stage(0),Type(TAILWRITER): The stage requires a primary input stream." \
  ">> never.txt"
[ -e never.txt ] && fail "1024: the refused run created its file" || pass
refusal "1025" "$S 1025: Invalid input stream(s): 2, for Pipe(0),Stage(1),Type(TAILWRITER).
                    In this position, Type(TAILWRITER) allows: 2 input stream(s). There are: 3 defined.
                    Connection(s) from: (Pipe,Stage,Stream): (2,0,0) are invalid!" \
  "(end ?) literal a | t: >> three.txt ? literal b | t: ? literal c | t:"
refusal "1025 input to <" "$S 1025: Invalid input stream(s): 0, for Pipe(0),Stage(1),Type(<).
                    In this position, Type(<) allows: 0 input stream(s). There are: 1 defined.
                    Connection(s) from: (Pipe,Stage,Stream): (0,0,0) are invalid!" \
  "literal a | < in.txt | console"
refusal "1027" "$S 1027: Invalid output stream(s): 1, for Pipe(0),Stage(1),Type(LITERAL).
                    In this position, Type(LITERAL) allows: 1 output stream(s). There are: 2 defined.
                    Connection(s) to: (Pipe,Stage,Stream): (1,0,0) are invalid!" \
  "(end ?) literal a | t: literal b | console ? t: | console"

# ---------------------------------------------------------------------------
# Stage messages and exit statuses.

pipe "< missing.txt | console"
expect_status "a missing input file" 255
expect_messages "a missing input file" "<stamp>PIPE: Pipe(0),Stage(0),Type(<): 2002IE: Input file: 'missing.txt' failed to open, Rc: 2,
                    Reason: $NOT_FOUND"

pipe "< | console"
expect_status "< without a file name" 255
expect_messages "< without a file name" "<stamp>PIPE: Pipe(0),Stage(0),Type(<): 2001IE: Missing argument, Filename expected."

pipe "literal x | console"
expect_status "a clean run" 0
expect_no_messages "a clean run"

# ---------------------------------------------------------------------------
# Finding the module.

DUCTRINE_MODULE_PATH="$WORK/no-such-folder" pipe "literal a | >> nowhere.txt"
expect_status "a missing module folder" 255
expect_messages "a missing module folder" "$S 1001: No stage DLLs have been found. Cannot run Ductrine!
                    Looked for '$MODULE' in: '$WORK/no-such-folder'"
DUCTRINE_MODULE_PATH= pipe "literal a | >> empty-path.txt"
expect_status "an empty module path is no module path" 0
DUCTRINE_MODULE_PATH="$WORK/no-such-folder" pipe "literal a | console"
expect_status "built-in stages need no module" 0
expect_stdout "built-in stages need no module" "a$EOL"

mkdir -p broken good
printf 'not a library' >broken/$MODULE
DUCTRINE_MODULE_PATH="$WORK/broken$PATH_SEP$BIN" pipe "literal a | >> nowhere.txt"
expect_status "a file that is no module" 255
# The second line is the system loader's reason, in its own words.
if [ "$(messages | head -1)" = "$S 1036: '$WORK/broken/$MODULE' cannot be loaded as a Ductrine stage DLL," ] &&
   messages | sed -n 2p | grep -q '^                    Reason: .'; then pass
else fail "a file that is no module (messages)" "$(messages)"; fi

# A module linked against the platform library of another ABI version
# (tests/stale_abi): the loader refuses it and says which library it lacks.
DUCTRINE_MODULE_PATH="$BIN/../stale-abi" pipe "literal a | staleabi"
expect_status "a module of another ABI version" 255
if [ "$(messages | head -1)" = "$S 1036: '$BIN/../stale-abi/staleabi${MODULE#tailwriter}' cannot be loaded as a Ductrine stage DLL," ] &&
   messages | sed -n 2p | grep -q '^                    Reason: .' &&
   { [ -n "$WINDOWS" ] || messages | grep -q 'libductrine-platform\.so\.1'; }; then pass
else fail "a module of another ABI version (messages)" "$(messages)"; fi

# Any other command names a module of its own: test_stage_module.so beside pipe.
pipe "test_stage_module 2 | console"
expect_status "a module found by its command's name" 0
expect_stdout "a module found by its command's name" "m0${EOL}m1$EOL"
DUCTRINE_MODULE_PATH="$WORK/empty" pipe "literal a | test_stage_module 2"
expect_status "a command without a module" 255
expect_messages "a command without a module" "$S 1007: Pipe(0),Stage(1): Bad command: 'test_stage_module'."

cp "$BIN/$MODULE" good/
DUCTRINE_MODULE_PATH="$WORK/empty$PATH_SEP$PATH_SEP$WORK/good" pipe "literal found | >> found.txt"
expect_status "the module found in a later folder" 0
expect_bytes "the module found in a later folder" found.txt "found"

# ---------------------------------------------------------------------------
# Standard output closed early: the run ends at once, quietly.

seq 1 2000000 >big.txt
start=$(date +%s%N)
first=$(timeout "$LIMIT" "${RUNNER[@]}" "$PIPE" "< big.txt | console" 2>"$WORK/err" | head -1)
statuses=("${PIPESTATUS[@]}")
first=${first%$'\r'}
elapsed_ms=$((($(date +%s%N) - start) / 1000000))
if [ "$first" = "1" ] && [ "${statuses[0]}" -eq 0 ] && [ ! -s "$WORK/err" ]; then pass
else fail "standard output closed early" "first=$first status=${statuses[0]} $(head -c 300 "$WORK/err")"; fi
# The whole file takes a good while through the stages; stopping must not.
if [ "$elapsed_ms" -lt 5000 ]; then pass; else fail "standard output closed early: took ${elapsed_ms} ms"; fi

# ---------------------------------------------------------------------------
# A terminating signal stops the run the orderly way: every accepted record
# is in the file, a read-only file is read-only again, and the process ends
# by the signal.

if [ -n "$WINDOWS" ]; then
  skip "terminating signals (console control events on Windows)"
else
  # CONSOLE writes a file in 64 KiB blocks: 64 records of 1023 bytes fill one
  # exactly, so once the block is out every record has passed the Tailwriter.
  record=$(printf '%01023d' 0)
  for signal in TERM:143 HUP:129; do
    printf 'old' >ro.txt
    chmod 444 ro.txt
    rm -f feed.fifo shown.txt
    mkfifo feed.fifo
    exec 6<>feed.fifo  # held open: the input never ends by itself
    timeout -s KILL "$LIMIT" "$PIPE" "console | >> ro.txt | console" <feed.fifo >shown.txt 2>"$WORK/err" &
    waiter=$!
    for _ in $(seq 64); do printf '%s\n' "$record"; done >&6
    for _ in $(seq 400); do [ "$(stat -c %s shown.txt)" -ge 65536 ] && break; sleep 0.05; done
    kill -"${signal%:*}" "$(pgrep -P "$waiter")"
    wait "$waiter"
    rc=$?
    exec 6>&-
    expect_status "SIG${signal%:*} ends the run by the signal" "${signal#*:}"
    expect_bytes "SIG${signal%:*}: every accepted record is in the file" ro.txt \
      "old$(for _ in $(seq 64); do printf '\n%s' "$record"; done)"
    [ "$(stat -c %a ro.txt)" = 444 ] && pass || fail "SIG${signal%:*}: the file is read-only again" "$(stat -c %a ro.txt)"
    chmod 644 ro.txt
  done
fi

# ---------------------------------------------------------------------------
# Tracing: the segment, and a traced run under a pseudo-terminal.

shm_list() { ls /dev/shm 2>/dev/null | grep '^DuctrineTrace-' | sort; }
before=$(shm_list)

if [ -n "$WINDOWS" ]; then
  # There the segment is a file mapping: it goes with the last process that
  # holds it, and nothing of it shows in the file system.
  skip "the trace segment in /dev/shm (a file mapping on Windows)"
else
  # A traced run blocked in its console read: the segment exists, holds
  # "0;0;", is the owner's alone, and an interrupt removes it.
  mkfifo idle.fifo
  exec 7<>idle.fifo
  timeout "$LIMIT" "$PIPE" "(trace) console | console" <idle.fifo >/dev/null 2>"$WORK/err" &
  waiter=$!
  segment=
  for _ in $(seq 1 100); do
    name=$(comm -13 <(printf '%s\n' "$before") <(shm_list) | head -1)
    [ -n "$name" ] && segment=/dev/shm/$name && break
    sleep 0.05
  done
  # The name must hold the id of the pipe process, the child of `timeout`.
  pid=${segment#/dev/shm/DuctrineTrace-}
  parent=$(cut -d' ' -f4 "/proc/$pid/stat" 2>/dev/null)
  if [ -n "$segment" ] && [ "$parent" = "$waiter" ]; then
    pass
    [ "$(head -c 4 "$segment")" = "0;0;" ] && pass || fail "trace segment starts with 0;0;" "$(head -c 8 "$segment" | od -c)"
    [ "$(stat -c %a "$segment")" = "600" ] && pass || fail "trace segment mode 0600" "$(stat -c %a "$segment")"
  else
    fail "a traced run creates a segment named with its process id" "segment: $segment, parent: $parent"
    pid=
  fi
  [ -n "$pid" ] && kill -TERM "$pid"
  wait "$waiter"
  exec 7>&-
  [ -n "$segment" ] && [ -e "$segment" ] && fail "an interrupted traced run leaves its segment behind" || pass
fi

if [ -n "$WINDOWS" ] || ! command -v setsid >/dev/null; then
  skip "a segment left by an ended process with the same id (no setsid, or Windows)"
else
  # stale KIND PIPELINE: runs pipe under the id of a shell that first puts
  # a leftover segment (a file, or a directory that cannot be removed) under
  # that id's name. No terminal: every prompt reads as enter.
  stale() {
    timeout "$LIMIT" setsid -w bash -c 'echo $$ >"$1"; if [ "$2" = dir ]; then mkdir "/dev/shm/DuctrineTrace-$$"
      else printf 9 >"/dev/shm/DuctrineTrace-$$"; fi; exec "$3" "$4"' \
      stale "$WORK/stale.pid" "$1" "$PIPE" "$2" </dev/null >"$WORK/out" 2>"$WORK/err"
    rc=$?
    segment=/dev/shm/DuctrineTrace-$(cat "$WORK/stale.pid")
  }
  stale file "(trace) literal left | console"
  expect_status "a traced run after a leftover segment" 0
  expect_stdout "a traced run after a leftover segment" "left$EOL"
  [ -e "$segment" ] && fail "the leftover segment is gone after the run" || pass
  stale dir "(trace) literal left | console"
  rmdir "$segment"
  expect_status "a segment name that cannot be had" 255
  expect_messages "a segment name that cannot be had" "$S 1030: Cannot create TRACE shared segment: ${segment#/dev/shm/}, Rc: 17,
                    Reason: File exists."
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
    timeout "$LIMIT" script -qfec "stty cols 300 rows 50; ${RUNNER[*]} '$PIPE' '$2'; echo \"status=\$?\"" \
      /dev/null <"$fifo" >"$screen" &
    session=$!
    exec 8>"$fifo"
    while IFS= read -r answer; do
      prompts=$((prompts + 1))
      for _ in $(seq 1 200); do
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

  traced 'run *\n' '(trace) literal hello | console'
  if grep -q '^trace ?: run \*$' "$WORK/out" &&
     grep -q '^0000000001 Pipe:(0),Stage:(0),Type:(LITERAL): Write Record: 1, Stream: 0, Length: 5 bytes\.$' "$WORK/out" &&
     grep -q '^0000000002 Pipe:(0),Stage:(1),Type:(CONSOLE): Peek Record: 1, Stream: 0, Length: 5 bytes\.$' "$WORK/out" &&
     grep -q '^hello$' "$WORK/out" && grep -q '^status=0$' "$WORK/out"; then pass
  else fail "a traced run prompts, dumps every request and completes" "$(cat "$WORK/out")"; fi

  traced 'source\nend\n' '(end ? trace) literal one | console ? literal two | console'
  if grep -q '^> literal one | console$' "$WORK/out" && grep -q '^> literal two | console$' "$WORK/out" &&
     grep -q '^status=0$' "$WORK/out" && ! grep -q '^one$' "$WORK/out"; then pass
  else fail "SOURCE lists one line per pipe and End stops the run" "$(cat "$WORK/out")"; fi

  traced 'help\noff\n' '(trace) literal hello | console'
  if grep -qxF "Ductrine v$VERSION, tracing source: (trace) literal hello | console" "$WORK/out" &&
     grep -q '^hello$' "$WORK/out" && ! grep -q '^0000000001' "$WORK/out"; then pass
  else fail "HELP shows the banner with the pipeline as the source; Off runs on untraced" "$(cat "$WORK/out")"; fi

  if [ -z "$WINDOWS" ]; then
    after=$(shm_list)
    [ "$before" = "$after" ] && pass || fail "traced runs remove their segments" "before: $before" "after: $after"
  fi
fi

# ---------------------------------------------------------------------------

printf 'e2e: %d checks, %d failed, %d skipped\n' "$checks" "$failures" "$skipped"
[ "$failures" -eq 0 ]
