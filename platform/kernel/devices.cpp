// Devices by name, availability objects and the delivery of availability
// events to the handlers a process registered.
#include "platform/kernel/kernel_internal.h"

namespace sim {

uint32_t Kernel::CreateDevice(const char* name, void* context, KeDeviceEntry entry, uint32_t flags,
                              KHandle* device) {
  if (!Live()) return kFail;
  if (name == nullptr || entry == nullptr || flags != 0) return kFail;
  std::lock_guard lock(names_mutex_);
  for (DeviceObject* existing : devices_) {
    if (existing->name == name) return kFail;
  }
  auto object = std::make_unique<DeviceObject>(CallerProcess()->handle, name, context, entry);
  DeviceObject* raw = object.get();
  const KHandle handle = Publish(std::move(object));
  if (handle == 0) return kFail;
  devices_.push_back(raw);
  if (device != nullptr) *device = handle;
  return 0;
}

DeviceObject* Kernel::FindDevice(const std::string& name) {
  std::lock_guard lock(names_mutex_);
  for (DeviceObject* device : devices_) {
    if (device->name == name) return device;
  }
  return nullptr;
}

std::vector<std::string> Kernel::DeviceNames() const {
  std::lock_guard lock(names_mutex_);
  std::vector<std::string> names;
  for (DeviceObject* device : devices_) names.push_back(device->name);
  return names;
}

uint32_t Kernel::AllocateHaObject(const char* name, void* context, KHandle* object) {
  if (!Live()) return kFail;
  if (name == nullptr || object == nullptr) return kFail;
  std::lock_guard lock(names_mutex_);
  for (HaObject* existing : ha_objects_) {
    if (existing->name == name) return kFail;
  }
  auto ha = std::make_unique<HaObject>(CallerProcess()->handle, name, context);
  HaObject* raw = ha.get();
  const KHandle handle = Publish(std::move(ha));
  *object = handle;
  if (handle == 0) return kFail;
  ha_objects_.push_back(raw);
  return 0;
}

uint32_t Kernel::AllocateExceptionHandler(uint32_t code, uint32_t /*zero*/,
                                          KeAvailabilityHandler handler, KHandle* handle) {
  if (!Live()) return kFail;
  if (handler == nullptr) return kFail;
  ProcessObject* process = CallerProcess();
  const KHandle registration =
      Publish(std::make_unique<HandlerObject>(process->handle, code, handler));
  if (registration == 0) return kFail;
  {
    // Every adapter registers the same handler for the same codes; the
    // first registration of a code is the process's handler for it, and the
    // object an event concerns supplies the context.
    std::lock_guard lock(ha_mutex_);
    process->ha_handlers.emplace(code, handler);
  }
  if (handle != nullptr) *handle = registration;
  return 0;
}

uint32_t Kernel::NotifyHaEvent(KHandle object, uint32_t code) {
  if (!Live()) return kFail;
  {
    std::lock_guard lock(notify_mutex_);
    notifications_.emplace_back(object, code);
  }
  if (object == 0) return 0;
  auto* ha = Use<HaObject>(object, ObjectType::HaObject);
  if (ha == nullptr) return kFail;
  uint32_t event = 0;
  switch (options_.ha_policy) {
    case HaPolicy::None:
      return 0;
    case HaPolicy::Suspend:
      event = 100;
      break;
    case HaPolicy::Abort:
      event = 102;
      break;
  }
  KeAvailabilityHandler handler = nullptr;
  {
    auto* owner = static_cast<ProcessObject*>(Find(ha->owner));
    std::lock_guard lock(ha_mutex_);
    if (owner != nullptr) {
      auto it = owner->ha_handlers.find(event);
      if (it != owner->ha_handlers.end()) handler = it->second;
    }
  }
  // The kernel answers before the call returns, on the reporting thread;
  // the detected change travels as the event's value.
  if (handler != nullptr) handler(event, code, ha->context);
  return 0;
}

bool Kernel::DeliverHaEvent(const std::string& name, uint32_t code, uint32_t value) {
  HaObject* ha = nullptr;
  {
    std::lock_guard lock(names_mutex_);
    for (HaObject* candidate : ha_objects_) {
      if (candidate->name == name && !candidate->dead.load(std::memory_order_relaxed)) {
        ha = candidate;
        break;
      }
    }
  }
  if (ha == nullptr) return false;
  auto* owner = static_cast<ProcessObject*>(Find(ha->owner));
  if (owner == nullptr) return false;
  KeAvailabilityHandler handler = nullptr;
  {
    std::lock_guard lock(ha_mutex_);
    auto it = owner->ha_handlers.find(code);
    if (it != owner->ha_handlers.end()) handler = it->second;
  }
  if (handler == nullptr) return false;
  if (!EnterCall()) return false;
  {
    ScopedThreadContext context(*this, owner, /*unwindable=*/true, /*dispatcher=*/false);
    try {
      handler(code, value, ha->context);
    } catch (const MachineStopped&) {
      // Unwound by Stop; the event counts as delivered.
    }
  }
  LeaveCall();
  return true;
}

std::vector<std::pair<uint32_t, uint32_t>> Kernel::HaNotifications() const {
  std::lock_guard lock(notify_mutex_);
  return notifications_;
}

std::string Kernel::HaObjectName(uint32_t handle) const {
  std::lock_guard lock(names_mutex_);
  for (const HaObject* ha : ha_objects_) {
    if (ha->handle == handle) return ha->name;
  }
  return "";
}

}  // namespace sim
