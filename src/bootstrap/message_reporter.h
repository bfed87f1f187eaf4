#pragma once

#include <string>

namespace qz {

// Every console message passes through one of these; callers never write to the console.
using MessageReporter = void (*)(const std::string& message, bool isError);

void report_message_to_console(const std::string& message, bool isError);
void report_message_main(const std::string& message, bool isError);

} // namespace qz
