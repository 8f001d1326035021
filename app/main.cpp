// usbeth: runs the driver on Linux against the emulated host and the controller model.
#include <CLI/CLI.hpp>

#include <csignal>
#include <iostream>
#include <unistd.h>

#include "app/bridge.h"
#include "app/runner.h"
#include "app/scenario.h"
#include "app/tap.h"
#include "host/verifier/verifier.h"

namespace {

std::atomic<bool> g_stop{false};

void request_stop(int) { g_stop = true; }

// Exit statuses.
constexpr int kOk = 0;
constexpr int kUsage = 2;  // a malformed scenario, a bad option, an unavailable TAP interface
constexpr int kViolation = 3;

int run_command(const std::string& path, std::optional<uint64_t> seed, const usbeth::CaptureFiles& captures) {
    usbeth::Scenario scenario;
    try {
        scenario = path.empty() ? usbeth::parse_scenario(usbeth::default_scenario_json(), "the default scenario")
                                : usbeth::load_scenario_file(path);
    } catch (const usbeth::ScenarioError& e) {
        std::cerr << "usbeth: " << e.what() << "\n";
        return kUsage;
    }
    usbeth::RunOptions options{.seed = seed, .captures = captures, .progress = ::isatty(STDERR_FILENO) == 1};
    try {
        return usbeth::run_scenario(scenario, options, std::cout, std::cerr);
    } catch (const host::VerifierViolation& violation) {
        std::cout.flush();
        std::cerr << "usbeth: verifier: " << violation.what() << "\n";
        return kViolation;
    } catch (const usbeth::SetupError& e) {
        std::cerr << "usbeth: " << e.what() << "\n";
        return kUsage;
    } catch (const std::exception& e) {
        std::cerr << "usbeth: " << e.what() << "\n";
        return 1;
    }
}

int tap_command(const std::string& interface, const std::string& mac, const std::string& ip,
                const usbeth::BridgeOptions& base) {
    usbeth::BridgeOptions options = base;
    // Addresses are read with the scenario reader's rules, so they are checked the same way.
    std::string doc = "{\"adapters\": [{\"station_address\": \"" + mac + "\"}]}";
    try {
        options.adapter_address = usbeth::parse_scenario(doc, "--adapter-mac").adapters[0].station_address;
    } catch (const std::exception&) {
        std::cerr << "usbeth: --adapter-mac: expected an Ethernet address such as 02:00:5e:10:00:01\n";
        return kUsage;
    }
    if (!ip.empty()) {
        std::array<uint8_t, 4> a{};
        unsigned parts[4];
        char tail;
        if (std::sscanf(ip.c_str(), "%u.%u.%u.%u%c", &parts[0], &parts[1], &parts[2], &parts[3], &tail) != 4 ||
            parts[0] > 255 || parts[1] > 255 || parts[2] > 255 || parts[3] > 255) {
            std::cerr << "usbeth: --ip: expected an IPv4 address such as 10.77.0.2\n";
            return kUsage;
        }
        for (int i = 0; i < 4; ++i) a[static_cast<size_t>(i)] = static_cast<uint8_t>(parts[i]);
        options.ip = a;
    }
    std::string error;
    int fd = usbeth::open_tap(interface, error);
    if (fd < 0) {
        std::cerr << "usbeth: " << error << "\n"
                  << "usbeth: the tap command needs root (or CAP_NET_ADMIN) and /dev/net/tun; create the interface "
                     "first, e.g. `ip tuntap add dev "
                  << interface << " mode tap`\n";
        return kUsage;
    }
    struct sigaction action {};
    action.sa_handler = request_stop;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    try {
        return usbeth::run_bridge(fd, interface, options, g_stop, std::cout);
    } catch (const host::VerifierViolation& violation) {
        std::cerr << "usbeth: verifier: " << violation.what() << "\n";
        return kViolation;
    } catch (const std::exception& e) {
        std::cerr << "usbeth: " << e.what() << "\n";
        return 1;
    }
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"usbeth: a USB Ethernet controller's NDIS 5.0 miniport driver, run on Linux against an emulated "
                 "host and a model of the controller"};
    app.require_subcommand(1);

    uint64_t seed = 1;
    std::string scenario;
    CLI::App* run = app.add_subcommand("run", "Run a scenario (the embedded default when none is given)");
    run->add_option("scenario", scenario, "Scenario file (JSON; docs/scenarios.md describes the format)");
    auto* seed_option =
        run->add_option("--seed", seed, "Seed of the host's ordering of simultaneous events (overrides the scenario's)");
    usbeth::CaptureFiles captures;
    run->add_option("--wire-pcap,--pcap", captures.ethernet, "Write the frames on the cables to this pcap file (Ethernet)");
    run->add_option("--usb-pcap,--usbmon", captures.usb,
                    "Write every adapter's USB transfers to this pcap file (Linux usbmon; bus number = adapter)");
    run->add_option("--events", captures.events, "Write the events NDIS saw to this file (JSON Lines)");

    std::string interface, mac = "02:00:5e:10:00:01", ip;
    usbeth::BridgeOptions bridge;
    CLI::App* tap = app.add_subcommand("tap", "Connect one adapter to a Linux TAP interface until SIGINT or SIGTERM");
    tap->add_option("--interface", interface, "The TAP interface (create it first: ip tuntap add dev NAME mode tap)")
        ->required();
    tap->add_option("--adapter-mac", mac, "The station address in the adapter's EEPROM")->capture_default_str();
    tap->add_option("--ip", ip, "Answer ARP and ICMP echo requests for this IPv4 address through the driver");
    tap->add_flag("--full-speed", bridge.full_speed, "USB full-speed timing on the adapter's bus");
    tap->add_option("--seed", bridge.seed, "Seed of the host's ordering of simultaneous events");
    tap->add_option("--wire-pcap,--pcap", bridge.captures.ethernet, "Write the frames on the cable to this pcap file (Ethernet)");

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        int code = app.exit(e);
        return code == 0 ? kOk : kUsage;
    }

    if (run->parsed()) {
        std::optional<uint64_t> chosen_seed;
        if (seed_option->count()) chosen_seed = seed;
        return run_command(scenario, chosen_seed, captures);
    }
    if (tap->parsed()) return tap_command(interface, mac, ip, bridge);
    return kOk;
}
