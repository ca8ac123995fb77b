// qvim export: the baseline's rows as JSON lines.
#include "Commands.h"

#include <cstdio>

#include "Baseline.h"
#include "SafeFiles.h"
#include "Text.h"

namespace qvimcli {

int runExport(const Options& options, Session& session, Console& console, EventPrinter& printer) {
    Ruleset ruleset;
    if (!installRecordedRuleset(session, console, ruleset)) return kExitUsage;
    const bool toStandardOutput = options.out == "-";
    // An existing file is replaced whole once the export is complete: a failed
    // export leaves it as it was, and a link in its place is never followed.
    ReplacingFile file;
    std::string error;
    if (!toStandardOutput && !file.open(options.out, error)) {
        console.error("cannot write '" + options.out + "': " + error + "; choose another file with --out");
        return kExitFailure;
    }
    FILE* out = file.stream();
    uint64_t rows = 0;
    const bool ok = forEachBaselineRow(
        session.engine(), options.kind, options.since, parentFolder(session.dbPath()),
        [&](const std::string& line, const cJSON*) {
            if (out != nullptr) {
                fputs(line.c_str(), out);
                fputc('\n', out);
            } else {
                printer.rawLine(line);
            }
            ++rows;
            return true;
        },
        error);
    if (!ok) {
        console.error(error);
        return kExitFailure;
    }
    if (out != nullptr && !file.commit(error)) {
        console.error("could not write all of '" + options.out + "': " + error);
        return kExitFailure;
    }
    if (!toStandardOutput)
        console.note("Exported " + std::to_string(rows) + (rows == 1 ? " entity" : " entities") + " to " +
                     options.out);
    return kExitOk;
}

}  // namespace qvimcli
