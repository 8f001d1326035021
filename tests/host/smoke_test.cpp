#include <gtest/gtest.h>
#include "host/host.h"
TEST(Smoke, Creates) { host::Host h; EXPECT_EQ(h.now(), 0u); }
