// Mutexes, events and the driver's linked lists.
#include <algorithm>
#include <optional>

#include "platform/kernel/ke_list.h"
#include "platform/kernel/kernel_internal.h"
#include "platform/pc/spin.h"

namespace sim {

namespace {

// Mutexes and events are retired alike: marked dead under their own lock, so
// that every waiter fails rather than waits forever. kFail when the object
// is unknown or already dead.
template <class T>
uint32_t Retire(T* object) {
  if (object == nullptr) return kFail;
  {
    std::lock_guard lock(object->m);
    if (object->dead.exchange(true)) return kFail;
  }
  object->cv.notify_all();
  return 0;
}

// Wakes every thread sleeping on the object so that it sees the stop flag.
template <class T>
void WakeSleepers(T& object) {
  { std::lock_guard lock(object.m); }
  object.cv.notify_all();
}

// Releases every thread waiting on `event`, under its lock. Each leaves its
// process's blocked count here, as a scheduler makes a released thread
// ready at once, not when it next runs.
void ReleaseWaiters(EventObject& event) {
  for (EventObject::Waiter* waiter : event.waiters) {
    waiter->released = true;
    waiter->process->waiting.fetch_sub(1, std::memory_order_acq_rel);
  }
  event.waiters.clear();
}

}  // namespace

void MutexObject::WakeForStop() { WakeSleepers(*this); }

void EventObject::WakeForStop() { WakeSleepers(*this); }

uint32_t Kernel::AllocateMutex(KHandle* mutex) {
  if (!Live() || mutex == nullptr) return kFail;
  *mutex = Publish(std::make_unique<MutexObject>(ObjectType::Mutex, CallerProcess()->handle));
  return *mutex != 0 ? 0 : kFail;
}

uint32_t Kernel::DeallocateMutex(KHandle handle) {
  if (!Live()) return kFail;
  return Retire(Use<MutexObject>(handle, ObjectType::Mutex));
}

uint32_t Kernel::AcquireMutex(KHandle handle) {
  if (!Live()) return kFail;
  auto* mutex = Use<MutexObject>(handle, ObjectType::Mutex);
  if (mutex == nullptr) return kFail;
  const auto self = std::this_thread::get_id();
  std::unique_lock lock(mutex->m);
  // A kernel mutex is recursive for its holder rather than deadlocking it.
  if (mutex->holder == self) {
    ++mutex->depth;
    return 0;
  }
  if (mutex->holder == std::thread::id{}) {
    mutex->holder = self;
    mutex->depth = 1;
    mutex->held.store(true, std::memory_order_relaxed);
    return 0;
  }
  // Blocking: interrupt exclusion is given up while the thread sleeps, as a
  // uniprocessor kernel switches to a thread that runs with interrupts on.
  const uint32_t irq_depth = SuspendInterruptExclusion();
  // The driver holds its mutex for a frame's worth of work: yield for a
  // while before sleeping, so that the release costs the holder no wake-up.
  lock.unlock();
  SpinBriefly([&] {
    return !mutex->held.load(std::memory_order_acquire) || stopping() ||
           mutex->dead.load(std::memory_order_relaxed);
  });
  lock.lock();
  mutex->cv.wait(lock, [&] {
    return mutex->holder == std::thread::id{} || stopping() ||
           mutex->dead.load(std::memory_order_relaxed);
  });
  const bool acquired = mutex->holder == std::thread::id{} && !stopping() &&
                        !mutex->dead.load(std::memory_order_relaxed);
  if (acquired) {
    mutex->holder = self;
    mutex->depth = 1;
    mutex->held.store(true, std::memory_order_relaxed);
  }
  lock.unlock();
  ResumeInterruptExclusion(irq_depth);
  if (!acquired) {
    CheckStop();
    return kFail;
  }
  return 0;
}

uint32_t Kernel::ReleaseMutex(KHandle handle) {
  if (!Live()) return kFail;
  auto* mutex = Use<MutexObject>(handle, ObjectType::Mutex);
  if (mutex == nullptr) return kFail;
  {
    std::lock_guard lock(mutex->m);
    if (mutex->holder != std::this_thread::get_id()) {
      NoteMisuse("KeReleaseMutex of a mutex the thread does not hold");
      return kFail;
    }
    if (--mutex->depth != 0) return 0;
    mutex->holder = std::thread::id{};
    mutex->held.store(false, std::memory_order_release);
  }
  mutex->cv.notify_one();
  return 0;
}

uint32_t Kernel::AllocateEvent(KHandle* event) {
  if (!Live() || event == nullptr) return kFail;
  *event = Publish(std::make_unique<EventObject>(ObjectType::Event, CallerProcess()->handle));
  return *event != 0 ? 0 : kFail;
}

uint32_t Kernel::DeallocateEvent(KHandle handle) {
  if (!Live()) return kFail;
  return Retire(Use<EventObject>(handle, ObjectType::Event));
}

uint32_t Kernel::SetEvent(KHandle handle) {
  if (!Live()) return kFail;
  auto* event = Use<EventObject>(handle, ObjectType::Event);
  if (event == nullptr) return kFail;
  {
    std::lock_guard lock(event->m);
    event->set = true;
    ReleaseWaiters(*event);
    event->changes.fetch_add(1, std::memory_order_release);
  }
  event->cv.notify_all();
  return 0;
}

uint32_t Kernel::ClearEvent(KHandle handle) {
  if (!Live()) return kFail;
  auto* event = Use<EventObject>(handle, ObjectType::Event);
  if (event == nullptr) return kFail;
  std::lock_guard lock(event->m);
  event->set = false;
  return 0;
}

uint32_t Kernel::PulseEvent(KHandle handle) {
  if (!Live()) return kFail;
  auto* event = Use<EventObject>(handle, ObjectType::Event);
  if (event == nullptr) return kFail;
  {
    std::lock_guard lock(event->m);
    event->set = false;
    ReleaseWaiters(*event);
    event->changes.fetch_add(1, std::memory_order_release);
  }
  event->cv.notify_all();
  return 0;
}

uint32_t Kernel::WaitEvent(KHandle handle) {
  if (!Live()) return kFail;
  auto* event = Use<EventObject>(handle, ObjectType::Event);
  if (event == nullptr) return kFail;
  std::unique_lock lock(event->m);
  if (event->set) return 0;
  // The thread is a waiter from here on (it holds the event's lock and is
  // on its list); only now is interrupt exclusion given up, so a pulse from
  // a handler cannot fall between the caller's check and the wait.
  EventObject::Waiter self{CallerProcess()};
  event->waiters.push_back(&self);
  self.process->waiting.fetch_add(1, std::memory_order_acq_rel);
  const uint64_t changes = event->changes.load(std::memory_order_relaxed);
  std::optional<RunningScope> asleep(std::in_place, *this, false);
  const uint32_t irq_depth = SuspendInterruptExclusion();
  // A reader waiting for the next frame of a busy stream is usually released
  // within microseconds: yield for a while first, so that the pulse finds no
  // sleeper and costs neither side a system call. Being on the list keeps a
  // pulse during the spin from being missed.
  lock.unlock();
  SpinBriefly([&] {
    return event->changes.load(std::memory_order_acquire) != changes || stopping() ||
           event->dead.load(std::memory_order_relaxed);
  });
  lock.lock();
  event->cv.wait(lock, [&] {
    return self.released || stopping() || event->dead.load(std::memory_order_relaxed);
  });
  const bool released = self.released;
  if (!released) {
    // Given up (Stop, a retired event): off the list before `self` goes.
    auto& waiters = event->waiters;
    waiters.erase(std::find(waiters.begin(), waiters.end(), &self));
    self.process->waiting.fetch_sub(1, std::memory_order_acq_rel);
  }
  lock.unlock();
  asleep.reset();
  ResumeInterruptExclusion(irq_depth);
  if (!released) {
    CheckStop();
    return kFail;
  }
  return 0;
}

uint32_t Kernel::AppendList(KeList* list, void* element) {
  if (!Live()) return kFail;
  if (list == nullptr || element == nullptr ||
      reinterpret_cast<uintptr_t>(element) % alignof(void*) != 0) {
    return kFail;
  }
  ExclusionScope exclusion(*this);
  return ke_list::Append(*list, element, kMaxListWalk) ? 0 : kFail;
}

uint32_t Kernel::RemoveList(KeList* list, void* element) {
  if (!Live()) return kFail;
  if (list == nullptr || element == nullptr) return kFail;
  ExclusionScope exclusion(*this);
  return ke_list::Remove(*list, element, kMaxListWalk) ? 0 : kFail;
}

}  // namespace sim
