#include "host/session/LiveRig.h"

#include <algorithm>
#include <atomic>
#include <exception>
#include <mutex>
#include <thread>

#include "host/common/Diagnostics.h"
#include "host/common/RunClock.h"
#include "host/session/FixHub.h"

namespace n95::host {

namespace {

// How often the status rows are redrawn, and the longest wait of the rig's thread (stop
// requests and the GPS are looked at this often).
constexpr double kDrawIntervalSeconds = 1.0;
constexpr int kMaxWaitMs = 100;

// The console the handsets share: their messages and the status rows, behind one lock.
class TRigConsole {
public:
    TRigConsole(TStatusLine* status, FILE* messages, std::vector<std::string> labels)
        : Status(status),
          Messages(messages),
          Labels(std::move(labels)),
          Snapshots(Labels.size(), TLiveSnapshot{"connecting", 0, 0.0, 0.0, ""}) {}

    // A handset's message, with its label first; `index` -1: the rig's own.
    void Report(int index, const std::string& text) {
        const std::lock_guard<std::mutex> guard(Lock);
        if (Status != nullptr)
            Status->Clear();
        if (Messages != nullptr)
            PrintNote(index < 0 ? text : Labels[static_cast<std::size_t>(index)] + ": " + text,
                      Messages);
    }

    void Publish(int index, const TLiveSnapshot& snapshot) {
        const std::lock_guard<std::mutex> guard(Lock);
        if (Snapshots[static_cast<std::size_t>(index)].State != "ended")
            Snapshots[static_cast<std::size_t>(index)] = snapshot;
    }

    void MarkEnded(std::size_t index) {
        const std::lock_guard<std::mutex> guard(Lock);
        Snapshots[index].State = "ended";
        Snapshots[index].FramesPerSecond = Snapshots[index].BytesPerSecond = 0.0;
    }

    void Draw() {
        const std::lock_guard<std::mutex> guard(Lock);
        if (Status != nullptr && Status->IsEnabled())
            Status->Show(FormatStatusRows(Labels, Snapshots));
    }

    void Clear() {
        const std::lock_guard<std::mutex> guard(Lock);
        if (Status != nullptr)
            Status->Clear();
    }

private:
    std::mutex Lock;
    TStatusLine* Status;
    FILE* Messages;
    const std::vector<std::string> Labels;
    std::vector<TLiveSnapshot> Snapshots;  // guarded by Lock
};

class THandsetMonitor final : public TLiveMonitor {
public:
    THandsetMonitor(TRigConsole& console, int index) : Console(console), Index(index) {}
    void Report(const std::string& text) override { Console.Report(Index, text); }
    void Publish(const TLiveSnapshot& snapshot) override { Console.Publish(Index, snapshot); }

private:
    TRigConsole& Console;
    int Index;
};

// One handset's run on a thread of its own, started at once. The owner ends the run through
// the handset's Cancel flag; the destructor joins the thread, after which the handset's
// result is the owner's to read.
class THandsetThread {
public:
    THandsetThread(const TPlugin& plugin, TLiveHandset& handset, TLiveMonitor& monitor)
        : Thread([this, &plugin, &handset, &monitor] { Execute(plugin, handset, monitor); }) {}
    ~THandsetThread() { Thread.join(); }
    THandsetThread(const THandsetThread&) = delete;
    THandsetThread& operator=(const THandsetThread&) = delete;

    bool Done() const { return Finished.load(std::memory_order_acquire); }

private:
    void Execute(const TPlugin& plugin, TLiveHandset& handset, TLiveMonitor& monitor) {
        try {
            handset.Ok = RunLive(plugin, *handset.Port, handset.Options, handset.Sink,
                                 handset.Result, &handset.Error);
        } catch (const std::exception& e) {
            handset.Ok = false;
            handset.Error = std::string("the live run stopped: ") + e.what();
        }
        for (TRunEvent& event : handset.Result.Events)
            event.Handset = handset.Label;
        // A run that a fault ended, while the others go on, says so at once; the summaries
        // tell the rest.
        const TLiveEnd end = handset.Result.End;
        if (!handset.Ok)
            monitor.Report(handset.Error);
        else if (end != TLiveEnd::Duration && end != TLiveEnd::Stopped)
            monitor.Report(DescribeEnd(handset.Result, handset.Options));
        Finished.store(true, std::memory_order_release);
    }

