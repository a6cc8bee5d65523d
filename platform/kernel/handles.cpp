// The handle table: publication and lock-free look-up of kernel objects,
// and the rights a process has to use another's objects.
#include <algorithm>

#include "platform/kernel/kernel_internal.h"

namespace sim {

namespace {

uint32_t LimitOf(const MachineOptions::KernelLimits& limits, ObjectType type) {
  switch (type) {
    case ObjectType::Mutex:
      return limits.mutexes;
    case ObjectType::Event:
      return limits.events;
    case ObjectType::Interrupt:
      return limits.interrupts;
    default:
      return UINT32_MAX;
  }
}

}  // namespace

KHandle Kernel::Publish(std::unique_ptr<Object> object) {
  std::lock_guard lock(table_mutex_);
  const size_t index = objects_.size();
  if (index >= kChunks * kChunkSize) return 0;
  // Counted only when a limit is set: a walk over every object ever made.
  const uint32_t limit = LimitOf(options_.kernel_limits, object->type);
  if (limit != UINT32_MAX && LiveObjectsLocked(object->type) >= limit) return 0;
  std::atomic<Chunk*>& chunk_slot = chunks_[index >> kChunkBits];
  Chunk* chunk = chunk_slot.load(std::memory_order_relaxed);
  if (chunk == nullptr) {
    chunk = new Chunk;
    chunk_slot.store(chunk, std::memory_order_release);
  }
  Object* raw = object.get();
  raw->handle = static_cast<KHandle>(kHandleBase + index);
  objects_.push_back(std::move(object));
  chunk->slots[index & (kChunkSize - 1)].store(raw, std::memory_order_release);
  return raw->handle;
}

Object* Kernel::Find(KHandle handle) const {
  if (handle < kHandleBase) return nullptr;
  const size_t index = handle - kHandleBase;
  if ((index >> kChunkBits) >= kChunks) return nullptr;
  Chunk* chunk = chunks_[index >> kChunkBits].load(std::memory_order_acquire);
  if (chunk == nullptr) return nullptr;
  return chunk->slots[index & (kChunkSize - 1)].load(std::memory_order_acquire);
}

bool Kernel::MayUse(Object& object, KHandle process) {
  if (object.owner == process || object.everyone.load(std::memory_order_acquire)) return true;
  std::lock_guard lock(rights_mutex_);
  return std::find(object.granted.begin(), object.granted.end(), process) != object.granted.end();
}

void Kernel::ForEachObject(const std::function<void(Object&)>& visit) const {
  std::lock_guard lock(table_mutex_);
  for (auto& object : objects_) visit(*object);
}

size_t Kernel::LiveObjects(ObjectType type) const {
  std::lock_guard lock(table_mutex_);
  return LiveObjectsLocked(type);
}

size_t Kernel::LiveObjectsLocked(ObjectType type) const {
  return static_cast<size_t>(std::count_if(objects_.begin(), objects_.end(), [&](auto& object) {
    return object->type == type && !object->dead.load(std::memory_order_relaxed);
  }));
}

uint32_t Kernel::GrantHandleRights(KHandle handle, uint32_t rights, KHandle process) {
  if (!Live()) return kFail;
  Object* object = Find(handle);
  if (object == nullptr || object->dead.load(std::memory_order_acquire)) return kFail;
  // Only the creator hands its objects on.
  if (object->owner != CallerProcess()->handle) {
    rights_violations_.fetch_add(1, std::memory_order_relaxed);
    return kFail;
  }
  // Each kind of object has its one right; a mismatch is a caller's mistake
  // and refused rather than guessed at.
  uint32_t expected = 0;
  switch (object->type) {
    case ObjectType::Mutex:
      expected = KeRightsMutex;
      break;
    case ObjectType::Event:
      expected = KeRightsEvent;
      break;
    case ObjectType::HaObject:
      expected = KeRightsHaObject;
      break;
    default:
      return kFail;
  }
  if (rights != expected) return kFail;
  if (process == KeEveryProcess) {
    object->everyone.store(true, std::memory_order_release);
    return 0;
  }
  Object* target = Find(process);
  if (target == nullptr || target->type != ObjectType::Process) return kFail;
  std::lock_guard lock(rights_mutex_);
  if (std::find(object->granted.begin(), object->granted.end(), process) == object->granted.end()) {
    object->granted.push_back(process);
  }
  return 0;
}

}  // namespace sim
