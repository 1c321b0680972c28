// The machine-readable summary of a run (--summary-json): one JSON object, written by a small
// streaming writer that places the commas and escapes the text, so that the summary's
// producers only name their figures. Its keys are documented in docs/host-tool.md and are
// kept stable: a script reads them instead of scraping the text summary.
//
// Not thread-safe; one owner.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "host/common/OutputFile.h"

namespace n95::host {

class TJsonWriter {
public:
    // Members of the current object take a key; items of an array take none ("").
    void OpenObject(std::string_view key = {});
    void CloseObject();
    void OpenArray(std::string_view key = {});
    void CloseArray();
    void Number(std::string_view key, uint64_t value);
    void Number(std::string_view key, int64_t value);
    void Number(std::string_view key, int value) { Number(key, static_cast<int64_t>(value)); }
    // A finite number with up to `decimals` digits after the point; null when not finite.
    void Number(std::string_view key, double value, int decimals);
    void String(std::string_view key, std::string_view value);
    void Bool(std::string_view key, bool value);
    void Null(std::string_view key);
    // A value written by another writer (its complete Text()).
    void Raw(std::string_view key, std::string_view json);

    // The text so far (complete once every object and array is closed).
    const std::string& Text() const { return Out; }

private:
    // The comma before an item, and its key.
    void Item(std::string_view key);

    std::string Out;
    std::vector<bool> First;  // per open object or array: no item yet
};

// The file of --summary-json `path` (none when empty), opened once the command line is known
// to be right (a usage error writes nothing) and before any input is read, so that a run that
// fails later says why in it; with -o `outDir` the folder is made first (the summary may live
// there). False, having said why, when it cannot be opened.
bool OpenJsonSummary(const std::string& path, const std::string& outDir, TOutputFile& summary);

// The last members of a summary's object: "messages" (every error and warning, in order) and
// "exit_status".
void WriteMessagesAndStatus(TJsonWriter& json, const std::vector<std::string>& messages,
                            int status);

// Writes `json` (complete) and a line break into `summary` and puts it in place. False, having
// said why, when that fails.
bool CommitJsonSummary(const TJsonWriter& json, const std::string& path, TOutputFile& summary);

}  // namespace n95::host