    std::atomic<bool> Finished{false};
    std::thread Thread;  // last: started once the flag exists
};

}  // namespace

TLiveRig::TLiveRig(const TPlugin& plugin, TFixSource* gps, TStatusLine* status, FILE* messages)
    : Plugin(plugin), Gps(gps), Status(status), Messages(messages) {}

void TLiveRig::Run(std::vector<TLiveHandset>& handsets,
                   const volatile std::sig_atomic_t* stopRequested) {
    std::vector<std::string> labels;
    for (const TLiveHandset& h : handsets)
        labels.push_back(h.Label);
    TRigConsole console(Status, Messages, labels);
    std::unique_ptr<TFixHub> hub = Gps != nullptr ? std::make_unique<TFixHub>(*Gps) : nullptr;
    std::vector<std::unique_ptr<TFixSource>> views;
    std::vector<std::unique_ptr<THandsetMonitor>> monitors;
    std::atomic<bool> cancel{false};
    for (std::size_t i = 0; i < handsets.size(); ++i) {
        TLiveOptions& options = handsets[i].Options;
        views.push_back(hub ? hub->NewView() : nullptr);
        monitors.push_back(std::make_unique<THandsetMonitor>(console, static_cast<int>(i)));
        options.Gps = views.back().get();
        options.Monitor = monitors.back().get();
        options.Cancel = &cancel;
        options.StopRequested = nullptr;
        options.Status = nullptr;
    }
    const auto pollGps = [&] {
        if (hub)
            for (const TFixNotice& notice : hub->Poll())
                console.Report(-1, (notice.Warning ? "warning: " : "") + notice.Text);
    };
    pollGps();  // the fixes so far, before any handset starts

    {
        std::vector<std::unique_ptr<THandsetThread>> threads;
        // Destroyed before the threads are joined: a rig left by an exception still ends
        // every run.
        struct TCancelAtExit {
            std::atomic<bool>& Flag;
            ~TCancelAtExit() { Flag.store(true, std::memory_order_release); }
        } cancelAtExit{cancel};
        for (std::size_t i = 0; i < handsets.size(); ++i)
            threads.push_back(std::make_unique<THandsetThread>(Plugin, handsets[i], *monitors[i]));

        TRunClock& clock = TRunClock::System();
        double nextDraw = clock.Seconds();
        std::vector<bool> ended(threads.size(), false);
        for (;;) {
            bool allDone = true;
            for (std::size_t i = 0; i < threads.size(); ++i) {
                if (!ended[i] && threads[i]->Done()) {
                    ended[i] = true;
                    console.MarkEnded(i);
                }
                allDone = allDone && ended[i];
            }
            // Polled before the stop is passed on: each run's last poll finds every fix
            // read up to the stop.
            pollGps();
            if (allDone)
                break;
            if (stopRequested != nullptr && *stopRequested != 0)
                cancel.store(true, std::memory_order_release);
            if (clock.Seconds() >= nextDraw) {
                nextDraw = clock.Seconds() + kDrawIntervalSeconds;
                console.Draw();
            }
            clock.WaitForInput({Gps != nullptr ? Gps->Descriptor() : -1}, kMaxWaitMs);
        }
    }
    console.Clear();
}

std::string FormatStatusRows(const std::vector<std::string>& labels,
                             const std::vector<TLiveSnapshot>& snapshots) {
    std::size_t width = 0;
    for (const std::string& label : labels)
        width = std::max(width, label.size());
    std::string rows;
    for (std::size_t i = 0; i < labels.size() && i < snapshots.size(); ++i) {
        const TLiveSnapshot& s = snapshots[i];
        char text[160];
        std::snprintf(text, sizeof text, "%-*s  %-14s %6.0f fr/s  %8llu records  %s",
                      static_cast<int>(width), labels[i].c_str(), s.State.c_str(),
                      s.FramesPerSecond, static_cast<unsigned long long>(s.Records),
                      FormatRate(s.BytesPerSecond).c_str());
        rows +=
            (i == 0 ? "" : "\n") + std::string(text) + (s.Silent.empty() ? "" : "  " + s.Silent);
    }
    return rows;
}

}  // namespace n95::host
