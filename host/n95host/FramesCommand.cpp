// n95host frames: every trace frame of a capture, one line each, cut as the plug-in's parser
// cuts the chunks (TChunkWalker), with the message code and class the plug-in would give it.
//
// What the columns mean:
// - key: message bytes 0..2 of the header, the frame's message key; the plug-in's throttle
//   folds them into a 16-bit key ((b0*4096 + b1*64 + b2) mod 65536, trace/Throttle), shown
//   as throttle_key, under which different byte triples meet.
// - code: the MessageCode a record of the frame carries. The WCDMA decoder library sets it;
//   the bundled one takes the payload's first four bytes, big-endian, and rejects frames with
//   fewer, which therefore have no code. normalised and class come from the library's
//   NormaliseMessageCode and MessageClassOf, as the plug-in classifies a record.
// The throttle is not applied: a frame it would hold back is listed like any other.
//
// Streaming: one chunk in memory, output written in blocks. A reader that closes the pipe
// early (`| head`) ends the listing quietly with status 0.

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <set>

#include "host/common/DateTimeText.h"
#include "host/common/Diagnostics.h"
#include "host/common/ExitStatus.h"
#include "host/common/StopSignals.h"
#include "host/common/SystemCalls.h"
#include "host/formats/PcapCapture.h"
#include "host/formats/TraceFrame.h"
#include "host/n95host/Subcommands.h"
#include "host/outputs/FrameRow.h"

namespace n95::host {

namespace {

constexpr const char* kFramesExitHelp =
    "Exit status: 0 ok (also when the reader closes the pipe early); 1 the capture is\n"
    "truncated or damaged (the complete chunks were listed) or holds no chunk; 2 usage error;\n"
    "3 the capture is missing, unreadable or not a capture; 5 standard output cannot be\n"
    "written; 130 interrupted (Ctrl-C).";

// A class filter value: 0..3, or kNoClass for frames without a class.
constexpr int kNoClass = -1;

struct TFramesArgs {
    std::string Capture;
    std::vector<std::string> Codes;
    std::vector<std::string> Classes;
    bool Hex = false;
    bool Csv = false;
};

struct TFilter {
    std::set<uint32_t> Codes;
    std::set<int> Classes;

    // Filters select frames: a tail and an AT reply carry no code and no class.
    bool Active() const { return !Codes.empty() || !Classes.empty(); }
    bool Matches(const TChunkItem& item, const TFrameCode& code) const {
        if (item.Kind != TChunkItem::TKind::Frame)
            return !Active();
        if (!Codes.empty() &&
            !(code.HasCode && (Codes.count(code.Code) != 0 || Codes.count(code.Normalised) != 0)))
            return false;
        return Classes.empty() || Classes.count(code.Class) != 0;
    }
};

// "0x" and 1..8 hex digits, or a decimal number below 2^32.
bool ParseCode(const std::string& text, uint32_t& code) {
    const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    const std::string digits = hex ? text.substr(2) : text;
    if (digits.empty() || digits.size() > (hex ? 8u : 10u) ||
        digits.find_first_not_of(hex ? "0123456789abcdefABCDEF" : "0123456789") !=
            std::string::npos)
        return false;
    const unsigned long long value = std::strtoull(digits.c_str(), nullptr, hex ? 16 : 10);
    if (value > 0xFFFFFFFFull)
        return false;
    code = static_cast<uint32_t>(value);
    return true;
}

bool ParseFilter(const TFramesArgs& args, TFilter& filter) {
    for (const std::string& text : args.Codes) {
        uint32_t code = 0;
        if (!ParseCode(text, code)) {
            PrintError("--code " + text +
                       ": not a message code (0x and up to 8 hex digits, or a decimal number)");
            return false;
        }
        filter.Codes.insert(code);
    }
    for (const std::string& text : args.Classes) {
        if (text == "none") {
            filter.Classes.insert(kNoClass);
        } else if (text.size() == 1 && text[0] >= '0' && text[0] <= '3') {
            filter.Classes.insert(text[0] - '0');
        } else {
            PrintError("--class " + text + ": not a message class (0, 1, 2, 3 or none)");
            return false;
        }
    }
    return true;
}

// Standard output, written in blocks straight to its descriptor (the seam retries an
// interrupted write), so that a closed pipe is seen at once as
// EPIPE (SIGPIPE is ignored while the listing runs).
class TOutput {
public:
    enum class TState { Ok, Closed, Failed };

