// How the tools word and print what went wrong.
//
// SystemError builds the message of a failed system call from what was being done and the
// errno value: SystemError("cannot open capture " + path, errno) gives
// "cannot open capture d.pcap: No such file or directory". Every "cannot ..." message of the
// host tools is made this way, so they all read alike.
//
// PrintError and PrintWarning write one message to standard error, prefixed with the
// program's name ("n95host: ...", "n95host: warning: ..."); PrintNote writes a message
// that is neither (a live run's "trace confirmed"), to standard error or another stream.
// A message may span lines: its continuation lines are printed as they are.
//
// SetProgramName is called once by main before anything is printed; the print functions may
// then be called from any thread (each message is one stdio call).
//
// Quiet mode (-q): notes and warnings are not printed; errors are, and so are the warnings
// printed with PrintStatusWarning, which explain a non-zero exit status. Every error and
// warning, printed or not, is also kept (RecordedMessages) for a machine-readable summary.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

namespace n95::host {

std::string SystemError(const std::string& context, int errnum);

void SetProgramName(const char* name);
void PrintError(const std::string& message);
void PrintWarning(const std::string& message);
// A warning that explains why the exit status is not 0: printed even in quiet mode.
void PrintStatusWarning(const std::string& message);
void PrintNote(const std::string& message, FILE* out = stderr);

void SetQuiet(bool quiet);
bool Quiet();
// Every error and warning so far, in order, as printed ("warning: " before a warning), without
// the program's name.
std::vector<std::string> RecordedMessages();

// The messages of one piece of work among several running at once (one capture of a replay
// of several): while a scope lives, the errors and warnings its thread prints start with
// its prefix ("b.pcap: "), and the scope keeps them too, without the prefix, for that
// work's own summary. Scopes nest (the innermost prefix is used). One thread; not movable.
class TMessageScope {
public:
    explicit TMessageScope(std::string prefix);
    ~TMessageScope();
    TMessageScope(const TMessageScope&) = delete;
    TMessageScope& operator=(const TMessageScope&) = delete;

    const std::string& Prefix() const { return Text; }
    // The errors and warnings printed within the scope, in order ("warning: " before a
    // warning).
    const std::vector<std::string>& Messages() const { return Kept; }
    void Keep(const std::string& message) { Kept.push_back(message); }

private:
    TMessageScope* Outer;
    std::string Text;
    std::vector<std::string> Kept;
};

}  // namespace n95::host
