// usbeth: runs the driver on Linux against the emulated host and the controller model.
#include <CLI/CLI.hpp>

#include <iostream>

#include "app/demo.h"
#include "host/verifier/verifier.h"

int main(int argc, char** argv) {
    CLI::App app{"usbeth: a USB Ethernet controller's NDIS 5.0 miniport driver, run on Linux against an emulated "
                 "host and a model of the controller"};
    app.require_subcommand(1);

    uint64_t seed = 1;
    std::string scenario;
    CLI::App* run = app.add_subcommand("run", "Run a scenario (the embedded default when none is given)");
    run->add_option("scenario", scenario, "Scenario file (JSON)");
    run->add_option("--seed", seed, "Seed of the host's ordering of simultaneous events")->capture_default_str();
    usbeth::CaptureFiles captures;
    run->add_option("--pcap", captures.ethernet, "Write the frames on the cable to this pcap file (Ethernet)");
    run->add_option("--usbmon", captures.usb,
                    "Write every adapter's USB transfers to this pcap file (Linux usbmon; bus number = adapter)");
    run->add_option("--events", captures.events, "Write the events NDIS saw to this file (JSON Lines)");

    CLI11_PARSE(app, argc, argv);

    if (run->parsed()) {
        if (!scenario.empty()) {
            std::cerr << "usbeth: scenario files are not supported yet; run without one for the default scenario\n";
            return 2;
        }
        try {
            return usbeth::run_default_scenario(std::cout, seed, captures);
        } catch (const host::VerifierViolation& violation) {
            std::cerr << "usbeth: verifier: " << violation.what() << "\n";
            return 3;
        } catch (const std::exception& e) {
            std::cerr << "usbeth: " << e.what() << "\n";
            return 1;
        }
    }
    return 0;
}
