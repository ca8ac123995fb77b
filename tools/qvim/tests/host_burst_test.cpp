// Events held for one journal sync per burst: each is recorded at once, and
// nothing is forwarded or printed before the sync that covers it.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "Output.h"

using namespace qvimcli;

namespace {

std::string document(const std::string& key) { return "{\"operationType\":\"create\",\"key\":\"" + key + "\"}"; }

// What happened, in order; a sync says how many bytes were printed by then.
struct Trace {
    std::string steps;
    FILE* out = tmpfile();
    EventPrinter printer{out, true};

    Trace() {
        printer.setRecorder([this](const cJSON* event) { steps += " r" + jsonText(event, "key"); });
        printer.setCommit([this] {
            fflush(out);
            steps += " sync@" + std::to_string(ftell(out));
        });
        printer.setEachEvent([this](const cJSON* event) { steps += " o" + jsonText(event, "key"); });
    }
    ~Trace() {
        if (out != nullptr) fclose(out);
    }
    void print(const std::string& key) { printer.printDocument(("{\"events\":[" + document(key) + "]}").c_str()); }
    // Bytes printed for the first events.
    static std::string printed(int events) { return std::to_string(events * (document("1").size() + 1)); }
};

}  // namespace

TEST(HostBurst, EventsLeaveOnlyAfterTheSyncThatCoversThem) {
    Trace trace;
    ASSERT_NE(trace.out, nullptr);
    // Not held: one sync per event, before it leaves.
    trace.print("1");
    EXPECT_EQ(trace.steps, " r1 sync@0 o1");

    // Held: recorded at once, sent together after one sync; a release with
    // nothing held syncs nothing.
    trace.printer.hold(3, std::chrono::hours(1));
    trace.print("2");
    trace.print("3");
    EXPECT_EQ(trace.steps, " r1 sync@0 o1 r2 r3");
    trace.printer.release();
    trace.printer.release();
    EXPECT_EQ(trace.steps, " r1 sync@0 o1 r2 r3 sync@" + Trace::printed(1) + " o2 o3");

    // A full burst goes at once and the hold goes on.
    trace.steps.clear();
    trace.printer.hold(2, std::chrono::hours(1));
    for (const char* key : {"4", "5", "6"}) trace.print(key);
    trace.printer.release();
    EXPECT_EQ(trace.steps, " r4 r5 sync@" + Trace::printed(3) + " o4 o5 r6 sync@" + Trace::printed(5) + " o6");
    EXPECT_EQ(trace.printer.count(), 6u);
}