    std::string Text;
    // Writes the text gathered so far once it is large; Flush writes it whatever its size.
    TState Drain() { return Text.size() >= kBlock ? Flush() : TState::Ok; }
    TState Flush() {
        std::size_t done = 0;
        while (done < Text.size()) {
            const ssize_t n = System().Write(1, Text.data() + done, Text.size() - done);
            if (n <= 0) {
                if (errno == EPIPE)
                    return TState::Closed;
                PrintError(SystemError("cannot write to standard output", errno));
                return TState::Failed;
            }
            done += static_cast<std::size_t>(n);
        }
        Text.clear();
        return TState::Ok;
    }

private:
    static constexpr std::size_t kBlock = 64 * 1024;
};

void AppendHex(std::string& out, const uint8_t* bytes, std::size_t size) {
    static const char kDigits[] = "0123456789ABCDEF";
    for (std::size_t i = 0; i < size; ++i) {
        out.push_back(kDigits[bytes[i] >> 4]);
        out.push_back(kDigits[bytes[i] & 0xF]);
    }
}

void AppendFormat(std::string& out, const char* format, unsigned long long value) {
    char buffer[32];
    const int n = std::snprintf(buffer, sizeof buffer, format, value);
    out.append(buffer, static_cast<std::size_t>(n));
}

const char* KindName(TChunkItem::TKind kind) {
    switch (kind) {
        case TChunkItem::TKind::Frame:
            return "frame";
        case TChunkItem::TKind::Tail:
            return "tail";
        case TChunkItem::TKind::AtReply:
            return "at-reply";
    }
    return "";
}

// The columns of one item, each as text ("" when the item has no such value).
struct TColumns {
    std::string Form, Key, Throttle, Length, Code, Normalised, Class, Extension, Payload, Note;
};

TColumns ColumnsOf(const TChunkItem& item, const TFrameCode& code, bool hex) {
    TColumns c;
    if (item.HasForm)
        c.Form = item.LongHeader ? "long" : "short";
    if (item.HasKey) {
        AppendFormat(c.Key, "0x%06llX",
                     static_cast<unsigned long long>(item.Message[0]) << 16 |
                         static_cast<unsigned long long>(item.Message[1]) << 8 | item.Message[2]);
        AppendFormat(c.Throttle, "0x%04llX", FrameThrottleKey(item.Message));
    }
    if (item.HasLength)
        c.Length = std::to_string(item.PayloadLength);
    if (code.HasCode) {
        AppendFormat(c.Code, "0x%08llX", code.Code);
        AppendFormat(c.Normalised, "0x%08llX", code.Normalised);
        if (code.Class >= 0)
            c.Class = std::to_string(code.Class);
    }
    if (hex) {
        if (item.LongHeader)
            AppendHex(c.Extension, item.Extension, 4);
        AppendHex(c.Payload, reinterpret_cast<const uint8_t*>(item.Payload.data()),
                  item.Payload.size());
    }
    if (item.Kind == TChunkItem::TKind::AtReply) {
        c.Note = "AT reply OK (not parsed)";
    } else if (item.Kind == TChunkItem::TKind::Tail) {
        const std::string size = std::to_string(item.Size);
        if (item.HasLength)
            c.Note = "incomplete: " + size + " of " +
                     std::to_string((item.LongHeader ? 10 : 6) + item.PayloadLength) + " bytes";
        else
            c.Note = "incomplete: " + size + (item.Size == 1 ? " byte" : " bytes") + ", header cut";
    }
    return c;
}

void AppendCsvHeader(std::string& out, bool hex) {
    out += "chunk,time,offset,kind,size,form,key,throttle_key,length,code,normalised,class";
    out += hex ? ",extension,payload\n" : "\n";
}

// The aligned columns' layout, shared by the header and the rows.
constexpr char kTextLayout[] = "%7s %-24s %6s %-5s %-8s %-8s %6s %-10s %-10s %-5s";

void AppendTextHeader(std::string& out, bool hex) {
    char buffer[160];
    const int n = std::snprintf(buffer, sizeof buffer, kTextLayout, "chunk", "time", "offset",
                                "form", "key", "throttle", "length", "code", "normalised", "class");
    out.append(buffer, std::min(static_cast<std::size_t>(n), sizeof buffer - 1));
    out += hex ? " extension payload\n" : "\n";
}

void AppendCsvRow(std::string& out, uint64_t chunk, const std::string& time, const TChunkItem& item,
                  const TColumns& c, bool hex) {
    out += std::to_string(chunk) + ',' + time + ',' + std::to_string(item.Offset) + ',' +
           KindName(item.Kind) + ',' + std::to_string(item.Size) + ',' + c.Form + ',' + c.Key +
           ',' + c.Throttle + ',' + c.Length + ',' + c.Code + ',' + c.Normalised + ',' + c.Class;
    if (hex)
        out += ',' + c.Extension + ',' + c.Payload;
    out += '\n';
}

// Aligned columns; "-" for a missing value; the note (AT reply, incomplete tail) last.
void AppendTextRow(std::string& out, uint64_t chunk, const std::string& time,
                   const TChunkItem& item, const TColumns& c, bool hex) {
    const auto dash = [](const std::string& s) { return s.empty() ? "-" : s.c_str(); };
    char buffer[160];
    const int n = std::snprintf(buffer, sizeof buffer, kTextLayout, std::to_string(chunk).c_str(),
                                time.c_str(), std::to_string(item.Offset).c_str(), dash(c.Form),
                                dash(c.Key), dash(c.Throttle), dash(c.Length), dash(c.Code),
                                dash(c.Normalised), dash(c.Class));
    out.append(buffer, std::min(static_cast<std::size_t>(n), sizeof buffer - 1));
    if (hex) {
        out += ' ';
        out += dash(c.Extension);
        out += ' ';
        out += dash(c.Payload);
    }
    if (!c.Note.empty())
        out += ' ' + c.Note;
    while (!out.empty() && out.back() == ' ')
        out.pop_back();
    out += '\n';
}

int RunFramesCommand(const TFramesArgs& args) {
    TFilter filter;
    if (!ParseFilter(args, filter))
        return kExitUsage;
    // Ctrl-C ends the listing between chunks, and a wait for a pipe's bytes.
    const volatile std::sig_atomic_t* stop = InstallStopHandlers();
    // A reader that has seen enough closes the pipe: the write then fails with EPIPE, and the
    // listing ends quietly instead of being killed by the signal.
    System().IgnoreBrokenPipes();
    TCaptureReader capture;
    std::string error;
    if (!capture.Open(args.Capture, &error, stop)) {
        PrintError(*stop ? "interrupted" : error);
        return *stop ? kExitInterrupted : kExitInputError;
    }

    TOutput out;
    if (args.Csv)
        AppendCsvHeader(out.Text, args.Hex);
    else
        AppendTextHeader(out.Text, args.Hex);
    TCaptureReader::TStatus status;
    std::string time;
    while ((status = capture.Next()) == TCaptureReader::TStatus::Chunk && *stop == 0) {
        time.clear();
        AppendIso8601(time, CaptureTimeToDateTime(capture.Time()));
        TChunkWalker walker(capture.Data(), capture.Size());
        TChunkItem item;
        while (walker.Next(item)) {
            const TFrameCode code = item.Kind == TChunkItem::TKind::Frame
                                        ? DescribeFrameCode(item.Payload)
                                        : TFrameCode();
            if (!filter.Matches(item, code))
                continue;
            const TColumns columns = ColumnsOf(item, code, args.Hex);
            if (args.Csv)
                AppendCsvRow(out.Text, capture.ChunkCount(), time, item, columns, args.Hex);
            else
                AppendTextRow(out.Text, capture.ChunkCount(), time, item, columns, args.Hex);
            const TOutput::TState state = out.Drain();
            if (state != TOutput::TState::Ok)
                return state == TOutput::TState::Closed ? kExitOk : kExitOutputError;
        }
    }
    const TOutput::TState state = out.Flush();
    if (state != TOutput::TState::Ok)
        return state == TOutput::TState::Closed ? kExitOk : kExitOutputError;

    if (*stop != 0) {
        PrintError("interrupted after " + std::to_string(capture.ChunkCount()) + " chunks");
        return kExitInterrupted;
    }
    if (status == TCaptureReader::TStatus::Damaged) {
        PrintWarning(capture.DamageMessage() + "; the " + std::to_string(capture.ChunkCount()) +
                     " complete chunks before it were listed");
        return kExitIncomplete;
    }
    if (capture.ChunkCount() == 0) {
        PrintWarning("the capture " + args.Capture + " holds no chunk");
        return kExitIncomplete;
    }
    return kExitOk;
}

}  // namespace

TSubcommand AddFramesCommand(CLI::App& app) {
    auto args = std::make_shared<TFramesArgs>();
    CLI::App* frames = app.add_subcommand(
        "frames", "List the trace frames of a capture as the plug-in's parser cuts them");
    frames->footer(kFramesExitHelp);
    frames
        ->add_option("capture", args->Capture,
                     "Capture (pcap or pcapng, link type 147): a file, '-' for standard input, a "
                     "pipe or a FIFO, each also gzip-compressed")
        ->required();
    frames->add_flag("--hex", args->Hex, "Add the extension bytes and the payload in hex");
    frames
        ->add_option("--code", args->Codes,
                     "Only frames whose message code or normalised code is CODE (0x... or "
                     "decimal); repeat or give a comma list for several")
        ->delimiter(',')
        ->expected(1)
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
    frames
        ->add_option("--class", args->Classes,
                     "Only frames of message class N (0..3, or none); repeat or give a comma "
                     "list for several")
        ->delimiter(',')
        ->expected(1)
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
    frames->add_flag("--csv", args->Csv, "CSV with a header line instead of aligned columns");
    return {frames, [args] { return RunFramesCommand(*args); }};
}

}  // namespace n95::host
