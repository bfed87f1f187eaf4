#include "provisioning/validation_string.h"

#include "bootstrap/installer_constants.h"

#include <cstdio>
#include <fstream>
#include <sys/stat.h>

namespace qz {

void writeValidationString(std::string directory, std::string validationString) {
    if (directory.empty() || validationString.empty()) {
        return;
    }
    const std::string path = directory + PATH_SEPARATOR + VALIDATION_STRING_FILE;
    if (std::FILE* file = std::fopen(path.c_str(), "w")) {
        std::fwrite(validationString.data(), 1, validationString.size(), file);
        std::fclose(file);
    }
}

std::string readValidationString(std::string directory) {
    const std::string path = directory + PATH_SEPARATOR + VALIDATION_STRING_FILE;
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        return std::string();
    }
    std::ifstream file(path);
    std::string stored;
    if (file.is_open()) {
        std::getline(file, stored, '\n');
    }
    return stored;
}

bool isCacheValid(std::string directory, std::string validationString) {
    if (validationString.empty()) {
        return false;
    }
    return readValidationString(directory) == validationString;
}

} // namespace qz
