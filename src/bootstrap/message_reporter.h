#pragma once

#include <functional>
#include <string>

namespace qz {

// Every console message passes through one of these; callers never write to the console.
using MessageReporter = void (*)(const std::string& message, bool isError);

void report_message_to_console(const std::string& message, bool isError);
void report_message_main(const std::string& message, bool isError);

// The terminal's one in-place line (the download's progress line) is ended, by the function its
// owner gives here, before anyone else writes to the terminal, so that what they write starts on
// a line of its own. An empty function: no line is owned. Main thread only.
void ownInPlaceLine(std::function<void()> end);
void endInPlaceLine();

} // namespace qz
