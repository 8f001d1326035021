// Writes the seed corpus of one of the adapter fuzz targets (receive, phy or oid) into the
// directory given: ordinary runs and the edge cases each target is about.
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "model/frame_format.h"
#include "model/mii.h"
#include "tests/fuzz/fuzz_input.h"
#include "tests/fuzz/oid_input.h"
#include "tests/fuzz/phy_input.h"
#include "tests/fuzz/receive_input.h"

namespace {

using fuzzing::Writer;

uint8_t step(uint8_t kind, uint8_t arg, int shift) { return static_cast<uint8_t>(kind << shift | arg); }

// ---- receive ----

Writer& raw(Writer& w, std::vector<uint8_t> bytes) {
    return w.byte(step(fuzzing::kReceiveRaw, 1, 6)).u16(static_cast<uint16_t>(bytes.size())).bytes(bytes);
}

Writer& frame(Writer& w, uint16_t length, uint8_t status, uint8_t seed = 3) {
    return w.byte(step(fuzzing::kReceiveFrame, seed, 6)).u16(length).byte(status).byte(0).byte(0).byte(0);
}

std::vector<Writer> receive_seeds() {
    std::vector<Writer> seeds;
    {  // frames of every size class, good and bad
        Writer w;
        w.byte(0).byte(1);
        for (uint16_t length : {0, 1, 6, 13, 14, 15, 59, 60, 64, 1500, 1514, 1528, 1529, 1600, 2040}) {
            frame(w, length, 0x00);
        }
        for (uint8_t status : {0x01, 0x02, 0x04, 0x08, 0x10, 0x1E, 0x20, 0xFF}) frame(w, 100, status);
        w.byte(step(fuzzing::kReceivePause, 20, 6));
        seeds.push_back(w);
    }
    {  // raw runts and trailers without a frame, then a good frame
        Writer w;
        w.byte(1).byte(2);
        for (size_t length = 0; length <= 9; ++length) raw(w, std::vector<uint8_t>(length, 0x00));
        raw(w, std::vector<uint8_t>(22, 0xFF));
        raw(w, model::make_bulk_in_transfer(std::vector<uint8_t>(60, 0x42), {}));
        seeds.push_back(w);
    }
    {  // a backlog with few descriptors and later completions, a reset, a send
        Writer w;
        w.byte(static_cast<uint8_t>(2 | 1 << 3)).byte(3);
        w.byte(step(fuzzing::kReceiveOther, 2, 6));
        w.byte(step(fuzzing::kReceiveOther, 1, 6));
        w.byte(step(fuzzing::kReceiveOther, 0, 6));
        frame(w, 200, 0x00);
        w.byte(step(fuzzing::kReceiveOther, 3, 6));
        seeds.push_back(w);
    }
    {  // a halt while frames are still on their way up
        Writer w;
        w.byte(static_cast<uint8_t>(fuzzing::kReceiveHaltAtOnce | 3)).byte(5);
        w.byte(step(fuzzing::kReceiveOther, 2, 6));
        w.byte(step(fuzzing::kReceivePause, 3, 6));
        w.byte(step(fuzzing::kReceiveOther, 2, 6));
        seeds.push_back(w);
    }
    {  // a transfer past the receive buffer when overruns babble
        Writer w;
        w.byte(fuzzing::kReceiveBabble).byte(4);
        frame(w, 100, 0x00);
        frame(w, 1600, 0x00);
        frame(w, 100, 0x00);
        w.byte(step(fuzzing::kReceiveOther, 0, 6));
        frame(w, 100, 0x00);
        seeds.push_back(w);
    }
    return seeds;
}

// ---- phy ----

Writer& phy(Writer& w, uint8_t address, uint8_t known_id, bool link, uint16_t abilities = 0x7809) {
    return w.byte(address).byte(known_id).byte(link ? 1 : 0).u16(abilities);
}

std::vector<Writer> phy_seeds() {
    std::vector<Writer> seeds;
    // known identifiers by index: HomeLan A, HomeLan B, Ethernet A, B, C, spare
    {  // the usual single Ethernet PHY, link going down and up
        Writer w;
        w.byte(0).byte(1).byte(0).byte(0).byte(1);
        phy(w, 1, 2, true);
        w.byte(3).byte(0b101).byte(0).byte(0);
        seeds.push_back(w);
    }
    {  // register reads and writes of the poll failing, stalling, coming late
        for (uint8_t fault : {0x01, 0x0A, 0x17, 0x22, 0x47}) {
            Writer w;
            w.byte(3).byte(8).byte(0).byte(0).byte(1);
            phy(w, 1, 1, true);
            w.byte(2).byte(0b01).byte(0).byte(fault);
            seeds.push_back(w);
        }
    }
    {  // both kinds and the spare, each MediaType
        for (uint8_t media = 0; media < 4; ++media) {
            Writer w;
            w.byte(static_cast<uint8_t>(media << 2 | 1 << 4)).byte(2).byte(0).byte(0).byte(3);
            phy(w, 0, 0, media & 1);
            phy(w, 3, 3, true);
            phy(w, 7, 5, false);
            w.byte(2).byte(0b10).byte(10);
            seeds.push_back(w);
        }
    }
    {  // the HomeLan PHY with the link indicator, slow window, later completions
        Writer w;
        w.byte(static_cast<uint8_t>(0x80 | 2 << 4 | 2)).byte(3).byte(0).byte(0).byte(1);
        phy(w, 2, 1, true);
        w.byte(4).byte(0b0110).byte(30);  // ends 3 ms after the last period
        seeds.push_back(w);
    }
    {  // a slow window and a link that stays up: no poll may take the unfinished access for link down
        Writer w;
        w.byte(0x80).byte(6).byte(0).byte(0).byte(1);
        phy(w, 1, 2, true);
        w.byte(2).byte(0xFF).byte(0).byte(0);
        seeds.push_back(w);
    }
    {  // nobody answers; then an EEPROM and a window that never report done
        Writer w;
        w.byte(0).byte(4).byte(0).byte(0).byte(0).byte(1).byte(0);
        seeds.push_back(w);
        Writer v;
        v.byte(0).byte(5).byte(3).byte(0).byte(1);
        phy(v, 1, 2, true);
        v.byte(1).byte(1).byte(0);
        seeds.push_back(v);
    }
    {  // an unknown identifier, garbage read by read through the tape
        Writer w;
        w.byte(0).byte(6).byte(0).byte(0).byte(2);
        w.byte(4).byte(0xFF).u32(0x12345678).byte(1).u16(0xFFFF);
        phy(w, 9, 4, true);
        w.byte(3).byte(0b011).byte(0).byte(0);
        for (int i = 0; i < 40; ++i) w.byte(i % 3 ? 0x00 : 0xFF).u16(static_cast<uint16_t>(i * 0x1111));
        seeds.push_back(w);
    }
    {  // an allocation failing in a poll
        Writer w;
        w.byte(0).byte(9).byte(0).byte(0x80).byte(1);
        phy(w, 1, 2, true);
        w.byte(1).byte(1).byte(0).byte(0);
        seeds.push_back(w);
    }
    {  // an allocation failing during initialization
        Writer w;
        w.byte(0).byte(7).byte(0).byte(5).byte(1);
        phy(w, 1, 2, true);
        w.byte(0).byte(0).byte(0);
        seeds.push_back(w);
    }
    return seeds;
}

// ---- oid ----

Writer& query(Writer& w, uint8_t oid, uint16_t length) {
    return w.byte(step(fuzzing::kOidQuery, 0, 5)).byte(oid).u16(length);
}

Writer& set(Writer& w, uint8_t oid, const std::vector<uint8_t>& contents) {
    return w.byte(step(fuzzing::kOidSet, 0, 5)).byte(oid).u16(static_cast<uint16_t>(contents.size())).bytes(contents);
}

std::vector<Writer> oid_seeds() {
    std::vector<Writer> seeds;
    {  // every known OID queried with 0, 4 and 256 bytes
        for (uint16_t length : {0, 4, 256}) {
            Writer w;
            w.byte(0).byte(1);
            for (uint8_t oid = 0; oid < 56; ++oid) query(w, oid, length);
            seeds.push_back(w);
        }
    }
    {  // sets of the filter, lookahead, multicast list and wake-up patterns, frames between
        Writer w;
        w.byte(2).byte(2);
        set(w, 17, {0x0F, 0x00, 0x00, 0x00});
        set(w, 17, {0x0F, 0x00});
        set(w, 18, {0xEA, 0x05, 0x00, 0x00});
        set(w, 30, std::vector<uint8_t>(12, 0x01));
        set(w, 30, std::vector<uint8_t>(7, 0x01));
        w.byte(step(fuzzing::kOidSend, 3, 5)).byte(step(fuzzing::kOidFrame, 4, 5));
        std::vector<uint8_t> pattern = {0x01, 0, 0, 0, 0x10, 0, 0, 0, 0x18, 0, 0, 0, 0x10, 0, 0, 0};
        pattern.resize(40, 0xFF);
        set(w, 42, pattern);
        set(w, 43, pattern);
        set(w, 43, std::vector<uint8_t>(300, 0x00));
        w.byte(step(fuzzing::kOidPause, 5, 5)).byte(step(fuzzing::kOidReset, 0, 5));
        set(w, 40, {0x01, 0x00, 0x00, 0x00});
        set(w, 44, {0x01, 0x00, 0x00, 0x00});
        seeds.push_back(w);
    }
    {  // a halt while a pattern removal is pending, and while a reset is
        for (uint8_t arg : {5, 1}) {
            Writer w;
            w.byte(3).byte(4);
            set(w, 30, std::vector<uint8_t>(6, 0x01));
            w.byte(step(fuzzing::kOidHalt, arg, 5));
            seeds.push_back(w);
        }
    }
    {  // raw OIDs and a big buffer
        Writer w;
        w.byte(1).byte(3);
        w.byte(step(fuzzing::kOidQuery, 0, 5)).byte(fuzzing::kOidRaw).u32(0x00010101).u16(fuzzing::kOidBig | 0x4000);
        w.byte(step(fuzzing::kOidSet, 0, 5)).byte(fuzzing::kOidRaw).u32(0xDEADBEEF).u16(3).byte(1).byte(2).byte(3);
        seeds.push_back(w);
    }
    return seeds;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s receive|phy|oid <corpus directory>\n", argv[0]);
        return 2;
    }
    const std::string target = argv[1];
    std::vector<Writer> seeds = target == "receive" ? receive_seeds()
                                : target == "phy"   ? phy_seeds()
                                : target == "oid"   ? oid_seeds()
                                                    : std::vector<Writer>{};
    if (seeds.empty()) {
        std::fprintf(stderr, "no target %s\n", argv[1]);
        return 2;
    }
    for (size_t i = 0; i < seeds.size(); ++i) {
        std::string path = std::string(argv[2]) + "/seed-" + std::to_string(i);
        std::ofstream out(path, std::ios::binary);
        const std::vector<uint8_t>& bytes = seeds[i].data();
        out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        if (!out) {
            std::fprintf(stderr, "cannot write %s\n", path.c_str());
            return 1;
        }
    }
    return 0;
}
