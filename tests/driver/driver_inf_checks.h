// Checks of the driver's INF against what the rest of the system says: the camera's USB ids,
// the driver's file name, the filter's categories and reference string, and the platform's
// rules for a kernel-streaming capture driver's INF.
#pragma once

#include "inf_file.h"

#include <string>
#include <vector>

namespace inftest {

struct DriverInfFacts {
    std::string hardwareId;               // USB\VID_xxxx&PID_yyyy of the camera
    std::string sysFileName;              // the driver binary's file name
    std::vector<std::string> categories;  // "{...}" of every category the filter registers under
    std::string referenceString;          // the filter factory's reference string
};

// Every problem found, one sentence each; empty when the INF installs the driver correctly.
std::vector<std::string> CheckDriverInf(const inf::File& file, const DriverInfFacts& facts);

}  // namespace inftest
