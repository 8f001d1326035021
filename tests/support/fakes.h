// Small stand-ins shared by the host tests: a lower device the test can script, and helpers.
#pragma once

#include <functional>
#include <vector>

#include "host/host.h"

namespace testbed {

// A device below the miniport whose answer to each IRP the test chooses.
class ScriptedDevice : public host::LowerDevice {
public:
    std::function<NTSTATUS(DEVICE_OBJECT*, IRP*)> on_irp;
    std::vector<IRP*> received;
    NTSTATUS dispatch(DEVICE_OBJECT* device, IRP* irp) override {
        received.push_back(irp);
        if (on_irp) return on_irp(device, irp);
        return host::Host::current().io().complete(irp, STATUS_SUCCESS);
    }
};

}  // namespace testbed
