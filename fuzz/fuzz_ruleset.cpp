// Ruleset texts from fuzz bytes installed on a running engine, full or
// partial, over a fixed ruleset; then the new rules are put to work: folder
// scope, a real-time notification with enforcement, a change of a user, and
// the metrics document. Every text handed back must be strict JSON.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "FuzzEngine.h"
#include "StrictJson.h"

namespace {

const char* const kBefore = R"({"IntegrityRules":[
 {"id":1,"name":"etc","realtime":"true","EntitySets":[{"entityType":"File","base":"/etc","includes":"**/*"},
                                                      {"entityType":"Directory","base":"/etc"}]},
 {"id":2,"name":"users","hash":"h2","EntitySets":[{"entityType":"User"}]}]})";

void expectStrict(const char* json) {
    if (json != nullptr && !strict_json::parses(json)) abort();
}

void notify(const char* kind, const char* key, uint32_t code, bool realTime) {
    im_wrapper_event_s record{};
    record.entityType = kind;
    record.path = record.name = record.newKey = key;
    record.eventType = code;
    record.realTime = realTime;
    record.processUser = "mallory";
    record.processName = "evil";
    record.processGroups = "wheel,adm";
    record.owner = "0";
    record.permissions = "0644";
    im_wrapper_response_s response;
    init_response_wrapper(&response);
    integrity_monitor(1, &record, &response);
    expectStrict(response.json);
    cleanup_response_wrapper(&response);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz_engine::start(nullptr);
    return 0;
}

// Input: one flag byte, the ruleset text, then optionally a NUL and the ruleset id.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const uint8_t flags = data[0];
    const std::string input(reinterpret_cast<const char*>(data) + 1, size - 1);
    const size_t cut = input.find('\0');
    const std::string rules = input.substr(0, cut);
    const std::string id = cut == std::string::npos ? "fuzz" : input.substr(cut + 1);

    fuzz_engine::logLevels((flags & 0x80) != 0);
    // Each input starts from the same rules, so partial installations compare
    // against a known filter.
    set_ruleset(false, kBefore, "before");
    set_ruleset((flags & 1) != 0, rules.c_str(), (flags & 2) != 0 ? nullptr : id.c_str());

    for (const char* folder : {"/", "/etc/", "/var/log/", "/home/a b/"}) (void)should_scan_folder(folder);
    for (int kind = ENTITY_ALL; kind <= ENTITY_UNKNOWN; ++kind) (void)should_scan_entity_type(static_cast<entity_type>(kind));
    notify("File", "/etc/passwd", 0, true);
    notify("User", "alice", 7, (flags & 4) != 0);

    char* metrics = nullptr;
    if (get_metrics_mem(&metrics) == QVIM_OK) {
        if (!strict_json::parses(metrics)) abort();
        free_json_string(metrics);
    }
    return 0;
}
