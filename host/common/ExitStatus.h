// The exit statuses of n95host and n95sim (documented in --help and docs/host-tool.md).
#pragma once

namespace n95::host {

enum TExitStatus : int {
    kExitOk = 0,
    // Finished, but incomplete: the capture ended in a truncated or damaged packet (what was
    // complete was replayed), no record came out, most chunks do not start with a whole trace
    // frame (the capture did not keep them as read), no record lies within the GPS track's
    // time span, `commands` gave no line, or the handset's port was lost during a live run
    // and could not be reopened (what was read is written).
    kExitIncomplete = 1,
    kExitUsage = 2,        // bad command line (an output that is an input or another output too)
    kExitInputError = 3,   // an input file is missing, unreadable or not what it should be
    kExitPluginError = 4,  // the plug-in could not be loaded
    // an output cannot be written (a folder, a missing folder, a failed write: a full device,
    // a FIFO whose reader left), or the plug-in raised an error
    kExitOutputError = 5,
    // live: the handset's port cannot be opened, or the trace was not confirmed
    kExitDeviceError = 6,
    kExitInterrupted = 130,
};

inline constexpr const char* kExitStatusHelp =
    "Exit status: 0 ok; 1 finished but incomplete (truncated or damaged capture: the\n"
    "complete chunks were replayed; no record came out; most chunks do not start with a\n"
    "whole trace frame; no record lies within the GPS track's time span; no command line;\n"
    "live: the port was lost and could not be reopened); 2 usage error (an output that is\n"
    "an input or another output too); 3 input file missing, unreadable or invalid (nothing\n"
    "is written); 4 plug-in cannot be loaded; 5 output cannot be written (a folder, a missing\n"
    "folder, a failed write) or the plug-in raised an error; 6 (live) the port cannot be\n"
    "opened or the handset's trace was not confirmed; 130 interrupted (SIGINT, SIGTERM,\n"
    "SIGHUP, SIGPIPE).\n"
    "Outputs: a file is written without a name and renamed into place at the end, so a\n"
    "failed, stopped or killed replay leaves none of them behind; a symbolic link stays a\n"
    "link and its target is replaced. \"-\" is standard output (one output at most; the\n"
    "summary then goes to standard error); a device, FIFO or socket is written straight.\n"
    "A live run keeps its capture always, and its outputs once the test has started (a\n"
    "live run ends normally with Ctrl-C: status 0; a lost port: 1).";

// What each subcommand can return, for its own --help (the texts above are the whole tool's).
inline constexpr const char* kReplayExitHelp =
    "Exit status: 0 ok; 1 finished but incomplete (a truncated or damaged capture: the\n"
    "complete chunks were replayed; no record came out; most chunks do not start with a\n"
    "whole trace frame; no record lies within the GPS track's time span); 2 usage error (also\n"
    "an output that is an input or another output); 3 the capture or the track is missing,\n"
    "unreadable or invalid (nothing is written); 4 the plug-in cannot be loaded; 5 an output\n"
    "cannot be written or the plug-in raised an error (no output file is left behind);\n"
    "130 interrupted (SIGINT, SIGTERM, SIGHUP, SIGPIPE; no output file is written).";
inline constexpr const char* kLiveExitHelp =
    "Exit status: 0 ok (the drive ended with Ctrl-C, SIGTERM or --duration); 1 the port\n"
    "was lost and could not be reopened, or no record came out (what was read is written);\n"
    "2 usage error (also an output that is the device, the GPS or another output, or a\n"
    "capture file that exists already); 3 the GPS source cannot be opened; 4 the plug-in cannot be "
    "loaded; 5 an output cannot be written\n"
    "or the plug-in raised an error; 6 the port cannot be opened or the handset's trace was\n"
    "not confirmed; 130 stopped before the trace was confirmed. The capture is kept always,\n"
    "the other outputs once the test has started. Several handsets: each has its own status\n"
    "by these rules and the run's is the most severe of them, in the order 5, 6, 130, 1, 0;\n"
    "2, 3 and 4 come before any handset is touched.";
inline constexpr const char* kCommandsExitHelp =
    "Exit status: 0 ok; 1 the plug-in gives no line for that numeric code; 2 usage error (an\n"
    "unknown action, a parameter the action does not take, a value that is not a number or\n"
    "out of range, a refused dial character); 4 the plug-in cannot be loaded; 5 the plug-in\n"
    "raised an error or gave no decoder.";
inline constexpr const char* kInfoExitHelp =
    "Exit status: 0 ok; 4 the plug-in cannot be loaded; 5 the plug-in raised an error.";

}  // namespace n95::host
