#pragma once

#include "base/result.h"

#include <string>

namespace qz::platform {

// Whether the program file at `executable` carries an installer's resources inside it (a
// single-file installer, see carried_layout.h): it is not as long as its program image. Reads the
// program's headers only; a file that cannot be read carries nothing.
bool carriesResources(const std::string& executable);

// Checks the single-file installer at `executable` against its digest and unpacks its resources
// into `folder` (made, owner-only): the small ones as they were, the install agent archive as
// InstallAgent.zip, and bundle.zip as a symbolic link to the file itself, which reads as the
// product archive (no copy of it). A failure says, for the user, that the file is damaged or
// that the folder could not be written.
Result<> unpackCarriedResources(const std::string& executable, const std::string& folder);

} // namespace qz::platform
