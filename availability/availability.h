// Adapter checks before each operation, and the suspend, resume and abort
// events.
#pragma once

#include <cstdint>

#include "controller/adapter.h"

uint32_t NicCheckAdapter(NicAdapter* adapter);
uint32_t NicDetectChange(NicAdapter* adapter);
uint32_t NicRegisterAvailability(NicAdapter* adapter);
void NicAvailabilityEvent(uint32_t code, uint32_t value, void* adapter);
uint32_t NicReinitialize(NicAdapter* adapter);
