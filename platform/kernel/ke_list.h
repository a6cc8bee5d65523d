// The driver's linked lists (KeList in host/host.h), one implementation for
// every kernel the driver runs on: the simulated PC's (sync.cpp) and the
// bare-metal one (metal/kernel/calls.cpp), which compiles this header
// freestanding. The kernels add their own argument checks and the exclusion
// that keeps interrupt handlers from seeing a list half changed. Every walk is
// bounded by `max_walk` steps, so a list the driver has corrupted into a loop
// fails the call instead of hanging the kernel.
#pragma once

#include "host/host.h"

namespace ke_list {

// Links `element` in at the end, its link set to null. False when it is
// already on the list (appending it would close a loop) or the list is
// longer than `max_walk`.
inline bool Append(KeList& list, void* element, uint32_t max_walk) {
  void** link = &list.First;
  for (uint32_t steps = 0; *link != nullptr; ++steps) {
    if (*link == element || steps >= max_walk) return false;
    link = static_cast<void**>(*link);
  }
  *static_cast<void**>(element) = nullptr;
  *link = element;
  return true;
}

// Unlinks `element`. False when it is not within the first `max_walk`
// elements. The removed element keeps its link, so that a walker standing on
// it still finds the rest of the list.
inline bool Remove(KeList& list, void* element, uint32_t max_walk) {
  void** link = &list.First;
  for (uint32_t steps = 0; *link != nullptr && steps < max_walk; ++steps) {
    if (*link == element) {
      *link = *static_cast<void**>(element);
      return true;
    }
    link = static_cast<void**>(*link);
  }
  return false;
}

}  // namespace ke_list
