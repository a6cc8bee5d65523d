// Adapter checks before each operation, and the suspend, resume and abort
// events.
#pragma once

#include <cstdint>

#include "controller/adapter.h"

constexpr uint32_t HaEventSuspend = 100;
constexpr uint32_t HaEventResume = 101;
constexpr uint32_t HaEventAbort = 102;

uint32_t NicCheckAdapter(NicAdapter* adapter);
uint32_t NicDetectChange(NicAdapter* adapter);
uint32_t NicRegisterAvailability(NicAdapter* adapter);
void NicAvailabilityEvent(uint32_t code, uint32_t value, void* adapter);
uint32_t NicReinitialize(NicAdapter* adapter);
