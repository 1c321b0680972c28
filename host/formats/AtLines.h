// AT command lines as the handset sees them: cutting the bytes a host sends into lines, and
// showing a line's control bytes visibly (for `n95host commands` and the simulator's log).
//
// A command line ends with a carriage return. Pure helpers and a small splitter; not
// thread-safe.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace n95::host {

// The text with CR shown as "<CR>", LF as "<LF>" and any other control byte (and DEL) as
// "<hh>" in upper-case hex. Other bytes are kept as they are.
std::string VisibleText(std::string_view text);

// Collects bytes and cuts them into lines, each ending with its carriage return.
class TAtLineSplitter {
public:
    // Appends `size` bytes and returns the lines they completed (each with its CR).
    std::vector<std::string> Take(const char* data, std::size_t size);
    // Bytes received after the last CR (a line still being sent).
    const std::string& Unfinished() const { return Partial; }

private:
    std::string Partial;
};

}  // namespace n95::host
