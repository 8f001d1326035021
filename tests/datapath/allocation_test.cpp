// The data path allocates nothing per frame but the one IRP of each transfer: descriptors, URB
// areas, buffers and receive packets are made once, at initialization.
#include <gtest/gtest.h>

#include <array>

#include "tests/support/datapath.h"

namespace {

using testbed::make_frame;

std::array<uint64_t, host::kAllocKinds> counts(host::Host& host) {
    std::array<uint64_t, host::kAllocKinds> c{};
    for (int k = 0; k < host::kAllocKinds; ++k) c[k] = host.faults().count(static_cast<host::AllocKind>(k));
    return c;
}

size_t bulk_submissions(testbed::Unit& unit, size_t from) {
    size_t n = 0;
    const auto& records = unit.bus->records();
    for (size_t i = from; i < records.size(); ++i) n += records[i].type == 'S' && records[i].transfer_type == 3;
    return n;
}

TEST(DataPathAllocation, OneIrpPerTransferAndNothingElse) {
    testbed::Testbed bench;
    testbed::Unit& a = bench.bring_up();
    testbed::Unit& b = bench.bring_up();
    bench.connect(a, b);
    bench.host.run_for(host::milliseconds(100));

    auto before = counts(bench.host);
    size_t records_a = a.bus->records().size(), records_b = b.bus->records().size();
    for (int i = 0; i < 200; ++i) {
        size_t length = 60 + (i * 37) % 1455;  // 60..1514, some owing a zero-length transfer
        bench.host.send(*a.adapter, make_frame(length, static_cast<uint8_t>(i)));
        bench.host.send(*b.adapter, make_frame(length, static_cast<uint8_t>(i + 1)));
        bench.host.run_for(host::milliseconds(2));
    }
    bench.host.run_for(host::milliseconds(100));
    auto after = counts(bench.host);

    size_t transfers = bulk_submissions(a, records_a) + bulk_submissions(b, records_b);
    ASSERT_GT(transfers, 800u) << "both directions, frames and receives";
    auto delta = [&](host::AllocKind k) { return after[static_cast<int>(k)] - before[static_cast<int>(k)]; };
    // The link poll's register requests take a URB from pool and an IRP each; nothing else may.
    uint64_t register_requests = delta(host::AllocKind::Pool);
    EXPECT_EQ(delta(host::AllocKind::Irp), transfers + register_requests);
    EXPECT_EQ(delta(host::AllocKind::Memory), 0u);
    EXPECT_EQ(delta(host::AllocKind::Urb), 0u);
    EXPECT_EQ(delta(host::AllocKind::PacketPool), 0u);
    EXPECT_EQ(delta(host::AllocKind::BufferPool), 0u);
    EXPECT_EQ(delta(host::AllocKind::Buffer), 0u);
    bench.halt(a);
    bench.halt(b);
}

}  // namespace
