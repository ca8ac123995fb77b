// qvim events: what the evidence journal holds.
#include "Commands.h"

#include "Journal.h"
#include "Text.h"

namespace qvimcli {

// Events read back from the journal, oldest first.
int runEvents(const Options& options, Console& console, EventPrinter& printer) {
    const std::string db = databasePathOf(options);
    size_t skipped = 0;
    size_t notEvents = 0;
    size_t shown = 0;
    std::string error;
    const bool read = readJournal(
        db,
        [&](const std::string& line) {
            JsonPtr event(cJSON_Parse(line.c_str()));
            if (!cJSON_IsObject(event.get())) {
                ++notEvents;
                return;
            }
            // The digests of accepted baselines travel with the events.
            const cJSON* accepted = cJSON_GetObjectItemCaseSensitive(event.get(), "baselineAccepted");
            if (cJSON_IsObject(accepted)) {
                const cJSON* digest = cJSON_GetObjectItemCaseSensitive(accepted, "sha256");
                const cJSON* when = cJSON_GetObjectItemCaseSensitive(accepted, "time");
                uint64_t at = 0;
                if (options.since > 0 && !(cJSON_IsString(when) && parseTimeText(when->valuestring, at) &&
                                           at >= options.since))
                    return;
                if (printer.json())
                    printer.rawLine(line);
                else if (cJSON_IsString(digest) && cJSON_IsString(when))
                    printer.line("Baseline accepted " + printable(when->valuestring) + ": sha256:" +
                                 printable(digest->valuestring));
                return;
            }
            const cJSON* time = cJSON_GetObjectItemCaseSensitive(event.get(), "eventTime");
            if (options.since > 0 && (!cJSON_IsNumber(time) || time->valuedouble < static_cast<double>(options.since)))
                return;
            printer.printEvent(event.get());
            ++shown;
        },
        skipped, error);
    if (!read) {
        console.error("cannot read the evidence journal beside '" + db + "': " + error);
        return kExitFailure;
    }
    if (skipped + notEvents > 0)
        console.warning(std::to_string(skipped + notEvents) +
                        " lines of the journal are not events (too long, cut short by a crash, or not JSON)");
    if (shown == 0 && !printer.json()) printer.line("No events.");
    return kExitOk;
}

}  // namespace qvimcli
