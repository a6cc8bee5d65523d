// torvelin: boots a simulated PC with 8255x controllers, runs the driver on
// it and talks to the driver's devices as a client.
#include <CLI/CLI.hpp>
#include <cstdio>

#include "tools/torvelin/bench.h"
#include "tools/torvelin/commands.h"
#include "tools/torvelin/soak.h"
#include "tools/torvelin/util.h"

namespace tool {

const char* const kVersion = TORVELIN_VERSION;

namespace {

void AddMachineOptions(CLI::App* app, MachineChoice* choice) {
  app->add_option("--machine", choice->machine_file,
                  "Machine description file (controllers, PCI slots, IRQs, EEPROMs, segments)")
      ->type_name("FILE");
  app->add_option("--registry", choice->registry_file,
                  "Registry file for the driver's TORVELIN section")
      ->type_name("FILE");
  app->add_option("--controllers", choice->controllers,
                  "Number of 82559 controllers on the built-in PC (1-16)")
      ->type_name("N")
      ->capture_default_str();
  app->add_option("--clock", choice->clock, "Machine time: virtual (fast) or real")
      ->check(CLI::IsMember({"virtual", "real"}))
      ->capture_default_str();
  app->add_flag("-v,--verbose", choice->verbose, "Show the driver's console as it is printed");
  app->add_flag("--quiet", choice->quiet,
                "Do not add Quiet=0 to the registry (the driver prints less)");
}

void AddRunOptions(CLI::App* app, RunOptions* run) {
  AddMachineOptions(app, run);
  app->add_option("--frames", run->frames, "Frames of test traffic (0: none)")
      ->type_name("N")
      ->check(CLI::Range(uint64_t{0}, uint64_t{10000000}))
      ->capture_default_str();
  app->add_option("--seed", run->seed, "Seed of the traffic's sizes, addresses and contents")
      ->type_name("N")
      ->capture_default_str();
  app->add_option("--pcap", run->pcap,
                  "Capture every segment to a pcap file (segment n > 0: NAME.n.EXT)")
      ->type_name("FILE");
  app->add_option("--replay", run->replay,
                  "Inject the frames of a pcap file into the first segment after the traffic")
      ->type_name("FILE");
  app->add_option("--tap", run->tap, "Bridge the first segment to a Linux TAP interface")
      ->type_name("IFNAME");
  app->add_option("--trace", run->trace,
                  "Write the machine trace from power-up to stop (FILE.json: trace-event JSON "
                  "for Perfetto; else text lines)")
      ->type_name("FILE");
  app->add_flag("--json", run->json, "Print the report as JSON");
}

Subcommand AddScriptCommand(CLI::App& app) {
  auto options = std::make_shared<ScriptOptions>();
  CLI::App* script = app.add_subcommand(
      "script", "Drive a machine step by step: one request per line, one answer per line");
  script->add_option("file", options->file, "Requests to read ('-' for standard input)")
      ->capture_default_str();
  script->add_option("--clock", options->clock, "Machine time: virtual or real")
      ->check(CLI::IsMember({"virtual", "real"}))
      ->capture_default_str();
  script->add_flag("-v,--verbose", options->verbose,
                   "Echo the driver's console to standard error as it is printed");
  script->footer(
      "Requests (one per line; answers 'ok [data]' or 'error CODE message'):\n"
      "  boot [machine=FILE] [registry=FILE] [controllers=N] [quiet=0|1] [clock=virtual|real]\n"
      "       [ha=none|suspend|abort]\n"
      "  devices | open DEV | close H | info H | filter H BITS | stats client|adapter|global H\n"
      "  write H hex:BYTES | write H gen dst=MAC|broadcast [len=N] [seq=N]\n"
      "  read H [timeout_ms=N] [size=N]\n"
      "  inject NIC hex:BYTES [crc] [align] [overrun] | send SEGMENT hex:BYTES [...]\n"
      "  fault NIC NAME on|off | bar NIC io=ADDR | irq NIC LINE | suspend|resume|abort DEV\n"
      "  console | stop | quit | version");
  return {script, [options] { return ScriptCommand(*options); }};
}

Subcommand AddRespondCommand(CLI::App& app) {
  auto options = std::make_shared<RespondOptions>();
  CLI::App* respond = app.add_subcommand(
      "respond", "Answer ARP and ping for an address on a TAP interface, through the driver");
  AddMachineOptions(respond, options.get());
  respond->add_option("--tap", options->tap, "TAP interface to create or attach to")
      ->type_name("IFNAME")
      ->required();
  respond->add_option("--ip", options->ip, "IPv4 address to answer for")
      ->type_name("ADDRESS[/PREFIX]")
      ->required();
  respond->add_option("--interval", options->interval_s, "Seconds between counter lines (0: none)")
      ->capture_default_str();
  return {respond, [options] { return RespondCommand(*options); }};
}

}  // namespace
}  // namespace tool

