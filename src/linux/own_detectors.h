// The detectors this monitor started, each with a process descriptor taken
// at its start, so that the fanotify reader can leave out their own changes
// (a detector writing a log in the tree must not be scanned for it, over and
// over). A change is the monitor's own only when the kernel's reference to
// the process that made it, handed over while that process was not reaped,
// is one of these: a process that takes the number of an ended detector is
// not.
#pragma once

#include <sys/types.h>

// Called by a reader that will ask which changes are the detectors' own,
// before it reads any. Until one does, detectors are not entered and their
// starts take no lock (the inotify reader never asks). A detector already
// running then is not entered: its changes are reported, the safe side.
void own_detectors_asked();
bool own_detectors_wanted();

// Called just before a detector is started: a change read meanwhile waits
// for own_detector_started before it is judged.
void own_detector_starting();

// Enters the detector just started as pid (0 when the start failed), before
// it is waited for: its descriptor is taken while the number is still its.
// Its slot, or -1 when it could not be entered (its changes are then
// reported).
int own_detector_started(pid_t pid);

// Marks slot's detector reaped, just before or after it is. Where the kernel
// gives each process an inode of its own (Linux 6.9), it is still known by
// it, until its slot is taken by another; else it is taken out.
void own_detector_reaped(int slot);

// Whether the change that the kernel read as made by pid, with pidfd its
// descriptor of that process (negative when the process had been reaped or
// the kernel could not hand one over), was made by an entered detector.
// Waits for detectors being started to be entered.
bool own_detector_made(pid_t pid, int pidfd);

enum own_verdict {
    OWN_NOT,      // not a detector's
    OWN_DETECTOR, // an entered detector's
    OWN_PENDING,  // a detector being started may have made it: ask
                  // own_detector_made, which waits
};

// The same without waiting, for every change read, most of them made by
// other processes.
own_verdict own_detector_judge(pid_t pid, int pidfd);

// Tells processes apart as before Linux 6.9, where every process descriptor
// has the same inode: by the number /proc shows for each, which is the
// detector's only while it is not reaped. For tests on newer kernels.
void own_detectors_by_number(bool by_number);
