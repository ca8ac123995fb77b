// qvim state: reads or writes one of the engine's settings.
#include "Commands.h"

namespace qvimcli {

int runState(const Options& options, Session& session, Console& console, EventPrinter& printer) {
    bool found = false;
    const std::string value = session.setting(options.stateName.c_str(), &found);
    if (!found) {
        console.error("there is no setting named '" + options.stateName +
                      "'; 'qvim metrics' lists the settings under Settings");
        return kExitUsage;
    }
    if (options.stateAction == "get") {
        printer.line(value);
        return kExitOk;
    }
    if (!session.setSetting(options.stateName.c_str(), options.stateValue)) {
        console.error("could not write the setting '" + options.stateName + "' (details in " + session.logPath() +
                      ")");
        return kExitFailure;
    }
    return kExitOk;
}

}  // namespace qvimcli
