#include "provisioning/endpoint_url_file.h"

#include "base/translation.h"

#include <fstream>
#include <sys/stat.h>

namespace qz {

std::string readEndpointUrlFile(std::string path, MessageReporter reporter) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        return std::string();
    }
    std::ifstream file(path);
    if (!file.is_open()) {
        reporter(_("Failed to open install agent URL file"), true);
        return std::string();
    }
    std::string url;
    std::getline(file, url, '\n');
    return url;
}

} // namespace qz
