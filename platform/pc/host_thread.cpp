#include "platform/pc/host_thread.h"

#include <condition_variable>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "platform/pc/clock.h"
#include "platform/pc/trace.h"

namespace sim {

struct HostThread::Job {
  std::function<void()> body;
  std::mutex mutex;
  std::condition_variable finished;
  bool done = false;  // guarded by mutex
};

namespace {

// A parked thread waits on its own condition for the next job.
struct Worker {
  std::condition_variable wake;
  std::shared_ptr<HostThread::Job> job;  // guarded by Pool::mutex; set to hand work over
};

// Never destroyed: parked threads wait on it until the process ends, and a
// machine may be joined from a static destructor. Threads beyond kMaxParked
// end instead of parking, so a burst of machines (or of joins) leaves at most
// that many threads behind.
struct Pool {
  static constexpr size_t kMaxParked = 8;
  std::mutex mutex;
  std::vector<Worker*> parked;  // guarded by mutex
};

Pool& ThePool() {
  static Pool* pool = new Pool;
  return *pool;
}

// What a body may leave in the thread's own state, put back as the end of a
// thread would.
void EndAsThreadWould() {
  clock_detail::t_pending.MoveTo(0);
  Trace::NameThread("host");
}

void Finish(HostThread::Job& job) {
  std::lock_guard lock(job.mutex);
  job.done = true;
  job.finished.notify_all();
}

// The thread parks before its joiner is released, so a machine made right
// after the last one ended finds its threads waiting.
void WorkerMain(Worker* self, std::shared_ptr<HostThread::Job> job) {
  Pool& pool = ThePool();
  for (;;) {
    job->body();
    job->body = nullptr;  // what the body captured goes before the joiner returns
    EndAsThreadWould();
    bool park;
    {
      std::lock_guard lock(pool.mutex);
      park = pool.parked.size() < Pool::kMaxParked;
      if (park) pool.parked.push_back(self);
    }
    Finish(*job);
    job.reset();
    if (!park) break;
    std::unique_lock lock(pool.mutex);
    self->wake.wait(lock, [&] { return self->job != nullptr; });
    job = std::move(self->job);
  }
  delete self;
}

}  // namespace

HostThread::HostThread(std::function<void()> body) : job_(std::make_shared<Job>()) {
  job_->body = std::move(body);
  Pool& pool = ThePool();
  {
    std::lock_guard lock(pool.mutex);
    if (!pool.parked.empty()) {
      Worker* worker = pool.parked.back();
      pool.parked.pop_back();
      worker->job = job_;
      worker->wake.notify_one();
      return;
    }
  }
  std::thread(WorkerMain, new Worker, job_).detach();
}

HostThread& HostThread::operator=(HostThread&& other) noexcept {
  if (this != &other) {
    if (joinable()) join();
    job_ = std::move(other.job_);
  }
  return *this;
}

HostThread::~HostThread() {
  if (joinable()) join();
}

size_t HostThread::Parked() {
  Pool& pool = ThePool();
  std::lock_guard lock(pool.mutex);
  return pool.parked.size();
}

void HostThread::join() {
  if (job_ == nullptr) return;
  {
    std::unique_lock lock(job_->mutex);
    job_->finished.wait(lock, [&] { return job_->done; });
  }
  job_.reset();
}

}  // namespace sim
