// Boundary records built from fuzz bytes (kind, event code, keys, texts,
// digests, numbers) through integrity_monitor and store_item on an engine
// with a fixed ruleset that watches every kind. (All file sets share the
// base "/": a second base would hide the first from keys outside it.) Whatever comes in, a
// successful call hands back one strict JSON document whose "events" array
// holds nEvents entries.
#include <cstdint>
#include <cstdlib>
#include <deque>
#include <string>

#include "FuzzBytes.h"
#include "FuzzEngine.h"
#include "StrictJson.h"

namespace {

const char* const kRules = R"({"IntegrityRules":[
 {"id":1,"name":"files","realtime":"true",
  "enforcement":{"type":"block","users":["mallory"],"processName":"evil*"},
  "EntitySets":[{"entityType":"File","base":"/","includes":"**/*","operations":"create,update,delete,rename,block"},
                {"entityType":"Directory","base":"/"}]},
 {"id":2,"name":"etc owner","identifier":"E-2",
  "EntitySets":[{"entityType":"File","base":"/","includes_owner":"0;1*","excludes_size":"1?",
                 "and":{"includes":"etc/*.conf","excludes_permissions":"07*"}}]},
 {"id":3,"name":"accounts","realtime":"true",
  "enforcement":{"type":"allow","users":["root"],"groups":["wheel","adm"]},
  "EntitySets":[{"entityType":"User"},{"entityType":"Group","attributes":"members,standard"}]},
 {"id":4,"name":"rest","severity":"7",
  "EntitySets":[{"entityType":"Port"},{"entityType":"InstalledSoftware"},
                {"entityType":"Process","includes":"*","attributes":"commandline,path"}]}]})";

const char* const kKinds[] = {"File", "Directory", "User", "Group", "Port", "InstalledSoftware", "Process", "Pxyz"};

using Text = const char* im_wrapper_event_s::*;
const Text kTexts[] = {
    &im_wrapper_event_s::groups,       &im_wrapper_event_s::processUser,   &im_wrapper_event_s::owner,
    &im_wrapper_event_s::symLinkPath,  &im_wrapper_event_s::description,   &im_wrapper_event_s::fullName,
    &im_wrapper_event_s::userGroup,    &im_wrapper_event_s::homeDriveLetter, &im_wrapper_event_s::homeFolder,
    &im_wrapper_event_s::installedDate, &im_wrapper_event_s::logonScript,  &im_wrapper_event_s::logonShell,
    &im_wrapper_event_s::name,         &im_wrapper_event_s::portKey,       &im_wrapper_event_s::path,
    &im_wrapper_event_s::permissions,  &im_wrapper_event_s::profilePath,   &im_wrapper_event_s::members,
    &im_wrapper_event_s::subGroups,    &im_wrapper_event_s::user,          &im_wrapper_event_s::processKey,
    &im_wrapper_event_s::processName,  &im_wrapper_event_s::process,       &im_wrapper_event_s::parent,
    &im_wrapper_event_s::installLocation, &im_wrapper_event_s::manufacturer, &im_wrapper_event_s::version,
    &im_wrapper_event_s::commandLine,  &im_wrapper_event_s::displayName,   &im_wrapper_event_s::newKey,
    &im_wrapper_event_s::processGroups, &im_wrapper_event_s::entityType,
};
using Wide = uint64_t im_wrapper_event_s::*;
const Wide kWide[] = {
    &im_wrapper_event_s::created,     &im_wrapper_event_s::lastAccessed,          &im_wrapper_event_s::lastModified,
    &im_wrapper_event_s::blocksAllocated, &im_wrapper_event_s::deviceNumber,    &im_wrapper_event_s::flagsAll,
    &im_wrapper_event_s::inodeGenerationNumber, &im_wrapper_event_s::inodeNumber, &im_wrapper_event_s::flags,
    &im_wrapper_event_s::size,
};
using Narrow = int32_t im_wrapper_event_s::*;
const Narrow kNarrow[] = {
    &im_wrapper_event_s::auxValue,          &im_wrapper_event_s::passwordExpiredDaysBeforeDisabled,
    &im_wrapper_event_s::passwordExpiryInDays, &im_wrapper_event_s::passwordExpiry,
    &im_wrapper_event_s::passwordLastChanged, &im_wrapper_event_s::passwordMinDaysBetweenChanges,
    &im_wrapper_event_s::passwordWarningDays, &im_wrapper_event_s::listeners,
    &im_wrapper_event_s::processID,         &im_wrapper_event_s::parentProcessID,
    &im_wrapper_event_s::threads,
};
using Flag = bool im_wrapper_event_s::*;
const Flag kFlags[] = {
    &im_wrapper_event_s::realTime,   &im_wrapper_event_s::growing,          &im_wrapper_event_s::shrinking,
    &im_wrapper_event_s::cannotChangePassword, &im_wrapper_event_s::disabled, &im_wrapper_event_s::lockedOut,
    &im_wrapper_event_s::passwordHasExpired,   &im_wrapper_event_s::passwordNeverExpires,
};

