#include <gtest/gtest.h>

#include "Cli.h"

using namespace qvimcli;

TEST(HostCli, Placeholder) {
    Options options;
    EXPECT_EQ(parseArguments({"check"}, options), "");
}
