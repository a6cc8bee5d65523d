// A host thread for the simulated machine's own threads (a kernel's driver
// main thread and its interrupt thread), taken from a pool of threads that
// earlier machines have finished with.
//
// A process that makes machine after machine (a fuzz target boots one per
// input, a test file dozens) would otherwise create and join two host threads
// per machine, and under the sanitizers a thread costs about 90 us to create,
// as much as a third of a whole boot. A pooled thread runs its body as a new
// thread would: what a body leaves in the thread's own state is put back when
// it ends (its share of machine time added to its clock, its trace name
// dropped), so the next body starts as on a fresh thread.
//
// Like std::thread, except that destroying a HostThread that was not joined
// joins it rather than ending the process.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>

namespace sim {

class HostThread {
 public:
  HostThread() = default;
  explicit HostThread(std::function<void()> body);
  HostThread(HostThread&& other) noexcept = default;
  HostThread& operator=(HostThread&& other) noexcept;
  ~HostThread();

  bool joinable() const { return job_ != nullptr; }
  // Waits until the body has returned (or unwound).
  void join();

  // Threads parked in the pool, waiting for a body: alive, but running
  // nothing.
  static size_t Parked();

  struct Job;

 private:
  std::shared_ptr<Job> job_;
};

}  // namespace sim
