// usbeth: runs the driver on Linux against the emulated host and the controller model.
#include <CLI/CLI.hpp>

#include <algorithm>
#include <cctype>
#include <csignal>
#include <iostream>
#include <string>
#include <variant>
#include <vector>
#include <unistd.h>

#include "app/bridge.h"
#include "app/runner.h"
#include "app/scenario.h"
#include "app/sim_command.h"
#include "app/tap.h"
#include "host/verifier/verifier.h"

namespace {

std::atomic<bool> g_stop{false};

void request_stop(int) { g_stop = true; }

// SIGINT and SIGTERM ask the run to stop in good order; with `once`, a second one ends the
// program at once (the bridge keeps stopping in good order however often it is asked, as scripts
// may ask twice).
void stop_on_signals(bool once) {
    struct sigaction action {};
    action.sa_handler = request_stop;
    action.sa_flags = once ? SA_RESETHAND : 0;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

// Exit statuses, the same for every command.
constexpr int kOk = 0;
constexpr int kUsage = 2;      // a bad command line or scenario; a file or TAP interface that cannot be opened
constexpr int kViolation = 3;  // the verifier caught the driver breaking a rule
constexpr int kInternal = 4;   // usbeth itself failed
constexpr const char* kExitStatuses =
    "Exit status:\n"
    "  0    the run was clean: every expectation met, the verifier silent, every seed clean\n"
    "  1    an expectation was not met, an adapter did not initialize (run, tap), or a seed failed\n"
    "  2    a bad command line or scenario, a file or TAP interface that cannot be opened, a capture that\n"
    "       cannot be written, or outputs that are one file\n"
    "  3    the verifier caught the driver breaking a rule (the message names rule, routine, adapter, time)\n"
    "  4    usbeth itself failed (a fault of the program, not of the driver)\n"
    "  130  run, sim: interrupted (SIGINT or SIGTERM) before the end; the captures and the summary hold what\n"
    "       ran until then (tap ends at SIGINT or SIGTERM: 0 with the verifier clean)";

// At most one output may go to standard output (the report then goes to standard error), and no
// two outputs, nor an output and the scenario read, may be one file.
bool check_outputs(const usbeth::CaptureFiles& c, const std::string& input = "", const std::string& timeline = "") {
    int n = (c.ethernet == "-") + (c.usb == "-") + (c.events == "-");
    if (n > 1) {
        std::cerr << "usbeth: only one of --wire-pcap, --usb-pcap and --events can be \"-\" (standard output)\n";
        return false;
    }
    const std::string collision = usbeth::colliding_files(c, input, timeline);
    if (collision.empty()) return true;
    std::cerr << "usbeth: " << collision << "\n";
    return false;
}

int run_command(const std::string& path, std::optional<uint64_t> seed, const usbeth::CaptureFiles& captures,
                const std::string& timeline) {
    if (!check_outputs(captures, path, timeline)) return kUsage;
    std::ostream& report = captures.to_stdout() ? std::cerr : std::cout;
    usbeth::Scenario scenario;
    try {
        scenario = path.empty() ? usbeth::parse_scenario(usbeth::default_scenario_json(), "the default scenario")
                                : usbeth::load_scenario_file(path);
    } catch (const usbeth::ScenarioError& e) {
        std::cerr << "usbeth: " << e.what() << "\n";
        return kUsage;
    }
    for (const std::string& warning : scenario.warnings) std::cerr << "usbeth: warning: " << warning << "\n";
    usbeth::RunOptions options{.seed = seed,
                               .captures = captures,
                               .progress = ::isatty(STDERR_FILENO) == 1,
                               .stop = &g_stop,
                               .timeline = timeline};
    stop_on_signals(true);
    try {
        return usbeth::run_scenario(scenario, options, report, std::cerr);
    } catch (const host::VerifierViolation& violation) {
        report.flush();
        std::cerr << "usbeth: verifier: " << violation.what() << "\n";
        return kViolation;
    } catch (const usbeth::SetupError& e) {
        std::cerr << "usbeth: " << e.what() << "\n";
        return kUsage;
    } catch (const usbeth::FileError& e) {
        std::cerr << "usbeth: " << e.what() << "\n";
        return kUsage;
    } catch (const std::exception& e) {
        std::cerr << "usbeth: internal error: " << e.what() << "\n";
        return kInternal;
    }
}

std::optional<usbeth::Mac> parse_mac(const std::string& text) {
    // Addresses are read with the scenario reader's rules, so they are checked the same way.
    std::string doc = "{\"adapters\": [{\"station_address\": \"" + text + "\"}]}";
    try {
        return usbeth::parse_scenario(doc, "address").adapters[0].station_address;
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

struct TapArguments {
    std::string interface, ip, peer_interface, peer_adapter_interface;
    std::string mac = "02:00:5e:10:00:01", peer_mac = "02:00:5e:10:00:02";
};

// The addresses and the responder's IP address of the command line, into `options`; false after
// saying what is wrong.
bool read_tap_addresses(const TapArguments& args, usbeth::BridgeOptions& options) {
    auto mac = parse_mac(args.mac), peer_mac = parse_mac(args.peer_mac);
    if (!mac || !peer_mac) {
        std::cerr << "usbeth: " << (mac ? "--peer-adapter-mac" : "--adapter-mac")
                  << ": expected an Ethernet address such as 02:00:5e:10:00:01\n";
        return false;
    }
    options.adapter_address = *mac;
    options.peer_adapter_address = *peer_mac;
    if (args.ip.empty()) return true;
    std::array<uint8_t, 4> a{};
    unsigned parts[4];
    char tail;
    if (std::sscanf(args.ip.c_str(), "%u.%u.%u.%u%c", &parts[0], &parts[1], &parts[2], &parts[3], &tail) != 4 ||
        parts[0] > 255 || parts[1] > 255 || parts[2] > 255 || parts[3] > 255) {
        std::cerr << "usbeth: --ip: expected an IPv4 address such as 198.18.0.2\n";
        return false;
    }
    for (int i = 0; i < 4; ++i) a[static_cast<size_t>(i)] = static_cast<uint8_t>(parts[i]);
    options.ip = a;
    return true;
}

int open_interface(const std::string& name) {
    std::string error;
    int fd = usbeth::open_tap(name, error);
    if (fd < 0) std::cerr << "usbeth: " << error << "\n";
    return fd;
}

// Opens the TAP interfaces of the command line into `options`; false after saying why not.
bool open_tap_ends(const TapArguments& args, usbeth::BridgeOptions& options) {
    options.peer_adapter = !args.peer_adapter_interface.empty();
    const std::string& peer = options.peer_adapter ? args.peer_adapter_interface : args.peer_interface;
    if (peer == args.interface) {
        std::cerr << "usbeth: the two sides need two TAP interfaces, not " << peer << " twice\n";
        return false;
    }
    if (!args.interface.empty()) {
        int fd = open_interface(args.interface);
        if (fd < 0) return false;
        options.protocol = usbeth::BridgeEnd{args.interface, fd};
    }
    int fd = open_interface(peer);
    if (fd < 0) {
        if (options.protocol) ::close(options.protocol->fd);
        return false;
    }
    options.peer = usbeth::BridgeEnd{peer, fd};
    return true;
}

// Runs the bridge until SIGINT or SIGTERM.
int run_tap(const usbeth::BridgeOptions& options) {
    stop_on_signals(false);
    try {
        return usbeth::run_bridge(options, g_stop, options.captures.to_stdout() ? std::cerr : std::cout);
    } catch (const host::VerifierViolation& violation) {
        std::cout.flush();
        std::cerr << "usbeth: verifier: " << violation.what() << "\n";
        return kViolation;
    } catch (const usbeth::FileError& e) {
        std::cout.flush();
        std::cerr << "usbeth: " << e.what() << "\n";
        return kUsage;
    } catch (const std::exception& e) {
        std::cout.flush();
        std::cerr << "usbeth: internal error: " << e.what() << "\n";
        return kInternal;
    }
}

int tap_command(const TapArguments& args, const usbeth::BridgeOptions& base) {
    usbeth::BridgeOptions options = base;
    if (!check_outputs(options.captures)) return kUsage;
    if (!read_tap_addresses(args, options) || !open_tap_ends(args, options)) return kUsage;
    return run_tap(options);
}

struct RunArguments {
    uint64_t seed = 1;
    std::string scenario;
    usbeth::CaptureFiles captures;
    std::string timeline;
    CLI::Option* seed_option = nullptr;
};

CLI::App* add_run_command(CLI::App& app, RunArguments& args) {
    CLI::App* run = app.add_subcommand("run", "Run a scenario (the embedded default when none is given)");
    run->add_option("scenario", args.scenario,
                    "Scenario file (JSON; docs/scenarios.md describes the format); - reads standard input");
    args.seed_option = run->add_option("--seed", args.seed,
                                       "Seed of the host's ordering of simultaneous events (overrides the scenario's)")
                           ->transform(usbeth::whole_number());
    run->footer("A capture file given as - goes to standard output, and the report to standard error.");
    run->add_option("--wire-pcap,--pcap", args.captures.ethernet,
                    "Write the frames on the cables to this pcap file (Ethernet)");
    run->add_option("--usb-pcap,--usbmon", args.captures.usb,
                    "Write every adapter's USB transfers to this pcap file (Linux usbmon; bus number = adapter)");
    run->add_option("--events", args.captures.events, "Write the events NDIS saw to this file (JSON Lines)");
    run->add_option("--timeline", args.timeline,
                    "Write what ran where to this file (Trace Event Format, for chrome://tracing or "
                    "ui.perfetto.dev)");
    return run;
}

CLI::App* add_tap_command(CLI::App& app, TapArguments& tap_args, usbeth::BridgeOptions& bridge) {
    CLI::App* tap = app.add_subcommand(
        "tap", "Run the driver between Linux TAP interfaces in real time, until SIGINT (Ctrl-C) or SIGTERM");
    tap->footer(
        "Create the TAP interfaces first (ip tuntap add dev NAME mode tap); scripts/tap-bench.sh shows a "
        "whole setup with two network namespaces. Captures are stamped with the wall clock; one given as - "
        "goes to standard output (the report to standard error): usbeth tap ... --wire-pcap - | wireshark "
        "-k -i -");
    CLI::Option_group* above = tap->add_option_group("above adapter A", "One of these");
    above->add_option("--interface", tap_args.interface,
                      "TAP interface above adapter A: frames Linux sends there go to the driver's send handler, "
                      "frames the driver receives are written there");
    above->add_option("--ip", tap_args.ip, "Instead of a TAP interface, answer ARP and ping for this IPv4 address");
    above->require_option(1);
    CLI::Option_group* far = tap->add_option_group("at the cable's far end", "One of these");
    far->add_option("--peer-interface", tap_args.peer_interface, "TAP interface at the cable's far end");
    far->add_option("--peer-adapter-interface", tap_args.peer_adapter_interface,
                    "Adapter B at the cable's far end, with this TAP interface above it");
    far->require_option(1);
    tap->add_option("--adapter-mac", tap_args.mac, "Station address in adapter A's EEPROM")->capture_default_str();
    tap->add_option("--peer-adapter-mac", tap_args.peer_mac, "Station address in adapter B's EEPROM")
        ->capture_default_str();
    tap->add_flag("--full-speed", bridge.full_speed,
                  "USB full-speed bus timing and a 10 Mbit/s cable (without it both are instant, and the driver and "
                  "the host set the limit)");
    tap->add_option("--seed", bridge.seed, "Seed of the host's ordering of simultaneous events")
        ->transform(usbeth::whole_number())
        ->capture_default_str();
    tap->add_option("--wire-pcap,--pcap", bridge.captures.ethernet,
                    "Write the frames on the cable to this pcap file (Ethernet)");
    tap->add_option("--usb-pcap,--usbmon", bridge.captures.usb,
                    "Write the adapters' USB transfers to this pcap file (Linux usbmon; bus 1 = adapter A, 2 = B)");
    tap->add_option("--events", bridge.captures.events, "Write the events NDIS saw to this file (JSON Lines)");
    return tap;
}

// Levenshtein distance, for naming the command or option a mistyped word was likely meant to be.
size_t distance(const std::string& a, const std::string& b) {
    std::vector<size_t> row(b.size() + 1);
    for (size_t j = 0; j <= b.size(); ++j) row[j] = j;
    for (size_t i = 1; i <= a.size(); ++i) {
        size_t diagonal = row[0];
        row[0] = i;
        for (size_t j = 1; j <= b.size(); ++j) {
            const size_t above = row[j];
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
            diagonal = above;
        }
    }
    return row[b.size()];
}

// The word of `known` that `word` was likely meant to be: one it begins with or that begins with
// it, or one a letter or two away; empty when none.
std::string likely(const std::string& word, std::initializer_list<const char*> known) {
    for (const std::string k : known) {
        if (word.size() >= 2 && (word.rfind(k, 0) == 0 || k.rfind(word, 0) == 0)) return k;
    }
    for (const std::string k : known) {
        if (distance(word, k) <= 2) return k;
    }
    return "";
}

// The command line with `help` read as --help, or a message that names what is wrong with its
// first word: CLI11 would only say that a command is required.
std::variant<std::vector<std::string>, std::string> read_first_word(int argc, char** argv) {
    std::vector<std::string> args(argv, argv + argc);
    if (args.size() < 2) return args;
    const std::string word = args[1];
    if (word == "help") {
        args.erase(args.begin() + 1);
        args.push_back("--help");  // `usbeth help run` is `usbeth run --help`
        return args;
    }
    if (word == "run" || word == "tap" || word == "sim" || word == "--help" || word == "-h" || word == "--version")
        return args;
    const bool option = word[0] == '-';
    std::string bare =
        word.substr(word.find_first_not_of('-') == std::string::npos ? word.size() : word.find_first_not_of('-'));
    std::string meant = option ? likely(bare, {"version", "help"}) : likely(word, {"run", "tap", "sim"});
    if (option && (bare == "V" || bare == "v")) meant = "version";
    std::string text =
        "usbeth: " + std::string(option ? "unknown option " : "unknown command \"") + word + (option ? "" : "\"");
    if (!meant.empty()) text += "; did you mean " + (option ? "--" + meant : "\"" + meant + "\"") + "?";
    return text + "\nThe commands are run, tap and sim; usbeth --help lists them and the options.\n";
}

int sim_command(const usbeth::SimOptions& options) {
    // What only one run has: its whole trace, its timeline, its plan, its shrink on demand.
    const bool one = options.one_seed || !options.plan.empty();
    for (const auto& [given, name] : {std::pair{options.trace, "--trace"},
                                      {!options.timeline.empty(), "--timeline"},
                                      {!options.write_plan.empty(), "--write-plan"},
                                      {options.shrink, "--shrink"}}) {
        if (given && !one) {
            std::cerr << "usbeth: " << name << " requires --seed or --plan\n";
            return kUsage;
        }
    }
    // Seeds are 64-bit: a range that would pass the last one would go on from seed 0.
    if (!options.one_seed && !options.soak && options.count - 1 > UINT64_MAX - options.first) {
        std::cerr << "usbeth: --first " << options.first << " with --count " << options.count
                  << " goes past the last seed, 18446744073709551615\n";
        return kUsage;
    }
    try {
        return usbeth::run_sim_command(options, std::cout, std::cerr);
    } catch (const std::exception& e) {
        std::cerr << "usbeth: internal error: " << e.what() << "\n";
        return kInternal;
    }
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{
        "usbeth: a USB Ethernet controller's NDIS 5.0 miniport driver, run on Linux against an emulated "
        "host and a model of the controller"};
    app.require_subcommand(1);
    app.set_version_flag("--version", std::string("usbeth ") + USBETH_VERSION);
    app.footer(kExitStatuses);

    RunArguments run_args;
    CLI::App* run = add_run_command(app, run_args);
    TapArguments tap_args;
    usbeth::BridgeOptions bridge;
    CLI::App* tap = add_tap_command(app, tap_args, bridge);
    usbeth::SimOptions sim_options;
    CLI::App* sim = usbeth::add_sim_command(app, sim_options);

    // Every mistake of the command line is named after the program, as the others are.
    app.failure_message([](const CLI::App*, const CLI::Error& e) {
        std::string what = e.what();
        if (what.size() > 1 && std::isupper(static_cast<unsigned char>(what[0])) &&
            std::islower(static_cast<unsigned char>(what[1])))
            what[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(what[0])));
        return "usbeth: " + what + "\nRun with --help for more information.\n";
    });
    auto first_word = read_first_word(argc, argv);
    if (auto* message = std::get_if<std::string>(&first_word)) {
        std::cerr << *message;
        return kUsage;
    }
    std::vector<std::string>& words = std::get<std::vector<std::string>>(first_word);
    std::vector<char*> arguments;
    for (std::string& w : words) arguments.push_back(w.data());
    try {
        app.parse(static_cast<int>(arguments.size()), arguments.data());
    } catch (const CLI::ParseError& e) {
        int code = app.exit(e);
        return code == 0 ? kOk : kUsage;
    }

    if (run->parsed()) {
        std::optional<uint64_t> chosen_seed;
        if (run_args.seed_option->count()) chosen_seed = run_args.seed;
        return run_command(run_args.scenario, chosen_seed, run_args.captures, run_args.timeline);
    }
    if (tap->parsed()) return tap_command(tap_args, bridge);
    if (sim->parsed()) {
        sim_options.progress = ::isatty(STDERR_FILENO) == 1 && !sim_options.quiet;
        return sim_command(sim_options);
    }
    return kOk;
}
