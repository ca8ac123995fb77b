// The kinds of entity the engine stores, named once: the names its records
// and events use, the members that count them in its metrics and the words
// the program shows for them.
#pragma once

#include <array>
#include <string>

#include "qvim.h"

namespace qvimcli {

struct KindNames {
    entity_type kind;
    const char* name;         // "entityType" in records and events
    const char* countMember;  // its row count under "dbinfo" in the metrics
    const char* one;          // "1 file", "2 files" in summaries
    const char* many;
    const char* column;       // in the event table, where "InstalledSoftware" is too wide
};

// File to Process, in the engine's numbering.
extern const std::array<KindNames, 7> kStoredKinds;

// The row of a kind; null for ENTITY_ALL and ENTITY_UNKNOWN.
const KindNames* kindNames(entity_type kind);

// "File", "Directory", ... "InstalledSoftware", "Process"; "All" for 0.
const char* kindName(entity_type kind);

// The kind an "entityType" names exactly; ENTITY_UNKNOWN otherwise.
entity_type kindNamed(const std::string& name);

// The kind an "entityType" names, as the engine reads it: by the first letter
// ("Port" by four); ENTITY_UNKNOWN otherwise.
entity_type kindOfName(const char* name);

// "file", "Directory", "installedsoftware", "all" ... (any case) to a kind; false when unknown.
bool parseKind(const std::string& text, entity_type& kind);

}  // namespace qvimcli
