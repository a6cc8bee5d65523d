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

// An option that names a file.
void AddFileOption(CLI::App* app, const std::string& name, std::string* file,
                   const std::string& description) {
  app->add_option(name, *file, description)->type_name("FILE");
}

void AddMachineOptions(CLI::App* app, MachineChoice* choice) {
  AddFileOption(app, "--machine", &choice->machine_file,
                "Machine description file (controllers, PCI slots, IRQs, EEPROMs, segments)");
  AddFileOption(app, "--registry", &choice->registry_file,
                "Registry file for the driver's TORVELIN section");
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
  AddFileOption(app, "--pcap", &run->pcap,
                "Capture every segment to a pcap file (segment n > 0: NAME.n.EXT)");
  AddFileOption(app, "--replay", &run->replay,
                "Inject the frames of a pcap file into the first segment after the traffic");
  app->add_option("--tap", run->tap, "Bridge the first segment to a Linux TAP interface")
      ->type_name("IFNAME");
  AddFileOption(app, "--trace", &run->trace,
                "Write the machine trace from power-up to stop (FILE.json: trace-event JSON "
                "for Perfetto; else text lines)");
  app->add_flag("--json", run->json, "Print the report as JSON");
}

// `torvelin run`, and `torvelin` alone, which means it. Its options are
// taken before the word 'run' too, into the same values; a value may be given
// at one of the two places only (a flag at either).
Subcommand AddRunCommand(CLI::App& app) {
  auto options = std::make_shared<RunOptions>();
  AddRunOptions(&app, options.get());
  CLI::App* run = app.add_subcommand("run", "Boot, exchange traffic and report (the default)");
  AddRunOptions(run, options.get());
  return {run, [&app, run, options] {
            for (const CLI::Option* option : run->get_options()) {
              if (option->get_expected_min() == 0) continue;  // help and flags
              const std::string name = option->get_name();
              if (app.get_option(name)->count() > 0 && option->count() > 0) {
                throw InputError(name + " given twice");
              }
            }
            const size_t controllers = app.get_option("--controllers")->count() +
                                       run->get_option("--controllers")->count();
            if (controllers > 0 && !options->machine_file.empty()) {
              throw InputError("--controllers and --machine cannot be combined");
            }
            return RunCommand(*options);
          }};
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
      "  devices | open DEV [client=N] | close H | info H | filter H BITS\n"
      "  stats client|adapter|global H\n"
      "  write H hex:BYTES | write H gen dst=MAC|broadcast [len=N] [seq=N]\n"
      "  read H [timeout_ms=N] [size=N]\n"
      "  call H|null FUNCTION [ARG [ARG [ARG]]] [device=DEV] [client=N] [timeout_ms=N]\n"
      "       ARG: a number, null, buf:SIZE, hex:BYTES or word\n"
      "  control H|null CODE [size=N] [arg=NUMBER|null] [device=DEV] [client=N]\n"
      "  inject NIC hex:BYTES [crc] [align] [overrun] | send SEGMENT hex:BYTES [...]\n"
      "  fault NIC NAME on|off | bar NIC io=ADDR | irq NIC LINE | suspend|resume|abort DEV\n"
      "  console | kernel [signals|availability|eoi|programming_errors]... | errors NIC\n"
      "  controller NIC\n"
      "  trace [on|off|FILE|match=TEXT] | stop | quit | version\n"
      "DEV is the device's number (the n of /DEV/MAC/TORVELIN/n), NIC a controller's position\n"
      "in the machine, H a handle answered by open. After a failed start-up, console, kernel\n"
      "and errors still answer until stop or the next boot.");
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

  // Every subcommand the same way, in the order --help lists them; the
  // first, run, is also what no command means.
  const std::vector<Subcommand> subcommands = {AddRunCommand(app), AddScriptCommand(app),
                                               AddRespondCommand(app), AddBenchCommand(app),
                                               AddSoakCommand(app)};

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
    return subcommands.front().run();
  } catch (const InputError& e) {
    std::fprintf(stderr, "torvelin: %s\n", e.what());
    return kExitBadInput;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "torvelin: internal error: %s\n", e.what());
    return kExitFailed;
  }
}
