// Matching cost against the size of the ruleset: File sets spread over
// distinct bases, file keys under one of them. The base index should keep
// the cost of a match nearly independent of the number of rules.
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <unordered_set>
#include <vector>

#include "BenchReport.h"
#include "IMEngineHandleConcrete.h"
#include "QVIMEventAbstraction.h"
#include "QVIMIntegrityRuleFilter.h"
#include "QVIMLogger.h"
#include "QVIMStats.h"

namespace {

using Clock = std::chrono::steady_clock;

std::string baseOf(int i) {
    char text[32];
    std::snprintf(text, sizeof text, "/dir%05d/", i);
    return text;
}

std::string makeRuleset(int rules) {
    std::string text = "{\"IntegrityRules\":[";
    for (int i = 0; i < rules; ++i) {
        if (i) text += ',';
        text += "{\"id\":" + std::to_string(i + 1) + ",\"name\":\"rule " + std::to_string(i + 1) +
                "\",\"EntitySets\":[{\"entityType\":\"File\",\"base\":\"" + baseOf(i) +
                "\",\"includes\":\"**/*.conf;*.ini\",\"excludes\":\"*.tmp\"}]}";
    }
    return text + "]}";
}

// Standard output goes to /dev/null while measuring: every selected set is
// dumped there.
class QuietStdout {
public:
    QuietStdout() {
        std::fflush(stdout);
        m_saved = ::dup(STDOUT_FILENO);
        const int null = ::open("/dev/null", O_WRONLY);
        if (null >= 0) {
            ::dup2(null, STDOUT_FILENO);
            ::close(null);
        }
    }
    ~QuietStdout() {
        std::fflush(stdout);
        if (m_saved >= 0) {
            ::dup2(m_saved, STDOUT_FILENO);
            ::close(m_saved);
        }
    }

private:
    int m_saved = -1;
};

struct Result {
    int rules;
    double installMs;
    double matchesPerSecond;
};

Result measure(IMEngineHandleConcrete& engine, int rules) {
    const std::string text = makeRuleset(rules);
    QVIMStats stats;
    IntegrityRuleFilter filter;
    Result result{rules, 0, 0};
    std::vector<std::unique_ptr<QVIMEvent>> records;
    {
        QuietStdout quiet;
        const auto start = Clock::now();
        if (!filter.setRules(stats, text.c_str(), "bench")) std::fprintf(stderr, "ruleset not installed\n");
        result.installMs = std::chrono::duration<double, std::milli>(Clock::now() - start).count();

        // Keys under the base of rule 6, present in every size.
        const std::string base = baseOf(5);
        for (int i = 0; i < 64; ++i) {
            const std::string path = base + "app/sub" + std::to_string(i % 4) + "/file" + std::to_string(i) +
                                     (i % 3 == 0 ? ".tmp" : ".conf");
            im_wrapper_event_s record{};
            record.entityType = "File";
            record.eventType = QVIM_EVENT_CHANGED;
            record.path = path.c_str();
            records.emplace_back(QVIMEvent::factory(engine, &record));
        }

        std::unordered_set<long long> ids;
        size_t matched = 0;
        long long calls = 0;
        const auto begin = Clock::now();
        const auto until = begin + std::chrono::milliseconds(400);
        while (Clock::now() < until) {
            for (const auto& entity : records) {
                ids.clear();
                filter.matchRules(ENTITY_FILE, *entity, false, ids);
                matched += ids.size();
            }
            calls += static_cast<long long>(records.size());
        }
        const double seconds = std::chrono::duration<double>(Clock::now() - begin).count();
        result.matchesPerSecond = static_cast<double>(calls) / seconds;
        if (matched == 0) std::fprintf(stderr, "no key matched\n");
    }
    return result;
}

}  // namespace

int main() {
    QVIMLoggerSL::getInstance().setLevelMask(QVIM_LOG_ERROR);
    IMEngineHandleConcrete engine;
    std::vector<Result> results;
    for (int rules : {10, 1000, 10000}) results.push_back(measure(engine, rules));

    std::printf("%-8s %14s %16s\n", "rules", "install ms", "matches/s");
    for (const Result& r : results) std::printf("%-8d %14.2f %16.0f\n", r.rules, r.installMs, r.matchesPerSecond);
    const double ratio = results.front().matchesPerSecond / results.back().matchesPerSecond;
    std::printf("time per match, 10000 rules / 10 rules: %.2f (limit 3)\n", ratio);
    std::printf("install of 10000 rules: %.1f ms\n", results.back().installMs);
    benchResult("rule matching, 1 000 rules", results[1].matchesPerSecond, "matches/s", "10 rules",
                results.front().matchesPerSecond, results[1].matchesPerSecond / results.front().matchesPerSecond, "-");
    benchResult("rule matching, 10 000 rules", results.back().matchesPerSecond, "matches/s", "10 rules",
                results.front().matchesPerSecond, 1.0 / ratio, ">= 0.33 (slowdown < 3x)");
    benchResult("install of 10 000 rules", results.back().installMs, "ms", "-", 0, 0, "-");
    return ratio < 3.0 ? 0 : 1;
}
