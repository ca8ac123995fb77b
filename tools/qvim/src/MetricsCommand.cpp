// qvim metrics: the engine's counters and settings, and the row counts other
// commands sum up.
#include "Commands.h"

#include <cmath>
#include <cstdio>
#include <cstring>

#include "Kinds.h"

namespace qvimcli {
namespace {

std::string numberText(const cJSON* item) {
    char text[64];
    const double value = item->valuedouble;
    if (std::floor(value) == value && std::fabs(value) < 1e18)
        snprintf(text, sizeof text, "%lld", static_cast<long long>(value));
    else
        snprintf(text, sizeof text, "%g", value);
    return text;
}

std::string valueText(const cJSON* item) {
    if (cJSON_IsNumber(item)) return numberText(item);
    if (cJSON_IsString(item)) return item->valuestring;
    return std::string();
}

std::string row(const std::string& name, const std::string& value) {
    const size_t width = 34;
    return "  " + name + std::string(name.size() < width ? width - name.size() : 1, ' ') + value;
}

JsonPtr metricsDocument(Engine& engine) {
    EngineText text;
    if (!engine.metrics(text).ok()) return JsonPtr();
    return JsonPtr(cJSON_Parse(text.get()));
}

}  // namespace

std::vector<std::string> formatMetrics(const cJSON* document, bool brief) {
    static const struct {
        const char* member;
        const char* title;
    } kSections[] = {{"assignedRules", "Events per rule"},
                     {"unassignedRules", "Events per rule no longer installed"},
                     {"dbinfo", "Database"},
                     {"integrityMonitorState", "Settings"}};
    std::vector<std::string> lines;
    const cJSON* metrics = cJSON_GetObjectItemCaseSensitive(document, "metrics");
    if (!cJSON_IsObject(metrics)) return lines;
    lines.push_back("Counters");
    const cJSON* item = nullptr;
    cJSON_ArrayForEach(item, metrics) {
        if (cJSON_IsNumber(item)) lines.push_back(row(item->string, numberText(item)));
    }
    for (const auto& section : kSections) {
        if (brief && strcmp(section.member, "integrityMonitorState") == 0) continue;
        const cJSON* object = cJSON_GetObjectItemCaseSensitive(metrics, section.member);
        if (!cJSON_IsObject(object) || object->child == nullptr) continue;
        lines.push_back(section.title);
        cJSON_ArrayForEach(item, object) { lines.push_back(row(item->string, valueText(item))); }
    }
    return lines;
}

std::string baselineCounts(Engine& engine) {
    JsonPtr document = metricsDocument(engine);
    const cJSON* dbinfo =
        cJSON_GetObjectItemCaseSensitive(cJSON_GetObjectItemCaseSensitive(document.get(), "metrics"), "dbinfo");
    std::string text;
    for (const KindNames& count : kStoredKinds) {
        const cJSON* item = cJSON_GetObjectItemCaseSensitive(dbinfo, count.countMember);
        if (!cJSON_IsNumber(item) || item->valuedouble <= 0) continue;
        if (!text.empty()) text += ", ";
        text += numberText(item) + " " + (item->valuedouble == 1 ? count.one : count.many);
    }
    return text.empty() ? std::string("no entities") : text;
}

int runMetrics(const Options& options, Session& session, Console& console, EventPrinter& printer, bool brief) {
    EngineText text;
    const EngineResult status = session.engine().metrics(text);
    if (!status.ok()) {
        console.error("the engine gave no metrics: " + status.text() + " (details in " + session.logPath() + ")");
        return kExitFailure;
    }
    if (options.json) {
        printer.rawLine(text.get());
    } else {
        JsonPtr document(cJSON_Parse(text.get()));
        for (const std::string& line : formatMetrics(document.get(), brief)) printer.line(line);
    }
    return kExitOk;
}

}  // namespace qvimcli
