// Deliberately wrong code for the image check to reject: a library call, the
// C++ runtime's allocator and a global constructor, none of which a kernel
// loading the image provides or runs. Linked into a copy of the image only.
extern "C" void* memcpy(void* destination, const void* source, decltype(sizeof 0) count);

void* CanaryCopy(void* destination, const void* source, unsigned count) {
  return memcpy(destination, source, count);
}

int* CanaryAllocate() { return new int(1); }

static int CanaryInitial() { return *CanaryAllocate(); }
int CanaryValue = CanaryInitial();
