// The AT command catalogue: 93 standard AT commands (modem settings, call control, data
// bearer, messaging, phonebook, identification, network and supplementary services,
// equipment control, fax, packet data), each with a short description.
//
// CmdTable holds the rows; CmdList indexes them by position. Both are built when the
// library is loaded (static initialisation, before any export can be called) and released
// when it is unloaded; in between they never change, so any thread may read them without a
// lock. The test-control builder takes rows 0, 1 and 2 by position; nothing else reads
// the catalogue, and nothing looks a row up by its text.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// One catalogue row.
struct TCmdEntry {
    // The command as written after "AT"; holds at most one "%s", standing for a parameter.
    std::string Template;
    // 0 or 1. Stored with the row; nothing reads it.
    uint8_t Flag;
    // The command's human-readable name.
    std::string Description;
};

// The rows, indexed 0 to 92.
extern const TCmdEntry CmdTable[93];

// One CmdList entry: a row's description and the row itself. The list does not own rows.
struct TCmdListEntry {
    std::string Text;
    const TCmdEntry* Row;
};

// An ordered, unsorted list with one entry per CmdTable row: entry i describes row i.
class TCmdList {
public:
    // Adds every CmdTable row in index order. CmdTable must already be constructed.
    TCmdList();

    int32_t Count() const { return static_cast<int32_t>(Entries.size()); }
    // Entry Index's description and row. Precondition: 0 <= Index < Count(); an index out
    // of range throws std::out_of_range.
    const std::string& Description(int32_t Index) const;
    const TCmdEntry& Row(int32_t Index) const;

private:
    std::vector<TCmdListEntry> Entries;
};

// The catalogue's index, built at load and released at unload (before the rows).
extern const TCmdList CmdList;

namespace n95 {

// A row as a command line: "AT", the Template with its "%s" (if any) replaced by Param,
// and one carriage return. A Template without "%s" ignores Param.
std::string MakeCommandLine(const TCmdEntry& Row, const std::string& Param);

}  // namespace n95
