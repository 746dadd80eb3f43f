// The detectors this monitor started and has not reaped yet, each with a
// process descriptor taken at its start, so that the fanotify reader can
// leave out their own changes (a detector writing a log in the tree must not
// be scanned for it, over and over). A change is the monitor's own only when
// the kernel's reference to the process that made it is one of these: a
// process that takes the number of an ended detector is not.
#pragma once

#include <sys/types.h>

// Called just before a detector is started: a change read meanwhile waits
// for own_detector_started before it is judged.
void own_detector_starting();

// Enters the detector just started as pid (0 when the start failed); while
// it is entered it must not be reaped. Its slot, or -1 when it could not be
// entered (its changes are then reported).
int own_detector_started(pid_t pid);

// Takes slot's detector out, just before or after it is reaped.
void own_detector_reaped(int slot);

// Whether the change that the kernel read as made by pid, with pidfd its
// descriptor of that process (negative when the process had ended or the
// kernel could not hand one over), was made by an entered detector that
// has not been reaped. Waits for detectors being started to be entered.
bool own_detector_made(pid_t pid, int pidfd);

enum own_verdict {
    OWN_NOT,      // not a detector's
    OWN_DETECTOR, // an entered detector's, not reaped
    OWN_PENDING,  // a detector being started may have made it: ask
                  // own_detector_made, which waits
};

// The same without waiting, for every change read, most of them made by
// other processes.
own_verdict own_detector_judge(pid_t pid, int pidfd);
