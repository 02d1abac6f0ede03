// The read-only attributes that the run has cleared and not yet set again,
// kept where a process that must end at once (a second terminating signal)
// can still put them back: a fixed table, filled and emptied without locks
// or allocation on the restoring side, read by RestoreClearedAttributes,
// which is async-signal-safe. Private to platform/posix.
//
// NoteAttributeCleared and NoteAttributeRestored may be called from any
// thread at once; call NoteAttributeRestored before the descriptor noted is
// closed.
#pragma once

#include <sys/types.h>

namespace ductrine::platform {

// A cleared attribute: `mode` is what to put back, through `fd`, a
// descriptor of the file itself (never a name: it may denote another file
// by then). Returns a ticket for NoteAttributeRestored; negative when the
// table is full (the orderly end still restores it; an end at once cannot).
int NoteAttributeCleared(int fd, mode_t mode);
// The attribute of `ticket` is set again (or needs no more care). A
// negative ticket is ignored.
void NoteAttributeRestored(int ticket);
// Sets every noted attribute back; async-signal-safe. Each is restored once.
void RestoreClearedAttributes();

}  // namespace ductrine::platform
