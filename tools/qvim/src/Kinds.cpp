#include "Kinds.h"

#include <strings.h>

namespace qvimcli {

const std::array<KindNames, 7> kStoredKinds = {{
    {ENTITY_FILE, "File", "fileItemCount", "file", "files", "File"},
    {ENTITY_DIRECTORY, "Directory", "directoryItemCount", "directory", "directories", "Directory"},
    {ENTITY_USER, "User", "userItemCount", "user", "users", "User"},
    {ENTITY_GROUP, "Group", "userGroupItemCount", "group", "groups", "Group"},
    {ENTITY_PORT, "Port", "portItemCount", "port", "ports", "Port"},
    {ENTITY_INSTALLED_SOFTWARE, "InstalledSoftware", "installedSoftwareItemCount", "package", "packages", "Package"},
    {ENTITY_PROCESS, "Process", "processItemCount", "process", "processes", "Process"},
}};

const KindNames* kindNames(entity_type kind) {
    for (const KindNames& names : kStoredKinds)
        if (names.kind == kind) return &names;
    return nullptr;
}

const char* kindName(entity_type kind) {
    if (kind == ENTITY_ALL) return "All";
    const KindNames* names = kindNames(kind);
    return names != nullptr ? names->name : "Unknown";
}

entity_type kindNamed(const std::string& name) {
    for (const KindNames& names : kStoredKinds)
        if (name == names.name) return names.kind;
    return ENTITY_UNKNOWN;
}

entity_type kindOfName(const char* name) {
    if (name == nullptr) return ENTITY_UNKNOWN;
    switch (name[0]) {
        case 'F': return ENTITY_FILE;
        case 'D': return ENTITY_DIRECTORY;
        case 'U': return ENTITY_USER;
        case 'G': return ENTITY_GROUP;
        case 'I': return ENTITY_INSTALLED_SOFTWARE;
        case 'P': return std::string(name).compare(1, 3, "ort") == 0 ? ENTITY_PORT : ENTITY_PROCESS;
        default: return ENTITY_UNKNOWN;
    }
}

bool parseKind(const std::string& text, entity_type& kind) {
    if (strcasecmp(text.c_str(), kindName(ENTITY_ALL)) == 0) {
        kind = ENTITY_ALL;
        return true;
    }
    for (const KindNames& names : kStoredKinds) {
        if (strcasecmp(text.c_str(), names.name) == 0) {
            kind = names.kind;
            return true;
        }
    }
    return false;
}

}  // namespace qvimcli