int main(int argc, char** argv) {
  using namespace tool;
  CLI::App app{
      "torvelin: the 8255x driver on a simulated PC.\n"
      "Without a command, 'run' is meant: boot the PC, move self-checking traffic between its\n"
      "devices through the driver, and report. Exit status: 0 every check held, 1 a check\n"
      "failed, 2 bad input, 130 interrupted."};
  app.name("torvelin");
  app.set_version_flag("--version", kVersion);

  RunOptions run_top;
  AddRunOptions(&app, &run_top);

  RunOptions run_sub;
  CLI::App* run = app.add_subcommand("run", "Boot, exchange traffic and report (the default)");
  AddRunOptions(run, &run_sub);

  // Every other subcommand the same way, in the order --help lists them.
  const std::vector<Subcommand> subcommands = {AddScriptCommand(app), AddRespondCommand(app),
                                               AddBenchCommand(app), AddSoakCommand(app)};

  app.require_subcommand(0, 1);
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForAllHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForVersion& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    std::fprintf(stderr, "torvelin: %s (see torvelin --help)\n", e.what());
    return kExitBadInput;
  }

  try {
    for (const Subcommand& command : subcommands) {
      if (*command.app) return command.run();
    }
    if (*run) {
      // Options given before the word 'run' count too.
      RunOptions merged = run_sub;
      auto given = [](CLI::App& a, const char* name) { return a.get_option(name)->count() > 0; };
      for (const char* name : {"--machine", "--registry", "--controllers", "--clock", "--frames",
                               "--seed", "--pcap", "--replay", "--tap", "--trace"}) {
        if (given(app, name) && given(*run, name)) {
          throw InputError(std::string(name) + " given twice");
        }
      }
      if (given(app, "--machine")) merged.machine_file = run_top.machine_file;
      if (given(app, "--registry")) merged.registry_file = run_top.registry_file;
      if (given(app, "--controllers")) merged.controllers = run_top.controllers;
      if (given(app, "--clock")) merged.clock = run_top.clock;
      if (given(app, "--frames")) merged.frames = run_top.frames;
      if (given(app, "--seed")) merged.seed = run_top.seed;
      if (given(app, "--pcap")) merged.pcap = run_top.pcap;
      if (given(app, "--replay")) merged.replay = run_top.replay;
      if (given(app, "--tap")) merged.tap = run_top.tap;
      if (given(app, "--trace")) merged.trace = run_top.trace;
      merged.verbose = merged.verbose || run_top.verbose;
      merged.quiet = merged.quiet || run_top.quiet;
      merged.json = merged.json || run_top.json;
      if (given(app, "--controllers") || given(*run, "--controllers")) {
        if (!merged.machine_file.empty()) {
          throw InputError("--controllers and --machine cannot be combined");
        }
      }
      return RunCommand(merged);
    }
    if (app.get_option("--controllers")->count() > 0 && !run_top.machine_file.empty()) {
      throw InputError("--controllers and --machine cannot be combined");
    }
    return RunCommand(run_top);
  } catch (const InputError& e) {
    std::fprintf(stderr, "torvelin: %s\n", e.what());
    return kExitBadInput;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "torvelin: internal error: %s\n", e.what());
    return kExitFailed;
  }
}
