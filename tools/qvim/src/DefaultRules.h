// The sample ruleset (examples/rules/default.json), built into the program for
// the demo.
#pragma once

namespace qvimcli {

extern const char* const kDefaultRuleset;

}  // namespace qvimcli
