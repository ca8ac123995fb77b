// Installed packages from dpkg's status database, for hosts whose packages the
// engine's own scan cannot see.
#pragma once

#include <cstdint>
#include <istream>
#include <string>
#include <vector>

#include "qvim.h"

namespace qvimcli {

struct DpkgPackage {
    std::string name;  // ":arch" added for co-installable (Multi-Arch: same) packages
    std::string version;
    std::string architecture;
    std::string maintainer;
    std::string source;  // the source package; the package itself when the field is absent
    uint64_t installedSizeKiB = 0;
    std::string installedDate;  // local time the package's file list was written
    std::string key;            // "name-version", the entity key

    // Fills record (cleared first) with pointers into this package.
    void toRecord(im_wrapper_event_s& record, uint32_t eventType) const;
};

// The installed packages of one status file. Stanzas of packages that are not
// fully installed are left out; install dates are not filled.
std::vector<DpkgPackage> parseDpkgStatus(std::istream& in);

// dpkg's administrative folder: $DPKG_ADMINDIR or /var/lib/dpkg.
std::string dpkgAdminDir();

// The installed packages with their install dates (from info/NAME.list).
// False with a reason when the status file cannot be read.
bool readDpkgPackages(const std::string& adminDir, std::vector<DpkgPackage>& packages, std::string& error);

}  // namespace qvimcli
