// When a watch whose field cannot be watched now is tried again: a share
// that drops for a moment is not the end of its watcher. Plain code, so it
// builds and is tested on every platform.
#pragma once

// Whether a Windows error code is a network's passing fault (the server
// restarting, the connection dropped) rather than the folder's own end.
bool is_transient_network_error(unsigned long code);

// How long to wait before the attempt-th try (0 for the first) to reach an
// unreachable field again, in milliseconds: doubling from a second up to
// half a minute.
unsigned long retry_delay_ms(unsigned attempt);
