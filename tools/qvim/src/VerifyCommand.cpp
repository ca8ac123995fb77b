// qvim verify: whether the baseline is the one last accepted.
#include "Commands.h"

#include "Text.h"

namespace qvimcli {
namespace {

std::string signedText(const SealCheck& check, const SealKey* key) {
    if (!check.seal.isSigned) return "not signed";
    return key != nullptr ? "signature checked" : "signed, signature not checked (no --key)";
}

}  // namespace

int runVerify(const Options& options, const SealKey* key, Console& console, EventPrinter& printer) {
    const std::string dbPath = databasePathOf(options);
    const SealCheck check = checkSeal(dbPath, key);
    for (const std::string& warning : check.warnings) console.warning(warning);
    if (!check.digest.empty()) printer.line("Baseline '" + printable(dbPath) + "': sha256:" + check.digest);
    switch (check.verdict) {
        case SealVerdict::Valid:
            printer.line("Sealed " + check.seal.time + " (" + signedText(check, key) +
                         "): the baseline is the one last accepted.");
            return kExitOk;
        case SealVerdict::Unsealed: console.warning("WARNING: " + check.message); return kExitOk;
        case SealVerdict::Tampered: console.error(check.message); return kExitTampered;
        case SealVerdict::InUse: console.error(check.message + "; verify it again when that run has ended"); return kExitFailure;
        default: console.error(check.message); return kExitFailure;
    }
}

}  // namespace qvimcli
