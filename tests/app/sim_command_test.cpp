// `usbeth sim` over a range of seeds: on a terminal a progress line goes to standard error and is
// cleared before the summary; elsewhere nothing but the summary is printed.
#include <gtest/gtest.h>

#include <sstream>

#include "app/sim_command.h"

namespace {

TEST(SimRange, ShowsItsProgressOnOneLineItClearsAtTheEnd) {
    for (bool progress : {false, true}) {
        usbeth::SimOptions options;
        options.first = 1;
        options.count = 1;
        options.seconds = 0.5;  // enough seeds for a progress line or two
        options.quiet = true;
        options.processors = 1;
        options.progress = progress;
        std::ostringstream out, err;
        EXPECT_EQ(usbeth::run_sim_command(options, out, err), 0) << err.str();
        EXPECT_EQ(out.str().rfind("seeds 1..", 0), 0u) << out.str();
        const std::string e = err.str();
        if (!progress) {
            EXPECT_EQ(e, "");
            continue;
        }
        EXPECT_NE(e.find("\rusbeth: seed "), std::string::npos) << e;
        EXPECT_NE(e.find(" run (100%), 0 failed, "), std::string::npos) << e;
        ASSERT_GE(e.size(), 4u);
        EXPECT_EQ(e.substr(e.size() - 4), "\r\033[K") << "the line is cleared before the summary";
    }
}

}  // namespace
