// Buffers handed to the protocols or the USB stack are theirs until handed back: a byte changed
// meanwhile, a device write landing in them, or their memory freed, is reported once, under the
// owner's rule.
#include <gtest/gtest.h>

#include <functional>

#include "tests/support/fakes.h"

namespace {

using host::Host;
using host::Owner;
using host::Ownership;
using host::Rule;

// The device writes a pattern of its own at `at`, as a transfer's completion does.
void fill(Ownership& o, uint8_t* at, size_t length) {
    std::vector<uint8_t> data(length);
    for (size_t i = 0; i < length; ++i) data[i] = static_cast<uint8_t>(0xC0 + i + at[0]);
    o.device_writing(at, data.data(), length, "the device (transfer 7)");
    std::copy(data.begin(), data.end(), at);
}

struct Case {
    const char* name;
    // Given the ownership and a 32-byte buffer in pool memory, claims, writes and releases.
    std::function<void(Ownership&, uint8_t*, host::Adapter*)> act;
    std::optional<Rule> rule;  // what is reported, if anything
    const char* named = "";    // in the message
};

TEST(Ownership, WritesIntoAnOwnedBufferAreReportedUnderTheOwnersRule) {
    const Case cases[] = {
        {"changed while the protocols had it",
         [](Ownership& o, uint8_t* b, host::Adapter* a) {
             auto claim = o.claim(Owner::Protocols, a, "packet 1 of 1 indicated", b, 32);
             b[5] ^= 1;
             o.release(claim);
         },
         Rule::Receive, "byte 5 of packet 1 of 1 indicated changed while the protocols owned it (indicated by Routine"},
        {"changed in the second piece while the USB stack had it",
         [](Ownership& o, uint8_t* b, host::Adapter* a) {
             auto claim = o.claim(Owner::UsbStack, a, "the buffer", {{b, 8}, {b + 16, 8}});
             b[18] = ~b[18];
             b[19] = ~b[19];
             o.release(claim);
         },
         Rule::Irps, "bytes 10 to 11 of the buffer changed while the USB stack owned it"},
        {"the device fills a buffer an OUT transfer is sending",
         [](Ownership& o, uint8_t* b, host::Adapter* a) {
             auto claim = o.claim(Owner::UsbStack, a, "the buffer of bulk-out transfer 2", b, 16);
             fill(o, b + 14, 6);
             o.release(claim);
         },
         Rule::Irps, "the device (transfer 7) wrote into bytes 14 to 15 of the buffer of bulk-out transfer 2"},
        {"two IN transfers on one buffer: the later one's bytes stand",
         [](Ownership& o, uint8_t* b, host::Adapter* a) {
             auto first = o.claim(Owner::UsbStack, a, "first", b, 16, true);
             auto second = o.claim(Owner::UsbStack, a, "second", b, 16, true);
             fill(o, b, 16);
             o.release(first);
             fill(o, b, 8);
             o.release(second);
         },
         std::nullopt},
        {"an IN transfer's buffer written by anyone but the device",
         [](Ownership& o, uint8_t* b, host::Adapter* a) {
             auto claim = o.claim(Owner::UsbStack, a, "the buffer of control-in transfer 4", b, 2, true);
             fill(o, b, 2);
             b[1] ^= 1;
             o.release(claim);
         },
         Rule::Irps, "byte 1 of the buffer of control-in transfer 4 changed while the USB stack owned it"},
        {"its memory freed while the USB stack had it",
         [](Ownership& o, uint8_t* b, host::Adapter* a) {
             o.claim(Owner::UsbStack, a, "the buffer of bulk-in transfer 3", b + 8, 8);
             NdisFreeMemory(b, 32, 0);
         },
         Rule::Irps, "the memory of the buffer of bulk-in transfer 3 was freed while the USB stack owned it"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Host host{{.policy = host::ViolationPolicy::Record}};
        auto& adapter = host.add_adapter();
        std::lock_guard guard(host.lock());
        host.call_driver(host::ContextKind::Handler, "Routine", &adapter, DISPATCH_LEVEL, [&] {
            PVOID memory = nullptr;
            ASSERT_EQ(NdisAllocateMemoryWithTag(&memory, 32, host::tag("buf ")), NDIS_STATUS_SUCCESS);
            auto* buffer = static_cast<uint8_t*>(memory);
            for (int i = 0; i < 32; ++i) buffer[i] = static_cast<uint8_t>(i);
            c.act(host.ownership(), buffer, &adapter);
        });
        const auto& violations = host.verifier().violations();
        ASSERT_EQ(violations.size(), c.rule ? 1u : 0u);
        if (!c.rule) continue;
        EXPECT_EQ(violations[0].rule, *c.rule);
        EXPECT_EQ(violations[0].adapter, "adapter 1");
        EXPECT_NE(violations[0].message.find(c.named), std::string::npos) << violations[0].message;
    }
}

}  // namespace
