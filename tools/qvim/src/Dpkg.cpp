#include "Dpkg.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>

#include "Kinds.h"
#include "Text.h"

namespace qvimcli {
namespace {

std::string trimmed(const std::string& text) {
    const size_t first = text.find_first_not_of(" \t");
    if (first == std::string::npos) return std::string();
    const size_t last = text.find_last_not_of(" \t\r");
    return text.substr(first, last - first + 1);
}

// "Status: install ok installed": the last word is the package's state.
bool isInstalled(const std::string& status) {
    const size_t space = status.find_last_of(' ');
    return (space == std::string::npos ? status : status.substr(space + 1)) == "installed";
}

bool finishStanza(std::map<std::string, std::string>& fields, DpkgPackage& package) {
    const std::string name = fields["Package"];
    const bool usable = !name.empty() && !fields["Version"].empty() && isInstalled(fields["Status"]);
    if (usable) {
        package = DpkgPackage();
        package.architecture = fields["Architecture"];
        package.name = name;
        if (fields["Multi-Arch"] == "same" && !package.architecture.empty()) package.name += ":" + package.architecture;
        package.version = fields["Version"];
        package.maintainer = fields["Maintainer"];
        // "Source: name (version)" names the source package and its version.
        const std::string source = fields["Source"];
        package.source = source.empty() ? name : source.substr(0, source.find(' '));
        package.installedSizeKiB = strtoull(fields["Installed-Size"].c_str(), nullptr, 10);
        package.key = package.name + "-" + package.version;
    }
    fields.clear();
    return usable;
}

}  // namespace

void DpkgPackage::toRecord(im_wrapper_event_s& record, uint32_t eventType) const {
    memset(&record, 0, sizeof record);
    record.entityType = kindName(ENTITY_INSTALLED_SOFTWARE);
    record.eventType = eventType;
    record.name = key.c_str();
    record.newKey = key.c_str();
    record.displayName = name.c_str();
    record.version = version.c_str();
    record.manufacturer = maintainer.c_str();
    record.parent = source.c_str();
    record.installedDate = installedDate.c_str();
    record.size = installedSizeKiB * 1024u;
}

std::vector<DpkgPackage> parseDpkgStatus(std::istream& in) {
    std::vector<DpkgPackage> packages;
    std::map<std::string, std::string> fields;
    std::string line;
    DpkgPackage package;
    while (std::getline(in, line)) {
        if (trimmed(line).empty()) {
            if (finishStanza(fields, package)) packages.push_back(std::move(package));
            continue;
        }
        if (line[0] == ' ' || line[0] == '\t') continue;  // continuation of a long field
        const size_t colon = line.find(':');
        if (colon == std::string::npos) continue;
        fields[line.substr(0, colon)] = trimmed(line.substr(colon + 1));
    }
    if (finishStanza(fields, package)) packages.push_back(std::move(package));
    return packages;
}

std::string dpkgAdminDir() {
    const char* dir = getenv("DPKG_ADMINDIR");
    return dir != nullptr && *dir != '\0' ? dir : "/var/lib/dpkg";
}

bool readDpkgPackages(const std::string& adminDir, std::vector<DpkgPackage>& packages, std::string& error) {
    const std::string statusPath = adminDir + "/status";
    std::ifstream in(statusPath);
    if (!in) {
        error = "cannot read " + statusPath + ": " + errorText(errno);
        return false;
    }
    packages = parseDpkgStatus(in);
    for (DpkgPackage& package : packages) {
        // The file list is written when the package is unpacked: its time is the install time.
        const std::string bare = package.name.substr(0, package.name.find(':'));
        const std::string candidates[] = {adminDir + "/info/" + bare + ":" + package.architecture + ".list",
                                          adminDir + "/info/" + bare + ".list"};
        for (const std::string& list : candidates) {
            struct stat st;
            if (stat(list.c_str(), &st) == 0) {
                package.installedDate = localTimeText(st.st_mtim.tv_sec);
                break;
            }
        }
    }
    return true;
}

}  // namespace qvimcli
