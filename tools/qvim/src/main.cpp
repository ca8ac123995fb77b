// qvim: a host program for qvim.so.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "Cli.h"
#include "Commands.h"
#include "EventSinks.h"
#include "Output.h"
#include "Text.h"

namespace {

// The library writes diagnostic lines to standard output. The program keeps a
// private copy of the real standard output for its own output and sends the
// library's lines to /dev/null (or to the log with -vv).
FILE* takeStandardOutput() {
    int own = fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
    if (own < 0) own = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    const int devNull = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (devNull >= 0) {
        dup2(devNull, STDOUT_FILENO);
        ::close(devNull);
    }
    FILE* out = fdopen(own, "w");
    return out != nullptr ? out : stderr;
}

}  // namespace

int main(int argc, char** argv) {
    FILE* out = takeStandardOutput();
    std::vector<std::string> args(argv + 1, argv + argc);
    qvimcli::Options options;
    const std::string error = qvimcli::parseArguments(args, options);
    if (!error.empty()) {
        // The reason quotes the argument, which may hold anything.
        fprintf(stderr, "%s\n", qvimcli::printable(error).c_str());
        return qvimcli::kExitUsage;
    }
    int status;
    {
        qvimcli::Console console(stderr, options.quiet(), true);
        console.setRepeatedLimit(options.verbosity > 0 ? static_cast<size_t>(-1) : 5);
        qvimcli::EventPrinter printer(out, options.json);
        printer.setFullDigests(options.verbosity > 0);
        printer.setBeforeOutput([&console] { console.clearProgressLine(); });
        qvimcli::EventSinks sinks;
        const std::string sinkError = sinks.attach(options, printer, console);
        if (sinkError.empty()) {
            status = qvimcli::runCommand(options, console, printer);
        } else {
            console.error(sinkError);
            status = qvimcli::kExitFailure;
        }
        printer.flush();
        // Events that reached the output but not every destination: the run failed.
        for (const std::string& line : sinks.undelivered()) {
            console.error(line);
            status = qvimcli::kExitFailure;
        }
    }
    if (fflush(out) != 0 && status == qvimcli::kExitOk) status = qvimcli::kExitFailure;
    return status;
}
