// Devices and clients, availability, rights, lists, the boot query, signals
// and the runtime library.
#include "support/kernel.h"

namespace {

using namespace tvtest;

// A device function call as the device's entry saw it: function, context,
// instance, three arguments, calling process. Device functions run on the
// client's calling thread.
using DeviceCall = std::tuple<uint32_t, void*, void*, uintptr_t, uintptr_t, uintptr_t, KHandle>;
DeviceCall last_call;
uint64_t open_record = 0;  // what open hands out

uint32_t LoggingEntry(uint32_t function, void* context, void* instance, uintptr_t a1, uintptr_t a2,
                      uintptr_t a3) {
  last_call = {function, context, instance, a1, a2, a3, 0};
  KeGetCurrentProcessHandle(&std::get<6>(last_call));
  if (function == 2) *static_cast<void**>(instance) = &open_record;
  return function == 9 ? 7 : 0;
}

TEST(KernelDevices, ClientCallsReachTheEntryAndHandlesWorkOnlyWhereGranted) {
  sim::Machine machine(SmallMachine());
  int context = 0;
  KHandle device = 0;
  ASSERT_EQ(KeCreateDevice("/DEV/TEST/0", &context, &LoggingEntry, 0, &device), 0u);
  EXPECT_NE(KeCreateDevice("/DEV/TEST/0", &context, &LoggingEntry, 0, &device), 0u)
      << "names are unique";
  ASSERT_EQ(KeCreateDevice("/DEV/TEST/1", nullptr, &LoggingEntry, 0, &device), 0u);
  EXPECT_EQ(machine.DeviceNames(), (std::vector<std::string>{"/DEV/TEST/0", "/DEV/TEST/1"}));

  sim::ClientProcess client(machine);
  const KHandle p = client.handle();
  uintptr_t open = 0;
  EXPECT_EQ(client.Open("/DEV/NOPE", &open), sim::ClientProcess::kNoDevice);
  ASSERT_EQ(client.Open("/DEV/TEST/0", &open), 0u);
  EXPECT_EQ(open, reinterpret_cast<uintptr_t>(&open_record));
  // Device functions run in the client's process.
  EXPECT_EQ(last_call, (DeviceCall{2, &context, std::get<2>(last_call), 0, 0, 0, p}));

  char buffer[64];
  uint32_t length = 0;
  const auto b = reinterpret_cast<uintptr_t>(buffer);
  const auto l = reinterpret_cast<uintptr_t>(&length);
  // Each call's status (the entry's comes back) and what the entry saw.
  auto check = [&](uint32_t status, uint32_t want_status, const DeviceCall& want) {
    EXPECT_EQ(status, want_status) << std::get<0>(want);
    EXPECT_EQ(last_call, want);
  };
  check(client.Read(open, buffer, 64, &length), 0, {4, &context, &open_record, b, 64, l, p});
  check(client.Write(open, buffer, 60, &length), 0, {5, &context, &open_record, b, 60, l, p});
  check(client.Control(open, 0x80003, b, 48), 0, {14, &context, &open_record, 0x80003, b, 48, p});
  check(client.Call(open, 9, 1, 2, 3), 7, {9, &context, &open_record, 1, 2, 3, p});
  check(client.CallDevice("/DEV/TEST/1", 0, 4, 0, 0, 0), 0, {4, nullptr, nullptr, 0, 0, 0, p});
  check(client.Close(open), 0, {3, &context, &open_record, 0, 0, 0, p});
  EXPECT_EQ(client.CallDevice("/DEV/NOPE", 0, 4, 0, 0, 0), sim::ClientProcess::kNoDevice);
  EXPECT_EQ(client.Read(open, buffer, sizeof buffer, &length), sim::ClientProcess::kNoDevice)
      << "closed";

  // Handles work only where granted.
  sim::ClientProcess other(machine);
  KHandle driver = 0, self = 0;
  ASSERT_EQ(KeGetCurrentProcessHandle(&driver), 0u);
  ASSERT_EQ(client.Run([&] { return KeGetCurrentProcessHandle(&self); }), 0u);
  EXPECT_TRUE(self == p && driver != p && p != other.handle());

  KHandle mutex = 0, event = 0;
  ASSERT_EQ(client.Run([&] { return KeAllocateMutex(&mutex) | KeAllocateEvent(&event); }), 0u);
  auto grant = [&](sim::ClientProcess& by, KHandle h, uint32_t rights, KHandle to) {
    return by.Run([&] { return KeGrantHandleRights(h, rights, to); });
  };
  EXPECT_EQ(machine.RightsViolations(), 0u);
  EXPECT_NE(other.Run([&] { return KeAcquireMutex(mutex); }), 0u);
  EXPECT_NE(KeSetEvent(event), 0u) << "the driver process has no right either";
  EXPECT_EQ(machine.RightsViolations(), 2u);

  // Only the owner (the client that made them) grants, and only the right
  // that fits the object.
  EXPECT_NE(grant(other, mutex, KeRightsMutex, KeEveryProcess), 0u);
  EXPECT_EQ(machine.RightsViolations(), 3u);
  EXPECT_NE(grant(client, mutex, KeRightsEvent, other.handle()), 0u);
  EXPECT_NE(grant(client, mutex, KeRightsMutex, 0x12345), 0u) << "no such process";

  ASSERT_EQ(grant(client, mutex, KeRightsMutex, other.handle()), 0u);
  EXPECT_EQ(other.Run([&] { return KeAcquireMutex(mutex) | KeReleaseMutex(mutex); }), 0u);
  EXPECT_NE(KeAcquireMutex(mutex), 0u) << "granted to one process only";

  // The client's event granted to the driver process, as a driver does with
  // each client's event so that its interrupt handler can pulse it.
  ASSERT_EQ(grant(client, event, KeRightsEvent, driver), 0u);
  EXPECT_EQ(KeSetEvent(event), 0u);
  EXPECT_NE(other.Run([&] { return KeWaitEvent(event); }), 0u);
  ASSERT_EQ(grant(client, event, KeRightsEvent, KeEveryProcess), 0u);
  EXPECT_EQ(other.Run([&] { return KeWaitEvent(event); }), 0u);
  EXPECT_EQ(machine.RightsViolations(), 5u);
}

// Availability events as the handlers saw them: code, value, context.
using HaEvents = std::vector<std::tuple<uint32_t, uint32_t, void*>>;
std::mutex ha_mutex;
HaEvents ha_events;  // guarded by ha_mutex

void HaHandler(uint32_t code, uint32_t value, void* context) {
  std::lock_guard lock(ha_mutex);
  ha_events.emplace_back(code, value, context);
}
HaEvents TakeHaEvents() {
  std::lock_guard lock(ha_mutex);
  return std::exchange(ha_events, {});
}

void RegisterAvailability(const char* name, void* context, KHandle* object) {
  ASSERT_EQ(KeAllocateHaObject(name, context, object), 0u);
  ASSERT_EQ(KeGrantHandleRights(*object, KeRightsHaObject, KeEveryProcess), 0u);
  KHandle ignored = 0;
  for (uint32_t code : {100u, 101u, 102u}) {
    ASSERT_EQ(KeAllocateExceptionHandler(code, 0, &HaHandler, &ignored), 0u);
  }
  auto later = [](uint32_t, uint32_t, void*) { ADD_FAILURE() << "a later registration won"; };
  ASSERT_EQ(KeAllocateExceptionHandler(100, 0, later, &ignored), 0u);
}

// Events are delivered to the object named after the device. A notification
// is answered before it returns, with the event of the machine's policy
// (suspend 100, abort 102; none: only recorded), except for object 0.
TEST(KernelAvailability, EventsReachTheNamedObjectAndNotificationsAreAnsweredByPolicy) {
  for (auto [policy, answer] : {std::pair{sim::HaPolicy::None, 0u},
                                {sim::HaPolicy::Suspend, 100u},
                                {sim::HaPolicy::Abort, 102u}}) {
    SCOPED_TRACE(answer);
    TakeHaEvents();
    sim::MachineOptions options = SmallMachine();
    options.ha_policy = policy;
    sim::Machine machine(std::move(options));
    int first = 0, second = 0;
    KHandle a = 0, b = 0, taken = 0;
    RegisterAvailability("/DEV/TEST/0", &first, &a);
    RegisterAvailability("/DEV/TEST/1", &second, &b);
    EXPECT_NE(KeAllocateHaObject("/DEV/TEST/1", nullptr, &taken), 0u) << "names are unique";

    EXPECT_TRUE(machine.DeliverHaEvent("/DEV/TEST/1", 101, 42) &&
                machine.DeliverHaEvent("/DEV/TEST/0", 100));
    EXPECT_FALSE(machine.DeliverHaEvent("/DEV/TEST/2", 100)) << "no such object";
    EXPECT_FALSE(machine.DeliverHaEvent("/DEV/TEST/0", 103)) << "no handler for the code";
    HaEvents want = {{101, 42, &second}, {100, 0, &first}};
    // From a client thread, as an availability check in a device function.
    sim::ClientProcess client(machine);
    EXPECT_EQ(client.Run([&] { return KeNotifyHaEvent(b, 104); }), 0u);
    if (answer != 0) want.emplace_back(answer, 104, &second);
    EXPECT_EQ(KeNotifyHaEvent(0, 104), 0u);
    EXPECT_EQ(TakeHaEvents(), want);
    EXPECT_EQ(machine.HaNotifications(),
              (std::vector<std::pair<uint32_t, uint32_t>>{{b, 104}, {0, 104}}));
  }
}

// An image that returns: start-up counts as finished and its result is kept.
// The driver process then has no main thread left.
TEST(KernelBoot, EntryResultAndOneMachineAtATime) {
  {
    sim::Machine machine(SmallMachine([]() -> uint32_t { return 4; }));
    EXPECT_FALSE(machine.EntryResult().has_value());
    ASSERT_TRUE(Started(machine));
    ASSERT_TRUE(Eventually([&] { return machine.EntryResult().has_value(); }));
    EXPECT_EQ(*machine.EntryResult(), 4u);
    EXPECT_FALSE(machine.SignalRaised(10000));
    EXPECT_THROW(machine.Boot(), std::logic_error);
    EXPECT_THROW(sim::Machine second(SmallMachine()), std::logic_error) << "one machine at a time";
    EXPECT_EQ(sim::Machine::Current(), &machine);
  }
  EXPECT_EQ(sim::Machine::Current(), nullptr);
}

// A kind's limit counts live objects: allocations beyond it fail until one
// is deallocated, and the other kinds are not held to it.
TEST(KernelLimits, AKindIsRefusedOnlyWhileItsLiveObjectsFillTheLimit) {
  sim::MachineOptions options = SmallMachine([]() -> uint32_t { return 0; });  // allocates nothing
  options.kernel_limits.events = 2;
  options.kernel_limits.interrupts = 0;
  sim::Machine machine(std::move(options));
  ASSERT_TRUE(Started(machine));
  KHandle events[3] = {};
  EXPECT_EQ(KeAllocateEvent(&events[0]), 0u);
  EXPECT_EQ(KeAllocateEvent(&events[1]), 0u);
  EXPECT_NE(KeAllocateEvent(&events[2]), 0u) << "two live already";
  EXPECT_EQ(events[2], 0u);
  KHandle mutex = 0;
  EXPECT_EQ(KeAllocateMutex(&mutex), 0u) << "mutexes have no limit";
  KHandle interrupt = 0;
  const KeInterruptHandler ignore = [](uintptr_t) {};
  EXPECT_NE(KeAllocateInterrupt(5, ignore, 0, &interrupt), 0u) << "no interrupt at all";
  ASSERT_EQ(KeDeallocateEvent(events[0]), 0u);
  EXPECT_EQ(KeAllocateEvent(&events[2]), 0u) << "one was given back";
  EXPECT_NE(events[2], events[0]) << "handles are never reused";
}

TEST(KernelRuntime, BootQuerySignalsListsAndLibraryFunctions) {
  std::string echoed;
  sim::MachineOptions options = SmallMachine();
  options.boot_query_busy_calls = 3;
  options.console_echo = [&](const std::string& piece) { echoed += piece; };
  sim::Machine machine(std::move(options));
  for (uint32_t busy : {1u, 1u, 1u, 0u, 0u}) EXPECT_EQ(KeQueryInterruptHistory(312), busy);
  EXPECT_NE(KeQueryInterruptHistory(313), 0u);
  EXPECT_EQ(KePassTimeSlice(), 0u);
  EXPECT_FALSE(machine.SignalRaised(10000));
  EXPECT_EQ(KeSignalInterrupt(10000), 0u);
  EXPECT_TRUE(machine.SignalRaised(10000));

  // Lists link through their elements' first field.
  struct Element {
    void* next;
  };
  KeList list{nullptr};
  Element a{reinterpret_cast<void*>(0xBAD)}, b{nullptr}, c{nullptr};
  for (Element* e : {&a, &b, &c}) ASSERT_EQ(KeAppendList(&list, e), 0u);
  EXPECT_TRUE(list.First == &a && a.next == &b && b.next == &c && c.next == nullptr)
      << "linked in order, the old link overwritten";
  EXPECT_NE(KeAppendList(&list, &b), 0u) << "already on the list";
  ASSERT_EQ(KeRemoveList(&list, &b), 0u);
  EXPECT_EQ(a.next, &c);
  EXPECT_NE(KeRemoveList(&list, &b), 0u) << "not on the list";
  ASSERT_EQ(KeRemoveList(&list, &a) | KeRemoveList(&list, &c), 0u);
  EXPECT_EQ(list.First, nullptr);
  EXPECT_TRUE(KeAppendList(nullptr, &a) && KeAppendList(&list, nullptr));
  // A corrupt list that loops: both walks give up instead of hanging.
  Element x{nullptr}, y{&x}, z{nullptr};
  x.next = &y;
  KeList loop{&x};
  EXPECT_TRUE(KeAppendList(&loop, &z) && KeRemoveList(&loop, &z));

  EXPECT_EQ(host::printf("TORVELIN: %s %u.\n", "value", 42u), 20);
  const std::string wide(1000, 'x');
  host::printf("%s|", wide.c_str());
  EXPECT_EQ(machine.Console(), "TORVELIN: value 42.\n" + wide + "|");
  EXPECT_EQ(echoed, machine.Console());
  machine.ClearConsole();
  EXPECT_EQ(machine.Console(), "");

  void* block = host::malloc(100);
  ASSERT_NE(block, nullptr);
  EXPECT_LT(uint64_t{reinterpret_cast<uintptr_t>(block)}, uint64_t{1} << 32) << "below 4 GiB";
  EXPECT_EQ(machine.arena().OutstandingBlocks(), 1u);
  host::free(block);
  host::free(nullptr);
  EXPECT_EQ(machine.arena().OutstandingBlocks(), 0u);
  EXPECT_EQ(host::malloc(0), nullptr);

  // Past the range of long (32 bits on the driver's kernel and in a 32-bit
  // build, 64 here otherwise) the value wraps, as the conversion to long does.
  const std::pair<const char*, long> numbers[] = {
      {"  -123abc", -123},         {"\t+77", 77}, {"4294967296", static_cast<long>(4294967296ULL)},
      {"18446744073709551617", 1}, {"x1", 0},     {"", 0}};
  for (auto [text, value] : numbers) EXPECT_EQ(host::atol(text), value) << text;
  const std::tuple<unsigned long, int, const char*> texts[] = {
      {0, 10, "0"}, {4294967295ul, 10, "4294967295"}, {0xBEEF, 16, "beef"}, {5, 2, "101"}};
  char text[80];
  for (auto [value, base, want] : texts) EXPECT_STREQ(host::ultoa(value, text, base), want);
  EXPECT_TRUE(host::strcmpi("TorVelin", "TORVELIN") == 0 && host::strcmpi("abc", "ABD") < 0 &&
              host::strcmpi("abcd", "ABC") > 0);
  EXPECT_STREQ(host::strcat(host::strcpy(text, "/DEV/"), "X"), "/DEV/X");
}

}  // namespace
