// A rig: several handsets driven in one live run, as a drive-test host drives them, each
// through its own decoder of the one loaded plug-in.
//
// Each handset runs RunLive on a thread of its own (THandsetThread: started when the rig
// runs, joined before Run returns), so the plug-in's calls for one decoder all come from one
// thread, as the plug-in requires, and one handset's faults are its own: a hang-up and its
// reconnect pauses, a garbage burst, a slow write block only that handset's thread. Each has
// its own port, capture, outputs and fix log; its duration counts from its own test start,
// and a handset whose run ends leaves the others running.
//
// The calling thread is the rig's: it owns the GPS source and shares it through a TFixHub,
// prints the source's notices, draws a status row per handset from the snapshots the runs
// publish, and turns a stop request (SIGINT, SIGTERM, SIGHUP) into the end of every run,
// after one last poll of the GPS so that the fixes up to the stop still reach each run.
//
// Messages of a handset's run are printed with its label first ("A: the port was lost ...");
// printing and the status line share one lock, so lines never mix.
#pragma once

#include <csignal>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "host/common/Progress.h"
#include "host/session/Live.h"

namespace n95::host {

// One handset of the rig: what the caller prepared for it, and what its run gave.
struct TLiveHandset {
    std::string Label;            // names it in messages and in the status rows
    TSerialPort* Port = nullptr;  // open; not owned
    // Its own limits, capture, fix log and frame log. The rig sets Gps, Monitor and Cancel
    // (and clears StopRequested and Status) before the run starts.
    TLiveOptions Options;
    // Receives its records, on the handset's thread.
    std::function<void(const TRecordRow&)> Sink;

    // Set by the run: its result, and false with a message in Error when RunLive failed.
    TLiveResult Result;
    bool Ok = false;
    std::string Error;
};

class TLiveRig {
public:
    // `gps` (nil: none) and `status` (nil: none) are used on the calling thread only; the
    // runs' messages go to `messages`.
    TLiveRig(const TPlugin& plugin, TFixSource* gps, TStatusLine* status, FILE* messages = stderr);
    TLiveRig(const TLiveRig&) = delete;
    TLiveRig& operator=(const TLiveRig&) = delete;

    // Runs every handset until each run has ended by itself or `stopRequested` (nil: never)
    // is set; returns once every thread is joined, with each handset's Result, Ok and Error
    // filled in. The handsets must stay put while it runs.
    void Run(std::vector<TLiveHandset>& handsets, const volatile std::sig_atomic_t* stopRequested);

private:
    const TPlugin& Plugin;
    TFixSource* Gps;
    TStatusLine* Status;
    FILE* Messages;
};

// The status rows of the handsets, one line each: "A  testing  980 fr/s  12034 records".
std::string FormatStatusRows(const std::vector<std::string>& labels,
                             const std::vector<TLiveSnapshot>& snapshots);

}  // namespace n95::host
