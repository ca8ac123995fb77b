// The exported functions themselves: answers without an engine, the named
// engine registry, the response helpers and the argument checks.
#include <tuple>

#include <gtest/gtest.h>

#include "IMEngineHandle.h"
#include "TestSupport.h"
#include "baseline_support.h"
#include "qvim.h"

using namespace qvim_test;

TEST(ExportedInterface, RegistryHandsOutNamedEnginesApartFromTheCurrentOne) {
    IMEngineHandle* first = get_engine_handle("scanner");
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(get_engine_handle("scanner"), first);
    EXPECT_NE(get_engine_handle("other"), first);
    EXPECT_EQ(close_engine_handle("unknown"), QVIM_E_BAD_PARAMETER);
    EXPECT_EQ(close_engine_handle(nullptr), QVIM_E_BAD_PARAMETER);
    EXPECT_EQ(get_engine_handle(nullptr), nullptr);

    // The object interface works through the vtable on its own database.
    IMEngineHandleStandalone standalone(*first);
    ASSERT_EQ(standalone.engineStart(captureInit("registry.db")), QVIM_OK);
    EXPECT_EQ(get_metrics_mem(nullptr), QVIM_E_NO_ENGINE);  // not the current engine
    EXPECT_EQ(standalone.setIMState("rulesetList", "via vtable"), QVIM_OK);
    char* value = nullptr;
    ASSERT_EQ(standalone.getIMState("rulesetList", &value), QVIM_OK);
    EXPECT_STREQ(value, "via vtable");
    IMEngineHandleStandalone::freeIMStateVal(value);
    EXPECT_GT(IMEngineHandleStandalone::getCurrentTime(), 1700000000000UL);
    EXPECT_EQ(standalone.engineStop(), QVIM_OK);

    EXPECT_EQ(close_engine_handle("scanner"), QVIM_OK);
    EXPECT_EQ(close_engine_handle("scanner"), QVIM_E_BAD_PARAMETER);
    EXPECT_NE(get_engine_handle("scanner"), nullptr);
    // Entries left at unload are not destroyed: a host closes what it opened.
    EXPECT_EQ(close_engine_handle("scanner"), QVIM_OK);
    EXPECT_EQ(close_engine_handle("other"), QVIM_OK);
}

TEST(ExportedInterface, ResponseHelpersArgumentChecksAndAnswersWithoutAnEngine) {
    im_wrapper_response_s response{9, 9, 9, nullptr};
    init_response_wrapper(&response);
    EXPECT_EQ(std::tie(response.state, response.nItemsScanned, response.nEvents), std::make_tuple(0u, 0ul, 0ul));
    cleanup_response_wrapper(&response);
    EXPECT_EQ(response.json, nullptr);
    init_response_wrapper(nullptr);
    cleanup_response_wrapper(nullptr);
    free_json_string(nullptr);

    ASSERT_EQ(startEngine(), QVIM_OK);
    char* text = reinterpret_cast<char*>(0x1);
    EXPECT_EQ(get_im_state("neverSet", &text), QVIM_E_FAILED);
    EXPECT_EQ(text, reinterpret_cast<char*>(0x1));  // left alone on failure
    EXPECT_EQ(set_im_state(nullptr, "x"), QVIM_E_BAD_PARAMETER);
    EXPECT_EQ(set_im_state("ruleset", nullptr), QVIM_E_BAD_PARAMETER);
    EXPECT_EQ(get_im_state(nullptr, &text), QVIM_E_BAD_PARAMETER);
    EXPECT_EQ(get_im_state("ruleset", nullptr), QVIM_E_BAD_PARAMETER);
    im_wrapper_event_s record{};
    EXPECT_EQ(integrity_scan(1, ENTITY_USER, SCAN_CHANGE, nullptr), QVIM_E_BAD_PARAMETER);
    EXPECT_EQ(integrity_monitor(1, nullptr, &response), QVIM_E_BAD_PARAMETER);
    EXPECT_EQ(integrity_monitor(1, &record, nullptr), QVIM_E_BAD_PARAMETER);
    EXPECT_TRUE(logged(QVIM_LOG_ERROR, "integrity_monitor called with a bad parameter"));
    EXPECT_EQ(store_item(nullptr, true, &response), QVIM_E_BAD_PARAMETER);
    EXPECT_EQ(clean_unscanned(nullptr, 0, &response), QVIM_E_BAD_PARAMETER);
    EXPECT_EQ(set_baselinescan(true), QVIM_OK);
    EXPECT_EQ(set_baselinescan(false), QVIM_OK);
    EXPECT_TRUE(logged(QVIM_LOG_TRACE, "set_baselinescan called with bState = 1"));
    engine_stop();

    EXPECT_EQ(integrity_monitor(1, &record, &response), QVIM_E_NO_ENGINE);
    EXPECT_TRUE(logged(QVIM_LOG_ERROR, "integrity_monitor called when the engine is not initialized"));
    EXPECT_EQ(clean_unscanned("File", 0, &response), QVIM_E_NO_ENGINE);
    EXPECT_EQ(set_ruleset(true, "{}", "id"), QVIM_E_NO_ENGINE);
    EXPECT_EQ(should_scan_folder("/"), 0);
    EXPECT_EQ(should_scan_entity_type(ENTITY_FILE), 0);
    unsigned long count = 0;
    EXPECT_EQ(flush_db_buffer(&count), QVIM_E_NO_ENGINE);
    text = nullptr;
    EXPECT_EQ(purge_db(), QVIM_E_NO_ENGINE);
    EXPECT_EQ(set_loglevel(8), QVIM_E_NO_ENGINE);
    EXPECT_EQ(set_im_state("ruleset", "x"), QVIM_E_NO_ENGINE);
    EXPECT_EQ(get_metrics_mem(&text), QVIM_E_NO_ENGINE);
    EXPECT_EQ(text, nullptr);
    EXPECT_EQ(engine_stop(), QVIM_OK);
    EXPECT_EQ(engine_start(nullptr), QVIM_E_NO_START_RECORD);
}

TEST(ExportedInterface, StartingOverARunningEngineStopsItFirst) {
    ASSERT_EQ(startEngine("first.db"), QVIM_OK);
    ASSERT_EQ(set_im_state("rulesetList", "first"), QVIM_OK);
    ASSERT_EQ(startEngine("second.db"), QVIM_OK);
    EXPECT_TRUE(logged(QVIM_LOG_WARNING, "engine_start called while an engine runs; stopping it first"));
    EXPECT_EQ(setting("rulesetList"), "");  // the current engine is the new one
    EXPECT_EQ(engine_stop(), QVIM_OK);
    ASSERT_EQ(startEngine("first.db"), QVIM_OK);
    EXPECT_EQ(setting("rulesetList"), "first");
    engine_stop();
}
