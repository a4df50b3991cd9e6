// The processes of a run: forked from lock_bench's own thread, each sends
// its record back through a pipe of its own, and none outlives lock_bench
// or the limit of its run.
#pragma once
#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "trial.h"

// How the processes of a run ended.
struct crew {
  std::vector<std::string> sent;  // what each process wrote to its pipe
  std::vector<int> status;        // each one's wait status
  bool late = false;              // the limit passed first: the rest were killed
  int lost = -1;                  // the first to end by a signal or a status
                                  // other than 0, save `victim`, or -1;
                                  // the rest were killed then
  int started = 0;                // processes started: n, unless fork or pipe
  int error = 0;                  // failed, with this errno (the rest killed)
};

// Forks n processes, each of which runs body(me, fd), writing to fd what the
// parent gets in `sent`, and exits. Returns when all have ended; kills
// those left when the limit passes (none when 0) or when a process other
// than `victim` ends badly, as the others may wait for it for ever.
crew run_processes(int n, const std::function<void(int me, int fd)>& body,
                   std::chrono::nanoseconds limit, int victim = -1);

// Writes all of bytes to fd; false when it cannot.
bool send(int fd, const std::string& bytes);

// What a wait status says: "exited with status 3", "killed by Segmentation
// fault".
std::string ended(int status);

// Counts itself in at a barrier in shared memory, then, with wait, waits
// until `count` reaches n; the last to come wakes the others. Sleeps on a
// futex that processes share.
void meet(std::atomic<int>& count, int n, bool wait = true);

// Maps every page of [at, at + bytes) into the calling process, by an
// atomic add of 0 to a byte of each: nothing another process writes there
// meanwhile is lost.
void touch(void* at, std::size_t bytes);

// A record as bytes for the pipe, and back: false when the bytes are not one.
std::string pack(const record& r);
bool unpack(const std::string& bytes, record& r);
