#include <gtest/gtest.h>

#include "TestSupport.h"
#include "qvim.h"

using namespace qvim_test;

TEST(ExportedInterface, AnswersWithoutAnEngine) {
    char* text = nullptr;
    EXPECT_EQ(purge_db(), QVIM_E_NO_ENGINE);
    EXPECT_EQ(set_loglevel(8), QVIM_E_NO_ENGINE);
    EXPECT_EQ(set_im_state("ruleset", "x"), QVIM_E_NO_ENGINE);
    EXPECT_EQ(get_im_state("ruleset", &text), QVIM_E_NO_ENGINE);
    EXPECT_EQ(get_metrics_mem(&text), QVIM_E_NO_ENGINE);
    EXPECT_EQ(engine_stop(), QVIM_OK);
    EXPECT_EQ(engine_start(nullptr), QVIM_E_NO_START_RECORD);
    EXPECT_EQ(text, nullptr);
}