template <class T, size_t N>
constexpr size_t count(const T (&)[N]) {
    return N;
}

// A successful call returns one strict document with nEvents events.
void check(qvim_status status, im_wrapper_response_s& response) {
    if (!QVIM_FAILED(status) && response.json != nullptr) {
        if (!strict_json::parses(response.json)) abort();
        cJSON* root = cJSON_Parse(response.json);
        const int events = cJSON_GetArraySize(cJSON_GetObjectItem(root, "events"));
        cJSON_Delete(root);
        if (static_cast<uint64_t>(events) != response.nEvents) abort();
    }
    cleanup_response_wrapper(&response);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz_engine::start(kRules);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzBytes in(data, size);
    std::deque<std::string> texts;
    unsigned char sha256[32], sha1[20], md5[16];

    const uint8_t mode = in.byte();
    fuzz_engine::logLevels((mode & 0x80) != 0);
    im_wrapper_event_s record{};
    record.entityType = kKinds[in.byte() % count(kKinds)];
    record.eventType = in.byte();
    // The key goes where the kind looks for it, and in newKey.
    const char* key = in.text(texts);
    record.path = record.name = record.portKey = record.processKey = record.newKey = key;
    while (!in.empty()) {
        const uint8_t field = in.byte();
        switch (field % 7) {
            case 0: record.*kTexts[(field / 7) % count(kTexts)] = in.text(texts); break;
            case 1: record.*kTexts[(field / 7) % count(kTexts)] = nullptr; break;
            case 2: record.*kWide[(field / 7) % count(kWide)] = in.number(); break;
            case 3: record.*kNarrow[(field / 7) % count(kNarrow)] = static_cast<int32_t>(in.number(4)); break;
            case 4: record.*kFlags[(field / 7) % count(kFlags)] = (in.byte() & 1) != 0; break;
            case 5:
                switch ((field / 7) % 3) {
                    case 0: in.fill(sha256, sizeof sha256), record.sha256 = sha256; break;
                    case 1: in.fill(sha1, sizeof sha1), record.sha1 = sha1; break;
                    default: in.fill(md5, sizeof md5), record.md5 = md5; break;
                }
                break;
            default: record.eventType = static_cast<uint32_t>(in.number(4)); break;
        }
    }

    im_wrapper_response_s response;
    init_response_wrapper(&response);
    switch (mode & 3) {
        case 0: check(integrity_monitor(1, &record, &response), response); break;
        case 1: check(store_item(&record, false, &response), response); break;
        case 2: check(store_item(&record, true, &response), response); break;
        default:
            check(store_item(&record, (mode & 4) != 0, &response), response);
            check(integrity_monitor(2, &record, &response), response);
            break;
    }
    if ((mode & 0x40) != 0) {
        unsigned long written = 0;
        flush_db_buffer(&written);
    }
    return 0;
}
